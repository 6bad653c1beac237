// Date serials: whole days since the epoch of the workbook's date system with the time of day as the
// fraction, civil dates and times to serials and back, and the serial of the current moment.
//
// The 1900 system counts 1900-01-01 as serial 1 and keeps a 29 February 1900 that the calendar never had
// (serial 60), so 1900-03-01 is serial 61; serial 0 shows as 1900-01-00. The 1904 system counts
// 1904-01-01 as serial 0; from March 1900 on its serials are 1462 below those of the 1900 system. Both
// end at 9999-12-31. Years are proleptic Gregorian and taken as given (the rule that turns DATE's year
// 99 into 1999 belongs to the callers that have it).
#pragma once

#include <cstdint>
#include <optional>

namespace cwbk {

enum class DateSystem : uint8_t { Base1900, Base1904 };

// Returns the date system a workbook's 1904 flag names.
constexpr DateSystem dateSystemOf(bool date1904) {
  return date1904 ? DateSystem::Base1904 : DateSystem::Base1900;
}

// The serial of 9999-12-31, the last day either system counts.
constexpr int32_t kLastSerial1900 = 2958465;
constexpr int32_t kLastSerial1904 = kLastSerial1900 - 1462;
// Returns the serial of 9999-12-31 in the system.
constexpr int32_t lastSerial(DateSystem system) {
  return system == DateSystem::Base1900 ? kLastSerial1900 : kLastSerial1904;
}

struct CivilDate {
  int32_t year = 1900;
  int32_t month = 1; // 1..12
  int32_t day = 1;   // 1..31; 0 only for serial 0 of the 1900 system (1900-01-00)
  bool operator==(const CivilDate&) const = default;
};

// Returns the serial of a date, or nothing when it falls outside 0..lastSerial. Months and days out
// of range move the date the way DATE does: month 0 is December of the year before and month 13
// January of the next; the day counts on from the first of the month, so day 0 is the last day of the
// month before and 1900-02-29 (the 1900 system's day 60) is reached from either side.
std::optional<int32_t> serialFromCivil(int64_t year, int64_t month, int64_t day, DateSystem system);

// Returns the date of a whole serial, or nothing outside 0..lastSerial.
std::optional<CivilDate> civilFromSerial(int64_t serial, DateSystem system);

// Returns the fraction of a day that a time of day stands for (24:00 is 1).
double dayFraction(int64_t hour, int64_t minute, int64_t second, int64_t millisecond = 0);

// How finely a serial's time of day is taken before it is split.
enum class TimeRounding : uint8_t {
  Second,     // the nearest second: what DAY, MONTH, YEAR, HOUR, MINUTE and SECOND see
  Millisecond // the nearest millisecond: what a time shown with ".000" shows
};

struct DateTimeParts {
  CivilDate date;
  int32_t hour = 0;
  int32_t minute = 0;
  int32_t second = 0;
  int32_t millisecond = 0;
  bool operator==(const DateTimeParts&) const = default;
};

// Returns a serial split into its date and time of day, the time rounded first; a time that rounds up
// to midnight belongs to the next day (0.99999999 is 1900-01-01 00:00:00, not 23:59:59.999 of serial
// 0). Nothing for a negative serial, NaN, or one that rounds past the last day.
std::optional<DateTimeParts> splitSerial(double serial, DateSystem system,
                                         TimeRounding rounding = TimeRounding::Second);

// Returns the length of a month (1..12) of the Gregorian calendar: 28 to 31, or 0 for another month.
int32_t daysInMonth(int64_t year, int64_t month);

// ---------------------------------------------------------------- the current moment

// Returns the platform clock's local date and time, to the millisecond, as a serial of the 1900 or the
// 1904 system; 0 when the clock lies outside the serial range.
double currentDateTimeSerial(bool date1904);
// A clock answering the current date-time serial; the recalculation time is taken from it.
using DateTimeClock = double (*)(bool date1904);
// Replaces the clock (tests pin the time with it); null restores the platform clock.
void setDateTimeClock(DateTimeClock clock);
// Returns the date-time serial of the current clock.
double clockDateTimeSerial(bool date1904);

} // namespace cwbk
