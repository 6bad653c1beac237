// Conversions between kinds (display texts, numbers from text, errors, booleans), the in-place
// numeric operations, equality and ordering across kinds, the order of the lookup searches, decimal
// rounding, and the localization of the display texts.
#include "values/conversions.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/locale_settings.h"
#include "platform/number_text.h"
#include "platform/text_services.h"

namespace cwbk {

namespace {

// Number texts longer than this are not numbers.
constexpr size_t kNumberTextLimit = 512;
// Excel shows and compares at most 15 significant digits.
constexpr int kSignificantDigits = 15;
// Arrays nested deeper than this show as the "#VALUE!" text.
constexpr int kMaxDisplayDepth = 8;

DateTextParser gDateTextParser = nullptr;

bool isDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}
bool isBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}

// Returns the text without leading and trailing spaces and tabs.
std::u16string_view trimBlanks(std::u16string_view t) {
  while (!t.empty() && isBlank(t.back()))
    t.remove_suffix(1);
  while (!t.empty() && isBlank(t.front()))
    t.remove_prefix(1);
  return t;
}

bool contains(std::u16string_view text, std::u16string_view part) {
  return !part.empty() && text.find(part) != std::u16string_view::npos;
}

std::u16string asciiText(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}

bool fitsInteger(double x) {
  return x >= INT32_MIN && x <= INT32_MAX && x == std::trunc(x);
}

// Replaces every '.' of a number text by the locale's decimal separator.
std::u16string withDecimalSeparator(std::u16string text) {
  const std::u16string& separator = localeSettings().decimalSeparator;
  if (separator == u"." || separator.empty()) return text;
  std::u16string out;
  out.reserve(text.size() + separator.size());
  for (char16_t c : text) {
    if (c == u'.')
      out += separator;
    else
      out.push_back(c);
  }
  return out;
}

// Returns the fixed-point text of |x| rounded to 15 significant digits, without trailing zeros
// after the point and without a bare point.
std::u16string fixedText(const DecimalDigits& d) {
  std::u16string out;
  if (d.negative) out.push_back(u'-');
  const std::string& digits = d.digits;
  if (d.exponent < 0) {
    out += u"0.";
    out.append(static_cast<size_t>(-d.exponent - 1), u'0');
    out += asciiText(digits);
    return out;
  }
  size_t integerDigits = static_cast<size_t>(d.exponent) + 1;
  if (digits.size() <= integerDigits) {
    out += asciiText(digits);
    out.append(integerDigits - digits.size(), u'0');
  } else {
    out += asciiText(digits.substr(0, integerDigits));
    out.push_back(u'.');
    out += asciiText(digits.substr(integerDigits));
  }
  return out;
}

