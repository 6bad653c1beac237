// The date and time worksheet functions. Dates are serials of the workbook's date system (the 1900
// system with its 29 February 1900, or the 1904 system); a text where a date is expected is read as a
// typed entry reads (a date, a time or a number), and the time of day of a serial is rounded to the
// second before its date is taken, as the date shows.
#include "functions/date_time.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "formula/argument_list.h"
#include "formula/compiled_workbook.h"
#include "formula/formula_node.h"
#include "functions/arguments.h"
#include "parse/date_time_text.h"
#include "platform/text_services.h"
#include "values/date_serial.h"

namespace cwbk {

namespace {

// Years DATE accepts; below 1900 they count from 1900 (DATE(99, 1, 1) is 1999-01-01).
constexpr double kYearLimit = 10000;
constexpr double kYearBase = 1900;
// Months and days beyond this size land outside every date; bounding them keeps the arithmetic exact.
constexpr double kOffsetLimit = 1e9;
// The 1904 system's serials lie this many days below the 1900 system's.
constexpr int64_t kSystemOffset = 1462;

const CalculationState* calculationState(const EvaluationContext& context) {
  const CompiledWorkbook* workbook = context.cellWorkbook();
  return workbook ? &workbook->state() : nullptr;
}

DateSystem dateSystem(const EvaluationContext& context) {
  const CalculationState* state = calculationState(context);
  return dateSystemOf(state && state->date1904);
}

// Returns the whole day of a serial, its time rounded to the second first (0.999999999 is day 1).
int64_t wholeDay(double serial) {
  const double day = std::floor(serial);
  return static_cast<int64_t>(day) + (std::llround((serial - day) * 86400) >= 86400 ? 1 : 0);
}

// Takes argument i as a date: a number, or a text that reads as a date, a time or a number. A negative
// date or one past 9999-12-31 is "#NUM!". False with the error set.
bool dateAt(const CalcValue* const* args, size_t i, DateSystem system, double& serial, CalcValue& result) {
  if (!numberAt(args, i, 0, serial, result)) return false;
  if (serial < 0 || serial >= static_cast<double>(lastSerial(system)) + 1) {
    result.setError(ErrNum);
    return false;
  }
  return true;
}

// Takes argument i as a date and splits it into its civil date. False with the error set.
bool civilAt(const CalcValue* const* args, size_t i, DateSystem system, CivilDate& date, CalcValue& result) {
  double serial = 0;
  if (!dateAt(args, i, system, serial, result)) return false;
  std::optional<DateTimeParts> parts = splitSerial(serial, system);
  if (!parts) {
    result.setError(ErrNum);
    return false;
  }
  date = parts->date;
  return true;
}

// Stores the serial of a date, or "#NUM!" when it falls outside the system's range.
void setDateResult(CalcValue& result, int64_t year, int64_t month, int64_t day, DateSystem system) {
  std::optional<int32_t> serial = serialFromCivil(year, month, day, system);
  if (serial)
    result.setInteger(*serial);
  else
    result.setError(ErrNum);
}

// Takes argument i as a text; anything else, a number included, is "#VALUE!". False with the error set.
bool strictTextAt(const CalcValue* const* args, size_t i, std::u16string& out, CalcValue& result) {
  const CalcValue* v = argumentAt(args, i);
  if (!v || !v->isText()) {
    result.setError(ErrValue);
    return false;
  }
  out = v->textView();
  return true;
}

// ---------------------------------------------------------------- building and reading dates

// DATE(year, month, day): the serial of the date. Each argument is truncated; a year from 0 to 1899
// counts from 1900, a negative one or one from 10000 on is "#NUM!"; months and days beyond their range
// move the date (month 0 is December of the year before, day 0 the last day of the month before).
void dateFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  double year = 0, month = 0, day = 0;
  if (!integerAt(args, 0, 0, year, result) || !integerAt(args, 1, 0, month, result) ||
      !integerAt(args, 2, 0, day, result))
    return;
  if (!(year >= 0 && year < kYearLimit) || std::fabs(month) > kOffsetLimit || std::fabs(day) > kOffsetLimit)
    return result.setError(ErrNum);
  if (year < kYearBase) year += kYearBase;
  // Months that carry the year past 9999 fail even when the day would bring the date back.
  if (year + std::floor((month - 1) / 12) >= kYearLimit) return result.setError(ErrNum);
  setDateResult(result, static_cast<int64_t>(year), static_cast<int64_t>(month), static_cast<int64_t>(day),
                dateSystem(context));
}

// DATEVALUE(text): the serial of the date a text names, without its time of day. Only a text is taken.
void dateValueFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  std::u16string text;
  if (!strictTextAt(args, 0, text, result)) return;
  std::optional<double> serial = parseDateTime(text, dateSystem(context));
  if (!serial) return result.setError(ErrValue);
  setNumberResult(result, std::floor(*serial));
}

