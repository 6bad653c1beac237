// Conversions between kinds (display texts, numbers from text, errors, booleans), the in-place
// numeric operations, equality and ordering across kinds with the text collation, the order of the
// lookup searches, decimal rounding as the values show, and the localization of the error and boolean
// texts.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "values/calc_value.h"

namespace cwbk {

// The text a value shows: numbers through numberText, errors and booleans through the current
// display texts, arrays as "{...}", references as the "#VALUE!" text.
std::u16string displayText(const CalcValue& v);
// A double as the spreadsheet shows it: rounded to 15 significant digits, exponent form ("1E+20",
// "-1.5E-15") from 1E+15 up and below 1E-14, the locale's decimal separator; 0 for NaN and infinity.
std::u16string numberText(double x);
// A number from text (currency amounts and percentages included), read with the locale's separators
// whatever the process locale is; nullopt on failure and for texts over 512 code units.
std::optional<double> parseNumber(std::u16string_view text);
// The conversion of the arithmetic operators; texts that are no number go to the date and time
// parser when one is installed (it reads the workbook's date system itself).
std::optional<double> toNumber(const CalcValue& v);
using DateTextParser = std::optional<double> (*)(std::u16string_view text);
// Installs the date and time text parser that toNumber falls back to (null removes it).
void setDateTextParser(DateTextParser parser);
// Returns the installed date and time text parser (null when there is none).
DateTextParser dateTextParser();

// The error whose current display text equals the text exactly.
std::optional<CalcError> parseError(std::u16string_view text);
// True when the text starts with '#' and is a current error text.
bool isErrorText(std::u16string_view text);
// The boolean whose current display text equals the text without regard to case.
std::optional<bool> parseBoolean(std::u16string_view text);

// In place, for Integer and Double values: an Integer target stays Integer while the result is a
// 32-bit integer.
void add(CalcValue& target, const CalcValue& other);
void subtract(CalcValue& target, const CalcValue& other);
void multiply(CalcValue& target, const CalcValue& other);
// target = target / divisor as a Double; a zero divisor leaves Integer 0.
void divide(const CalcValue& divisor, CalcValue& target);

// True when x and y differ by less than half a unit in the 15th significant digit of the larger
// (and have the same sign).
bool approximatelyEqual(double x, double y);
// Equality across kinds: numbers within 15 digits, texts without regard to case, Empty as 0, the
// empty text or false, an array by its first element against a scalar.
bool equal(const CalcValue& a, const CalcValue& b);
// The order across kinds: Empty, numbers, texts, Boolean, Reference, ReferenceList, Array, Error;
// an array side stands for its first element, and an array without elements makes every one false.
bool less(const CalcValue& a, const CalcValue& b);
bool greater(const CalcValue& a, const CalcValue& b);
bool greaterOrEqual(const CalcValue& a, const CalcValue& b);
// The second ordering routine: a >= b, used for "b <= a".
bool greaterOrEqualAlt(const CalcValue& a, const CalcValue& b);
// The text collation of the ordering: negative, zero or positive. Hyphens and apostrophes are
// skipped where the texts differ; the locale's case-insensitive collation decides the rest.
int compareTexts(std::u16string_view a, std::u16string_view b);

// Returns the comparison class of a value: every number (Integer or Double) is one class, every text
// one class, and each other kind is a class of its own. Searches compare values by value only within
// a class.
uint32_t comparisonClass(const CalcValue& v);
// True when two values belong to the same comparison class.
bool sameComparisonClass(const CalcValue& a, const CalcValue& b);
// The order of the lookup searches: negative, 0 or positive for a before, equal to or after b. Numbers
// are equal within 15 digits, texts compare by the collation without regard to case, other values of
// one class by equal and less; across classes the kind codes decide (numbers, then texts, then
// Boolean, ..., Error last).
int searchOrder(const CalcValue& a, const CalcValue& b);

// How decimalRound treats the digits it drops.
enum class DecimalRounding { HalfAwayFromZero, TowardZero, AwayFromZero };
// Returns x rounded to `digits` decimal places (negative: to tens, hundreds, ...) as the number shows
// with 15 significant digits, so that 2.675 rounds to 2.68 and 0.29 truncates to 0.29; x unchanged
// when the place lies beyond its 15th digit. The result may be infinite (10^309 and the like).
double decimalRound(double x, int digits, DecimalRounding mode);

// The language table: English names by Windows primary language id ("English" for unknown ids), and
// the reverse, without regard to case (9 for unknown names).
std::u16string_view languageName(int languageId);
int languageIdByName(std::u16string_view name);
// Reads a translation table (CR LF lines, ';' fields, the first line naming the languages): calls visit
// with each later line's key (its first field) and its field in the column headed by the language
// (compared without regard to case); lines too short for that column are skipped. Returns false, visiting
// nothing, when no column is headed by the language.
bool forEachTranslation(std::u16string_view table, std::u16string_view language,
                        const std::function<void(std::u16string_view key, std::u16string_view text)>& visit);
// Sets the nine display texts from a localization table (CR LF lines, ';' fields; the column headed
// by the language's name). English (9) and a table without that column change nothing.
void applyLocalization(std::u16string_view table, int languageId);

} // namespace cwbk