// Reads a currency amount: the currency symbol at its place, the monetary separators and grouping.
std::optional<double> parseCurrencyAmount(std::u16string_view text) {
  const LocaleSettings& ls = localeSettings();
  // The symbols in the order of their code units; the first one found in the text is the one read.
  std::u16string symbols[3] = {u"$", u"\u20AC", ls.currencySymbol};
  size_t symbolCount =
      ls.currencySymbol.empty() || ls.currencySymbol == u"$" || ls.currencySymbol == u"\u20AC" ? 2 : 3;
  for (size_t i = 1; i < symbolCount; ++i)
    for (size_t j = i; j > 0 && symbols[j] < symbols[j - 1]; --j)
      symbols[j].swap(symbols[j - 1]);

  std::u16string amount(text);
  for (size_t s = 0; s < symbolCount; ++s) {
    const std::u16string& symbol = symbols[s];
    size_t at = amount.find(symbol);
    if (at == std::u16string::npos) continue;
    bool symbolLast = ls.currencyPosition == 1 || ls.currencyPosition == 3;
    if (symbolLast) {
      if (at + symbol.size() != amount.size()) return std::nullopt;
      amount.resize(at);
    } else {
      size_t start = !amount.empty() && (amount[0] == u'+' || amount[0] == u'-') ? 1 : 0;
      if (at != start) return std::nullopt;
      amount.erase(at, symbol.size());
      if (contains(amount, ls.currencySymbol)) return std::nullopt;
    }
    amount = std::u16string(trimBlanks(amount));
    if (amount.empty()) return std::nullopt;
    break;
  }

  const std::u16string& decimal = ls.monetaryDecimalSeparator;
  const std::u16string& thousands = ls.monetaryThousandsSeparator;
  if (decimal.size() > 1 || thousands.size() > 1) return std::nullopt;
  // Scanned from the right, so that each thousands separator can count the digits of its group.
  std::u16string kept;
  kept.reserve(amount.size());
  size_t groupDigits = 0;
  bool seenThousands = false, seenExponent = false, seenDecimal = false;
  for (size_t i = amount.size(); i-- > 0;) {
    char16_t c = amount[i];
    if (isDigit(c)) {
      kept.push_back(c);
      ++groupDigits;
    } else if (c == u'+' || c == u'-') {
      if (i != 0) return std::nullopt;
      kept.push_back(c);
    } else if (!decimal.empty() && c == decimal[0]) {
      if (seenThousands || seenExponent || seenDecimal) return std::nullopt;
      seenDecimal = true;
      kept.push_back(u'.');
      groupDigits = 0;
    } else if (c == u'E' || c == u'e') {
      if (seenThousands || seenExponent || seenDecimal) return std::nullopt;
      seenExponent = true;
      kept.push_back(c);
      groupDigits = 0;
    } else if (!thousands.empty() && c == thousands[0]) {
      // A separator needs whole groups to its right and a digit to its left.
      int grouping = ls.monetaryGrouping;
      if (groupDigits == 0 || (grouping > 0 && groupDigits % static_cast<size_t>(grouping) != 0))
        return std::nullopt;
      if (i == 0 || !isDigit(amount[i - 1])) return std::nullopt;
      seenThousands = true;
      groupDigits = 0;
    } else {
      return std::nullopt;
    }
  }
  std::u16string number(kept.rbegin(), kept.rend());
  return parseDecimalText(number);
}

// Returns -1, 0 or 1 for two integers.
int compareIntegers(int64_t a, int64_t b) {
  return a < b ? -1 : a > b ? 1 : 0;
}

// Rounds to 15 decimal places where that is within a double's precision.
double roundTo15Places(double x) {
  if (!(std::fabs(x) < 10)) return x;
  return std::round(x * 1e15) / 1e15;
}

// Returns -1, 0 or 1 for two numbers: values within 15 significant digits of each other are equal.
int compareNumbers(double x, double y) {
  double relative = x == 0 || y == 0 ? 1 : std::fabs((x - y) / std::fmax(x, y));
  if (relative < 1e-15) {
    x = roundTo15Places(x);
    y = roundTo15Places(y);
  }
  if (approximatelyEqual(x, y)) return 0;
  return x < y ? -1 : 1;
}

// The place of a kind in the order across kinds.
int kindRank(const CalcValue& v) {
  switch (v.kind()) {
  case CalcValue::Empty:
    return 0;
  case CalcValue::Integer:
  case CalcValue::Double:
    return 1;
  case CalcValue::ShortText:
  case CalcValue::LongText:
    return 2;
  case CalcValue::Boolean:
    return 3;
  case CalcValue::Reference:
    return 4;
  case CalcValue::ReferenceList:
    return 5;
  case CalcValue::Array:
    return 6;
  case CalcValue::Error:
    return 7;
  }
  return 8;
}

// Returns the first element of an array (null when it has none), any other value itself.
const CalcValue* firstElementOf(const CalcValue& v) {
  return v.isArray() ? v.element(0, 0) : &v;
}

