// The capture file: everything the console shows, copied into a UTF-16 file.
#include <cstdio>

#include "console/TDiagnosticServer.h"
#include "runtime/TGuard.h"

namespace {

const char16_t* const kStarLine = u"****************************************************************";

// Fits most texts; a longer one gets a buffer of exactly its length.
constexpr std::size_t kFormatBuffer = 2048;

TStringEx DateTimeText(const char16_t* format) {
  platform::LocalDateTime now = platform::NowLocal();
  TStringEx text;
  text.Format(format, now.year, now.month, now.day, now.hour, now.minute, now.second);
  return text;
}

// The name with "_YYYY_MM_DD_hh_mm_ss" before the extension of its last path component (the
// extension starts at that component's last dot; without one the stamp goes at the end).
TStringEx DatedName(const TStringEx& name) {
  int slash = -1;
  for (int at = name.Find(u'/'); at >= 0; at = name.Find(u'/', at + 1)) slash = at;
  int dot = -1;
  for (int at = name.Find(u'.', slash + 1); at >= 0; at = name.Find(u'.', at + 1)) dot = at;
  const int length = static_cast<int>(name.Length());
  if (dot < 0) dot = length;
  TStringEx dated;
  dated.Format(u"%s%s%s", name.Left(dot), DateTimeText(u"_%04d_%02d_%02d_%02d_%02d_%02d"), name.Mid(dot, length - dot));
  return dated;
}

}  // namespace

void TDiagnosticServer::WriteOutputFileV(bool lineEnd, const char16_t* format, const FormatArg* args,
                                         std::size_t count) {
  {
    TGuardEx hold(&m_captureLock);
    if (!m_captureFile.IsOpen()) return;
  }
  char16_t buffer[kFormatBuffer + 1];
  std::size_t length = FormatTo(buffer, sizeof buffer / sizeof buffer[0], format, args, count);
  TStringEx text;
  if (length <= kFormatBuffer) {
    text = buffer;
  } else {
    std::u16string large(length + 1, u'\0');
    FormatTo(large.data(), large.size(), format, args, count);
    text = large.c_str();
  }
  WriteOutputText(text, lineEnd);
}

void TDiagnosticServer::WriteOutputText(const TStringEx& text, bool lineEnd) {
  TGuardEx hold(&m_captureLock);
  if (m_captureFile.IsOpen()) m_captureFile.WriteString(text, lineEnd);
}

void TDiagnosticServer::WriteCaptureFrame(const char16_t* what) {
  TStringEx stamp;
  stamp.Format(u"%s: %s", what, DateTimeText(u"%04d\\%02d\\%02d %02d:%02d:%02d"));
  WriteOutputText(kStarLine, true);
  WriteOutputText(stamp, true);
  WriteOutputText(kStarLine, true);
}

void TDiagnosticServer::OpenOutputFile(const char16_t* name, eOutputFileMode mode) {
  TStringEx path = mode == eOutputDated ? DatedName(name) : TStringEx(name);
  {
    TGuardEx hold(&m_captureLock);
    m_captureFile.Close();
    if (m_captureFile.Open(path, true, mode != eOutputAppend) != 0) m_captureFile.Truncate();
    m_captureName = path;
  }
  WriteCaptureFrame(u"Logging started");
}

void TDiagnosticServer::CloseOutputFile() {
  TGuardEx hold(&m_captureLock);
  if (!m_captureFile.IsOpen()) return;
  WriteCaptureFrame(u"Logging stopped");
  m_captureFile.Close();
}

TStringEx TDiagnosticServer::GetOutputFileName() {
  TGuardEx hold(&m_captureLock);
  return m_captureFile.IsOpen() ? m_captureName : TStringEx();
}