// TIMEVALUE(text): the time of day a text names as a fraction of a day; any date in the text is left
// out, and whole days of a time past 24 hours as well ("25:00" is 1:00).
void timeValueFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  std::u16string text;
  if (!strictTextAt(args, 0, text, result)) return;
  std::optional<double> time = parseTime(text);
  if (!time) return result.setError(ErrValue);
  setNumberResult(result, *time - std::floor(*time));
}

// DAY(date), MONTH(date), YEAR(date): a part of the date. Serial 0 of the 1900 system is 1900-01-00
// and serial 60 its 29 February 1900.
template <int32_t CivilDate::*Part>
void civilPartFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  CivilDate date;
  if (!civilAt(args, 0, dateSystem(context), date, result)) return;
  result.setInteger(date.*Part);
}

// WEEKDAY(date, type = 1): the day of the week. Type 1 counts Sunday as 1 to Saturday as 7, type 2
// Monday as 1 to Sunday as 7, type 3 Monday as 0 to Sunday as 6, and types 11 to 17 begin the week (at
// 1) on Monday to Sunday. Serial 1 of the 1900 system is a Sunday (the calendar's 1900-01-01 was a
// Monday, but the system's 29 February 1900 moves every earlier day by one); serial 0 of the 1904
// system, 1904-01-01, a Friday.
void weekdayFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  const DateSystem system = dateSystem(context);
  double serial = 0, type = 1;
  if (!dateAt(args, 0, system, serial, result) || !integerAt(args, 1, 1, type, result)) return;
  const int64_t offset = system == DateSystem::Base1904 ? kSystemOffset : 0;
  const int64_t sundayBased = (wholeDay(serial) + offset + 6) % 7; // 0 is Sunday
  int64_t firstDay;                                                // the weekday counted as 1
  if (type == 1 || type == 17)
    firstDay = 0;
  else if (type == 2 || type == 3)
    firstDay = 1;
  else if (type >= 11 && type <= 16)
    firstDay = static_cast<int64_t>(type) - 10;
  else
    return result.setError(ErrNum);
  const int64_t day = (sundayBased - firstDay + 7) % 7 + 1;
  result.setInteger(static_cast<int32_t>(type == 3 ? day - 1 : day));
}

// ---------------------------------------------------------------- moving by months

// Takes the start date and the month count of EDATE and EOMONTH: a Boolean is "#VALUE!" in either, as
// is a reference to several cells; a single-cell reference stands for its cell. False with the error
// set.
bool startAndMonths(const CalcValue* const* args, DateSystem system, CivilDate& start, double& months,
                    CalcValue& result) {
  const CalcValue* taken[2] = {nullptr, nullptr};
  for (size_t i = 0; i < 2; ++i) {
    const CalcValue* v = argumentAt(args, i);
    if (!v) return result.setError(ErrValue), false;
    const CalcValue& value = reducedSingleCell(*v);
    if (value.isErrorValue()) return result.copyFrom(value), false;
    if (value.isBoolean() || value.isReference() || value.isReferenceList())
      return result.setError(ErrValue), false;
    taken[i] = &value;
  }
  const CalcValue* values[] = {taken[0], taken[1], nullptr};
  if (!civilAt(values, 0, system, start, result) || !integerAt(values, 1, 0, months, result)) return false;
  if (std::fabs(months) > kOffsetLimit) return result.setError(ErrNum), false;
  return true;
}

// EDATE(start, months): the date `months` months after (before, when negative) the start, on the same
// day of the month or the month's last day when it is shorter (2000-01-31 plus one month is
// 2000-02-29).
void edateFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  const DateSystem system = dateSystem(context);
  CivilDate start;
  double months = 0;
  if (!startAndMonths(args, system, start, months, result)) return;
  const int64_t month = start.month + static_cast<int64_t>(months);
  const int64_t yearShift = (month > 0 ? month - 1 : month - 12) / 12; // floor((month - 1) / 12)
  const int64_t year = start.year + yearShift, targetMonth = month - yearShift * 12;
  const int64_t day = std::min<int64_t>(start.day, daysInMonth(year, targetMonth));
  setDateResult(result, year, targetMonth, day, system);
}

