#include "platform/Clock.h"

#include <ctime>

#include "platform/LocalTime.h"

namespace platform {

LocalDateTime NowLocal() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  // The conversion to local time takes a lock and looks at the time zone at every call; within
  // one second the date and the time of day stay the same, so each thread keeps its last second.
  thread_local time_t lastSecond = -1;
  thread_local LocalDateTime last{};
  if (ts.tv_sec != lastSecond) {
    last = ToLocalDateTime(ts.tv_sec, 0);
    lastSecond = ts.tv_sec;
  }
  LocalDateTime now = last;
  now.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  return now;
}

}  // namespace platform