// Returns -1, 0 or 1 for two values by the ordering rules, or nullopt when an array side has no
// element (every comparison is then false).
std::optional<int> compareValues(const CalcValue& left, const CalcValue& right) {
  const CalcValue* pa = firstElementOf(left);
  const CalcValue* pb = firstElementOf(right);
  if (!pa || !pb) return std::nullopt;
  const CalcValue& a = *pa;
  const CalcValue& b = *pb;
  if (a.isEmpty() || b.isEmpty()) {
    if (a.isEmpty() && b.isEmpty()) return 0;
    const CalcValue& other = a.isEmpty() ? b : a;
    int sign = a.isEmpty() ? 1 : -1; // the result as seen from the empty side
    if (other.isNumber()) return sign * compareNumbers(0, other.numberValue());
    if (other.isText()) return sign * (other.textLength() == 0 ? 0 : -1);
    if (other.isBoolean()) return sign * (other.booleanValue() ? -1 : 0);
    return sign * -1;
  }
  if (a.isNumber() && b.isNumber()) {
    if (a.kind() == CalcValue::Integer && b.kind() == CalcValue::Integer)
      return compareIntegers(a.integer(), b.integer());
    return compareNumbers(a.numberValue(), b.numberValue());
  }
  if (a.isText() && b.isText()) {
    int r = compareTexts(a.textView(), b.textView());
    return r < 0 ? -1 : r > 0 ? 1 : 0;
  }
  if (a.isBoolean() && b.isBoolean()) return compareIntegers(a.booleanValue(), b.booleanValue());
  if (a.isErrorValue() && b.isErrorValue()) return compareIntegers(a.errorCode(), b.errorCode());
  return compareIntegers(kindRank(a), kindRank(b));
}

bool isPrintableAscii(std::u16string_view t) {
  for (char16_t c : t)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

// Texts are equal when they have the same length and the collation finds no difference; printable
// ASCII texts only differ in case then, which is checked without the collation.
bool equalTexts(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  if (a == b) return true;
  if (isPrintableAscii(a) && isPrintableAscii(b)) return equalIgnoringCase(a, b);
  return collateIgnoringCase(a, b) == 0;
}

std::u16string displayTextAt(const CalcValue& v, int depth) {
  switch (v.kind()) {
  case CalcValue::Empty:
    return std::u16string();
  case CalcValue::Integer:
    return asciiText(std::to_string(v.integer()));
  case CalcValue::Double:
    return numberText(v.doubleValue());
  case CalcValue::ShortText:
  case CalcValue::LongText:
    return std::u16string(v.textView());
  case CalcValue::Boolean:
    return std::u16string(booleanText(v.booleanValue()));
  case CalcValue::Error:
    return std::u16string(errorText(v.errorCode()));
  case CalcValue::Reference:
  case CalcValue::ReferenceList:
    return std::u16string(errorText(ErrValue));
  case CalcValue::Array:
    break;
  }
  if (depth >= kMaxDisplayDepth) return std::u16string(errorText(ErrValue));
  const std::u16string& listSeparator = localeSettings().listSeparator;
  std::u16string out = u"{";
  uint32_t columns = v.arrayColumns(), rows = v.arrayRows();
  for (uint32_t r = 0; r < rows; ++r) {
    if (r > 0) out.push_back(u';');
    for (uint32_t c = 0; c < columns; ++c) {
      if (c > 0) out += listSeparator;
      const CalcValue* e = v.element(c, r);
      if (!e) continue;
      if (e->isText()) {
        out.push_back(u'"');
        out += e->textView();
        out.push_back(u'"');
      } else {
        out += displayTextAt(*e, depth + 1);
      }
    }
  }
  out.push_back(u'}');
  return out;
}

struct LanguageEntry {
  int id;
  std::u16string_view name;
};
constexpr LanguageEntry kLanguages[] = {
    {5, u"Czech"},    {6, u"Danish"},     {7, u"German"},   {8, u"Greek"},       {9, u"English"},
    {10, u"Spanish"}, {11, u"Finnish"},   {12, u"French"},  {14, u"Hungarian"},  {16, u"Italian"},
    {19, u"Dutch"},   {20, u"Norwegian"}, {21, u"Polish"},  {22, u"Portuguese"}, {24, u"Romanian"},
    {25, u"Russian"}, {29, u"Swedish"},   {31, u"Turkish"}, {36, u"Slovenian"},
};

// Splits at `separator`; a trailing CR of each piece is dropped when `dropCarriageReturn` is set.
std::vector<std::u16string_view> split(std::u16string_view text, char16_t separator,
                                       bool dropCarriageReturn) {
  std::vector<std::u16string_view> pieces;
  for (;;) {
    size_t at = text.find(separator);
    std::u16string_view piece = text.substr(0, at);
    if (dropCarriageReturn && !piece.empty() && piece.back() == u'\r') piece.remove_suffix(1);
    pieces.push_back(piece);
    if (at == std::u16string_view::npos) break;
    text.remove_prefix(at + 1);
  }
  return pieces;
}

} // namespace

