// POSIX backend of the wall clock: the real-time clock in the process's local time zone.
#include <ctime>

#include "platform/clock.h"

namespace cwbk {

LocalDateTime localDateTimeNow() {
  LocalDateTime now;
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return now;
  std::tm local{};
  if (!localtime_r(&ts.tv_sec, &local)) return now;
  now.year = local.tm_year + 1900;
  now.month = local.tm_mon + 1;
  now.day = local.tm_mday;
  now.hour = local.tm_hour;
  now.minute = local.tm_min;
  now.second = local.tm_sec > 59 ? 59 : local.tm_sec;
  now.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  return now;
}

} // namespace cwbk
