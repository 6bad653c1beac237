// The text worksheet functions. Texts are UTF-16 and positions count code units from 1; values become
// texts through the argument toolkit's text taker (numbers in their display form, Booleans as their
// current texts), and a text that names an error stands for that error. No result is longer than
// 32767 code units: a longer one is "#VALUE!", found before anything that large is built.
#include "functions/text.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formula/argument_list.h"
#include "formula/function_table.h"
#include "formula/host_services.h"
#include "functions/arguments.h"
#include "platform/locale_settings.h"
#include "platform/number_text.h"
#include "platform/text_services.h"
#include "values/conversions.h"

namespace cwbk {

namespace {

// The longest text a cell holds.
constexpr size_t kMaxTextLength = 32767;

// The function number under which TEXT goes to the host, and the arguments it passes.
constexpr int kTextFunctionNumber = 48;
constexpr int kTextMostArguments = 2;

// Stores a text result, or "#VALUE!" when it is longer than a cell holds.
void setTextResult(CalcValue& result, std::u16string_view text) {
  if (text.size() > kMaxTextLength)
    result.setError(ErrValue);
  else
    result.setText(text);
}

void setEmptyText(CalcValue& result) {
  result.setText(std::u16string_view());
}

bool isAnyReference(const CalcValue& v) {
  return v.isReference() || v.isReferenceList();
}

// True for the kinds that the text functions turn into texts or numbers themselves.
bool isScalar(const CalcValue& v) {
  return v.isNumber() || v.isBoolean() || v.isText();
}

// Copies the error of the first error-like value of the list into result and returns true; false when
// none is error-like.
bool firstError(std::initializer_list<const CalcValue*> values, CalcValue& result) {
  for (const CalcValue* v : values)
    if (v && errorCodeOf(*v) != 0) {
      setErrorOf(*v, result);
      return true;
    }
  return false;
}

// Returns the number a numeric text denotes (isNumericText's shape; a trailing '%' divides by 100).
std::optional<double> numericTextValue(std::u16string_view text) {
  if (!isNumericText(text)) return std::nullopt;
  std::u16string core;
  bool percent = false;
  for (char16_t c : text) {
    if (c == u' ') continue;
    if (c == u'%') {
      percent = true;
      continue;
    }
    core.push_back(c);
  }
  std::optional<double> x = parseDecimalText(core);
  if (x && percent) *x /= 100;
  return x;
}

// Takes a count or position of MID, REPLACE, REPT and CHAR: Empty 0, a number or Boolean its value, a
// numeric text its number, truncated toward zero. Anything else is "#VALUE!" in result.
bool countValue(const CalcValue& v, double& out, CalcValue& result) {
  if (v.isText()) {
    std::optional<double> x = numericTextValue(v.textView());
    if (!x) {
      result.setError(ErrValue);
      return false;
    }
    out = std::trunc(*x);
    return true;
  }
  if (!v.isEmpty() && !v.isNumber() && !v.isBoolean()) {
    result.setError(ErrValue);
    return false;
  }
  valueNumber(v, out);
  out = std::trunc(out);
  if (std::isnan(out)) {
    result.setError(ErrValue);
    return false;
  }
  return true;
}

// Returns the argument, or null when the call has fewer.
const CalcValue* arg(const CalcValue* const* args, size_t i) {
  return argumentAt(args, i);
}

// ---------------------------------------------------------------- the Western code page

// The characters of code points 0x80 to 0x9F of the Western (1252) code page that CHAR gives and CODE
// reads; the five points the page leaves undefined stand for the control character of that number.
constexpr char16_t kWesternHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t westernCharacter(int code) {
  return code >= 0x80 && code <= 0x9F ? kWesternHighControls[code - 0x80] : static_cast<char16_t>(code);
}

// Returns the code of a character in the Western code page; 63 ('?') for one the page lacks.
int westernCode(char16_t unit) {
  if (unit <= 0xFF) return unit;
  for (int i = 0; i < 32; ++i)
    if (kWesternHighControls[i] == unit) return 0x80 + i;
  return '?';
}

// ---------------------------------------------------------------- case

// Returns one code unit mapped by a text mapping, or the unit itself when the mapping would change the
// length.
char16_t mapUnit(char16_t unit, std::u16string (*map)(std::u16string_view)) {
  std::u16string m = map(std::u16string_view(&unit, 1));
  return m.size() == 1 ? m[0] : unit;
}

// Returns the text mapped to upper case unit by unit, so that positions stay those of the text.
std::u16string foldedUnits(std::u16string_view text) {
  std::u16string upper = toUpperText(text);
  if (upper.size() == text.size()) return upper;
  std::u16string out(text);
  for (char16_t& c : out)
    c = mapUnit(c, toUpperText);
  return out;
}

// LEN(x): the number of code units of the text of x.
void lenFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  std::u16string s;
  if (!textAt(args, 0, u"", s, result)) return;
  result.setInteger(static_cast<int32_t>(std::min<size_t>(s.size(), INT32_MAX)));
}

// UPPER(x), LOWER(x): the text mapped by the platform's case mapping; Empty is the empty text.
void upperFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  std::u16string s;
  if (!textAt(args, 0, u"", s, result)) return;
  setTextResult(result, toUpperText(s));
}

void lowerFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  std::u16string s;
  if (!textAt(args, 0, u"", s, result)) return;
  setTextResult(result, toLowerText(s));
}

// PROPER(x): a unit is upper case when it is the first or follows a unit that is no letter, lower case
// otherwise; so digits and apostrophes start words too ("2nd" is "2Nd", "don't" is "Don'T").
void properFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  std::u16string s;
  if (!textAt(args, 0, u"", s, result)) return;
  std::u16string upper = toUpperText(s), lower = toLowerText(s);
  bool sameLength = upper.size() == s.size() && lower.size() == s.size();
  std::u16string out(s.size(), u'\0');
  for (size_t i = 0; i < s.size(); ++i) {
    bool wordStart = i == 0 || !isLetterUnit(s[i - 1]);
    if (sameLength)
      out[i] = wordStart ? upper[i] : lower[i];
    else
      out[i] = mapUnit(s[i], wordStart ? toUpperText : toLowerText);
  }
  setTextResult(result, out);
}

// TRIM(x): without leading and trailing spaces, every inner run of spaces reduced to one. Only U+0020
// counts: a non-breaking space stays.
void trimFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  std::u16string s;
  if (!textAt(args, 0, u"", s, result)) return;
  std::u16string out;
  out.reserve(s.size());
  bool pendingSpace = false;
  for (char16_t c : s) {
    if (c == u' ') {
      pendingSpace = !out.empty();
      continue;
    }
    if (pendingSpace) out.push_back(u' ');
    pendingSpace = false;
    out.push_back(c);
  }
  setTextResult(result, out);
}

// CLEAN(x): the text without the control characters 0 to 31.
void cleanFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  std::u16string s;
  if (!textAt(args, 0, u"", s, result)) return;
  std::erase_if(s, [](char16_t c) { return c < 0x20; });
  setTextResult(result, s);
}

// ---------------------------------------------------------------- extracting

// LEFT(x, n = 1) and RIGHT(x, n = 1): the first or last min(n, length) units. A negative n is "#VALUE!",
// also for an empty x; an Empty n counts 0.
void leftOrRight(const CalcValue* const* args, CalcValue& result, bool fromLeft) {
  const CalcValue* xArg = arg(args, 0);
  if (!xArg) {
    result.setError(ErrValue);
    return;
  }
  const CalcValue& x = reducedSingleCell(*xArg);
  if (firstError({&x}, result)) return;
  double n = 1;
  if (const CalcValue* nArg = arg(args, 1)) {
    if (isAnyReference(x)) return result.setError(ErrValue);
    if (firstError({nArg}, result)) return;
    if (!argNumber(*nArg, n, result)) return;
    n = std::trunc(n);
  }
  if (n < 0 || std::isnan(n)) return result.setError(ErrValue);
  std::u16string s;
  if (!argText(x, s, result)) return;
  size_t take = n >= static_cast<double>(s.size()) ? s.size() : static_cast<size_t>(n);
  setTextResult(result, fromLeft ? std::u16string_view(s).substr(0, take)
                                 : std::u16string_view(s).substr(s.size() - take));
}

void leftFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  leftOrRight(args, result, true);
}

void rightFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  leftOrRight(args, result, false);
}

// MID(x, start, count): at most count units from position start; the empty text when start lies past
// the end. A start below 1 or a negative count is "#VALUE!", and so is a text start or count that is
// not a plain number ("2x"). An empty x gives the empty text once start and count are sound.
void midFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  const CalcValue *x = arg(args, 0), *start = arg(args, 1), *count = arg(args, 2);
  if (!x || !start || !count) return result.setError(ErrValue);
  if (isAnyReference(*x) || isAnyReference(*start) || isAnyReference(*count) || start->isEmpty())
    return result.setError(ErrValue);
  if (firstError({x, start, count}, result)) return;
  if (!x->isEmpty() && !isScalar(*x)) return result.setError(ErrValue);
  double from = 0, n = 0;
  if (!countValue(*start, from, result) || !countValue(*count, n, result)) return;
  if (from <= 0 || n < 0) return result.setError(ErrValue);
  std::u16string s;
  if (!argText(*x, s, result)) return;
  if (s.empty() || n == 0 || from > static_cast<double>(s.size())) return setEmptyText(result);
  size_t first = static_cast<size_t>(from) - 1;
  size_t available = s.size() - first;
  size_t take = n >= static_cast<double>(available) ? available : static_cast<size_t>(n);
  setTextResult(result, std::u16string_view(s).substr(first, take));
}

// T(x): a text itself, an error its error, anything else the empty text; a single-cell reference
// stands for its cell.
void tFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  const CalcValue* x = arg(args, 0);
  if (!x) return setEmptyText(result);
  const CalcValue& v = reducedSingleCell(*x);
  Area area;
  if (v.isReference() && !oneSheetArea(v, area)) return result.setError(ErrRef);
  if (firstError({&v}, result)) return;
  if (v.isText())
    result.setText(v.textView());
  else
    setEmptyText(result);
}

// ---------------------------------------------------------------- searching

// Returns the start argument of FIND and SEARCH truncated (absent: 1), or false with the error set.
bool startArgument(const CalcValue* const* args, double& start, CalcValue& result) {
  const CalcValue* s = arg(args, 2);
  if (!s) {
    start = 1;
    return true;
  }
  if (isAnyReference(*s)) {
    result.setError(ErrValue);
    return false;
  }
  if (firstError({s}, result)) return false;
  if (!argNumber(*s, start, result)) return false;
  start = std::trunc(start);
  if (std::isnan(start)) {
    result.setError(ErrValue);
    return false;
  }
  return true;
}

// The answer for an empty needle, which FIND and SEARCH share: the start itself while it lies within
// the text or just past its end.
void emptyNeedle(double start, size_t length, CalcValue& result) {
  if (start >= 1 && start <= static_cast<double>(length) + 1)
    result.setNumber(start);
  else
    result.setError(ErrValue);
}

// FIND(find, within, start = 1): the position of the first occurrence of find in within from start,
// case-sensitive and without wildcards. An empty find is found at start itself.
void findFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  const CalcValue *find = arg(args, 0), *within = arg(args, 1);
  if (!find || !within || isAnyReference(*find) || isAnyReference(*within)) return result.setError(ErrValue);
  if (firstError({find, within}, result)) return;
  double start = 1;
  if (!startArgument(args, start, result)) return;
  std::u16string needle, text;
  if (!argText(*find, needle, result) || !argText(*within, text, result)) return;
  if (needle.empty()) return emptyNeedle(start, text.size(), result);
  if (start < 1 || start > static_cast<double>(text.size())) return result.setError(ErrValue);
  size_t at = text.find(needle, static_cast<size_t>(start) - 1);
  if (at == std::u16string::npos) return result.setError(ErrValue);
  result.setInteger(static_cast<int32_t>(at + 1));
}

// One element of a SEARCH pattern.
struct PatternItem {
  enum Kind { AnyRun, AnyUnit, Folded, Exact } kind;
  char16_t unit; // Folded: the folded unit; Exact: the unit as written after '~'
};

