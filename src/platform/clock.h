// The wall clock: the current local date and time as the platform's clock and time zone give them
// (POSIX: clock_gettime and localtime_r; Windows: GetLocalTime).
#pragma once

namespace cwbk {

// A local date and time broken into its fields, as the platform reports them.
struct LocalDateTime {
  int year = 1970;
  int month = 1; // 1..12
  int day = 1;   // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;      // 0..59 (a leap second is reported as 59)
  int millisecond = 0; // 0..999
};

// Returns the current local date and time; the Unix epoch when the platform has no answer.
LocalDateTime localDateTimeNow();

} // namespace cwbk
