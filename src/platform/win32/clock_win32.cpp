// Win32 backend of the wall clock: the system's local time, which carries milliseconds.
#include <windows.h>

#include "platform/clock.h"

namespace cwbk {

LocalDateTime localDateTimeNow() {
  SYSTEMTIME local;
  GetLocalTime(&local);
  LocalDateTime now;
  now.year = local.wYear;
  now.month = local.wMonth;
  now.day = local.wDay;
  now.hour = local.wHour;
  now.minute = local.wMinute;
  now.second = local.wSecond;
  now.millisecond = local.wMilliseconds;
  return now;
}

} // namespace cwbk
