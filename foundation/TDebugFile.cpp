#include "foundation/TDebugFile.h"

#include <chrono>
#include <thread>

#include "platform/Clock.h"

namespace {
constexpr auto kOpenRetryFor = std::chrono::seconds(1);
constexpr auto kOpenRetryStep = std::chrono::milliseconds(5);
}  // namespace

int TDebugFile::WriteString(const TStringEx& text) {
  if (text.IsEmpty()) return TIOFile::WriteString(text, true);
  platform::LocalDateTime now = platform::NowLocal();
  TStringEx line;
  line.Format(u"%04d-%02d-%02d %02d:%02d:%02d.%03d: %s", now.year, now.month, now.day, now.hour, now.minute,
              now.second, now.millisecond, text);
  return TIOFile::WriteString(line, true);
}

int TDebugFile::AppendLine(const TStringEx& path, const TStringEx& text) {
  TDebugFile file;
  auto deadline = std::chrono::steady_clock::now() + kOpenRetryFor;
  while (!file.Open(path, true, false)) {
    if (file.GetLastOpenError() != platform::ERROR_SHARING_VIOLATION || std::chrono::steady_clock::now() >= deadline)
      return 0;
    std::this_thread::sleep_for(kOpenRetryStep);
  }
  int result = file.WriteString(text);
  file.Close();
  return result;
}
