// The hexadecimal conversions HEX2DEC and DEC2HEX. Both work in 40 bits: ten hexadecimal digits, with
// negative numbers in two's complement (FFFFFFFFFF is -1), so numbers from -2^39 to 2^39 - 1.
#include "functions/engineering.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

#include "formula/argument_list.h"
#include "functions/arguments.h"

namespace cwbk {

namespace {

constexpr int64_t kHalfRange = int64_t(1) << 39; // 2^39: the first number that ten digits make negative
constexpr size_t kMostDigits = 10;

// Returns the value of a hexadecimal digit (either case), or -1.
int hexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// HEX2DEC(number): the value of up to ten hexadecimal digits (the empty text is 0); ten digits from
// 8000000000 on are negative. A number stands for the digits it is written with (HEX2DEC(10) is 16), so
// it must be whole and not negative. Other digits, or more of them, are "#NUM!"; a logical value or an
// area is "#VALUE!".
void hex2decFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  const CalcValue* argument = argumentAt(args, 0);
  if (!argument) return result.setError(ErrNA);
  const CalcValue& x = reducedSingleCell(*argument);
  std::u16string digits;
  if (x.isEmpty() || x.isNumber()) {
    double n = x.numberValue();
    if (n < 0 || n != std::trunc(n) || n >= 1e10) return result.setError(ErrNum);
    char buffer[16];
    auto written = std::to_chars(buffer, buffer + sizeof buffer, static_cast<uint64_t>(n));
    digits.assign(buffer, written.ptr);
  } else if (x.isText()) {
    digits = x.textView();
  } else {
    return result.setError(ErrValue);
  }
  if (digits.size() > kMostDigits) return result.setError(ErrNum);
  int64_t value = 0;
  for (char16_t c : digits) {
    int d = hexDigit(c);
    if (d < 0) return result.setError(ErrNum);
    value = value * 16 + d;
  }
  if (value >= kHalfRange) value -= 2 * kHalfRange;
  setNumberResult(result, static_cast<double>(value));
}

// DEC2HEX(number, places): the number, truncated, in hexadecimal with upper-case letters; a negative one
// as ten digits of two's complement. Places (truncated, 1 to 10, else "#NUM!" before anything else)
// pads a positive number with leading zeros to that many digits, fewer than it needs being "#NUM!",
// and leaves a negative one as it is. A number text counts as its number; a logical value or an area
// is "#VALUE!"; beyond 40 bits is "#NUM!".
void dec2hexFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  const CalcValue* argument = argumentAt(args, 0);
  if (!argument) return result.setError(ErrNA);
  const CalcValue* placesArgument = argumentAt(args, 1);
  double places = 0;
  if (placesArgument) {
    const CalcValue& placesValue = reducedSingleCell(*placesArgument);
    if (placesValue.isBoolean() || !valueNumber(placesValue, places)) return result.setError(ErrValue);
    places = std::trunc(places);
    if (places < 1 || places > kMostDigits) return result.setError(ErrNum);
  }
  const CalcValue& x = reducedSingleCell(*argument);
  double n = 0;
  if (x.isBoolean() || !valueNumber(x, n)) return result.setError(ErrValue);
  n = std::trunc(n);
  if (n < -static_cast<double>(kHalfRange) || n >= static_cast<double>(kHalfRange))
    return result.setError(ErrNum);
  uint64_t bits = static_cast<uint64_t>(static_cast<int64_t>(n)) & (2 * uint64_t(kHalfRange) - 1);
  char buffer[16];
  auto written = std::to_chars(buffer, buffer + sizeof buffer, bits, 16);
  std::u16string digits;
  for (const char* c = buffer; c != written.ptr; ++c)
    digits.push_back(static_cast<char16_t>(*c >= 'a' ? *c - 'a' + 'A' : *c));
  if (placesArgument && n >= 0) {
    if (places < static_cast<double>(digits.size())) return result.setError(ErrNum);
    digits.insert(0, static_cast<size_t>(places) - digits.size(), u'0');
  }
  result.setText(digits);
}

} // namespace

std::span<const ImplementationRow> engineeringRoutines() {
  static constexpr ImplementationRow rows[] = {
      {u"DEC2HEX", dec2hexFunction},
      {u"HEX2DEC", hex2decFunction},
  };
  return rows;
}

} // namespace cwbk
