#include "platform/Process.h"

#include <unistd.h>

#include "platform/TextConvert.h"

namespace platform {

DWORD CurrentProcessId() { return static_cast<DWORD>(getpid()); }

std::u16string ExecutablePath() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::u16string();
  std::u16string wide;
  AppendNarrowToUtf16(path, static_cast<std::size_t>(n), wide);
  return wide;
}

}  // namespace platform
