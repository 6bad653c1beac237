// Criteria of the conditional functions: reading the operator and operand of a criterion value once,
// matching cell values against it, and the linear-backtracking wildcard matcher.
#include "formula/criteria.h"

#include <optional>

#include "platform/text_services.h"
#include "values/conversions.h"

namespace cwbk {

namespace {

bool isAscii(std::u16string_view t) {
  for (char16_t c : t)
    if (c >= 0x80) return false;
  return true;
}

char16_t asciiUpper(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
}

// Returns the text upper-cased: ASCII directly, anything else through the platform's case mapping.
std::u16string foldUpper(std::u16string_view t) {
  if (!isAscii(t)) return toUpperText(t);
  std::u16string out(t);
  for (char16_t& c : out)
    c = asciiUpper(c);
  return out;
}

// Returns the number of code units of the character at i: 2 for a surrogate pair, else 1.
size_t charLength(std::u16string_view t, size_t i) {
  bool high = t[i] >= 0xD800 && t[i] <= 0xDBFF;
  bool lowNext = i + 1 < t.size() && t[i + 1] >= 0xDC00 && t[i + 1] <= 0xDFFF;
  return high && lowNext ? 2 : 1;
}

// Matches an upper-cased pattern against a text whose ASCII letters may be in either case and whose
// other characters are upper-cased already. On a mismatch the text position only moves past the
// last '*' seen: an earlier '*' never needs to take more, so the work stays O(pattern x text).
bool matchFolded(std::u16string_view p, std::u16string_view t) {
  constexpr size_t kNoStar = std::u16string_view::npos;
  size_t pi = 0, ti = 0;
  size_t starPattern = kNoStar, starText = 0;
  while (ti < t.size()) {
    if (pi < p.size()) {
      char16_t pc = p[pi];
      if (pc == u'*') {
        while (pi < p.size() && p[pi] == u'*')
          ++pi;
        starPattern = pi;
        starText = ti;
        continue;
      }
      if (pc == u'?') {
        ++pi;
        ti += charLength(t, ti);
        continue;
      }
      size_t patternStep = 1;
      if (pc == u'~' && pi + 1 < p.size()) {
        pc = p[pi + 1];
        patternStep = 2;
      }
      if (pc == asciiUpper(t[ti])) {
        pi += patternStep;
        ++ti;
        continue;
      }
    }
    if (starPattern == kNoStar) return false;
    starText += charLength(t, starText);
    ti = starText;
    pi = starPattern;
  }
  while (pi < p.size() && p[pi] == u'*')
    ++pi;
  return pi == p.size();
}

// Matches an upper-cased pattern against any text.
bool matchText(std::u16string_view foldedPattern, std::u16string_view text) {
  if (isAscii(text)) return matchFolded(foldedPattern, text);
  std::u16string folded = toUpperText(text);
  return matchFolded(foldedPattern, folded);
}

// Reads the operator at the start of a criterion text into the criterion.
void readOperator(std::u16string_view t, Criterion& c) {
  auto startsWith = [&](std::u16string_view s) { return t.substr(0, s.size()) == s; };
  if (startsWith(u"<=")) {
    c.comparison = CriterionOperator::LessOrEqual;
    c.prefixLength = 2;
  } else if (startsWith(u">=")) {
    c.comparison = CriterionOperator::GreaterOrEqual;
    c.prefixLength = 2;
  } else if (startsWith(u"<>")) {
    c.comparison = CriterionOperator::NotEqual;
    c.prefixLength = 2;
  } else if (startsWith(u"'=")) {
    c.comparison = CriterionOperator::Equal;
    c.prefixLength = 2;
  } else if (startsWith(u">")) {
    c.comparison = CriterionOperator::Greater;
    c.prefixLength = 1;
  } else if (startsWith(u"<")) {
    c.comparison = CriterionOperator::Less;
    c.prefixLength = 1;
  } else if (startsWith(u"=")) {
    c.comparison = CriterionOperator::Equal;
    c.prefixLength = 1;
  } else {
    c.comparison = CriterionOperator::Equal;
    c.prefixLength = 0;
  }
}

// Returns the error whose current display text equals the text without regard to case.
std::optional<CalcError> criterionError(std::u16string_view t) {
  if (t.empty() || t[0] != u'#') return std::nullopt;
  for (CalcError e : kAllErrors)
    if (equalIgnoringCase(t, errorText(e))) return e;
  return std::nullopt;
}

// Returns the number a text reads as the way a typed cell entry would: plain numbers, percentages,
// currency amounts, and dates and times when the date parser is installed.
std::optional<double> textNumber(const CalcValue& text) {
  return toNumber(text);
}

void compileText(std::u16string_view t, Criterion& c) {
  readOperator(t, c);
  std::u16string_view rest = t.substr(c.prefixLength);
  if (std::optional<CalcError> e = criterionError(rest)) {
    c.operand.setError(*e);
  } else if (std::optional<bool> b = parseBoolean(rest)) {
    c.operand.setBoolean(*b);
  } else {
    c.operand.setText(rest);
    if (rest.empty()) return;
    if (std::optional<double> x = textNumber(c.operand)) {
      c.operand.setNumber(*x);
      return;
    }
    bool equality = c.comparison == CriterionOperator::Equal || c.comparison == CriterionOperator::NotEqual;
    if (equality && hasWildcards(rest)) {
      c.wildcard = 1;
      c.pattern = foldUpper(rest);
    }
  }
}

// Returns true when the value equals the operand under the criterion's '=' rules.
bool equalsOperand(const Criterion& c, const CalcValue& x) {
  const CalcValue& o = c.operand;
  switch (o.kind()) {
  case CalcValue::Integer:
  case CalcValue::Double:
    if (x.isNumber()) return equal(x, o);
    if (x.isText()) {
      std::optional<double> n = textNumber(x);
      return n && equal(CalcValue::number(*n), o);
    }
    return false;
  case CalcValue::ShortText:
  case CalcValue::LongText:
    if (o.textLength() == 0) {
      // "" also takes the empty text; "=" (and so "<>") stands for a cell with nothing in it.
      if (x.isEmpty()) return true;
      return c.prefixLength == 0 && x.isText() && x.textLength() == 0;
    }
    if (!x.isText()) return false;
    if (c.wildcard) return matchText(c.pattern, x.textView());
    return equal(x, o);
  case CalcValue::Boolean:
    return x.isBoolean() && x.booleanValue() == o.booleanValue();
  case CalcValue::Error:
    return x.isErrorValue() && x.errorCode() == o.errorCode();
  default:
    return false;
  }
}

// Returns true when the value stands in the criterion's order to the operand. Only values of the
// operand's own kind are ordered: a number against ">5", a text against ">=b".
bool ordersWithOperand(const Criterion& c, const CalcValue& x) {
  const CalcValue& o = c.operand;
  bool sameKind = (o.isNumber() && x.isNumber()) || (o.isText() && x.isText()) || o.kind() == x.kind();
  if (!sameKind) return false;
  if (o.isText() && o.textLength() == 0) return false;
  switch (c.comparison) {
  case CriterionOperator::Less:
    return less(x, o);
  case CriterionOperator::Greater:
    return greater(x, o);
  case CriterionOperator::LessOrEqual:
    return greaterOrEqualAlt(o, x);
  case CriterionOperator::GreaterOrEqual:
    return greaterOrEqual(x, o);
  default:
    return false;
  }
}

} // namespace

Criterion compileCriterion(const CalcValue& criterion, const CellValueLookup& lookup) {
  Criterion c;
  const CalcValue empty;
  const CalcValue* v = &criterion;
  // An array stands for its first element, a reference for its top-left cell; one step each, so a
  // cell that holds an array gives that array's first element.
  for (int step = 0; step < 2 && (v->isArray() || v->isReference()); ++step) {
    if (v->isArray()) {
      const CalcValue* first = v->arrayColumns() && v->arrayRows() ? v->element(0, 0) : nullptr;
      v = first ? first : &empty;
    } else {
      CellAddress corner = v->firstCorner();
      if (!lookup || !corner.isValid()) return c;
      const CalcValue* cell = lookup(corner);
      v = cell ? cell : &empty;
    }
  }
  switch (v->kind()) {
  case CalcValue::Empty:
    c.comparison = CriterionOperator::Equal;
    c.operand.setInteger(0);
    break;
  case CalcValue::Integer:
  case CalcValue::Double:
  case CalcValue::Boolean:
  case CalcValue::Error:
    c.comparison = CriterionOperator::Equal;
    c.operand = *v;
    break;
  case CalcValue::ShortText:
  case CalcValue::LongText:
    compileText(v->textView(), c);
    break;
  default:
    break; // a reference list, or an array or reference nested too deep: nothing matches
  }
  return c;
}

bool matchCriterion(const Criterion& c, const CalcValue& value) {
  const CalcValue empty;
  const CalcValue* x = &value;
  if (x->isArray()) {
    const CalcValue* first = x->arrayColumns() && x->arrayRows() ? x->element(0, 0) : nullptr;
    x = first ? first : &empty;
  }
  switch (c.comparison) {
  case CriterionOperator::Equal:
    return equalsOperand(c, *x);
  case CriterionOperator::NotEqual:
    // A number excludes numbers only: "<>23" keeps the text "23" that "=23" takes.
    if (c.operand.isNumber() && x->isText()) return true;
    return !equalsOperand(c, *x);
  case CriterionOperator::None:
    return false;
  default:
    return ordersWithOperand(c, *x);
  }
}

bool Criterion::matches(const CalcValue& value) const {
  return matchCriterion(*this, value);
}

bool hasWildcards(std::u16string_view text) {
  return text.find_first_of(u"*?~") != std::u16string_view::npos;
}

bool wildcardMatch(std::u16string_view pattern, std::u16string_view text) {
  return matchText(foldUpper(pattern), text);
}

} // namespace cwbk