// EOMONTH(start, months): the last day of the month `months` months after the start's month.
void eomonthFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  const DateSystem system = dateSystem(context);
  CivilDate start;
  double months = 0;
  if (!startAndMonths(args, system, start, months, result)) return;
  // Day 0 of the month after is the last day of the month.
  setDateResult(result, start.year, start.month + static_cast<int64_t>(months) + 1, 0, system);
}

// ---------------------------------------------------------------- differences

// Returns true when (month1, day1) comes after (month2, day2) in a year.
bool laterInYear(const CivilDate& a, const CivilDate& b) {
  return a.month > b.month || (a.month == b.month && a.day > b.day);
}

// DATEDIF(start, end, unit): the whole years ("Y"), months ("M") or days ("D") from start to end;
// "YM" the months and "YD" the days beyond the whole years, "MD" the days beyond the whole months. An
// end before the start, or another unit, is "#NUM!".
void datedifFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  const DateSystem system = dateSystem(context);
  std::u16string unit;
  if (!textAt(args, 2, u"", unit, result)) return;
  unit = toUpperText(unit);
  if (unit != u"Y" && unit != u"M" && unit != u"D" && unit != u"MD" && unit != u"YM" && unit != u"YD")
    return result.setError(ErrNum);
  double startSerial = 0, endSerial = 0;
  if (!dateAt(args, 0, system, startSerial, result) || !dateAt(args, 1, system, endSerial, result)) return;
  const int64_t startDay = static_cast<int64_t>(startSerial), endDay = static_cast<int64_t>(endSerial);
  if (endDay < startDay) return result.setError(ErrNum);
  const CivilDate a = *civilFromSerial(startDay, system), b = *civilFromSerial(endDay, system);
  const int64_t monthsApart = (b.year - a.year) * 12 + b.month - a.month - (b.day < a.day ? 1 : 0);
  int64_t answer = 0;
  if (unit == u"D") {
    answer = endDay - startDay;
  } else if (unit == u"M") {
    answer = monthsApart;
  } else if (unit == u"Y") {
    answer = monthsApart / 12;
  } else if (unit == u"YM") {
    answer = monthsApart % 12;
  } else if (unit == u"MD") {
    // The days from the start's day in the month before the end's month (which may run into the end's
    // month, so that the answer may be negative).
    const int64_t before = b.month == 1 ? 12 : b.month - 1;
    answer = b.day >= a.day ? b.day - a.day
                            : b.day + daysInMonth(b.month == 1 ? b.year - 1 : b.year, before) - a.day;
  } else { // "YD": the days from the start's month and day in the latest year that keeps it not after the end
    const int64_t year = laterInYear(a, b) ? b.year - 1 : b.year;
    std::optional<int32_t> anniversary = serialFromCivil(year, a.month, a.day, system);
    answer = anniversary ? endDay - *anniversary : 0;
  }
  result.setInteger(static_cast<int32_t>(answer));
}

// ---------------------------------------------------------------- the current moment

// NOW(): the date and time at which the current recalculation began (every NOW of one recalculation
// agrees); the clock's outside one.
void nowFunction(EvaluationContext& context, const CalcValue* const*, CalcValue& result) {
  const CalculationState* state = calculationState(context);
  const bool date1904 = state && state->date1904;
  const double fixed = state ? state->recalculationTime : 0;
  setNumberResult(result, fixed != 0 ? fixed : clockDateTimeSerial(date1904));
}

// TODAY(): the clock's current date, read afresh at each call.
void todayFunction(EvaluationContext& context, const CalcValue* const*, CalcValue& result) {
  const CalculationState* state = calculationState(context);
  setNumberResult(result, std::floor(clockDateTimeSerial(state && state->date1904)));
}

} // namespace

std::optional<double> dateTextOfWorkbook(std::u16string_view text) {
  return parseDateTime(text, dateSystem(evaluationContext()));
}

std::span<const ImplementationRow> dateTimeRoutines() {
  static constexpr ImplementationRow rows[] = {
      {u"DATE", dateFunction},
      {u"DATEDIF", datedifFunction},
      {u"DATEVALUE", dateValueFunction},
      {u"DAY", civilPartFunction<&CivilDate::day>},
      {u"EDATE", edateFunction},
      {u"EOMONTH", eomonthFunction},
      {u"MONTH", civilPartFunction<&CivilDate::month>},
      {u"NOW", nowFunction},
      {u"TIMEVALUE", timeValueFunction},
      {u"TODAY", todayFunction},
      {u"WEEKDAY", weekdayFunction},
      {u"YEAR", civilPartFunction<&CivilDate::year>},
  };
  return rows;
}

} // namespace cwbk
