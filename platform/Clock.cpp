#include "platform/Clock.h"

#include <ctime>

#include "platform/LocalTime.h"

namespace platform {

LocalDateTime NowLocal() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ToLocalDateTime(ts.tv_sec, ts.tv_nsec);
}

}  // namespace platform