std::u16string displayText(const CalcValue& v) {
  return displayTextAt(v, 0);
}

std::u16string numberText(double x) {
  if (x == 0 || !std::isfinite(x)) return u"0";
  if (fitsInteger(x)) return asciiText(std::to_string(static_cast<int32_t>(x)));
  // The digits before the point are counted after rounding, so that 999999999999999.9 (which
  // rounds to 1E+15) takes the exponent form like any other 16-digit number.
  DecimalDigits d = decimalDigits(x, kSignificantDigits);
  int digitsBeforePoint = d.exponent + 1;
  if (digitsBeforePoint < -13 || digitsBeforePoint > 15)
    return withDecimalSeparator(exponentText(x, kSignificantDigits));
  return withDecimalSeparator(fixedText(d));
}

std::optional<double> parseNumber(std::u16string_view text) {
  if (text.empty() || text.size() > kNumberTextLimit) return std::nullopt;
  std::u16string_view t = trimBlanks(text);
  if (t.empty()) return std::nullopt;

  const LocaleSettings& ls = localeSettings();
  if (contains(t, ls.monetaryThousandsSeparator) || contains(t, ls.currencySymbol) || contains(t, u"$") ||
      contains(t, u"\u20AC")) {
    if (std::optional<double> amount = parseCurrencyAmount(t)) return amount;
  }

  const std::u16string_view decimal =
      ls.decimalSeparator.empty() ? std::u16string_view(u".") : ls.decimalSeparator;
  std::u16string number;
  number.reserve(t.size());
  bool seenDecimal = false, seenExponent = false, percent = false;
  bool leadingSign = t[0] == u'+' || t[0] == u'-';
  bool afterLeadingSign = leadingSign; // only blanks so far after a leading sign
  for (size_t i = 0; i < t.size();) {
    char16_t c = t[i];
    if (percent) return std::nullopt; // '%' must be the last character
    if (c != u' ' && i > 0) afterLeadingSign = false;
    if (isDigit(c)) {
      number.push_back(c);
    } else if (t.substr(i, decimal.size()) == decimal) {
      if (seenDecimal || seenExponent) return std::nullopt;
      seenDecimal = true;
      number.push_back(u'.');
      i += decimal.size();
      continue;
    } else if (c == u'E' || c == u'e') {
      if (seenExponent || i == 0) return std::nullopt;
      seenExponent = true;
      number.push_back(c);
    } else if (c == u'+' || c == u'-') {
      bool afterExponent = seenExponent && (t[i - 1] == u'E' || t[i - 1] == u'e');
      if (i != 0 && !afterExponent) return std::nullopt;
      number.push_back(c);
    } else if (c == u' ') {
      // Blanks between a leading sign and the digits are dropped ("- 5" is -5); trailing blanks
      // are already gone, so any other blank fails.
      if (!afterLeadingSign) return std::nullopt;
    } else if (c == u'%') {
      percent = true;
    } else {
      return std::nullopt;
    }
    ++i;
  }
  std::optional<double> value = parseDecimalText(number);
  if (!value) return std::nullopt;
  return percent ? *value / 100 : *value;
}

