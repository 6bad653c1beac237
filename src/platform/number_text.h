// Number texts independent of the process locale: the whole-text decimal conversion of the C
// locale, and the rounding of a double to significant decimal digits. Identical on every target.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace cwbk {

// Returns the double that the whole text denotes in the C locale's syntax: an optional sign, digits
// with at most one '.', an optional exponent ('e' or 'E', optional sign, digits). Fails on any other
// text and on overflow; an underflow gives zero.
std::optional<double> parseDecimalText(std::u16string_view text);

// A finite double rounded to significant digits: |value| = d0.d1d2... x 10^exponent, where d0 d1 d2
// ... are `digits`; `exponent` is the power of ten of the first digit.
struct DecimalDigits {
  bool negative = false;
  std::string digits; // without trailing zeros; "0" for zero
  int exponent = 0;
};
// Returns |x| rounded to `significant` digits (1..17), correctly rounded to nearest.
DecimalDigits decimalDigits(double x, int significant);

// Returns the exponent form of x with up to `significant` significant digits, as the spreadsheet
// shows it: the mantissa without trailing zeros, 'E', the exponent's sign and at least two digits
// ("1E+20", "-1.5E-10", "1.23456789012346E+17"). The point is '.'.
std::u16string exponentText(double x, int significant);

} // namespace cwbk
