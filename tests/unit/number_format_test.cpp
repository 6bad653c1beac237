// Number formats and TEXT through the stand-in host: a table of TEXT formulas as the worksheet gives
// them, the 1904 date system, and format codes no one would type (never a crash, never a hang).
#include <gtest/gtest.h>

#include <string>

#include "compiler/stand_in_host.h"
#include "format/number_format.h"
#include "formula_test_support.h"

using namespace cwbk;
using namespace cwbk::formula_testing;

namespace {

// A1 a text, A2 a number, A3 a Boolean, A4 empty, A5 a numeric text, A6 a date text.
const char* const kInputs = R"(
Sheet1!A1: "abc"
Sheet1!A2: 1234.5678
Sheet1!A3: TRUE
Sheet1!A5: "12.5"
Sheet1!A6: "2024-02-29"
)";

class TextFormatTest : public FormulaTest {
protected:
  TextFormatTest() : FormulaTest(kInputs) {}
  void SetUp() override {
    FormulaTest::SetUp();
    compiler::useStandInHost();
  }
};

// The stand-in evaluates no formula texts: what a real host would be asked as a text (SUBTOTAL's
// hidden-row codes) is computed by the library, as without a host.
TEST_F(TextFormatTest, WhatTheStandInCannotAnswerIsComputedAsWithoutAHost) {
  check({
      {"=SUBTOTAL(109,A2:A3)", num(1234.5678)},
      {"=SUBTOTAL(102,A1:A5)", num(1)},
  });
}

TEST_F(TextFormatTest, DigitsGroupingScalingAndRounding) {
  check({
      {"=TEXT(2.675,\"0.00\")", txt(u"2.68")}, // rounded in decimal, not from the binary value
      {"=TEXT(-0.5,\"0\")", txt(u"-1")},
      {"=TEXT(0.5,\"#\")", txt(u"1")},
      {"=TEXT(0.4,\"#\")", txt(u"")},
      {"=TEXT(-0.4,\"0\")", txt(u"0")}, // no sign on zeros
      {"=TEXT(A2,\"#,##0.00\")", txt(u"1,234.57")},
      {"=TEXT(1234567,\"#,##0,\")", txt(u"1,235")},
      {"=TEXT(1234567,\"0.0,,\"\"M\"\"\")", txt(u"1.2M")},
      {"=TEXT(3,\"#.###\")", txt(u"3.")},
      {"=TEXT(0.5,\"#.00\")", txt(u".50")},
      {"=TEXT(1.5,\"0.0#\")", txt(u"1.5")},
      {"=TEXT(1.5,\"0.??\")", txt(u"1.5 ")},
      {"=TEXT(7,\"000\")", txt(u"007")},
      {"=TEXT(5551234,\"000-0000\")", txt(u"555-1234")},
      {"=TEXT(0.25,\"0%\")", txt(u"25%")},
      {"=TEXT(0.1234,\"0.0%\")", txt(u"12.3%")},
      {"=TEXT(1/3,\"0.000000000000000000\")", txt(u"0.333333333333333000")}, // 15 digits, then zeros
      {"=TEXT(1E+20,\"0\")", txt(u"100000000000000000000")},
      // Commas: grouping between placeholders, scaling after the last, nothing inside the decimals
      // after a placeholder, shown after anything else.
      {"=TEXT(890123.456789,\"#,#.##.##,#\")", txt(u"890,123.45.679")},
      {"=TEXT(890123.456789,\"0,x#.00.0\")", txt(u"89012x3.45.7")},
      {"=TEXT(890123.456789,\"#x,0,#.00.0\")", txt(u"890,1x,23.45.7")},
      {"=TEXT(890123.456789,\",#.00.0\")", txt(u",890123.45.7")},
      {"=TEXT(890123.456789,\"#.###x,##\")", txt(u"890123.456x,79")},
      {"=TEXT(890123.456789,\"%#%#%\")", txt(u"%89012345678%9%")},
      {"=TEXT(5,\"0\"\"%\"\"\")", txt(u"5%")}, // a quoted percent does not scale
      {"=TEXT(1234.56,\".#\")", txt(u"1234.6")},
  });
}

