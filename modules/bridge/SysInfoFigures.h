// The figures of the sysinfo report that are plain arithmetic on a count: memory sizes in
// kilobytes and the parts of an up time. Inline, as they need nothing of the console.
#pragma once

#include <cstdint>

#include "foundation/TStringEx.h"

// Bytes as whole kilobytes (1024 bytes), with one thousands separator only: 999 KB is "0,999 KB",
// 12345678 KB is "12345,678 KB".
inline TStringEx KilobytesText(std::uint64_t bytes) {
  std::uint64_t kilobytes = bytes >> 10;
  TStringEx text;
  text.Format(u"%d,%03d KB", kilobytes / 1000, kilobytes % 1000);
  return text;
}

struct UpTimeParts {
  std::uint64_t days;
  std::uint64_t hours;    // 0 to 23
  std::uint64_t minutes;  // 0 to 59
  std::uint64_t seconds;  // 0 to 59
};

inline UpTimeParts SplitUpTime(std::uint64_t seconds) {
  return UpTimeParts{seconds / 86400, seconds % 86400 / 3600, seconds % 3600 / 60, seconds % 60};
}
