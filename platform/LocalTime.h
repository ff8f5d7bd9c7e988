// Local dates and times through the C library's calendar: from a count of seconds, as text, and
// the span between two of them. Local means the process's current time-zone settings.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Clock.h"

namespace platform {

// The local date and time of a moment given in seconds and nanoseconds since 1970 (UTC).
LocalDateTime ToLocalDateTime(std::int64_t seconds, std::int64_t nanoseconds);

// The date and time in a strftime format (the millisecond is not shown); empty when the text
// would exceed 63 characters.
std::u16string FormatLocalDateTime(const LocalDateTime& time, const char* format);

// Whole seconds from `from` to `to`, milliseconds counted; 0 when `to` is not later. Both are read
// back through the calendar, so a change of daylight-saving time between them is not counted.
std::uint64_t SecondsBetween(const LocalDateTime& from, const LocalDateTime& to);

}  // namespace platform
