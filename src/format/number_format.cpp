// Number formats: the code is read once into sections of tokens, the section for the value is
// chosen, and the value is laid out through its tokens. Digits come from the value rounded to 15
// significant decimal digits and then rounded in decimal, so 2.675 shows as 2.68 with two decimals.
#include "format/number_format.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "platform/number_text.h"

namespace cwbk {

namespace {

// Texts longer than this are not built: the shown value could never go into a cell.
constexpr size_t kMaxShown = 32767;

enum class Tok : uint8_t {
  Literal,  // text shown as it is
  Digit,    // '0', '?' or '#'
  Point,    // the first '.' of a number section
  Comma,    // ',' (grouping between digits, scaling after them)
  Exponent, // "E+" or "E-" (letter in text)
  Slash,    // '/' between the parts of a fraction
  At,       // '@', the text itself
  General,  // "General"
  Date,     // a run of y, m, d, h or s (letter lower-case, count)
  Elapsed,  // [h], [m], [s]
  AmPm,     // "AM/PM" (count 2) or "A/P" (count 1; letter 'A' or 'a' for the case shown)
  SubSecond // '.' and zeros after seconds (count of zeros)
};

struct Token {
  Tok kind;
  char16_t letter = 0;
  int count = 0;
  std::u16string text;
};

enum class Compare : uint8_t { None, Less, LessEqual, Greater, GreaterEqual, Equal, NotEqual };

struct Section {
  std::vector<Token> tokens;
  Compare compare = Compare::None;
  double bound = 0;
  bool isDate = false;
  bool hasText = false;
  bool hasDigits = false;
  bool plainDigits = false; // digit placeholders other than zeros right after the point
  bool hasPoint = false;
  int percents = 0; // unquoted '%' signs, each multiplying by 100
};

char16_t lower(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

bool startsWithNoCase(std::u16string_view s, size_t at, std::u16string_view word) {
  if (s.size() - at < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i)
    if (lower(s[at + i]) != lower(word[i])) return false;
  return true;
}

void addLiteral(Section& section, std::u16string_view text) {
  if (!section.tokens.empty() && section.tokens.back().kind == Tok::Literal)
    section.tokens.back().text += text;
  else
    section.tokens.push_back({Tok::Literal, 0, 0, std::u16string(text)});
}

// Reads the body of "[...]": a condition, an elapsed time, the currency text of a locale tag; colours
// and other tags show nothing. False when not valid.
bool readBracket(std::u16string_view body, Section& section) {
  if (body.empty()) return false;
  char16_t first = body[0];
  if (first == u'<' || first == u'>' || first == u'=') {
    size_t n = 1;
    if (first == u'<' && body.size() > 1 && (body[1] == u'=' || body[1] == u'>')) n = 2;
    if (first == u'>' && body.size() > 1 && body[1] == u'=') n = 2;
    std::u16string_view op = body.substr(0, n);
    std::optional<double> bound = parseDecimalText(body.substr(n));
    if (!bound) return false;
    section.bound = *bound;
    section.compare = op == u"<"    ? Compare::Less
                      : op == u"<=" ? Compare::LessEqual
                      : op == u"<>" ? Compare::NotEqual
                      : op == u">"  ? Compare::Greater
                      : op == u">=" ? Compare::GreaterEqual
                                    : Compare::Equal;
    return true;
  }
  if (first == u'$') {
    size_t dash = body.find(u'-');
    addLiteral(section, body.substr(1, dash == std::u16string_view::npos ? body.size() - 1 : dash - 1));
    return true;
  }
  char16_t letter = lower(first);
  if (letter == u'h' || letter == u'm' || letter == u's') {
    for (char16_t c : body)
      if (lower(c) != letter) return false;
    section.tokens.push_back({Tok::Elapsed, letter, static_cast<int>(body.size()), {}});
    section.isDate = true;
    return true;
  }
  return true; // a colour or another tag
}

// Reads a format code into its sections; nothing when it is not valid.
std::optional<std::vector<Section>> parseCode(std::u16string_view code) {
  std::vector<Section> sections(1);
  size_t i = 0, n = code.size();
  while (i < n) {
    Section& s = sections.back();
    char16_t c = code[i];
    char16_t l = lower(c);
    if (c == u';') {
      if (sections.size() == 4) return std::nullopt;
      sections.emplace_back();
      ++i;
    } else if (c == u'"') {
      size_t close = code.find(u'"', i + 1);
      if (close == std::u16string_view::npos) close = n;
      addLiteral(s, code.substr(i + 1, close - i - 1));
      i = close + 1;
    } else if (c == u'\\' || c == u'_' || c == u'*') {
      if (c == u'\\' && i + 1 < n) addLiteral(s, code.substr(i + 1, 1));
      if (c == u'_') addLiteral(s, u" ");
      i += 2;
    } else if (c == u'[') {
      size_t close = code.find(u']', i + 1);
      if (close == std::u16string_view::npos || !readBracket(code.substr(i + 1, close - i - 1), s))
        return std::nullopt;
      i = close + 1;
    } else if (c == u'0' || c == u'#' || c == u'?') {
      // Zeros right after the point may be fractions of a second; count 1 marks them.
      const Token* last = s.tokens.empty() ? nullptr : &s.tokens.back();
      bool afterPoint =
          c == u'0' && last && (last->kind == Tok::Point || (last->kind == Tok::Digit && last->count));
      s.tokens.push_back({Tok::Digit, c, afterPoint ? 1 : 0, {}});
      s.hasDigits = true;
      s.plainDigits = s.plainDigits || !afterPoint;
      ++i;
    } else if (c == u'.') {
      if (s.hasPoint)
        addLiteral(s, u".");
      else
        s.tokens.push_back({Tok::Point, 0, 0, {}});
      s.hasPoint = true;
      ++i;
    } else if (c == u'%') {
      addLiteral(s, u"%");
      ++s.percents;
      ++i;
    } else if (c == u',') {
      s.tokens.push_back({Tok::Comma, 0, 0, {}});
      ++i;
    } else if (l == u'e' && i + 1 < n && (code[i + 1] == u'+' || code[i + 1] == u'-')) {
      s.tokens.push_back({Tok::Exponent, c, code[i + 1] == u'+' ? 1 : 0, {}});
      i += 2;
    } else if (c == u'/') {
      s.tokens.push_back({Tok::Slash, 0, 0, {}});
      ++i;
    } else if (c == u'@') {
      s.tokens.push_back({Tok::At, 0, 0, {}});
      s.hasText = true;
      ++i;
    } else if (startsWithNoCase(code, i, u"General")) {
      s.tokens.push_back({Tok::General, 0, 0, {}});
      i += 7;
    } else if (startsWithNoCase(code, i, u"AM/PM")) {
      s.tokens.push_back({Tok::AmPm, 0, 2, {}});
      s.isDate = true;
      i += 5;
    } else if (startsWithNoCase(code, i, u"A/P")) {
      s.tokens.push_back({Tok::AmPm, c, 1, {}});
      s.isDate = true;
      i += 3;
    } else if (l == u'y' || l == u'm' || l == u'd' || l == u'h' || l == u's') {
      size_t j = i;
      while (j < n && lower(code[j]) == l)
        ++j;
      s.tokens.push_back({Tok::Date, l, static_cast<int>(j - i), {}});
      s.isDate = true;
      i = j;
    } else {
      addLiteral(s, code.substr(i, 1));
      ++i;
    }
  }
  // A section is numbers, a date and time, or text, never two of them; only the last section takes
  // text.
  for (size_t k = 0; k < sections.size(); ++k) {
    const Section& s = sections[k];
    if ((s.isDate && s.plainDigits) || (s.hasText && (s.hasDigits || s.isDate)) ||
        (s.hasText && k + 1 < sections.size()))
      return std::nullopt;
  }
  return sections;
}

bool meets(const Section& s, double x) {
  switch (s.compare) {
  case Compare::Less:
    return x < s.bound;
  case Compare::LessEqual:
    return x <= s.bound;
  case Compare::Greater:
    return x > s.bound;
  case Compare::GreaterEqual:
    return x >= s.bound;
  case Compare::Equal:
    return x == s.bound;
  case Compare::NotEqual:
    return x != s.bound;
  default:
    return true;
  }
}

// ---------------------------------------------------------------- digits

// A non-negative number's decimal digits after rounding: the whole part without leading zeros ("" for
// zero) and exactly `decimals` digits after the point.
struct Rounded {
  std::string whole;
  std::string fraction;
};

Rounded roundDecimal(double v, int decimals) {
  DecimalDigits d = decimalDigits(v, 15);
  // digits[k] has the power of ten exponent - k.
  std::string digits = d.digits == "0" ? std::string() : d.digits;
  int exponent = d.exponent;
  long keep = static_cast<long>(exponent) + 1 + decimals; // digits kept from the first
  if (keep < 0) {
    digits.clear();
  } else if (static_cast<size_t>(keep) < digits.size()) {
    bool up = digits[keep] >= '5';
    digits.resize(keep);
    if (up) {
      long k = keep - 1;
      while (k >= 0 && digits[k] == '9')
        digits[k--] = '0';
      if (k >= 0)
        ++digits[k];
      else {
        digits.insert(digits.begin(), '1');
        ++exponent;
      }
    }
  }
  Rounded r;
  long wholeCount = static_cast<long>(exponent) + 1;
  for (long k = 0; k < wholeCount; ++k)
    r.whole.push_back(k < static_cast<long>(digits.size()) ? digits[k] : '0');
  for (long p = 1; p <= decimals; ++p) {
    long k = wholeCount - 1 + p;
    r.fraction.push_back(k >= 0 && k < static_cast<long>(digits.size()) ? digits[k] : '0');
  }
  size_t first = r.whole.find_first_not_of('0');
  r.whole = first == std::string::npos ? std::string() : r.whole.substr(first);
  return r;
}

// A non-negative number as General shows it in eleven characters: plain with as many decimals as fit
// when that keeps at least as many significant digits as the exponent form (up to six), which it
// takes otherwise and from 12 whole digits on.
std::u16string generalText(double v, const LocaleSettings& locale) {
  if (v == 0) return u"0";
  std::string text;
  int magnitude = decimalDigits(v, 15).exponent;
  DecimalDigits scientific = decimalDigits(v, 6);
  if (magnitude <= 10) {
    Rounded r = roundDecimal(v, 9 - std::max(magnitude, 0));
    size_t last = r.fraction.find_last_not_of('0');
    std::string fraction = last == std::string::npos ? std::string() : r.fraction.substr(0, last + 1);
    std::string digits = r.whole + fraction;
    size_t first = digits.find_first_not_of('0');
    size_t significant = first == std::string::npos ? 0 : digits.size() - first;
    text = (r.whole.empty() ? "0" : r.whole) + (fraction.empty() ? "" : "." + fraction);
    if (significant < scientific.digits.size() || text.size() > 11) text.clear();
  } else {
    text.clear();
  }
  if (text.empty()) {
    const std::string& d = scientific.digits;
    std::string power = std::to_string(std::abs(scientific.exponent));
    text = d.substr(0, 1) + (d.size() > 1 ? "." + d.substr(1) : "") +
           (scientific.exponent < 0 ? "E-" : "E+") + (power.size() < 2 ? "0" : "") + power;
  }
  std::u16string out;
  for (char c : text)
    out += c == '.' ? locale.decimalSeparator : std::u16string(1, static_cast<char16_t>(c));
  return out;
}

// What a placeholder shows where the value has no digit.
void emptyPlace(char16_t placeholder, std::u16string& out) {
  if (placeholder == u'0') out += u'0';
  if (placeholder == u'?') out += u' ';
}

// Lays out the whole part over the integer placeholders (tokens [begin, end)), grouping by thousands
// when asked; digits beyond the placeholders go with the first one.
void layWhole(const std::vector<Token>& tokens, size_t begin, size_t end, const std::string& whole,
              bool group, const std::u16string& separator, std::u16string& out) {
  int places = 0;
  for (size_t k = begin; k < end; ++k)
    places += tokens[k].kind == Tok::Digit;
  int length = static_cast<int>(whole.size());
  int place = places; // positions from the right of the next placeholder, plus one
  bool anyShown = false;
  auto show = [&](int position, char16_t c) {
    out += c;
    anyShown = true;
    if (group && position > 0 && position % 3 == 0) out += separator;
  };
  for (size_t k = begin; k < end; ++k) {
    const Token& t = tokens[k];
    if (t.kind == Tok::Literal) {
      out += t.text;
      continue;
    }
    if (t.kind != Tok::Digit) continue;
    --place;
    if (place == places - 1)
      for (int p = length - 1; p > place; --p)
        show(p, static_cast<char16_t>(whole[length - 1 - p]));
    if (place < length)
      show(place, static_cast<char16_t>(whole[length - 1 - place]));
    else if (t.letter == u'0' || (anyShown && t.letter != u'?'))
      show(place, u'0');
    else
      emptyPlace(t.letter, out);
  }
}

// Lays out decimals over the placeholders after the point: trailing zeros at '#' are dropped, at '?'
// become spaces.
void layFraction(const std::vector<Token>& tokens, size_t begin, size_t end, const std::string& fraction,
                 std::u16string& out) {
  size_t last = fraction.find_last_not_of('0');
  size_t significant = last == std::string::npos ? 0 : last + 1;
  size_t index = 0;
  for (size_t k = begin; k < end; ++k) {
    const Token& t = tokens[k];
    if (t.kind == Tok::Literal) out += t.text;
    if (t.kind != Tok::Digit) continue;
    if (index < significant || t.letter == u'0')
      out += static_cast<char16_t>(fraction[index]);
    else
      emptyPlace(t.letter, out);
    ++index;
  }
}

// Shows a number (its sign handled by the caller) through a number section.
// The tokens of a number section with its commas resolved: a comma after a placeholder and before
// another in the whole part groups (kept as a Comma token); commas after a placeholder that no
// other placeholder follows scale (counted); any other comma after a placeholder shows nothing; one
// after anything else is a literal.
std::vector<Token> resolveCommas(const std::vector<Token>& tokens, int& scale) {
  std::vector<Token> out;
  size_t n = tokens.size(), lastDigit = n, point = n;
  for (size_t k = 0; k < n; ++k) {
    if (tokens[k].kind == Tok::Digit) lastDigit = k;
    if (tokens[k].kind == Tok::Exponent) break;
    if (tokens[k].kind == Tok::Point && point == n) point = k;
  }
  bool afterDigit = false;
  for (size_t k = 0; k < n; ++k) {
    const Token& t = tokens[k];
    if (t.kind != Tok::Comma) {
      afterDigit = t.kind == Tok::Digit;
      out.push_back(t);
      continue;
    }
    if (!afterDigit) {
      if (!out.empty() && out.back().kind == Tok::Literal)
        out.back().text += u',';
      else
        out.push_back({Tok::Literal, 0, 0, u","});
    } else if (k + 1 < n && tokens[k + 1].kind == Tok::Digit && k < point) {
      out.push_back(t);
    } else if (lastDigit == n || k > lastDigit) {
      ++scale;
    }
  }
  return out;
}

std::optional<std::u16string> numberSection(double v, const Section& s, const LocaleSettings& locale,
                                            bool& zero) {
  std::u16string out;
  zero = v == 0;
  for (const Token& t : s.tokens)
    if (t.kind == Tok::General) {
      // General inside a section: the number as General shows it, the rest of the section as literals.
      for (const Token& u : s.tokens)
        out += u.kind == Tok::General   ? generalText(v, locale)
               : u.kind == Tok::Literal ? u.text
                                        : std::u16string();
      return out;
    }
  if (!s.hasDigits) {
    for (const Token& t : s.tokens)
      if (t.kind == Tok::Literal) out += t.text;
    return out;
  }
  int scale = 0, percents = s.percents;
  const std::vector<Token> tokens = resolveCommas(s.tokens, scale);
  // Where the parts are: the last digit placeholder before the point or exponent ends the whole part.
  size_t n = tokens.size(), point = n, exponent = n;
  for (size_t k = 0; k < n; ++k) {
    if (tokens[k].kind == Tok::Point && point == n && exponent == n) point = k;
    if (tokens[k].kind == Tok::Exponent && exponent == n) exponent = k;
  }
  size_t mantissaEnd = std::min(exponent, n);
  size_t wholeEnd = std::min(point, mantissaEnd);
  size_t firstDigit = n, lastWholeDigit = n;
  for (size_t k = 0; k < wholeEnd; ++k)
    if (tokens[k].kind == Tok::Digit) {
      if (firstDigit == n) firstDigit = k;
      lastWholeDigit = k;
    }
  int decimals = 0, wholePlaces = 0;
  bool group = false;
  for (size_t k = 0; k < n; ++k) {
    const Token& t = tokens[k];
    if (t.kind == Tok::Digit && k < wholeEnd) ++wholePlaces;
    if (t.kind == Tok::Digit && k > point && k < mantissaEnd) ++decimals;
    group = group || t.kind == Tok::Comma;
  }
  for (int k = 0; k < percents; ++k)
    v *= 100;
  for (int k = 0; k < scale; ++k)
    v /= 1000;
  if (!std::isfinite(v)) return std::nullopt;
  if (v > 1e308 || decimals > 400) return std::nullopt;

  int power = 0;
  if (exponent < n && v != 0) {
    DecimalDigits d = decimalDigits(v, 15);
    int shown = std::max(wholePlaces, 1);
    power = d.exponent - (shown - 1);
    bool hashes = firstDigit < n && tokens[firstDigit].letter == u'#';
    if (hashes && wholePlaces > 1)
      power = static_cast<int>(std::floor(static_cast<double>(d.exponent) / wholePlaces)) * wholePlaces;
    v = power < -300 ? v * 1e300 / std::pow(10.0, power + 300) : v / std::pow(10.0, power);
    if (!std::isfinite(v)) return std::nullopt;
    Rounded check = roundDecimal(v, decimals);
    if (static_cast<int>(check.whole.size()) > shown && !hashes) {
      ++power;
      v /= 10;
    }
  }
  Rounded r = roundDecimal(v, decimals);
  zero = r.whole.empty() && r.fraction.find_first_not_of('0') == std::string::npos;
  // Literals before the first placeholder, the whole part, the point and decimals, then the rest.
  for (size_t k = 0; k < firstDigit && k < n; ++k)
    if (tokens[k].kind == Tok::Literal) out += tokens[k].text;
  if (firstDigit < n)
    layWhole(tokens, firstDigit, lastWholeDigit + 1, r.whole, group, locale.thousandsSeparator, out);
  else
    out.append(r.whole.begin(), r.whole.end());
  for (size_t k = lastWholeDigit == n ? firstDigit : lastWholeDigit + 1; k < wholeEnd; ++k)
    if (tokens[k].kind == Tok::Literal) out += tokens[k].text;
  if (point < mantissaEnd) {
    out += locale.decimalSeparator;
    layFraction(tokens, point + 1, mantissaEnd, r.fraction, out);
  }
  if (exponent < n) {
    const Token& e = tokens[exponent];
    out += e.letter;
    if (power < 0)
      out += u'-';
    else if (e.count)
      out += u'+';
    layWhole(tokens, exponent + 1, n, std::to_string(std::abs(power)), false, u"", out);
  }
  if (out.size() > kMaxShown) return std::nullopt;
  return out;
}

// ---------------------------------------------------------------- fractions

bool isFraction(const Section& s) {
  for (const Token& t : s.tokens)
    if (t.kind == Tok::Slash) return s.hasDigits;
  return false;
}

// The closest fraction to v (0 <= v < 1) whose denominator is at most maxDenominator.
std::pair<int64_t, int64_t> closestFraction(double v, int64_t maxDenominator) {
  int64_t p0 = 0, q0 = 1, p1 = 1, q1 = 0;
  double x = v;
  for (int step = 0; step < 64; ++step) {
    double a = std::floor(x);
    if (a > 1e15) break;
    int64_t ai = static_cast<int64_t>(a);
    int64_t q2 = q0 + ai * q1;
    if (q2 > maxDenominator) {
      int64_t k = (maxDenominator - q0) / q1;
      int64_t pk = p0 + k * p1, qk = q0 + k * q1;
      if (std::fabs(v - static_cast<double>(pk) / qk) < std::fabs(v - static_cast<double>(p1) / q1))
        return {pk, qk};
      return {p1, q1};
    }
    int64_t p2 = p0 + ai * p1;
    p0 = p1, q0 = q1, p1 = p2, q1 = q2;
    if (x - a < 1e-12) break;
    x = 1 / (x - a);
  }
  return {p1, q1};
}

std::optional<std::u16string> fractionSection(double v, const Section& s, bool& zero) {
  const std::vector<Token>& tokens = s.tokens;
  size_t n = tokens.size(), slash = 0;
  while (tokens[slash].kind != Tok::Slash)
    ++slash;
  // The numerator is the run of placeholders just before the slash; a whole part, when there is one,
  // is a run of placeholders before it, set apart by a literal.
  size_t numBegin = slash;
  while (numBegin > 0 && tokens[numBegin - 1].kind == Tok::Digit)
    --numBegin;
  size_t wholeEnd = numBegin;
  bool hasWhole = false;
  for (size_t k = 0; k < numBegin; ++k)
    hasWhole = hasWhole || tokens[k].kind == Tok::Digit;
  // The denominator: placeholders (their count bounds it) or a fixed number given as literal digits.
  int64_t fixed = 0;
  int denominatorPlaces = 0;
  size_t denEnd = slash + 1;
  while (denEnd < n && tokens[denEnd].kind == Tok::Digit) {
    ++denominatorPlaces;
    ++denEnd;
  }
  if (denEnd < n && tokens[denEnd].kind == Tok::Literal && denominatorPlaces == 0) {
    const std::u16string& t = tokens[denEnd].text;
    size_t k = 0;
    while (k < t.size() && t[k] >= u'0' && t[k] <= u'9' && fixed < 1000000)
      fixed = fixed * 10 + (t[k++] - u'0');
  }
  if (!std::isfinite(v) || v > 1e15 || (denominatorPlaces == 0 && fixed == 0)) return std::nullopt;
  double whole = hasWhole ? std::floor(v) : 0;
  double rest = v - whole;
  int64_t numerator, denominator;
  if (fixed > 0) {
    denominator = fixed;
    numerator = static_cast<int64_t>(std::llround(rest * static_cast<double>(fixed)));
  } else {
    int64_t most = 1;
    for (int k = 0; k < std::min(denominatorPlaces, 7); ++k)
      most *= 10;
    auto [p, q] = closestFraction(rest - std::floor(rest), most - 1);
    numerator = p + static_cast<int64_t>(std::floor(rest)) * q;
    denominator = q;
  }
  if (hasWhole && numerator == denominator) {
    whole += 1;
    numerator = 0;
  }
  zero = whole == 0 && numerator == 0;
  std::u16string out;
  std::string wholeDigits = whole == 0 ? std::string() : std::to_string(static_cast<int64_t>(whole));
  if (hasWhole) {
    size_t first = 0;
    while (tokens[first].kind != Tok::Digit)
      if (tokens[first++].kind == Tok::Literal) out += tokens[first - 1].text;
    size_t lastWhole = first;
    for (size_t k = first; k < wholeEnd; ++k)
      if (tokens[k].kind == Tok::Digit) lastWhole = k;
    if (numerator == 0 && !wholeDigits.empty()) {
      // A whole number: the fraction part shows as spaces.
      layWhole(tokens, first, lastWhole + 1, wholeDigits, false, u"", out);
      size_t width = 0;
      for (size_t k = lastWhole + 1; k < n; ++k)
        width += tokens[k].kind == Tok::Literal ? tokens[k].text.size() : 1;
      if (fixed > 0) width += std::to_string(fixed).size() - 1;
      out.append(width, u' ');
      return out;
    }
    layWhole(tokens, first, lastWhole + 1, wholeDigits, false, u"", out);
    for (size_t k = lastWhole + 1; k < numBegin; ++k)
      if (tokens[k].kind == Tok::Literal) out += tokens[k].text;
  } else {
    for (size_t k = 0; k < numBegin; ++k)
      if (tokens[k].kind == Tok::Literal) out += tokens[k].text;
  }
  layWhole(tokens, numBegin, slash, std::to_string(numerator), false, u"", out);
  out += u'/';
  if (fixed > 0) {
    for (size_t k = denEnd; k < n; ++k)
      if (tokens[k].kind == Tok::Literal) out += tokens[k].text;
    return out;
  }
  std::string den = std::to_string(denominator);
  std::u16string denText(den.begin(), den.end());
  out += denText;
  // Placeholders beyond the denominator's digits pad it on the right ('?' with spaces).
  for (int k = static_cast<int>(den.size()); k < denominatorPlaces; ++k)
    if (tokens[slash + 1 + k].letter == u'?')
      out += u' ';
    else if (tokens[slash + 1 + k].letter == u'0')
      out += u'0';
  for (size_t k = denEnd; k < n; ++k)
    if (tokens[k].kind == Tok::Literal) out += tokens[k].text;
  return out;
}

// ---------------------------------------------------------------- dates and times

void twoDigits(int64_t v, int width, std::u16string& out) {
  std::string d = std::to_string(v);
  if (static_cast<int>(d.size()) < width) out.append(width - d.size(), u'0');
  out.append(d.begin(), d.end());
}

// True when the date token at k is a minute: m or mm after hours or before seconds.
bool isMinute(const std::vector<Token>& tokens, size_t k) {
  if (tokens[k].count > 2) return false;
  for (size_t j = k; j-- > 0;) {
    const Token& t = tokens[j];
    if (t.kind == Tok::Date || t.kind == Tok::Elapsed) {
      if (t.letter == u'h') return true;
      break;
    }
  }
  for (size_t j = k + 1; j < tokens.size(); ++j) {
    const Token& t = tokens[j];
    if (t.kind == Tok::Date || t.kind == Tok::Elapsed) return t.letter == u's';
  }
  return false;
}

std::optional<std::u16string> dateSection(double x, const Section& s, DateSystem system,
                                          const LocaleSettings& locale) {
  std::vector<Token> tokens = s.tokens;
  // A point and zeros after seconds are fractions of a second.
  int subDigits = 0, elapsedUnits = 0;
  bool onlyElapsed = true, ampm = false;
  for (size_t k = 0; k < tokens.size(); ++k) {
    Token& t = tokens[k];
    if (t.kind == Tok::Point) {
      size_t j = k + 1;
      while (j < tokens.size() && tokens[j].kind == Tok::Digit && tokens[j].letter == u'0')
        ++j;
      int zeros = static_cast<int>(j - k - 1);
      t = zeros ? Token{Tok::SubSecond, 0, std::min(zeros, 3), {}} : Token{Tok::Literal, 0, 0, u"."};
      tokens.erase(tokens.begin() + static_cast<long>(k) + 1, tokens.begin() + static_cast<long>(j));
      subDigits = std::max(subDigits, t.count);
    }
    if (t.kind == Tok::Date) onlyElapsed = false;
    if (t.kind == Tok::AmPm) ampm = true;
    elapsedUnits += t.kind == Tok::Elapsed;
  }
  if (!std::isfinite(x)) return std::nullopt;
  // A negative number shows only as one elapsed unit alone ("-24" through "[h]").
  bool negative = x < 0;
  if (negative && !(onlyElapsed && !ampm && subDigits == 0 && elapsedUnits == 1)) return std::nullopt;
  int64_t perSecond = 1;
  for (int k = 0; k < subDigits; ++k)
    perSecond *= 10;
  double units = std::fabs(x) * 86400.0 * static_cast<double>(perSecond);
  if (units > 9e15) return std::nullopt;
  int64_t total = std::llround(units);
  int64_t perDay = 86400 * perSecond;
  int64_t days = total / perDay, inDay = total % perDay;
  if (!onlyElapsed && days > lastSerial(system)) return std::nullopt;
  CivilDate date;
  if (!onlyElapsed) {
    std::optional<CivilDate> civil = civilFromSerial(days, system);
    if (!civil) return std::nullopt;
    date = *civil;
  }
  int64_t second = inDay / perSecond, fraction = inDay % perSecond;
  int64_t hour = second / 3600, minute = second / 60 % 60;
  int64_t totalSeconds = total / perSecond;
  std::u16string out;
  if (negative) out += u'-';
  for (size_t k = 0; k < tokens.size(); ++k) {
    const Token& t = tokens[k];
    switch (t.kind) {
    case Tok::Literal:
      for (char16_t c : t.text)
        out += c == u':' ? locale.timeSeparator : std::u16string(1, c);
      break;
    case Tok::Slash:
      out += locale.dateSeparator;
      break;
    case Tok::Comma:
      out += u',';
      break;
    case Tok::Elapsed: {
      int64_t v = t.letter == u'h'   ? totalSeconds / 3600
                  : t.letter == u'm' ? totalSeconds / 60
                                     : totalSeconds;
      twoDigits(v, t.count, out);
      break;
    }
    case Tok::Date: {
      int c = t.count;
      switch (t.letter) {
      case u'y':
        if (c <= 2)
          twoDigits(date.year % 100, 2, out);
        else
          twoDigits(date.year, 4, out);
        break;
      case u'd':
        if (c <= 2) {
          twoDigits(date.day, c, out);
        } else {
          int64_t weekday = (days + (system == DateSystem::Base1900 ? 6 : 5)) % 7;
          out += c == 3 ? locale.dayAbbreviations[weekday] : locale.dayNames[weekday];
        }
        break;
      case u'm':
        if (isMinute(tokens, k)) {
          twoDigits(minute, c, out);
        } else if (c <= 2) {
          twoDigits(date.month, c, out);
        } else {
          const std::u16string& name = locale.monthNames[date.month - 1];
          if (c == 3)
            out += locale.monthAbbreviations[date.month - 1];
          else if (c == 5)
            out += name.substr(0, 1);
          else
            out += name;
        }
        break;
      case u'h': {
        int64_t h = hour;
        if (ampm) h = h % 12 == 0 ? 12 : h % 12;
        twoDigits(h, std::min(c, 2), out);
        break;
      }
      case u's':
        twoDigits(second % 60, std::min(c, 2), out);
        break;
      }
      break;
    }
    case Tok::AmPm:
      if (t.count == 2)
        out += hour < 12 ? locale.amText : locale.pmText;
      else
        out += static_cast<char16_t>((hour < 12 ? u'A' : u'P') + (t.letter == u'a' ? 32 : 0));
      break;
    case Tok::SubSecond: {
      out += locale.decimalSeparator;
      int64_t f = fraction;
      for (int d = subDigits; d > t.count; --d)
        f /= 10;
      twoDigits(f, t.count, out);
      break;
    }
    case Tok::Exponent:
      out += t.letter;
      out += t.count ? u'+' : u'-';
      break;
    default:
      break;
    }
  }
  if (out.size() > kMaxShown) return std::nullopt;
  return out;
}

} // namespace

std::optional<std::u16string> formatNumber(double x, std::u16string_view code, DateSystem system,
                                           const LocaleSettings& locale) {
  std::optional<std::vector<Section>> parsed = parseCode(code);
  if (!parsed || !std::isfinite(x)) return std::nullopt;
  std::vector<Section>& sections = *parsed;
  // The number sections: a fourth section, or a last section holding '@', is for texts only.
  size_t count = sections.size();
  if (count == 4 || (count > 1 && sections[count - 1].hasText)) --count;
  bool conditions = false;
  for (size_t k = 0; k < count; ++k)
    conditions = conditions || sections[k].compare != Compare::None;
  size_t chosen = 0;
  bool showSign = true;
  if (conditions) {
    chosen = count;
    for (size_t k = 0; k < count && chosen == count; ++k)
      if (sections[k].compare != Compare::None && meets(sections[k], x)) chosen = k;
    if (chosen == count) {
      // The first section without a condition takes the rest; without one, the number shows as General.
      for (size_t k = 0; k < count && chosen == count; ++k)
        if (sections[k].compare == Compare::None) chosen = k;
      if (chosen == count) return (x < 0 ? u"-" : u"") + generalText(std::fabs(x), locale);
    }
  } else if (x < 0 && count >= 2) {
    chosen = 1;
    showSign = false;
  } else if (x == 0 && count >= 3) {
    chosen = 2;
  }
  const Section& s = sections[chosen];
  if (s.hasText && !s.hasDigits && !s.isDate) {
    // A number through a text section shows as General does.
    std::u16string out;
    for (const Token& t : s.tokens)
      out += t.kind == Tok::At        ? (x < 0 ? u"-" : u"") + generalText(std::fabs(x), locale)
             : t.kind == Tok::Literal ? t.text
                                      : std::u16string();
    return out;
  }
  if (s.isDate) return dateSection(showSign ? x : std::fabs(x), s, system, locale);
  double v = std::fabs(x);
  // A negative number that shows only zeros shows no sign.
  bool zero = false;
  std::optional<std::u16string> body =
      isFraction(s) ? fractionSection(v, s, zero) : numberSection(v, s, locale, zero);
  if (!body) return std::nullopt;
  if (x < 0 && showSign && !zero) body->insert(body->begin(), u'-');
  return body;
}

std::optional<std::u16string> formatText(std::u16string_view text, std::u16string_view code) {
  std::optional<std::vector<Section>> parsed = parseCode(code);
  if (!parsed) return std::nullopt;
  const std::vector<Section>& sections = *parsed;
  const Section* s = nullptr;
  if (sections.size() == 4 || sections.back().hasText) s = &sections.back();
  if (!s) return std::u16string(text);
  std::u16string out;
  for (const Token& t : s->tokens) {
    if (t.kind == Tok::At) out += text;
    if (t.kind == Tok::Literal) out += t.text;
    if (out.size() > kMaxShown) return std::nullopt;
  }
  return out;
}

// Ids 23 to 36 hold formats of other languages' calendars and show as General here, as do ids past 49.
std::u16string_view builtInFormatCode(uint32_t id) {
  static constexpr std::u16string_view first[] = {
      u"General",
      u"0",
      u"0.00",
      u"#,##0",
      u"#,##0.00",
      u"$#,##0_);($#,##0)",
      u"$#,##0_);[Red]($#,##0)",
      u"$#,##0.00_);($#,##0.00)",
      u"$#,##0.00_);[Red]($#,##0.00)",
      u"0%",
      u"0.00%",
      u"0.00E+00",
      u"# ?/?",
      u"# ?\?/??",
      u"m/d/yyyy",
      u"d-mmm-yy",
      u"d-mmm",
      u"mmm-yy",
      u"h:mm AM/PM",
      u"h:mm:ss AM/PM",
      u"h:mm",
      u"h:mm:ss",
      u"m/d/yyyy h:mm",
  };
  static constexpr std::u16string_view fromId37[] = {
      u"#,##0_);(#,##0)",
      u"#,##0_);[Red](#,##0)",
      u"#,##0.00_);(#,##0.00)",
      u"#,##0.00_);[Red](#,##0.00)",
      u"_(* #,##0_);_(* \\(#,##0\\);_(* \"-\"_);_(@_)",
      u"_(\"$\"* #,##0_);_(\"$\"* \\(#,##0\\);_(\"$\"* \"-\"_);_(@_)",
      u"_(* #,##0.00_);_(* \\(#,##0.00\\);_(* \"-\"??_);_(@_)",
      u"_(\"$\"* #,##0.00_);_(\"$\"* \\(#,##0.00\\);_(\"$\"* \"-\"??_);_(@_)",
      u"mm:ss",
      u"[h]:mm:ss",
      u"mm:ss.0",
      u"##0.0E+0",
      u"@",
  };
  static_assert(std::size(first) == 23 && std::size(fromId37) == 13);
  if (id < std::size(first)) return first[id];
  if (id >= 37 && id - 37 < std::size(fromId37)) return fromId37[id - 37];
  return first[0];
}

} // namespace cwbk