// Returns the pattern as items: '*', '?', "~c" (c exactly) and folded units; a '~' at the very end
// escapes nothing and matches nothing, so the pattern "~" is found at the start.
std::vector<PatternItem> patternItems(std::u16string_view pattern, std::u16string_view folded) {
  std::vector<PatternItem> items;
  items.reserve(pattern.size());
  for (size_t i = 0; i < pattern.size(); ++i) {
    char16_t c = pattern[i];
    if (c == u'*')
      items.push_back({PatternItem::AnyRun, 0});
    else if (c == u'?')
      items.push_back({PatternItem::AnyUnit, 0});
    else if (c == u'~' && i + 1 < pattern.size())
      items.push_back({PatternItem::Exact, pattern[++i]});
    else if (c == u'~')
      break;
    else
      items.push_back({PatternItem::Folded, folded[i]});
  }
  return items;
}

// The wildcard search of SEARCH: the first position from `from` (0-based) where the pattern matches a
// prefix of the remaining text, or npos. A run of '*' is matched by backing up to the last one seen, so
// each start costs at most text x pattern steps; and once a start has reached the first '*' and still
// failed, every later start fails too (the '*' could have swallowed the difference), so the search
// ends there.
size_t wildcardSearch(const std::vector<PatternItem>& items, std::u16string_view text,
                      std::u16string_view folded, size_t from) {
  const size_t n = text.size(), m = items.size();
  for (size_t s = from; s < n; ++s) {
    size_t t = s, p = 0, starItem = SIZE_MAX, starText = 0;
    bool reachedStar = false;
    for (;;) {
      if (p == m) return s;
      const PatternItem& item = items[p];
      if (item.kind == PatternItem::AnyRun) {
        reachedStar = true;
        starItem = p++;
        starText = t;
        continue;
      }
      if (t < n) {
        bool same = item.kind == PatternItem::AnyUnit ||
                    (item.kind == PatternItem::Exact && text[t] == item.unit) ||
                    (item.kind == PatternItem::Folded && folded[t] == item.unit);
        if (same) {
          ++p;
          ++t;
          continue;
        }
      }
      if (starItem != SIZE_MAX && starText < n) {
        p = starItem + 1;
        t = ++starText;
        continue;
      }
      break;
    }
    if (reachedStar) return std::u16string_view::npos;
  }
  return std::u16string_view::npos;
}

// SEARCH(find, within, start = 1): the position of find in within from start without regard to case;
// '?' stands for one unit, '*' for any run, '~' takes the next character literally. An empty find is
// found at start itself; a start below 1 or past the end is "#VALUE!".
void searchFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  std::u16string needle, text;
  if (!textAt(args, 0, u"", needle, result) || !textAt(args, 1, u"", text, result)) return;
  double start = 1;
  if (!startArgument(args, start, result)) return;
  if (needle.empty()) return emptyNeedle(start, text.size(), result);
  if (start < 1 || start > static_cast<double>(text.size())) return result.setError(ErrValue);
  size_t from = static_cast<size_t>(start) - 1;
  std::u16string foldedNeedle = foldedUnits(needle), foldedText = foldedUnits(text);
  size_t at = std::u16string::npos;
  if (needle.find_first_of(u"*?~") != std::u16string::npos)
    at = wildcardSearch(patternItems(needle, foldedNeedle), text, foldedText, from);
  else
    at = foldedText.find(foldedNeedle, from);
  if (at == std::u16string::npos) return result.setError(ErrValue);
  result.setInteger(static_cast<int32_t>(at + 1));
}

// EXACT(a, b): two numbers compare as numbers; anything else by its text, unit by unit with case.
void exactFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  const CalcValue *a = arg(args, 0), *b = arg(args, 1);
  if (!a || !b) return result.setError(ErrValue);
  if (firstError({a, b}, result)) return;
  if (isAnyReference(*a) || isAnyReference(*b)) return result.setError(ErrValue);
  if (a->isNumber() && b->isNumber()) return result.setBoolean(equal(*a, *b));
  std::u16string x, y;
  if (!argText(*a, x, result) || !argText(*b, y, result)) return;
  result.setBoolean(x == y);
}

// ---------------------------------------------------------------- building

