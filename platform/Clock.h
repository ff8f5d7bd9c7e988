// Wall-clock date and time for time stamps (log lines, file names). Not for measuring time-outs:
// those use the monotonic clock.
#pragma once

namespace platform {

struct LocalDateTime {
  int year;
  int month;   // 1 to 12
  int day;     // 1 to 31
  int hour;    // 0 to 23
  int minute;
  int second;
  int millisecond;
};

// The current local date and time of the process's time zone.
LocalDateTime NowLocal();

}  // namespace platform
