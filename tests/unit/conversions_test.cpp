// Conversions and comparisons: number texts, number parsing (currency amounts included), the
// numeric operations, equality and ordering across kinds, the language table and localization.
#include "values/conversions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/locale_settings.h"
#include "platform/text_services.h"

using namespace cwbk;

namespace {

// Restores the locale settings and the display texts that a test changes.
class Conversions : public ::testing::Test {
protected:
  void SetUp() override {
    savedSettings_ = localeSettings();
    savedParser_ = dateTextParser();
    savedTexts_ = displayTexts();
    setLocaleSettings(LocaleSettings());
    setDisplayTexts(defaultDisplayTexts());
  }
  void TearDown() override {
    setLocaleSettings(savedSettings_);
    setDisplayTexts(savedTexts_);
    setDateTextParser(savedParser_);
    setRuntimeLanguage(u"");
  }
  static void useGermanSettings() {
    LocaleSettings s;
    s.decimalSeparator = u",";
    s.listSeparator = u";";
    s.currencySymbol = u"\u20AC";
    s.currencyPosition = 3;
    s.monetaryThousandsSeparator = u".";
    s.monetaryDecimalSeparator = u",";
    setLocaleSettings(s);
  }

private:
  LocaleSettings savedSettings_;
  DateTextParser savedParser_ = nullptr;
  DisplayTexts savedTexts_;
};

CalcValue integer(int32_t i) {
  CalcValue v;
  v.setInteger(i);
  return v;
}

CalcValue real(double d) {
  CalcValue v;
  v.setDouble(d);
  return v;
}

CalcValue text(std::u16string_view t) {
  return CalcValue::text(t);
}

// Returns an array of `columns` columns filled row by row.
CalcValue array(std::initializer_list<CalcValue> elements, uint32_t columns) {
  CalcValue a;
  a.resizeArray(columns, static_cast<uint32_t>(elements.size()) / columns);
  uint32_t i = 0;
  for (const CalcValue& e : elements)
    a.element(i % columns, i / columns)->copyFrom(e), ++i;
  return a;
}

CalcValue emptyArray() {
  CalcValue a;
  a.resizeArray(0, 1);
  return a;
}

} // namespace

