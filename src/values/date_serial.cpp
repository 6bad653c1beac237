// Date serials: the day count of the proleptic Gregorian calendar shifted to each system's epoch, with
// the 1900 system's extra 29 February 1900, and the time of day as the fraction.
#include "values/date_serial.h"

#include <cmath>
#include <cstdlib>

#include "platform/clock.h"

namespace cwbk {

namespace {

// Returns the floor of a / b for b > 0.
constexpr int64_t floorDivide(int64_t a, int64_t b) {
  return a / b - (a % b < 0 ? 1 : 0);
}

// Returns the days from 1970-01-01 to a date of the proleptic Gregorian calendar (month 1..12; the day
// may run past the month's end).
constexpr int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = floorDivide(y, 400);
  const int64_t yearOfEra = y - era * 400;
  const int64_t dayOfYear = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1; // counted from 1 March
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// Returns the date of a day count from 1970-01-01.
CivilDate civilFromDays(int64_t days) {
  days += 719468;
  const int64_t era = floorDivide(days, 146097);
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153; // 0 is March
  CivilDate date;
  date.day = static_cast<int32_t>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
  date.month = static_cast<int32_t>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
  date.year = static_cast<int32_t>(yearOfEra + era * 400 + (date.month <= 2));
  return date;
}

// The day counts of each system's day before serial 1 (1899-12-31) and of serial 0 (1904-01-01).
constexpr int64_t kDayBefore1900 = daysFromCivil(1899, 12, 31);
constexpr int64_t kEpoch1904 = daysFromCivil(1904, 1, 1);
// Serial 60 is the 1900 system's 29 February 1900; the true day count lags one behind from 61 on.
constexpr int64_t kFictitiousDay = 60;

// Inputs beyond this size can only land outside the serial range; bounding them keeps the day
// arithmetic far from overflow.
constexpr int64_t kInputLimit = int64_t(1) << 40;

DateTimeClock activeClock = nullptr;

} // namespace

std::optional<int32_t> serialFromCivil(int64_t year, int64_t month, int64_t day, DateSystem system) {
  // Compared on both sides: the absolute value of the most negative input would overflow.
  auto outside = [](int64_t x) { return x > kInputLimit || x < -kInputLimit; };
  if (outside(year) || outside(month) || outside(day)) return std::nullopt;
  const int64_t yearShift = floorDivide(month - 1, 12);
  year += yearShift;
  month -= yearShift * 12;
  int64_t first; // the serial of the first of the month
  if (system == DateSystem::Base1900) {
    first = daysFromCivil(year, month, 1) - kDayBefore1900;
    if (first >= kFictitiousDay) ++first;
  } else {
    first = daysFromCivil(year, month, 1) - kEpoch1904;
  }
  const int64_t serial = first + day - 1;
  if (serial < 0 || serial > lastSerial(system)) return std::nullopt;
  return static_cast<int32_t>(serial);
}

std::optional<CivilDate> civilFromSerial(int64_t serial, DateSystem system) {
  if (serial < 0 || serial > lastSerial(system)) return std::nullopt;
  if (system == DateSystem::Base1904) return civilFromDays(kEpoch1904 + serial);
  if (serial == 0) return CivilDate{1900, 1, 0};
  if (serial == kFictitiousDay) return CivilDate{1900, 2, 29};
  return civilFromDays(kDayBefore1900 + serial - (serial > kFictitiousDay ? 1 : 0));
}

double dayFraction(int64_t hour, int64_t minute, int64_t second, int64_t millisecond) {
  return (static_cast<double>(hour * 3600 + minute * 60 + second) + static_cast<double>(millisecond) / 1000) /
         86400;
}

std::optional<DateTimeParts> splitSerial(double serial, DateSystem system, TimeRounding rounding) {
  if (!(serial >= 0) || serial >= static_cast<double>(lastSerial(system)) + 1) return std::nullopt;
  const double whole = std::floor(serial);
  const double fraction = serial - whole; // exact for a non-negative double
  constexpr int64_t kMillisecondsPerDay = 86400000;
  int64_t milliseconds = rounding == TimeRounding::Second ? std::llround(fraction * 86400) * 1000
                                                          : std::llround(fraction * kMillisecondsPerDay);
  auto day = static_cast<int64_t>(whole);
  if (milliseconds >= kMillisecondsPerDay) {
    ++day;
    milliseconds -= kMillisecondsPerDay;
  }
  std::optional<CivilDate> date = civilFromSerial(day, system);
  if (!date) return std::nullopt;
  DateTimeParts parts;
  parts.date = *date;
  parts.hour = static_cast<int32_t>(milliseconds / 3600000);
  parts.minute = static_cast<int32_t>(milliseconds / 60000 % 60);
  parts.second = static_cast<int32_t>(milliseconds / 1000 % 60);
  parts.millisecond = static_cast<int32_t>(milliseconds % 1000);
  return parts;
}

int32_t daysInMonth(int64_t year, int64_t month) {
  static constexpr int32_t kLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  if (month == 2 && year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)) return 29;
  return kLengths[month - 1];
}

// ---------------------------------------------------------------- the current moment

double currentDateTimeSerial(bool date1904) {
  const LocalDateTime now = localDateTimeNow();
  std::optional<int32_t> day = serialFromCivil(now.year, now.month, now.day, dateSystemOf(date1904));
  if (!day) return 0;
  return *day + dayFraction(now.hour, now.minute, now.second, now.millisecond);
}

void setDateTimeClock(DateTimeClock clock) {
  activeClock = clock;
}

double clockDateTimeSerial(bool date1904) {
  return activeClock ? activeClock(date1904) : currentDateTimeSerial(date1904);
}

} // namespace cwbk
