// What a version report shows of a file: its product version and its creation time.
//
// Emulates: the product version in a file's version resource, and the file's creation time. ELF
// files carry no version resource, so the version is read from a versioned shared-object name
// ("libx.so.1.2.3" gives 1.2.3.0); a file named otherwise has none. The creation time is the
// birth time reported by statx, which some file systems do not record.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Clock.h"

namespace platform {

// Four 16-bit parts, the most significant first; all 0 for no version.
struct FileVersion {
  std::uint16_t parts[4] = {0, 0, 0, 0};
};

// The version in a file name: what follows its last ".so." (any case) must be one to four decimal
// parts separated by dots, each at most 65535 ("libx.so.1" gives 1.0.0.0); else no version.
FileVersion VersionFromFileName(const std::u16string& fileName);

// The version of the file that `path` leads to, links followed: the soname link "libx.so.1" of
// "libx.so.1.2.3" reads as 1.2.3.0. No version when the path leads nowhere.
FileVersion ReadFileVersion(const std::u16string& path);

// The creation time of the file that `path` leads to, in local time. False when the file cannot
// be read or its file system keeps no birth time (or gives it as zero, the start of 1970).
bool ReadFileCreationTime(const std::u16string& path, LocalDateTime& created);

}  // namespace platform