TEST_F(TextFormatTest, SectionsConditionsAndLiterals) {
  check({
      {"=TEXT(-1234,\"0;(0)\")", txt(u"(1234)")},
      {"=TEXT(0,\"0;-0;\"\"zero\"\"\")", txt(u"zero")},
      {"=TEXT(-5,\"0;\")", txt(u"")},
      {"=TEXT(1500,\"[<1000]0;0.0,\"\"k\"\"\")", txt(u"1.5k")},
      {"=TEXT(999,\"[<1000]0;0.0,\"\"k\"\"\")", txt(u"999")},
      {"=TEXT(-5,\"[Red]$#,##0.00\")", txt(u"-$5.00")},
      {"=TEXT(5,\"\\$0\\!\")", txt(u"$5!")},
      {"=TEXT(5,\"_(0_)\")", txt(u" 5 ")},
      {"=TEXT(5,\"* 0\")", txt(u"5")},
      {"=TEXT(5,\"[$€-407] 0\")", txt(u"€ 5")},
      {"=TEXT(12.5,\"General\")", txt(u"12.5")},
      {"=TEXT(-12.5,\"General \"\"kg\"\"\")", txt(u"-12.5 kg")},
      {"=TEXT(1/3,\"General\")", txt(u"0.333333333")}, // eleven characters
      {"=TEXT(-1/3,\"General\")", txt(u"-0.333333333")},
      {"=TEXT(123456789012,\"General\")", txt(u"1.23457E+11")},
      {"=TEXT(0.00012345,\"General\")", txt(u"0.00012345")},
      {"=TEXT(-2.5E-10,\"General\")", txt(u"-2.5E-10")},
      {"=TEXT(1E-08,\"General\")", txt(u"0.00000001")},
      {"=TEXT(1.23456789E-05,\"General\")", txt(u"1.23457E-05")},
  });
}

TEST_F(TextFormatTest, ExponentsAndFractions) {
  check({
      {"=TEXT(12345,\"0.00E+00\")", txt(u"1.23E+04")},
      {"=TEXT(0.00012,\"0.00E+00\")", txt(u"1.20E-04")},
      {"=TEXT(12345,\"0.0E-0\")", txt(u"1.2E4")},
      {"=TEXT(12345,\"##0.0E+0\")", txt(u"12.3E+3")},
      {"=TEXT(0,\"0.00E+00\")", txt(u"0.00E+00")},
      {"=TEXT(9.999,\"0.00E+00\")", txt(u"1.00E+01")},
      {"=TEXT(5.25,\"# ?/?\")", txt(u"5 1/4")},
      {"=TEXT(0.125,\"?/?\")", txt(u"1/8")},
      {"=TEXT(1.75,\"?/?\")", txt(u"7/4")},
      {"=TEXT(3.14159,\"# ?\?/?\?\")", txt(u"3 14/99")}, // the closest fraction
      {"=TEXT(0.3,\"# ?\?/16\")", txt(u"  5/16")},
      {"=TEXT(2,\"# ?/?\")", txt(u"2    ")},
  });
}

TEST_F(TextFormatTest, DatesAndTimes) {
  check({
      {"=TEXT(45000,\"yyyy-mm-dd\")", txt(u"2023-03-15")},
      {"=TEXT(45000,\"d/m/yy\")", txt(u"15/3/23")},
      {"=TEXT(45000.75,\"dddd, mmmm d, yyyy h:mm AM/PM\")", txt(u"Wednesday, March 15, 2023 6:00 PM")},
      {"=TEXT(45000,\"ddd mmm mmmmm\")", txt(u"Wed Mar M")},
      {"=TEXT(0.5,\"hh:mm\")", txt(u"12:00")},
      {"=TEXT(0.75,\"h:mm a/p\")", txt(u"6:00 p")},
      {"=TEXT(0.0006944444,\"mm:ss\")", txt(u"01:00")}, // minutes before seconds
      {"=TEXT(45000,\"mm\")", txt(u"03")},              // months alone
      {"=TEXT(1.5,\"[h]:mm:ss\")", txt(u"36:00:00")},
      {"=TEXT(0.0625,\"[mm]\")", txt(u"90")},
      {"=TEXT(0.5+1/86400/4,\"h:mm:ss.00\")", txt(u"12:00:00.25")},
      {"=TEXT(0.99999999,\"h:mm:ss\")", txt(u"0:00:00")},
      {"=TEXT(60,\"yyyy-mm-dd ddd\")", txt(u"1900-02-29 Wed")},
      {"=TEXT(0,\"yyyy-mm-dd\")", txt(u"1900-01-00")},
      {"=TEXT(-1,\"yyyy-mm-dd\")", err(ErrValue)},
      {"=TEXT(-1,\"[h]\")", txt(u"-24")}, // a negative time shows only as one elapsed unit alone
      {"=TEXT(-1,\"[h]:m\")", err(ErrValue)},
      {"=TEXT(-1,\"[s].000\")", err(ErrValue)},
      {"=TEXT(2958466,\"[h]\")", txt(u"71003184")}, // elapsed units pass the last day
      {"=TEXT(2958466,\"h\")", err(ErrValue)},
      {"=TEXT(3000000,\"yyyy\")", err(ErrValue)},
      {"=TEXT(A6,\"dd.mm.yyyy\")", txt(u"29.02.2024")}, // a date text is read as its serial
  });
}

