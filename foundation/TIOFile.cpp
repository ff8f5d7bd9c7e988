#include "foundation/TIOFile.h"

int TIOFile::Open(const TStringEx& path, bool write, bool truncate) {
  bool created = false;
  int result = OpenFile(path, write, truncate, &created);
  if (result == 0 || !created) return result;
  static const unsigned char kByteOrderMark[2] = {0xFF, 0xFE};
  std::uint32_t written = 0;
  return Write(kByteOrderMark, 2, &written) && written == 2 ? 1 : 0;
}

int TIOFile::WriteString(const TStringEx& text, bool lineEnd) {
  if (!IsOpen()) return 0;
  std::uint32_t length = text.Length();
  if (length > 0) {
    std::uint32_t bytes = length * 2;
    std::uint32_t written = 0;
    if (!Write(text.Buffer(), bytes, &written) || written != bytes) return 0;
  }
  if (lineEnd && !(length >= 2 && text[length - 2] == u'\r' && text[length - 1] == u'\n')) {
    static const char16_t kLineEnd[2] = {u'\r', u'\n'};
    std::uint32_t written = 0;
    return Write(kLineEnd, 4, &written) && written == 4 ? 1 : 0;
  }
  return 1;
}