// CONCATENATE(x1, ...): the texts of the arguments joined; a reference must be a single cell.
void concatenateFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  std::u16string out, piece;
  for (const CalcValue* const* a = args; a && *a; ++a) {
    const CalcValue* v = *a;
    if (v->isEmpty()) continue;
    if (v->isReference()) {
      v = cellValueOfSingleRef(*v);
      if (!v) return result.setError(ErrValue);
    }
    if (!argText(*v, piece, result)) return;
    if (out.size() + piece.size() > kMaxTextLength) return result.setError(ErrValue);
    out += piece;
  }
  setTextResult(result, out);
}

// REPT(x, count): the text of x count times; a count above 32767, a negative one, or a result longer
// than 32767 units is "#VALUE!".
void reptFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  const CalcValue *x = arg(args, 0), *count = arg(args, 1);
  if (!x || !count || isAnyReference(*x) || isAnyReference(*count)) return result.setError(ErrValue);
  // An error in x comes before a count that is not a number, as in Excel: REPT(NA(),"a") is #N/A.
  if (firstError({x}, result)) return;
  if (count->isText() && !isNumericText(count->textView())) return result.setError(ErrValue);
  if (firstError({count}, result)) return;
  if (!x->isEmpty() && !isScalar(*x)) return result.setError(ErrValue);
  double n = 0;
  if (!countValue(*count, n, result)) return;
  if (n < 0 || n > static_cast<double>(kMaxTextLength)) return result.setError(ErrValue);
  std::u16string s;
  if (!argText(*x, s, result)) return;
  size_t times = static_cast<size_t>(n);
  if (times == 0 || s.empty()) return setEmptyText(result);
  if (s.size() * times > kMaxTextLength) return result.setError(ErrValue);
  std::u16string out;
  out.reserve(s.size() * times);
  for (size_t i = 0; i < times; ++i)
    out += s;
  setTextResult(result, out);
}

// SUBSTITUTE(x, old, new, instance): every occurrence of old replaced by new, or only the
// instance-th; case-sensitive, occurrences counted from the left without overlapping.
void substituteFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  std::u16string x, from, to;
  if (!textAt(args, 0, u"", x, result) || !textAt(args, 1, u"", from, result) ||
      !textAt(args, 2, u"", to, result))
    return;
  double instance = 0; // 0: every occurrence
  if (const CalcValue* i = arg(args, 3)) {
    if (!(i->isNumber() || i->isText()) || !valueNumber(*i, instance)) return result.setError(ErrValue);
    instance = std::trunc(instance);
    if (instance <= 0) return result.setError(ErrValue);
  }
  if (x.empty() || from.empty()) return setTextResult(result, x);
  std::u16string out;
  size_t at = 0;
  double seen = 0;
  for (;;) {
    size_t found = x.find(from, at);
    if (found == std::u16string::npos) break;
    ++seen;
    bool replace = instance == 0 || seen == instance;
    out.append(x, at, found - at);
    if (replace)
      out += to;
    else
      out.append(from);
    at = found + from.size();
    if (out.size() > kMaxTextLength) return result.setError(ErrValue);
    if (replace && instance != 0) break;
  }
  out.append(x, at, std::u16string::npos);
  setTextResult(result, out);
}

// REPLACE(x, start, count, new): count units from position start replaced by new; a start past the
// end appends new.
void replaceFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  const CalcValue *x = arg(args, 0), *start = arg(args, 1), *count = arg(args, 2), *with = arg(args, 3);
  if (!x || !start || !count || !with) return result.setError(ErrValue);
  if (isAnyReference(*x) || isAnyReference(*start) || start->isEmpty()) return result.setError(ErrValue);
  if (firstError({x, start, count, with}, result)) return;
  if ((start->isText() && !isNumericText(start->textView())) ||
      (count->isText() && !isNumericText(count->textView())))
    return result.setError(ErrValue);
  std::u16string s, inserted;
  double from = 0, n = 0;
  if (!argText(*x, s, result) || !countValue(*count, n, result) || !countValue(*start, from, result) ||
      !argText(*with, inserted, result))
    return;
  if (from < 1 || n < 0) return result.setError(ErrValue);
  if (s.empty()) return setTextResult(result, inserted);
  size_t first = from > static_cast<double>(s.size()) ? s.size() : static_cast<size_t>(from) - 1;
  size_t last = n >= static_cast<double>(s.size() - first) ? s.size() : first + static_cast<size_t>(n);
  if (first + inserted.size() + (s.size() - last) > kMaxTextLength) return result.setError(ErrValue);
  std::u16string out = s.substr(0, first);
  out += inserted;
  out.append(s, last, std::u16string::npos);
  setTextResult(result, out);
}