std::optional<double> toNumber(const CalcValue& v) {
  switch (v.kind()) {
  case CalcValue::Empty:
    return 0.0;
  case CalcValue::Integer:
  case CalcValue::Double:
    return v.numberValue();
  case CalcValue::Boolean:
    return v.booleanValue() ? 1.0 : 0.0;
  case CalcValue::ShortText:
  case CalcValue::LongText: {
    if (std::optional<double> x = parseNumber(v.textView())) return x;
    if (gDateTextParser) return gDateTextParser(v.textView());
    return std::nullopt;
  }
  default:
    return std::nullopt; // errors, references and arrays
  }
}

void setDateTextParser(DateTextParser parser) {
  gDateTextParser = parser;
}

DateTextParser dateTextParser() {
  return gDateTextParser;
}

std::optional<CalcError> parseError(std::u16string_view text) {
  return errorFromText(text);
}

bool isErrorText(std::u16string_view text) {
  return !text.empty() && text[0] == u'#' && parseError(text);
}

std::optional<bool> parseBoolean(std::u16string_view text) {
  if (equalIgnoringCase(text, trueText())) return true;
  if (equalIgnoringCase(text, falseText())) return false;
  return std::nullopt;
}

// Stores a result: an Integer when the target was one and the result is a 32-bit integer.
static void storeResult(CalcValue& target, bool wasInteger, double result) {
  if (wasInteger && fitsInteger(result))
    target.setInteger(static_cast<int32_t>(result));
  else
    target.setDouble(result);
}

void add(CalcValue& target, const CalcValue& other) {
  storeResult(target, target.kind() == CalcValue::Integer, target.numberValue() + other.numberValue());
}

void subtract(CalcValue& target, const CalcValue& other) {
  storeResult(target, target.kind() == CalcValue::Integer, target.numberValue() - other.numberValue());
}

void multiply(CalcValue& target, const CalcValue& other) {
  storeResult(target, target.kind() == CalcValue::Integer, target.numberValue() * other.numberValue());
}

void divide(const CalcValue& divisor, CalcValue& target) {
  double d = divisor.numberValue();
  if (d == 0)
    target.setInteger(0);
  else
    target.setDouble(target.numberValue() / d);
}

bool approximatelyEqual(double x, double y) {
  if (x == y) return true;
  if ((x < 0) != (y < 0)) return false;
  if (!std::isfinite(x) || !std::isfinite(y)) return false;
  // Equal when they differ by less than half a unit of the 15th significant digit of the larger.
  double larger = std::fmax(std::fabs(x), std::fabs(y));
  double difference = std::fabs(y - x);
  // The unit lies between a tenth of the larger and the larger itself, scaled: most pairs are decided
  // by those bounds without the logarithm.
  if (difference >= 5e-15 * larger * (1 + 1e-12)) return false;
  if (difference < 5e-16 * larger * (1 - 1e-12)) return true;
  double tolerance = 5 * std::pow(10.0, std::floor(std::log10(larger)) - kSignificantDigits);
  return difference < tolerance;
}

