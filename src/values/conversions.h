// Conversions between kinds (display texts, numbers from text, errors, booleans), the in-place
// numeric operations, equality and ordering across kinds with the text collation, and the
// localization of the error and boolean texts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "values/calc_value.h"

namespace cwbk {

// The text a value shows: numbers through numberText, errors and booleans through the current
// display texts, arrays as "{...}", references as the "#VALUE!" text.
std::u16string displayText(const CalcValue& v);
// A double as the spreadsheet shows it: up to 15 significant digits, exponent form outside
// 1e-14..1e15, the locale's decimal separator.
std::u16string numberText(double x);
// A number from text (currency amounts and percentages included); nullopt on failure.
std::optional<double> parseNumber(std::u16string_view text);
// The conversion of the arithmetic operators; texts that are no number go to the date and time
// parser when one is installed.
std::optional<double> toNumber(const CalcValue& v);
using DateTextParser = std::optional<double> (*)(std::u16string_view text);
void setDateTextParser(DateTextParser parser);

std::optional<CalcError> parseError(std::u16string_view text);
bool isErrorText(std::u16string_view text);
std::optional<bool> parseBoolean(std::u16string_view text);

// In place, for Integer and Double values.
void add(CalcValue& target, const CalcValue& other);
void subtract(CalcValue& target, const CalcValue& other);
void multiply(CalcValue& target, const CalcValue& other);
// target = target / divisor as a Double; a zero divisor leaves Integer 0.
void divide(const CalcValue& divisor, CalcValue& target);

bool approximatelyEqual(double x, double y);
bool equal(const CalcValue& a, const CalcValue& b);
bool less(const CalcValue& a, const CalcValue& b);
bool greater(const CalcValue& a, const CalcValue& b);
bool greaterOrEqual(const CalcValue& a, const CalcValue& b);
// The second ordering routine: a >= b, used for "b <= a".
bool greaterOrEqualAlt(const CalcValue& a, const CalcValue& b);
// The text collation of the ordering: negative, zero or positive.
int compareTexts(std::u16string_view a, std::u16string_view b);

// The language table: English names by Windows primary language id, and the reverse.
std::u16string_view languageName(int languageId);
int languageIdByName(std::u16string_view name);
// Sets the nine display texts from a localization table (CR LF lines, ';' fields).
void applyLocalization(std::u16string_view table, int languageId);

} // namespace cwbk