// ---------------------------------------------------------------- codes

// CHAR(n): the character of code n (1 to 255) in the Western code page, so CHAR(128) is the euro sign.
void charFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  const CalcValue* v = arg(args, 0);
  if (!v) return result.setError(ErrValue);
  if (v->isErrorValue()) return result.copyFrom(*v);
  if (isAnyReference(*v)) return result.setError(ErrValue);
  double n = 0;
  if (!countValue(*v, n, result)) return;
  if (n <= 0 || n >= 256) return result.setError(ErrValue);
  char16_t c = westernCharacter(static_cast<int>(n));
  result.setText(std::u16string_view(&c, 1));
}

// CODE(x): the code of the first character of the text in the Western code page (63 when the page
// lacks it); the empty text is "#VALUE!".
void codeFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  const CalcValue* v = arg(args, 0);
  if (!v || isAnyReference(*v) || v->isEmpty()) return result.setError(ErrValue);
  std::u16string s;
  if (!argText(*v, s, result)) return;
  if (s.empty()) return result.setError(ErrValue);
  result.setInteger(westernCode(s[0]));
}

// ---------------------------------------------------------------- numbers as texts

// The most decimals DOLLAR and FIXED show.
constexpr double kMostDecimals = 127;

// Returns |x|, already rounded to `decimals` places, with max(decimals, 0) decimals after `point` and,
// when `group` is not empty, the whole part grouped by threes. Digits past the 15th show as zeros.
std::u16string groupedNumberText(double x, int decimals, std::u16string_view point,
                                 std::u16string_view group) {
  DecimalDigits d = decimalDigits(std::fabs(x), 15);
  if (d.digits == "0") d.exponent = 0;
  // The digit of place p (p = 0 the units, 1 the tens, -1 the tenths).
  auto digitAt = [&](int p) -> char16_t {
    int index = d.exponent - p;
    return index >= 0 && index < static_cast<int>(d.digits.size()) ? static_cast<char16_t>(d.digits[index])
                                                                   : u'0';
  };
  std::u16string out;
  int top = std::max(d.exponent, 0);
  for (int p = top; p >= 0; --p) {
    out.push_back(digitAt(p));
    if (!group.empty() && p > 0 && p % 3 == 0) out += group;
  }
  if (decimals > 0) {
    out += point;
    for (int p = -1; p >= -decimals; --p)
      out.push_back(digitAt(p));
  }
  return out;
}

// Takes the number and the decimals of DOLLAR and FIXED and rounds the number; false with the error set.
// More than 127 decimals is "#VALUE!".
bool roundedForText(const CalcValue* const* args, double& x, int& decimals, CalcValue& result) {
  double d = 2;
  if (!numberAt(args, 0, 0, x, result) || !integerAt(args, 1, 2, d, result)) return false;
  if (d > kMostDecimals || std::isnan(d)) {
    result.setError(ErrValue);
    return false;
  }
  decimals = d < -400 ? -400 : static_cast<int>(d);
  x = decimalRound(x, decimals, DecimalRounding::HalfAwayFromZero);
  if (!std::isfinite(x)) {
    result.setError(ErrNum);
    return false;
  }
  return true;
}

// FIXED(x, decimals = 2, no_commas = FALSE): x rounded half away from zero to `decimals` places
// (negative: to tens, hundreds, ...) and shown with that many decimals, grouped by threes unless
// no_commas.
void fixedFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  double x = 0;
  int decimals = 2;
  bool noCommas = false;
  if (!roundedForText(args, x, decimals, result) || !booleanAt(args, 2, false, noCommas, result)) return;
  const LocaleSettings& locale = localeSettings();
  std::u16string text = x < 0 ? u"-" : u"";
  text += groupedNumberText(x, decimals, locale.decimalSeparator,
                            noCommas ? std::u16string_view()
                                     : std::u16string_view(locale.monetaryThousandsSeparator));
  setTextResult(result, text);
}