bool equal(const CalcValue& a, const CalcValue& b) {
  if (a.isNumber() && b.isNumber()) {
    if (a.kind() == CalcValue::Integer && b.kind() == CalcValue::Integer) return a.integer() == b.integer();
    return approximatelyEqual(a.numberValue(), b.numberValue());
  }
  if (a.isText() && b.isText()) return equalTexts(a.textView(), b.textView());
  if (a.kind() == b.kind()) {
    switch (a.kind()) {
    case CalcValue::Empty:
      return true;
    case CalcValue::Boolean:
      return a.booleanValue() == b.booleanValue();
    case CalcValue::Error:
      return a.errorCode() == b.errorCode();
    case CalcValue::Array: {
      uint32_t columns = a.arrayColumns(), rows = a.arrayRows();
      if (columns != b.arrayColumns() || rows != b.arrayRows()) return false;
      CalcValue empty;
      for (uint32_t r = 0; r < rows; ++r)
        for (uint32_t c = 0; c < columns; ++c) {
          const CalcValue* x = a.element(c, r);
          const CalcValue* y = b.element(c, r);
          if (!equal(x ? *x : empty, y ? *y : empty)) return false;
        }
      return true;
    }
    default:
      return false;
    }
  }
  if (a.isEmpty() || b.isEmpty()) {
    const CalcValue& other = a.isEmpty() ? b : a;
    if (other.isNumber()) return other.numberValue() == 0;
    if (other.isText()) return other.textLength() == 0;
    if (other.isBoolean()) return !other.booleanValue();
  }
  if (a.isArray() || b.isArray()) {
    const CalcValue* x = firstElementOf(a);
    const CalcValue* y = firstElementOf(b);
    return x && y && equal(*x, *y);
  }
  return false;
}

bool less(const CalcValue& a, const CalcValue& b) {
  std::optional<int> r = compareValues(a, b);
  return r && *r < 0;
}

bool greater(const CalcValue& a, const CalcValue& b) {
  std::optional<int> r = compareValues(a, b);
  return r && *r > 0;
}

bool greaterOrEqual(const CalcValue& a, const CalcValue& b) {
  std::optional<int> r = compareValues(a, b);
  return r && *r >= 0;
}

bool greaterOrEqualAlt(const CalcValue& a, const CalcValue& b) {
  return greaterOrEqual(a, b);
}

int compareTexts(std::u16string_view a, std::u16string_view b) {
  if (a.empty() || b.empty()) return a.empty() ? (b.empty() ? 0 : -1) : 1;
  auto isMark = [](char16_t c) { return c == u'-' || c == u'\''; };
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (a[i] == b[j]) {
      ++i;
      ++j;
    } else if (isMark(a[i]) || isMark(b[j])) {
      while (i < a.size() && isMark(a[i]))
        ++i;
      while (j < b.size() && isMark(b[j]))
        ++j;
    } else {
      return collateIgnoringCase(a, b);
    }
  }
  // One text ran out: what remains of the other decides, unless it is only hyphens and apostrophes.
  while (i < a.size() && isMark(a[i]))
    ++i;
  while (j < b.size() && isMark(b[j]))
    ++j;
  if (i == a.size() && j == b.size()) return 0;
  return collateIgnoringCase(a, b);
}

// ---------------------------------------------------------------- the order of searches

uint32_t comparisonClass(const CalcValue& v) {
  if (v.isNumber()) return CalcValue::Integer;
  if (v.isText()) return CalcValue::ShortText;
  return v.kind();
}

bool sameComparisonClass(const CalcValue& a, const CalcValue& b) {
  return comparisonClass(a) == comparisonClass(b);
}

int searchOrder(const CalcValue& a, const CalcValue& b) {
  if (a.isNumber() && b.isNumber()) {
    double x = a.numberValue(), y = b.numberValue();
    if (x == y || approximatelyEqual(x, y)) return 0;
    return x < y ? -1 : 1;
  }
  if (!sameComparisonClass(a, b)) return comparisonClass(a) < comparisonClass(b) ? -1 : 1;
  if (equal(a, b)) return 0;
  return less(a, b) ? -1 : 1;
}

// ---------------------------------------------------------------- decimal rounding

