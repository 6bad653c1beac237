// Platform services: the locale-independent number conversions, case mapping, the locale's
// case-insensitive collation and the UTF-8 conversions, which must answer alike on every target.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "platform/locale_settings.h"
#include "platform/number_text.h"
#include "platform/text_services.h"
#include "platform/utf8.h"

using namespace cwbk;

namespace {

std::string narrow(std::u16string_view t) {
  std::string out;
  for (char16_t c : t)
    out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

// Switches the process locale to one with a decimal comma for the scope, where the system has one.
class CommaLocale {
public:
  CommaLocale() {
    const char* saved = std::setlocale(LC_ALL, nullptr);
    saved_ = saved ? saved : "C";
    for (const char* name : {"de_DE.UTF-8", "de_DE", "German_Germany.1252", "German"})
      if (std::setlocale(LC_ALL, name)) {
        active_ = true;
        break;
      }
  }
  ~CommaLocale() { std::setlocale(LC_ALL, saved_.c_str()); }
  bool active() const { return active_; }

private:
  std::string saved_;
  bool active_ = false;
};

} // namespace

TEST(NumberTextPlatform, ParseDecimalTextReadsTheWholeTextExactly) {
  struct Case {
    std::u16string text;
    double expected;
  } cases[] = {
      {u"0.1", 0.1},
      {u"-2.5e3", -2500},
      {u"+.5E1", 5},
      {u"7.", 7},
      {u"9007199254740993", 9007199254740992.0}, // ties to even
      {u"2.2250738585072011e-308", 2.2250738585072011e-308},
      {u"1.7976931348623157e308", 1.7976931348623157e308},
      {u"4.9406564584124654e-324", 4.9406564584124654e-324},
      {u"1e-400", 0},
      {u"0.000000000000000000000000000000000000000000000000000000000000000000000000000000000001", 1e-84},
  };
  for (const Case& c : cases)
    EXPECT_EQ(parseDecimalText(c.text), c.expected) << narrow(c.text);
  const std::u16string failures[] = {u"",   u".",  u"-",   u"1e",  u"1e+",  u"e1",    u"1.2.3", u"1,5",
                                     u" 1", u"1 ", u"inf", u"nan", u"0x10", u"1e400", u"--1",   u"1e1.5"};
  for (const std::u16string& t : failures)
    EXPECT_EQ(parseDecimalText(t), std::nullopt) << narrow(t);
}

TEST(NumberTextPlatform, ExponentTextHasTheSpreadsheetForm) {
  struct Case {
    double x;
    int digits;
    std::u16string expected;
  } cases[] = {
      {1e20, 15, u"1E+20"},
      {-1.5e-10, 15, u"-1.5E-10"},
      {123456789012345678.0, 15, u"1.23456789012346E+17"},
      {1e-15, 15, u"1E-15"},
      {1e100, 15, u"1E+100"},
      {9.999999999999999e22, 15, u"1E+23"},
      {2.5e-308, 3, u"2.5E-308"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(exponentText(c.x, c.digits), c.expected) << c.x;
  DecimalDigits d = decimalDigits(0.1 + 0.2, 15);
  EXPECT_EQ(d.digits, "3");
  EXPECT_EQ(d.exponent, -1);
  d = decimalDigits(-123456789012345678.0, 15);
  EXPECT_TRUE(d.negative);
  EXPECT_EQ(d.digits, "123456789012346");
  EXPECT_EQ(d.exponent, 17);
}

TEST(NumberTextPlatform, ConversionsIgnoreTheProcessLocale) {
  CommaLocale comma;
  if (!comma.active()) GTEST_SKIP() << "no locale with a decimal comma on this system";
  EXPECT_EQ(parseDecimalText(u"1.5"), 1.5);
  EXPECT_EQ(parseDecimalText(u"1,5"), std::nullopt);
  EXPECT_EQ(exponentText(1.5e20, 15), u"1.5E+20");
  EXPECT_EQ(decimalDigits(0.25, 15).digits, "25");
}

TEST(TextServices, CaseMappingIsOneToOne) {
  struct Case {
    std::u16string text, upper, lower;
  } cases[] = {
      {u"abc XYZ 123", u"ABC XYZ 123", u"abc xyz 123"},
      {u"\u00E4\u00F6\u00FC\u00E9\u00C5", u"\u00C4\u00D6\u00DC\u00C9\u00C5",
       u"\u00E4\u00F6\u00FC\u00E9\u00E5"},
      {u"stra\u00DFe", u"STRA\u00DFE", u"stra\u00DFe"}, // sharp s has no one-to-one upper case
      {u"\u03B1\u03B2\u03B3", u"\u0391\u0392\u0393", u"\u03B1\u03B2\u03B3"},
      {u"\u043F\u0440\u0438\u0432\u0435\u0442", u"\u041F\u0420\u0418\u0412\u0415\u0422",
       u"\u043F\u0440\u0438\u0432\u0435\u0442"},
      {u"", u"", u""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(toUpperText(c.text), c.upper) << narrow(c.text);
    EXPECT_EQ(toLowerText(c.text), c.lower) << narrow(c.text);
  }
  EXPECT_TRUE(equalIgnoringCase(u"\u00C4Bc", u"\u00E4bC"));
  EXPECT_TRUE(equalIgnoringCase(u"", u""));
  EXPECT_FALSE(equalIgnoringCase(u"a", u"\u00E1"));
  EXPECT_FALSE(equalIgnoringCase(u"ab", u"abc"));
}

TEST(TextServices, CollationIgnoresCaseAndWeighsHyphensLast) {
  struct Case {
    std::u16string a, b;
    int order;
  } cases[] = {
      {u"a", u"A", 0},
      {u"apple", u"Banana", -1},
      {u"Z", u"a", 1},
      {u"e", u"\u00E9", -1},
      {u"\u00E9", u"f", -1},
      {u"\u00C4", u"\u00E4", 0},
      {u"\u00E4", u"b", -1},
      {u"x", u"\u00E4", 1},
      {u"10", u"9", -1},
      {u"a1", u"aa", -1},
      {u"$", u"1", -1},
      {u"_a", u"a", -1},
      {u"a b", u"ab", -1},
      {u"a.b", u"ab", -1},
      // Hyphens and apostrophes decide only between texts that are otherwise equal.
      {u"a-c", u"ab", 1},
      {u"coop", u"co-op", -1},
      {u"Co-op", u"coop", 1},
      {u"co-op", u"CO-OP", 0},
      {u"co-op", u"coo-p", 1},
      {u"co'op", u"co-op", -1},
      {u"ab-c", u"a-bc", -1},
      {u"co--op", u"co-op", 1},
      {u"\u00E9", u"e-", 1},
      {u"-", u"", 1},
  };
  for (const Case& c : cases) {
    int r = collateIgnoringCase(c.a, c.b);
    int back = collateIgnoringCase(c.b, c.a);
    EXPECT_EQ(r < 0 ? -1 : r > 0 ? 1 : 0, c.order) << narrow(c.a) << " | " << narrow(c.b);
    EXPECT_EQ(back < 0 ? -1 : back > 0 ? 1 : 0, -c.order) << narrow(c.b) << " | " << narrow(c.a);
  }
}

TEST(LocaleSettingsTest, SettingsCanBeReplaced) {
  LocaleSettings saved = localeSettings();
  LocaleSettings s;
  s.decimalSeparator.assign(1, u',');
  s.monetaryGrouping = 4;
  setLocaleSettings(s);
  EXPECT_EQ(localeSettings().decimalSeparator, u",");
  EXPECT_EQ(localeSettings().monetaryGrouping, 4);
  setLocaleSettings(saved);
  // The platform's own settings always name both separators.
  LocaleSettings platform = readPlatformLocaleSettings();
  EXPECT_FALSE(platform.decimalSeparator.empty());
  EXPECT_FALSE(platform.listSeparator.empty());
}

// Well-formed UTF-8 converts both ways; ill-formed bytes (a stray continuation byte, a lead byte
// without its continuation, an overlong form, an encoded surrogate, a code point past U+10FFFF) fail the
// strict conversion and read as U+FFFD in the replacing one.
TEST(Utf8, ConvertsWellFormedTextAndRefusesOrReplacesTheRest) {
  struct Case {
    const char* utf8;
    std::u16string strict;   // empty: the strict conversion fails
    std::u16string replaced; // empty for non-empty input: one or more U+FFFD (converters differ in how many)
  };
  const Case cases[] = {
      {"", u"", u""},
      {"plain", u"plain", u"plain"},
      {"caf\xC3\xA9 \xE2\x82\xAC\xF0\x9F\x98\x80", u"caf\u00E9 \u20AC\U0001F600",
       u"caf\u00E9 \u20AC\U0001F600"},
      {"a\x80z", u"", u"a\uFFFDz"},
      {"a\xC3", u"", u"a\uFFFD"},
      {"\xC0\xAF", u"", u""},
      {"\xED\xA0\x80", u"", u""},
      {"\xF4\x90\x80\x80", u"", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.utf8);
    std::optional<std::u16string> strict = utf8ToUtf16(c.utf8);
    if (c.strict.empty() && *c.utf8 != 0) {
      EXPECT_FALSE(strict.has_value());
    } else {
      ASSERT_TRUE(strict.has_value());
      EXPECT_EQ(*strict, c.strict);
      EXPECT_EQ(utf16ToUtf8(*strict), c.utf8);
    }
    std::u16string replaced = utf8ToUtf16Replacing(c.utf8);
    if (c.replaced.empty() && *c.utf8 != 0) {
      EXPECT_FALSE(replaced.empty());
      EXPECT_EQ(replaced.find_first_not_of(u'\uFFFD'), std::u16string::npos) << narrow(replaced);
    } else {
      EXPECT_EQ(replaced, c.replaced) << narrow(replaced);
    }
  }
  // An unpaired surrogate becomes U+FFFD on the way to UTF-8.
  EXPECT_EQ(utf16ToUtf8(std::u16string(u"a") + char16_t(0xD800) + u"b"), "a\xEF\xBF\xBD"
                                                                         "b");
}
