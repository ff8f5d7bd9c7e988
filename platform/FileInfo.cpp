#include "platform/FileInfo.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include "platform/CaseFold.h"
#include "platform/LocalTime.h"
#include "platform/TextConvert.h"

namespace platform {

FileVersion VersionFromFileName(const std::u16string& fileName) {
  std::u16string folded(fileName.size(), u'\0');
  FoldCase(fileName.data(), fileName.size(), folded.data());
  std::size_t marker = folded.rfind(u".SO.");
  if (marker == std::u16string::npos) return FileVersion();
  FileVersion version;
  int part = 0;
  std::uint32_t value = 0;
  bool digits = false;
  for (std::size_t i = marker + 4; i <= fileName.size(); ++i) {
    char16_t c = i < fileName.size() ? fileName[i] : u'.';
    if (c >= u'0' && c <= u'9') {
      value = value * 10 + static_cast<std::uint32_t>(c - u'0');
      digits = true;
      if (value > 0xFFFF) return FileVersion();
    } else if (c == u'.' && digits && part < 4) {
      version.parts[part++] = static_cast<std::uint16_t>(value);
      value = 0;
      digits = false;
    } else {
      return FileVersion();
    }
  }
  return version;
}

FileVersion ReadFileVersion(const std::u16string& path) {
  std::string narrow = Utf16ToUtf8(path.data(), path.size());
  std::unique_ptr<char, decltype(&std::free)> real(realpath(narrow.c_str(), nullptr), &std::free);
  if (real == nullptr) return FileVersion();
  std::u16string target = Utf8ToUtf16(real.get(), std::char_traits<char>::length(real.get()));
  return VersionFromFileName(target.substr(target.rfind(u'/') + 1));
}

bool ReadFileCreationTime(const std::u16string& path, LocalDateTime& created) {
  std::string narrow = Utf16ToUtf8(path.data(), path.size());
  struct statx facts {};
  if (statx(AT_FDCWD, narrow.c_str(), 0, STATX_BTIME, &facts) != 0 || (facts.stx_mask & STATX_BTIME) == 0)
    return false;
  // Some file systems (overlay layers among them) report a birth time of zero for files whose
  // creation they never recorded.
  if (facts.stx_btime.tv_sec == 0 && facts.stx_btime.tv_nsec == 0) return false;
  created = ToLocalDateTime(facts.stx_btime.tv_sec, facts.stx_btime.tv_nsec);
  return true;
}

}  // namespace platform