// The 15 significant digits of |x| are taken from its exponent form ("d.dddddddddddddde+XX"), rounded
// as decimal digits at the wanted place, and read back. Reading back goes through strtod on a text
// without a decimal point, so the process locale cannot disturb it.
double decimalRound(double x, int digits, DecimalRounding mode) {
  if (x == 0 || !std::isfinite(x)) return x;
  char text[64];
  std::snprintf(text, sizeof text, "%.14e", std::fabs(x));
  int mantissa[16] = {};
  int count = 0;
  const char* p = text;
  for (; *p && *p != 'e' && *p != 'E'; ++p)
    if (*p >= '0' && *p <= '9' && count < 15) mantissa[count++] = *p - '0';
  if (count != 15 || !*p) return x;
  int exponent = std::atoi(p + 1);
  // Digit i has the place value 10^(exponent - i); the digits kept are those at 10^-digits and above.
  long kept = static_cast<long>(exponent) + digits + 1;
  if (kept >= 15) return x;
  bool dropsNonZero = false;
  for (long i = kept < 0 ? 0 : kept; i < 15; ++i)
    dropsNonZero = dropsNonZero || mantissa[i] != 0;
  bool up = false;
  switch (mode) {
  case DecimalRounding::HalfAwayFromZero:
    up = kept >= 0 && mantissa[kept] >= 5;
    break;
  case DecimalRounding::AwayFromZero:
    up = dropsNonZero;
    break;
  case DecimalRounding::TowardZero:
    break;
  }
  double sign = x < 0 ? -1.0 : 1.0;
  if (kept <= 0) {
    if (!up) return 0.0 * sign;
    std::snprintf(text, sizeof text, "1e%d", -digits);
    return sign * std::strtod(text, nullptr);
  }
  // Whole mantissa of the kept digits, then the increment; a carry out simply adds a digit.
  long long whole = 0;
  for (long i = 0; i < kept; ++i)
    whole = whole * 10 + mantissa[i];
  if (up) ++whole;
  std::snprintf(text, sizeof text, "%llde%d", whole, -digits);
  return sign * std::strtod(text, nullptr);
}

std::u16string_view languageName(int languageId) {
  for (const LanguageEntry& e : kLanguages)
    if (e.id == languageId) return e.name;
  return u"English";
}

int languageIdByName(std::u16string_view name) {
  for (const LanguageEntry& e : kLanguages)
    if (equalIgnoringCase(name, e.name)) return e.id;
  return 9;
}

bool forEachTranslation(std::u16string_view table, std::u16string_view language,
                        const std::function<void(std::u16string_view key, std::u16string_view text)>& visit) {
  std::vector<std::u16string_view> lines = split(table, u'\n', true);
  std::vector<std::u16string_view> headings = split(lines[0], u';', false);
  size_t column = headings.size();
  for (size_t i = 0; i < headings.size() && column == headings.size(); ++i)
    if (equalIgnoringCase(headings[i], language)) column = i;
  if (column == headings.size()) return false;
  for (size_t l = 1; l < lines.size(); ++l) {
    std::vector<std::u16string_view> fields = split(lines[l], u';', false);
    if (column < fields.size()) visit(fields[0], fields[column]);
  }
  return true;
}

void applyLocalization(std::u16string_view table, int languageId) {
  if (languageId == 9) return;
  std::u16string_view language = languageName(languageId);
  // Lines are matched against the texts in force before the table, never against new ones.
  const DisplayTexts current = displayTexts();
  DisplayTexts fresh = current;
  const bool found =
      forEachTranslation(table, language, [&](std::u16string_view key, std::u16string_view text) {
        // An empty translation would make the empty text read as an error or a boolean: keep the old.
        if (text.empty()) return;
        size_t target = fresh.size();
        for (size_t e = 0; e < kAllErrors.size() && target == fresh.size(); ++e)
          if (key == current[e]) target = e;
        if (target == fresh.size()) {
          if (equalIgnoringCase(key, u"TRUE"))
            target = 7;
          else if (equalIgnoringCase(key, u"FALSE"))
            target = 8;
          else
            return;
        }
        fresh[target] = std::u16string(text);
      });
  if (!found) return;
  setDisplayTexts(fresh);
  setRuntimeLanguage(language);
}

} // namespace cwbk