TEST_F(Conversions, NumberTextShowsFifteenSignificantDigits) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double x;
    std::u16string expected;
  } cases[] = {
      {2.5, u"2.5"},
      {0.1, u"0.1"},
      {-7, u"-7"},
      {0.1 + 0.2, u"0.3"},
      {1.0 / 3, u"0.333333333333333"},
      {2.0 / 3, u"0.666666666666667"},
      {123.456, u"123.456"},
      {-1.5e-10, u"-0.00000000015"},
      {1e-14, u"0.00000000000001"},
      // Integral values beyond 32 bits keep their zeros and get no point.
      {3e10, u"30000000000"},
      {1e14, u"100000000000000"},
      {2147483648.0, u"2147483648"},
      {-2147483649.5, u"-2147483649.5"},
      {123456789012345.0, u"123456789012345"},
      // Exponent form beyond 15 digits before the point and below 1E-14.
      {1e20, u"1E+20"},
      {1e15, u"1E+15"},
      {999999999999999.9, u"1E+15"},
      {123456789012345678.0, u"1.23456789012346E+17"},
      {1e-15, u"1E-15"},
      {-1.5e-20, u"-1.5E-20"},
      {1e100, u"1E+100"},
      {1.7976931348623157e308, u"1.79769313486232E+308"},
      {5e-324, u"4.94065645841247E-324"},
      {0.0, u"0"},
      {-0.0, u"0"},
      {inf, u"0"},
      {std::nan(""), u"0"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(numberText(c.x), c.expected) << c.x;
}

TEST_F(Conversions, NumberTextUsesTheDecimalSeparator) {
  useGermanSettings();
  EXPECT_EQ(numberText(2.5), u"2,5");
  EXPECT_EQ(numberText(-1.5e-20), u"-1,5E-20");
  EXPECT_EQ(numberText(1e14), u"100000000000000");
  EXPECT_EQ(parseNumber(u"2,5"), 2.5);
  EXPECT_EQ(parseNumber(u"2.5"), std::nullopt);
}

TEST_F(Conversions, ParseNumberAcceptsNumbersPercentagesAndCurrencyAmounts) {
  struct Case {
    std::u16string text;
    double expected;
  } cases[] = {
      {u"12%", 0.12},      {u"1e3", 1000},       {u"- 5", -5},           {u" \t42\t ", 42}, {u"+3.5", 3.5},
      {u".5", 0.5},        {u"5.", 5},           {u"-1E+2", -100},       {u"1e-2", 0.01},   {u"1,000", 1000},
      {u"1,000,000", 1e6}, {u"1,234.5", 1234.5}, {u"$1,234.50", 1234.5}, {u"-$5", -5},      {u"$ 7", 7},
      {u"\u20AC5", 5},     {u"1e-400", 0},       {u"1,000e2", 100000},
  };
  for (const Case& c : cases)
    EXPECT_EQ(parseNumber(c.text), c.expected) << std::string(c.text.begin(), c.text.end());
}

TEST_F(Conversions, ParseNumberRejectsMalformedTexts) {
  const std::u16string cases[] = {
      u"",      u"  ",   u"%",      u"-%",   u"5 5", u"1.2.3", u"e5",      u"1e",      u"5-",   u"--5",
      u"1e5e5", u"1,00", u"1,,000", u",000", u"1,",  u"$",     u"5$",      u"$5$",     u"abc",  u"1e999",
      u"12%%",  u"%12",  u"1 %",    u"0x10", u"inf", u"nan",   u"1.000,5", u"1e1,000", u"TRUE",
  };
  for (const std::u16string& t : cases)
    EXPECT_EQ(parseNumber(t), std::nullopt) << std::string(t.begin(), t.end());
}

TEST_F(Conversions, ParseNumberFailsOnTextsBeyondItsBufferRatherThanCuttingThem) {
  std::u16string fits = u"0." + std::u16string(509, u'0') + u"1"; // 512 units
  ASSERT_EQ(fits.size(), 512u);
  EXPECT_EQ(parseNumber(fits), 0.0); // 1E-510 underflows to zero
  EXPECT_EQ(parseNumber(u"1" + std::u16string(511, u' ')), 1.0);
  EXPECT_EQ(parseNumber(u"1" + std::u16string(512, u' ')), std::nullopt);
}

TEST_F(Conversions, ParseNumberFollowsTheLocaleCurrencySettings) {
  useGermanSettings();
  EXPECT_EQ(parseNumber(u"1.234,50 \u20AC"), 1234.5);
  EXPECT_EQ(parseNumber(u"-5\u20AC"), -5);
  EXPECT_EQ(parseNumber(u"1.000.000"), 1e6);
  EXPECT_EQ(parseNumber(u"\u20AC 5"), std::nullopt); // the symbol belongs after the amount here
  EXPECT_EQ(parseNumber(u"1.5"), std::nullopt);
  EXPECT_EQ(parseNumber(u"\u20AC"), std::nullopt);

  LocaleSettings s;
  s.monetaryThousandsSeparator = u"\u00A0\u00A0"; // a separator of two units is not read
  setLocaleSettings(s);
  EXPECT_EQ(parseNumber(u"$5"), std::nullopt);
  EXPECT_EQ(parseNumber(u"5"), 5);
}

TEST_F(Conversions, ToNumberConvertsByKindAndFallsBackToTheDateParser) {
  EXPECT_EQ(toNumber(CalcValue()), 0.0);
  EXPECT_EQ(toNumber(CalcValue::boolean(true)), 1.0);
  EXPECT_EQ(toNumber(integer(-3)), -3.0);
  EXPECT_EQ(toNumber(text(u"12%")), 0.12);
  setDateTextParser(nullptr);
  EXPECT_EQ(toNumber(text(u"1/2/2000")), std::nullopt);
  EXPECT_EQ(toNumber(CalcValue::error(ErrNA)), std::nullopt);
  EXPECT_EQ(toNumber(array({integer(1)}, 1)), std::nullopt);
  CalcValue reference;
  reference.setReference(CellAddress(), CellAddress());
  EXPECT_EQ(toNumber(reference), std::nullopt);

  setDateTextParser([](std::u16string_view t) -> std::optional<double> {
    if (t == u"1/2/2000") return 36527.0;
    return std::nullopt;
  });
  EXPECT_EQ(toNumber(text(u"1/2/2000")), 36527.0);
  EXPECT_EQ(toNumber(text(u"7")), 7.0);
  EXPECT_EQ(toNumber(text(u"junk")), std::nullopt);
  EXPECT_EQ(toNumber(CalcValue::error(ErrValue)), std::nullopt);
}

TEST_F(Conversions, ErrorAndBooleanTextsFollowTheDisplayTexts) {
  EXPECT_EQ(parseError(u"#N/A"), ErrNA);
  EXPECT_EQ(parseError(u"#n/a"), std::nullopt);
  EXPECT_TRUE(isErrorText(u"#DIV/0!"));
  EXPECT_FALSE(isErrorText(u"#DIV/0"));
  EXPECT_EQ(parseBoolean(u"true"), true);
  EXPECT_EQ(parseBoolean(u"False"), false);
  EXPECT_EQ(parseBoolean(u"yes"), std::nullopt);

  DisplayTexts texts = defaultDisplayTexts();
  texts[6] = u"NV";
  texts[7] = u"WAHR";
  setDisplayTexts(texts);
  EXPECT_EQ(parseError(u"NV"), ErrNA);
  EXPECT_FALSE(isErrorText(u"NV")); // an error text must start with '#'
  EXPECT_EQ(parseBoolean(u"wahr"), true);
  EXPECT_EQ(parseBoolean(u"TRUE"), std::nullopt);
}

TEST_F(Conversions, NumericOperationsKeepIntegersWhileTheyFit) {
  CalcValue a = integer(2);
  add(a, integer(3));
  EXPECT_EQ(a.kind(), CalcValue::Integer);
  EXPECT_EQ(a.integer(), 5);
  add(a, real(0.5));
  EXPECT_EQ(a.kind(), CalcValue::Double);
  EXPECT_EQ(a.doubleValue(), 5.5);

  CalcValue b = integer(INT32_MAX);
  add(b, integer(1));
  EXPECT_EQ(b.kind(), CalcValue::Double);
  EXPECT_EQ(b.doubleValue(), 2147483648.0);
  CalcValue c = integer(65536);
  multiply(c, integer(65536));
  EXPECT_EQ(c.kind(), CalcValue::Double);
  CalcValue d = integer(INT32_MIN + 1);
  subtract(d, integer(1));
  EXPECT_EQ(d.kind(), CalcValue::Integer);
  EXPECT_EQ(d.integer(), INT32_MIN);
  CalcValue e = real(1.5);
  add(e, real(0.5)); // a Double target stays a Double
  EXPECT_EQ(e.kind(), CalcValue::Double);

  CalcValue q = integer(6);
  divide(integer(3), q);
  EXPECT_EQ(q.kind(), CalcValue::Double);
  EXPECT_EQ(q.doubleValue(), 2.0);
  divide(real(0.0), q);
  EXPECT_EQ(q.kind(), CalcValue::Integer);
  EXPECT_EQ(q.integer(), 0);
}

TEST_F(Conversions, ApproximatelyEqualHoldsFifteenSignificantDigitsAtEveryMagnitude) {
  struct Case {
    double x, y;
    bool expected;
  } cases[] = {
      {1, 1.0000000000000002, true},
      {0.1 + 0.2, 0.3, true},
      {1, 1.000000000000001, true}, // both show as 1
      {1, 1.00000000000001, false}, // the 15th digit differs
      {100000, 100000.001, false},
      {10000, 10000.0000001, false},
      {123456.789, 123456.789 + 1e-9, false},
      {123456.789, 123456.789 + 1e-11, true},
      {1e20, 1e20 * (1 + 2e-16), true},
      {-3, -3.0000000000000004, true},
      {1e-300, 1.0000000000000002e-300, true},
      {-1, 1, false},
      {0, 1e-300, false},
      {-1e-300, 0, false},
      {-0.0, 0.0, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(approximatelyEqual(c.x, c.y), c.expected) << c.x << " " << c.y;
    EXPECT_EQ(approximatelyEqual(c.y, c.x), c.expected) << c.y << " " << c.x;
  }
  // The quick bounds decide exactly as the tolerance itself does, also right around it and at powers
  // of ten, where the unit of the 15th digit changes.
  auto byTolerance = [](double x, double y) {
    double larger = std::fmax(std::fabs(x), std::fabs(y));
    return x == y || std::fabs(y - x) < 5 * std::pow(10.0, std::floor(std::log10(larger)) - 15);
  };
  for (double base : {1.0, 9.999999999999, 10.0, 99.5, 1000.0, 123456.789, 1e-7, 3.3e12, 1e15, 7e300}) {
    for (double unit = 4e-16; unit < 6e-15; unit *= 1.013) {
      double y = base * (1 + unit);
      EXPECT_EQ(approximatelyEqual(base, y), byTolerance(base, y)) << base << " " << y;
      y = std::nextafter(base * (1 - unit), 0.0);
      EXPECT_EQ(approximatelyEqual(base, y), byTolerance(base, y)) << base << " " << y;
    }
  }
}

TEST_F(Conversions, EqualAcrossKinds) {
  CalcValue reference;
  reference.setReference(CellAddress(), CellAddress());
  struct Case {
    CalcValue a, b;
    bool expected;
  } cases[] = {
      {integer(1), real(1.0000000000000002), true},
      {integer(1), integer(2), false},
      {text(u"abc"), text(u"ABC"), true},
      {text(u"\u00E4b"), text(u"\u00C4B"), true},
      {text(u"a\u00E9"), text(u"ae"), false},
      {text(u"ab"), text(u"abc"), false},
      {text(u"stra\u00DFe"), text(u"STRASSE"), false},
      {text(u"a-b"), text(u"ab-"), false},
      {CalcValue(), text(u""), true},
      {CalcValue(), CalcValue::boolean(false), true},
      {CalcValue(), integer(0), true},
      {CalcValue(), real(1e-300), false},
      {CalcValue(), text(u" "), false},
      {integer(1), text(u"1"), false},
      {CalcValue::boolean(true), integer(1), false},
      {CalcValue::error(ErrNA), CalcValue::error(ErrNA), true},
      {CalcValue::error(ErrNA), CalcValue::error(ErrRef), false},
      {array({integer(1), text(u"x")}, 2), array({real(1), text(u"X")}, 2), true},
      {array({integer(1), integer(2)}, 2), array({integer(1), integer(3)}, 2), false},
      {array({integer(1), integer(2)}, 2), array({integer(1), integer(2)}, 1), false},
      {array({integer(7), integer(2)}, 2), integer(7), true},
      {emptyArray(), CalcValue(), false},
      {reference, reference, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(equal(c.a, c.b), c.expected)
        << displayText(c.a).size() << " kinds " << c.a.tag() << "/" << c.b.tag();
    EXPECT_EQ(equal(c.b, c.a), c.expected) << "swapped, kinds " << c.a.tag() << "/" << c.b.tag();
  }
}

TEST_F(Conversions, OrderingAcrossKinds) {
  CalcValue reference;
  reference.setReference(CellAddress(), CellAddress());
  // order: -1 means a < b, 0 equal, 1 a > b.
  struct Case {
    CalcValue a, b;
    int order;
  } cases[] = {
      {integer(5), text(u"1"), -1},
      {CalcValue::boolean(true), CalcValue::error(ErrNA), -1},
      {CalcValue(), CalcValue::boolean(false), 0},
      {CalcValue(), CalcValue::boolean(true), -1},
      {CalcValue(), integer(-1), 1},
      {CalcValue(), text(u""), 0},
      {CalcValue(), text(u"a"), -1},
      {CalcValue(), CalcValue(), 0},
      {CalcValue(), CalcValue::error(ErrNull), -1},
      {integer(2), integer(10), -1},
      {integer(1), real(1.0000000000000002), 0},
      {real(0.1 + 0.2), real(0.3), 0},
      {real(1e-20), real(1.0000000000000001e-20), 0},
      {real(100000), real(100000.001), -1},
      {real(1e308), real(-1e308), 1},
      {text(u"10"), text(u"9"), -1},
      {text(u"apple"), text(u"Banana"), -1},
      {text(u"Zebra"), text(u"apple"), 1},
      {text(u"a"), text(u"A"), 0},
      {text(u"co-op"), text(u"coop"), 0},
      {text(u"a-c"), text(u"ab"), 1},
      {CalcValue::boolean(false), CalcValue::boolean(true), -1},
      {CalcValue::error(ErrNull), CalcValue::error(ErrNA), -1},
      {reference, CalcValue::error(ErrNA), -1},
      {text(u"zzz"), CalcValue::boolean(false), -1},
      {array({integer(3), integer(0)}, 2), integer(2), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "kinds " << c.a.tag() << "/" << c.b.tag() << " order " << c.order);
    EXPECT_EQ(less(c.a, c.b), c.order < 0);
    EXPECT_EQ(greater(c.a, c.b), c.order > 0);
    EXPECT_EQ(greaterOrEqual(c.a, c.b), c.order >= 0);
    EXPECT_EQ(greaterOrEqualAlt(c.a, c.b), c.order >= 0);
    EXPECT_EQ(less(c.b, c.a), c.order > 0);
    EXPECT_EQ(greaterOrEqual(c.b, c.a), c.order <= 0);
  }
  // An array without elements makes every comparison false.
  EXPECT_FALSE(less(emptyArray(), integer(1)));
  EXPECT_FALSE(greater(emptyArray(), integer(1)));
  EXPECT_FALSE(greaterOrEqual(integer(1), emptyArray()));
}

TEST_F(Conversions, TextCollationSkipsHyphensAndApostrophesWhereTheTextsDiffer) {
  struct Case {
    std::u16string a, b;
    int order;
  } cases[] = {
      {u"", u"a", -1},        {u"", u"", 0},         {u"abc", u"abd", -1},  {u"ab", u"abc", -1},
      {u"don't", u"dont", 0}, {u"ab-", u"ab", 0},    {u"a-c", u"ab", 1},    {u"a'b", u"ac", -1},
      {u"B", u"a", 1},        {u"e", u"\u00E9", -1}, {u"\u00E9", u"f", -1}, {u"ABC", u"abc", 0},
  };
  for (const Case& c : cases) {
    int r = compareTexts(c.a, c.b);
    EXPECT_EQ(r < 0   ? -1
              : r > 0 ? 1
                      : 0,
              c.order)
        << std::string(c.a.begin(), c.a.end()) << " | " << std::string(c.b.begin(), c.b.end());
  }
}

TEST_F(Conversions, DisplayTextByKind) {
  CalcValue reference;
  reference.setReference(CellAddress(), CellAddress());
  EXPECT_EQ(displayText(CalcValue()), u"");
  EXPECT_EQ(displayText(integer(-7)), u"-7");
  EXPECT_EQ(displayText(real(2.5)), u"2.5");
  EXPECT_EQ(displayText(text(u"abc")), u"abc");
  EXPECT_EQ(displayText(CalcValue::boolean(true)), u"TRUE");
  EXPECT_EQ(displayText(CalcValue::error(ErrDiv0)), u"#DIV/0!");
  EXPECT_EQ(displayText(reference), u"#VALUE!");
  CalcValue a = array({integer(1), text(u"a"), CalcValue::boolean(false), CalcValue::error(ErrNA)}, 2);
  EXPECT_EQ(displayText(a), u"{1,\"a\";FALSE,#N/A}");
  useGermanSettings();
  EXPECT_EQ(displayText(array({real(1.5), text(u"x")}, 2)), u"{1,5;\"x\"}");
}

TEST_F(Conversions, LanguageTableBothWays) {
  EXPECT_EQ(languageName(7), u"German");
  EXPECT_EQ(languageName(36), u"Slovenian");
  EXPECT_EQ(languageName(9), u"English");
  EXPECT_EQ(languageName(13), u"English");
  EXPECT_EQ(languageIdByName(u"german"), 7);
  EXPECT_EQ(languageIdByName(u"SWEDISH"), 29);
  EXPECT_EQ(languageIdByName(u"Klingon"), 9);
  EXPECT_EQ(languageIdByName(u""), 9);
}

TEST_F(Conversions, ApplyLocalizationSetsTheTextsOfTheChosenColumn) {
  const std::u16string table = u"Id;English;German\r\n"
                               u"#VALUE!;#VALUE!;#WERT!\r\n"
                               u"#N/A;#N/A;#NV\r\n"
                               u"#REF!;#REF!;\r\n" // no translation: kept
                               u"true;TRUE;WAHR\r\n"
                               u"FALSE;FALSE;FALSCH\r\n"
                               u"other;x;y\r\n"
                               u"#NULL!\r\n";
  applyLocalization(table, 5); // no Czech column: nothing changes
  EXPECT_EQ(displayTexts(), defaultDisplayTexts());
  applyLocalization(table, 9); // English is never localized
  EXPECT_EQ(displayTexts(), defaultDisplayTexts());

  applyLocalization(table, 7);
  EXPECT_EQ(errorText(ErrValue), u"#WERT!");
  EXPECT_EQ(errorText(ErrNA), u"#NV");
  EXPECT_EQ(errorText(ErrRef), u"#REF!");
  EXPECT_EQ(errorText(ErrNull), u"#NULL!");
  EXPECT_EQ(trueText(), u"WAHR");
  EXPECT_EQ(falseText(), u"FALSCH");
  EXPECT_EQ(parseError(u"#WERT!"), ErrValue);
  EXPECT_EQ(parseBoolean(u"wahr"), true);
  EXPECT_EQ(displayText(CalcValue::error(ErrNA)), u"#NV");

  // Numbers keep their settings whatever the language did to the runtime library's locale.
  EXPECT_EQ(parseNumber(u"1.5"), 1.5);
  EXPECT_EQ(numberText(1.5), u"1.5");
}

TEST_F(Conversions, ApplyLocalizationIgnoresMalformedTables) {
  const std::u16string tables[] = {u"", u"German", u";;;\r\n\r\n", u"\r\n#VALUE!;X"};
  for (const std::u16string& t : tables) {
    applyLocalization(t, 7);
    EXPECT_EQ(displayTexts(), defaultDisplayTexts());
  }
}

TEST_F(Conversions, SearchOrderComparesWithinAClassAndByKindAcrossClasses) {
  struct Case {
    const char* label;
    CalcValue a;
    CalcValue b;
    int order; // the sign of searchOrder(a, b)
    bool sameClass;
  };
  const Case cases[] = {
      {"integer and double", CalcValue::number(1), CalcValue::number(1.0000000000000002), 0, true},
      {"numbers", CalcValue::number(2), CalcValue::number(10), -1, true},
      {"texts ignore case", CalcValue::text(u"abc"), CalcValue::text(u"ABC"), 0, true},
      {"texts by collation", CalcValue::text(u"b"), CalcValue::text(u"A"), 1, true},
      {"booleans", CalcValue::boolean(false), CalcValue::boolean(true), -1, true},
      {"number before text", CalcValue::number(5), CalcValue::text(u"1"), -1, false},
      {"text before boolean", CalcValue::text(u"z"), CalcValue::boolean(false), -1, false},
      {"boolean before error", CalcValue::boolean(true), CalcValue::error(ErrNA), -1, false},
      {"error after number", CalcValue::error(ErrNA), CalcValue::number(1e300), 1, false},
      {"empty before number", CalcValue(), CalcValue::number(-1e300), -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    int order = searchOrder(c.a, c.b);
    EXPECT_EQ(order < 0 ? -1 : order > 0 ? 1 : 0, c.order);
    EXPECT_EQ(sameComparisonClass(c.a, c.b), c.sameClass);
  }
}