TEST_F(TextFormatTest, ValuesOfEveryKind) {
  check({
      {"=TEXT(A1,\"0.00\")", txt(u"abc")},
      {"=TEXT(A1,\"0;0;0;\"\"<\"\"@\"\">\"\"\")", txt(u"<abc>")},
      {"=TEXT(A1,\"@@\")", txt(u"abcabc")},
      {"=TEXT(A5,\"0.00\")", txt(u"12.50")},
      {"=TEXT(\"23:99\",\"0.00000\")", txt(u"1.02708")},  // a time text whose minutes run over
      {"=TEXT(\"24:99\",\"0\")", txt(u"24:99")},          // two fields over: no time, the text stays
      {"=TEXT(\"23:59.\",\"0.00000\")", txt(u"0.99931")}, // hours and minutes, not minutes and seconds
      {"=TEXT(A3,\"0\")", txt(u"TRUE")},
      {"=TEXT(A4,\"0.0\")", txt(u"0.0")},
      {"=TEXT(A2,0)", txt(u"1235")},
      {"=TEXT(5,\"@\")", txt(u"5")},
      {"=TEXT(5,\"[Red\")", err(ErrValue)},
      {"=TEXT(5,\"0;0;0;@;0\")", err(ErrValue)},
      // The last section takes texts when it holds '@'; numbers go through the sections before it.
      {"=TEXT(-1,\"w;x@\")", txt(u"-w")},
      {"=TEXT(0,\"w;x;z@\")", txt(u"w")},
      {"=TEXT(A1,\"0;\"\"x\"\"@;0;0\")", err(ErrValue)}, // '@' in a section before the last
      {"=TEXT(1,\"0.0@\")", err(ErrValue)},              // digits and text in one section
      {"=TEXT(1,\"0.0y\")", err(ErrValue)},              // digits and a date in one section
      {"=TEXT(-1,\"\")", txt(u"-")},
  });
}

TEST(NumberFormat, DatesInThe1904System) {
  EXPECT_EQ(formatNumber(0, u"yyyy-mm-dd dddd", DateSystem::Base1904), u"1904-01-01 Friday");
  EXPECT_EQ(formatNumber(43538, u"yyyy-mm-dd", DateSystem::Base1904), u"2023-03-15");
}

// The code's '.' and ',' stand for the locale's separators; its own literals stay as written.
TEST(NumberFormat, LocaleSeparatorsAndNamesInDatesAndNumbers) {
  LocaleSettings locale;
  locale.decimalSeparator = u",";
  locale.thousandsSeparator = u".";
  locale.dateSeparator = u".";
  locale.timeSeparator = u"-";
  locale.monthNames[2] = u"M\u00e4rz";
  locale.dayNames[3] = u"Mittwoch";
  locale.dayAbbreviations[3] = u"Mi";
  EXPECT_EQ(formatNumber(1.5, u"0.00", DateSystem::Base1900, locale), u"1,50");
  EXPECT_EQ(formatNumber(1234567.891, u"#,##0.00", DateSystem::Base1900, locale), u"1.234.567,89");
  EXPECT_EQ(formatNumber(1234567, u"#,##0,\"K\"", DateSystem::Base1900, locale), u"1.235K");
  EXPECT_EQ(formatNumber(1234.5, u"General", DateSystem::Base1900, locale), u"1234,5");
  EXPECT_EQ(formatNumber(45000.5, u"d/m/yyyy h:mm", DateSystem::Base1900, locale), u"15.3.2023 12-00");
  EXPECT_EQ(formatNumber(45000, u"dddd d mmmm (ddd)", DateSystem::Base1900, locale),
            u"Mittwoch 15 M\u00e4rz (Mi)");
}

// Codes of any length and shape give an answer or nothing, in time proportional to their length.
TEST(NumberFormat, OddCodesNeverFail) {
  const std::u16string codes[] = {std::u16string(100000, u'0'),
                                  std::u16string(50000, u','),
                                  u"[",
                                  u"]",
                                  u"\"",
                                  u"\\",
                                  u"_",
                                  u"*",
                                  u"0.0.0.0",
                                  u"E+",
                                  u"0E+",
                                  u"/",
                                  u"0/",
                                  u"/0",
                                  u"?/0",
                                  u"# 0/0000000000",
                                  u"[h",
                                  u"[<]0",
                                  u"[>=x]0",
                                  u";;;",
                                  u"@;@;@;@",
                                  u"yyyymmmmmmmmmmddddddddhhhhssss.0000000",
                                  std::u16string(20000, u'['),
                                  u"[s].000000",
                                  u"0,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,"};
  const double values[] = {0, -1, 1e308, -1e308, 5e-324, 1234.5, 2958466, 0.999999999999};
  for (const std::u16string& code : codes)
    for (double x : values) {
      std::optional<std::u16string> shown = formatNumber(x, code, DateSystem::Base1900);
      if (shown) {
        EXPECT_LE(shown->size(), 32767u);
      }
      formatText(u"text", code);
    }
}

} // namespace
