#include "platform/LocalTime.h"

#include <ctime>

#include "platform/TextConvert.h"

namespace platform {
namespace {

tm ToTm(const LocalDateTime& time) {
  tm parts{};
  parts.tm_year = time.year - 1900;
  parts.tm_mon = time.month - 1;
  parts.tm_mday = time.day;
  parts.tm_hour = time.hour;
  parts.tm_min = time.minute;
  parts.tm_sec = time.second;
  parts.tm_isdst = -1;
  return parts;
}

std::int64_t MillisecondsSinceEpoch(const LocalDateTime& time) {
  tm parts = ToTm(time);
  return static_cast<std::int64_t>(mktime(&parts)) * 1000 + time.millisecond;
}

}  // namespace

LocalDateTime ToLocalDateTime(std::int64_t seconds, std::int64_t nanoseconds) {
  time_t whole = static_cast<time_t>(seconds);
  tm parts{};
  localtime_r(&whole, &parts);
  return LocalDateTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                       parts.tm_min,         parts.tm_sec,     static_cast<int>(nanoseconds / 1000000)};
}

std::u16string FormatLocalDateTime(const LocalDateTime& time, const char* format) {
  tm parts = ToTm(time);
  char text[64];
  std::size_t length = strftime(text, sizeof text, format, &parts);
  std::u16string wide;
  AppendNarrowToUtf16(text, length, wide);
  return wide;
}

std::uint64_t SecondsBetween(const LocalDateTime& from, const LocalDateTime& to) {
  std::int64_t span = MillisecondsSinceEpoch(to) - MillisecondsSinceEpoch(from);
  return span > 0 ? static_cast<std::uint64_t>(span / 1000) : 0;
}

}  // namespace platform
