// Locale-independent number texts over std::from_chars and std::to_chars, which convert exactly and
// never consult the process locale, so both targets give the same digits for the same double.
#include "platform/number_text.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace cwbk {

static bool isDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

// Returns the power of ten of the first non-zero digit of a checked decimal text (sign already
// removed) plus its exponent, clamped: tells an underflow from an overflow.
static long magnitudeOf(const std::string& text) {
  size_t mantissaEnd = text.find_first_of("eE");
  if (mantissaEnd == std::string::npos) mantissaEnd = text.size();
  size_t pointAt = text.find('.');
  if (pointAt == std::string::npos || pointAt > mantissaEnd) pointAt = mantissaEnd;
  long magnitude = 0;
  bool found = false;
  for (size_t i = 0; i < mantissaEnd && !found; ++i) {
    if (text[i] == '.' || text[i] == '0') continue;
    found = true;
    magnitude = i < pointAt ? static_cast<long>(pointAt - i) - 1 : -static_cast<long>(i - pointAt);
  }
  if (!found) return 0;
  long exponent = 0;
  bool negativeExponent = false;
  size_t i = mantissaEnd + 1;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negativeExponent = text[i++] == '-';
  for (; i < text.size(); ++i)
    if (exponent < 100000) exponent = exponent * 10 + (text[i] - '0');
  return magnitude + (negativeExponent ? -exponent : exponent);
}

std::optional<double> parseDecimalText(std::u16string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  std::string body;
  body.reserve(text.size() - i);
  size_t mantissaDigits = 0;
  bool point = false;
  for (; i < text.size() && text[i] != u'e' && text[i] != u'E'; ++i) {
    char16_t c = text[i];
    if (isDigit(c))
      ++mantissaDigits;
    else if (c == u'.' && !point)
      point = true;
    else
      return std::nullopt;
    body.push_back(static_cast<char>(c));
  }
  if (mantissaDigits == 0) return std::nullopt;
  if (i < text.size()) {
    body.push_back('e');
    ++i;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) body.push_back(static_cast<char>(text[i++]));
    size_t exponentDigits = 0;
    for (; i < text.size(); ++i, ++exponentDigits) {
      if (!isDigit(text[i])) return std::nullopt;
      body.push_back(static_cast<char>(text[i]));
    }
    if (exponentDigits == 0) return std::nullopt;
  }
  double value = 0;
  const char* first = body.data();
  const char* last = first + body.size();
  std::from_chars_result r = std::from_chars(first, last, value, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) {
    if (r.ptr != last || magnitudeOf(body) >= 0) return std::nullopt;
    value = 0; // underflow
  } else if (r.ec != std::errc() || r.ptr != last || !std::isfinite(value)) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

DecimalDigits decimalDigits(double x, int significant) {
  DecimalDigits result;
  if (significant < 1) significant = 1;
  if (significant > 17) significant = 17;
  result.negative = x < 0;
  if (x == 0 || !std::isfinite(x)) {
    result.digits.assign(1, '0'); // not = "0": GCC 12 warns falsely (-Wrestrict) on it
    return result;
  }
  char buffer[64];
  std::to_chars_result r = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(x),
                                         std::chars_format::scientific, significant - 1);
  const char* end = r.ptr;
  const char* p = buffer;
  for (; p < end && *p != 'e'; ++p)
    if (*p >= '0' && *p <= '9') result.digits.push_back(*p);
  while (result.digits.size() > 1 && result.digits.back() == '0')
    result.digits.pop_back();
  if (p < end) {
    ++p;
    bool negativeExponent = false;
    if (p < end && (*p == '+' || *p == '-')) negativeExponent = *p++ == '-';
    int exponent = 0;
    for (; p < end; ++p)
      exponent = exponent * 10 + (*p - '0');
    result.exponent = negativeExponent ? -exponent : exponent;
  }
  return result;
}

std::u16string exponentText(double x, int significant) {
  DecimalDigits d = decimalDigits(x, significant);
  std::u16string out;
  if (d.negative) out.push_back(u'-');
  out.push_back(static_cast<char16_t>(d.digits[0]));
  if (d.digits.size() > 1) {
    out.push_back(u'.');
    for (size_t i = 1; i < d.digits.size(); ++i)
      out.push_back(static_cast<char16_t>(d.digits[i]));
  }
  out.push_back(u'E');
  out.push_back(d.exponent < 0 ? u'-' : u'+');
  int e = d.exponent < 0 ? -d.exponent : d.exponent;
  std::u16string exponentDigits;
  do {
    exponentDigits.insert(exponentDigits.begin(), static_cast<char16_t>(u'0' + e % 10));
    e /= 10;
  } while (e > 0);
  if (exponentDigits.size() < 2) exponentDigits.insert(exponentDigits.begin(), u'0');
  return out + exponentDigits;
}

} // namespace cwbk
