// Criteria: operators, numeric, text, Boolean and error operands, empty criteria, wildcards with
// '=' and '<>', criteria taken from arrays and cells, and the wildcard matcher on its own.
#include "formula/criteria.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/locale_settings.h"
#include "values/conversions.h"

using namespace cwbk;

namespace {

CalcValue num(double x) {
  return CalcValue::number(x);
}
CalcValue txt(std::u16string_view t) {
  return CalcValue::text(t);
}
CalcValue boolean(bool b) {
  return CalcValue::boolean(b);
}
CalcValue err(CalcError e) {
  return CalcValue::error(e);
}
const CalcValue kEmpty;

struct MatchCase {
  CalcValue criterion;
  CalcValue value;
  bool expected;
};

std::string describe(const CalcValue& v) {
  std::u16string t = displayText(v);
  std::string out = v.isText() ? "\"" : v.isEmpty() ? "(empty)" : "";
  for (char16_t c : t)
    out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  if (v.isText()) out.push_back('"');
  return out;
}

// Restores the display texts, locale settings and date parser that a test changes.
class Criteria : public ::testing::Test {
protected:
  void SetUp() override {
    savedSettings_ = localeSettings();
    savedParser_ = dateTextParser();
    setLocaleSettings(LocaleSettings());
    setDisplayTexts(defaultDisplayTexts());
  }
  void TearDown() override {
    setLocaleSettings(savedSettings_);
    setDisplayTexts(defaultDisplayTexts());
    setDateTextParser(savedParser_);
  }
  static void expectCases(const std::vector<MatchCase>& cases) {
    for (const MatchCase& m : cases) {
      Criterion c = compileCriterion(m.criterion);
      EXPECT_EQ(c.matches(m.value), m.expected)
          << "criterion " << describe(m.criterion) << " against " << describe(m.value);
    }
  }

private:
  LocaleSettings savedSettings_;
  DateTextParser savedParser_ = nullptr;
};

TEST_F(Criteria, NumericOperandsCompareNumbersAndEqualNumericTexts) {
  expectCases({
      {num(5), num(5), true},
      {num(5), num(5.0000000000000009), true}, // equal within 15 digits
      {num(5), txt(u"5"), true},
      {num(5), txt(u" 5.0 "), true},
      {num(5), num(6), false},
      {num(1), boolean(true), false},
      {num(0), kEmpty, false},
      {num(0.3), num(0.1 + 0.2), true},
      // A criterion text without an operator reads as a number just like a number does.
      {txt(u"5"), num(5), true},
      {txt(u"5"), txt(u"05"), true},
      {txt(u"=5"), txt(u"5.00"), true},
      {txt(u"=5"), txt(u"5a"), false},
      {txt(u"10%"), num(0.1), true},
      {txt(u"$1,000"), num(1000), true},
      {txt(u">1e3"), num(1001), true},
      // An empty criterion is the number 0; an empty cell is not 0 here.
      {kEmpty, num(0), true},
      {kEmpty, txt(u"0"), true},
      {kEmpty, kEmpty, false},
  });
}

TEST_F(Criteria, OrderingOperatorsCompareOnlyNumbersWithANumber) {
  expectCases({
      {txt(u">=10"), num(10), true},
      {txt(u">=10"), num(12), true},
      {txt(u">=10"), num(9.5), false},
      {txt(u">=10"), txt(u"11"), false}, // numbers stored as text are not ordered
      {txt(u">=10"), txt(u"abc"), false},
      {txt(u">=10"), kEmpty, false},
      {txt(u">=10"), boolean(true), false},
      {txt(u"<5"), num(3), true},
      {txt(u"<5"), num(-1), true},
      {txt(u"<5"), txt(u"3"), false},
      {txt(u"<5"), kEmpty, false},
      {txt(u"<5"), txt(u""), false},
      {txt(u"<=5"), num(5), true},
      {txt(u"<=5"), num(5.5), false},
      {txt(u">5"), num(5.0000000000000009), false}, // equal within 15 digits
      {txt(u">5"), num(5.0001), true},
      {txt(u"<5"), err(ErrNA), false},
  });
}

TEST_F(Criteria, NotEqualIsTheComplementOfEqual) {
  expectCases({
      {txt(u"<>5"), num(5), false},
      {txt(u"<>5"), txt(u"5"), true}, // as "=5", yet a number excludes numbers only
      {txt(u"<>5"), num(4), true},
      {txt(u"<>5"), kEmpty, true},
      {txt(u"<>5"), txt(u"abc"), true},
      {txt(u"<>5"), boolean(true), true},
      {txt(u"<>5"), err(ErrNA), true},
      {txt(u"<>abc"), txt(u"ABC"), false},
      {txt(u"<>abc"), txt(u"abcd"), true},
      {txt(u"<>abc"), kEmpty, true},
  });
}

TEST_F(Criteria, TextOperands) {
  expectCases({
      {txt(u"abc"), txt(u"ABC"), true},
      {txt(u"abc"), txt(u"abd"), false},
      {txt(u"abc"), kEmpty, false},
      {txt(u"abc"), num(0), false},
      {txt(u"=abc"), txt(u"aBc"), true},
      {txt(u"\u00e9t\u00e9"), txt(u"\u00c9T\u00c9"), true},
      {txt(u">=b"), txt(u"b"), true},
      {txt(u">=b"), txt(u"B"), true},
      {txt(u">=b"), txt(u"c"), true},
      {txt(u">=b"), txt(u"a"), false},
      {txt(u">=b"), txt(u"Ab"), false},
      {txt(u">=b"), num(5), false},
      {txt(u">=b"), kEmpty, false},
      {txt(u">=b"), boolean(true), false},
      {txt(u"<b"), txt(u"a"), true},
      {txt(u"<b"), txt(u"c"), false},
      // Wildcards only act with '=' and '<>': under an ordering they are plain characters.
      {txt(u">a*"), txt(u"a*"), false},
      {txt(u">=a*"), txt(u"a*"), true},
      {txt(u">a*"), txt(u"b"), true},
  });
}

TEST_F(Criteria, Wildcards) {
  expectCases({
      {txt(u"a*c"), txt(u"abc"), true},
      {txt(u"a*c"), txt(u"ABC"), true},
      {txt(u"a*c"), txt(u"ac"), true},
      {txt(u"a*c"), txt(u"abd"), false},
      {txt(u"a*c"), txt(u"xabc"), false},
      {txt(u"a?c"), txt(u"abc"), true},
      {txt(u"a?c"), txt(u"ac"), false},
      {txt(u"a?c"), txt(u"abbc"), false},
      {txt(u"a~*c"), txt(u"a*c"), true},
      {txt(u"a~*c"), txt(u"abc"), false},
      {txt(u"a~?"), txt(u"a?"), true},
      {txt(u"a~?"), txt(u"ab"), false},
      {txt(u"~~"), txt(u"~"), true},
      {txt(u"*"), txt(u""), true},
      {txt(u"*"), txt(u"x"), true},
      {txt(u"*"), kEmpty, false},
      {txt(u"*"), num(5), false},
      {txt(u"?*"), txt(u""), false},
      {txt(u"?*"), txt(u"x"), true},
      {txt(u"=*"), txt(u""), true},
      {txt(u"1*"), num(10), false}, // wildcards look at texts only
      {txt(u"1*"), txt(u"10"), true},
      // "<>" with a pattern excludes the texts the pattern matches, and keeps everything else.
      {txt(u"<>*abc*"), txt(u"xxabcxx"), false},
      {txt(u"<>*abc*"), txt(u"ABC"), false},
      {txt(u"<>*abc*"), txt(u"abd"), true},
      {txt(u"<>*abc*"), kEmpty, true},
      {txt(u"<>*abc*"), num(5), true},
      {txt(u"<>a?c"), txt(u"abc"), false},
      {txt(u"<>*"), txt(u""), false},
      {txt(u"<>*"), num(1), true},
  });
}

TEST_F(Criteria, EmptyCriteria) {
  expectCases({
      // "" takes empty cells and empty texts.
      {txt(u""), kEmpty, true},
      {txt(u""), txt(u""), true},
      {txt(u""), num(0), false},
      {txt(u""), txt(u"x"), false},
      // "=" takes only cells with nothing in them.
      {txt(u"="), kEmpty, true},
      {txt(u"="), txt(u""), false},
      {txt(u"="), num(0), false},
      // "<>" takes everything else, the empty text included.
      {txt(u"<>"), kEmpty, false},
      {txt(u"<>"), txt(u""), true},
      {txt(u"<>"), num(0), true},
      {txt(u"<>"), txt(u"x"), true},
      {txt(u">"), txt(u"x"), false},
      {txt(u"<="), kEmpty, false},
  });
}

TEST_F(Criteria, BooleanAndErrorOperands) {
  expectCases({
      // The true and false texts read as Booleans, which match Booleans only.
      {txt(u"TRUE"), boolean(true), true},
      {txt(u"true"), boolean(true), true},
      {txt(u"TRUE"), boolean(false), false},
      {txt(u"TRUE"), num(1), false},
      {txt(u"=FALSE"), boolean(false), true},
      {txt(u"=FALSE"), kEmpty, false},
      {txt(u"=FALSE"), num(0), false},
      {txt(u"<>TRUE"), boolean(false), true},
      {txt(u"<>TRUE"), boolean(true), false},
      {txt(u">FALSE"), boolean(true), true},
      {boolean(true), boolean(true), true},
      {boolean(true), num(1), false},
      // Error texts read as errors, which match the same error only.
      {txt(u"#N/A"), err(ErrNA), true},
      {txt(u"#n/a"), err(ErrNA), true},
      {txt(u"#N/A"), err(ErrDiv0), false},
      {txt(u"#N/A"), txt(u"x"), false},
      {txt(u"=#DIV/0!"), err(ErrDiv0), true},
      {txt(u"<>#N/A"), err(ErrNA), false},
      {txt(u"<>#N/A"), num(5), true},
      {err(ErrDiv0), err(ErrDiv0), true},
      {err(ErrDiv0), num(0), false},
  });
}

TEST_F(Criteria, CompiledForm) {
  Criterion c = compileCriterion(txt(u">=10"));
  EXPECT_EQ(c.comparison, CriterionOperator::GreaterOrEqual);
  EXPECT_EQ(c.prefixLength, 2);
  EXPECT_TRUE(c.operand.isNumber());
  c = compileCriterion(txt(u"'=x*"));
  EXPECT_EQ(c.comparison, CriterionOperator::Equal);
  EXPECT_EQ(c.prefixLength, 2);
  EXPECT_EQ(c.wildcard, 1);
  c = compileCriterion(txt(u"<a*"));
  EXPECT_EQ(c.comparison, CriterionOperator::Less);
  EXPECT_EQ(c.wildcard, 0);
  EXPECT_EQ(c.operand.textView(), u"a*");
}

TEST_F(Criteria, LocaleTextsAndDates) {
  DisplayTexts german = defaultDisplayTexts();
  german[6] = u"#NV";
  german[7] = u"WAHR";
  german[8] = u"FALSCH";
  setDisplayTexts(german);
  LocaleSettings s;
  s.decimalSeparator = u",";
  s.monetaryThousandsSeparator = u".";
  s.monetaryDecimalSeparator = u",";
  setLocaleSettings(s);
  setDateTextParser([](std::u16string_view t) -> std::optional<double> {
    if (t == u"1/1/2020") return 43831.0;
    return std::nullopt;
  });
  expectCases({
      {txt(u"wahr"), boolean(true), true},
      {txt(u"TRUE"), boolean(true), false},
      {txt(u"#NV"), err(ErrNA), true},
      {txt(u">2,5"), num(2.6), true},
      {txt(u">2,5"), num(2.5), false},
      {txt(u">1/1/2020"), num(43832), true},
      {txt(u">1/1/2020"), num(43831), false},
      {txt(u"1/1/2020"), num(43831), true},
      {txt(u"1/1/2020"), txt(u"1/1/2020"), true},
  });
}

TEST_F(Criteria, CriterionFromArrayOrCell) {
  CalcValue array;
  array.resizeArray(2, 1);
  *array.element(0, 0) = num(7);
  *array.element(1, 0) = num(8);
  EXPECT_TRUE(compileCriterion(array).matches(num(7)));
  EXPECT_FALSE(compileCriterion(array).matches(num(8)));

  CalcValue cellText = txt(u">3");
  CellAddress a1 = CellAddress::make(0, 0, 0);
  CellAddress b1 = CellAddress::make(0, 1, 0);
  CellValueLookup lookup = [&](CellAddress at) -> const CalcValue* { return at == a1 ? &cellText : nullptr; };
  CalcValue ref;
  ref.setReference(a1, b1);
  Criterion fromCell = compileCriterion(ref, lookup);
  EXPECT_TRUE(fromCell.matches(num(4)));
  EXPECT_FALSE(fromCell.matches(num(3)));
  // A missing cell is an empty criterion (the number 0).
  CalcValue missing;
  missing.setReference(b1, b1);
  EXPECT_TRUE(compileCriterion(missing, lookup).matches(num(0)));
  // Without a way to read cells a reference matches nothing, not even under "<>".
  Criterion unread = compileCriterion(ref);
  EXPECT_EQ(unread.comparison, CriterionOperator::None);
  EXPECT_FALSE(unread.matches(kEmpty));
  EXPECT_FALSE(unread.matches(num(4)));
}

struct PatternCase {
  std::u16string pattern;
  std::u16string text;
  bool expected;
};

TEST_F(Criteria, WildcardMatcher) {
  const PatternCase cases[] = {
      {u"", u"", true},
      {u"", u"a", false},
      {u"*a", u"", false},
      {u"**", u"", true},
      {u"a*b*c", u"aXbYc", true},
      {u"a*b*c", u"aXcYb", false},
      {u"*ab", u"aab", true},
      {u"*ab*", u"xaxab", true},
      {u"*?b", u"b", false},
      {u"*~*", u"ab*", true},
      {u"*~*", u"ab", false},
      {u"a~b", u"ab", true}, // '~' makes any next character literal
      {u"a~", u"a~", true},  // a final '~' is itself
      {u"\u00e9*", u"\u00c9T\u00c9", true},
      {u"a?c", u"a\U0001F600c", true}, // '?' takes a whole surrogate pair
      {u"a??c", u"a\U0001F600c", false},
      {u"*\U0001F600", u"xx\U0001F600", true},
  };
  for (const PatternCase& m : cases)
    EXPECT_EQ(wildcardMatch(m.pattern, m.text), m.expected)
        << "pattern of " << m.pattern.size() << " units, text of " << m.text.size();

  EXPECT_TRUE(hasWildcards(u"a~b"));
  EXPECT_TRUE(hasWildcards(u"?"));
  EXPECT_FALSE(hasWildcards(u"abc"));
}

TEST_F(Criteria, ManyStarsOnLongTextsStayPolynomial) {
  // A naive recursive matcher takes exponential time here and never returns.
  std::u16string text(20000, u'a');
  std::u16string pattern;
  for (int i = 0; i < 40; ++i)
    pattern += u"*a";
  EXPECT_FALSE(wildcardMatch(pattern + u"*b", text));
  EXPECT_TRUE(wildcardMatch(pattern + u"*", text));
  EXPECT_TRUE(compileCriterion(txt(u"<>" + pattern + u"b")).matches(txt(text)));
}

} // namespace