// DOLLAR(x, decimals = 2): x rounded as FIXED rounds it, shown as a currency amount: grouped by threes,
// the currency symbol where the locale puts it, a negative amount in parentheses ("($1,234.57)").
void dollarFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  double x = 0;
  int decimals = 2;
  if (!roundedForText(args, x, decimals, result)) return;
  const LocaleSettings& locale = localeSettings();
  std::u16string amount =
      groupedNumberText(x, decimals, locale.monetaryDecimalSeparator, locale.monetaryThousandsSeparator);
  const std::u16string& symbol = locale.currencySymbol;
  switch (locale.currencyPosition) {
  case 1:
    amount = amount + symbol;
    break;
  case 2:
    amount = symbol + u" " + amount;
    break;
  case 3:
    amount = amount + u" " + symbol;
    break;
  default:
    amount = symbol + amount;
    break;
  }
  setTextResult(result, x < 0 ? u"(" + amount + u")" : amount);
}

// ---------------------------------------------------------------- conversions

// VALUE(x): the number of a text (a date or time, or a number), or a number itself; TRUE is "#VALUE!".
void valueFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions, 1)) return;
  const CalcValue* v = arg(args, 0);
  if (!v) return result.setError(ErrValue);
  if (v->isEmpty()) return result.setInteger(0);
  if (v->isNumber()) return result.copyFrom(*v);
  if (v->isText()) {
    if (std::optional<double> x = toNumber(*v)) return setNumberResult(result, *x);
  }
  result.setError(ErrValue);
}

// TEXT(x, format): formatted by the host; without a host the result stays as it was.
void textFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions, 1)) return;
  if (const CalcValue* format = arg(args, 1); format && format->isErrorValue())
    return result.copyFrom(*format);
  hostCallWorksheetFunction(context, kTextFunctionNumber, args, kTextMostArguments, result);
}

} // namespace

bool isNumericText(std::u16string_view text) {
  size_t i = 0, n = text.size();
  auto digitAt = [&](size_t k) { return k < n && text[k] >= u'0' && text[k] <= u'9'; };
  while (i < n && text[i] == u' ')
    ++i;
  if (i < n && (text[i] == u'+' || text[i] == u'-')) ++i;
  bool digits = false;
  while (digitAt(i)) {
    ++i;
    digits = true;
  }
  if (i < n && text[i] == u'.') {
    ++i;
    while (digitAt(i)) {
      ++i;
      digits = true;
    }
  }
  if (!digits) return false;
  if (i < n && (text[i] == u'E' || text[i] == u'e')) {
    ++i;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) ++i;
    if (!digitAt(i)) return false;
    while (digitAt(i))
      ++i;
  }
  while (i < n && text[i] == u' ')
    ++i;
  if (i < n && text[i] == u'%') ++i;
  return i == n;
}

std::span<const ImplementationRow> textRoutines() {
  static constexpr ImplementationRow rows[] = {
      {u"CHAR", charFunction},     {u"CLEAN", cleanFunction},
      {u"CODE", codeFunction},     {u"CONCATENATE", concatenateFunction},
      {u"DOLLAR", dollarFunction}, {u"EXACT", exactFunction},
      {u"FIND", findFunction},     {u"FIXED", fixedFunction},
      {u"LEFT", leftFunction},     {u"LEN", lenFunction},
      {u"LOWER", lowerFunction},   {u"MID", midFunction},
      {u"PROPER", properFunction}, {u"REPLACE", replaceFunction},
      {u"REPT", reptFunction},     {u"RIGHT", rightFunction},
      {u"SEARCH", searchFunction}, {u"SUBSTITUTE", substituteFunction},
      {u"T", tFunction},           {u"TEXT", textFunction},
      {u"TRIM", trimFunction},     {u"UPPER", upperFunction},
      {u"VALUE", valueFunction},
  };
  return rows;
}

} // namespace cwbk
