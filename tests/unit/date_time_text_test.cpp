// Reading dates and times from text: one table per locale (month-day-year, day-month-year,
// year-month-day, German month names), the time forms, the texts that are no date, and both date
// systems. The clock is pinned to 15 June 2024 so that dates without a year have a known one.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "parse/date_time_text.h"
#include "platform/locale_settings.h"
#include "platform/utf8.h"
#include "values/date_serial.h"

using namespace cwbk;

namespace {

double pinnedClock(bool date1904) {
  return *serialFromCivil(2024, 6, 15, dateSystemOf(date1904)) + 0.5;
}

// Returns the serial of a date and time of the 1900 system.
double serial(int year, int month, int day, int hour = 0, int minute = 0, double second = 0) {
  return *serialFromCivil(year, month, day, DateSystem::Base1900) +
         (hour * 3600 + minute * 60 + second) / 86400;
}

struct TextCase {
  std::u16string text;
  std::optional<double> expected; // nothing: the text is no date or time
};

class DateTimeTextTest : public ::testing::Test {
protected:
  void SetUp() override {
    saved_ = localeSettings();
    setLocaleSettings(LocaleSettings());
    setDateTimeClock(pinnedClock);
  }
  void TearDown() override {
    setLocaleSettings(saved_);
    setDateTimeClock(nullptr);
  }
  static void setOrder(int order) {
    LocaleSettings s;
    s.dateOrder = order;
    setLocaleSettings(s);
  }
  static void check(const std::vector<TextCase>& cases, DateSystem system = DateSystem::Base1900) {
    for (const TextCase& c : cases) {
      std::optional<double> got = parseDateTime(c.text, system);
      if (!c.expected) {
        EXPECT_EQ(got, std::nullopt) << utf16ToUtf8(c.text);
        continue;
      }
      ASSERT_TRUE(got.has_value()) << utf16ToUtf8(c.text);
      EXPECT_NEAR(*got, *c.expected, 1e-9) << utf16ToUtf8(c.text);
    }
  }

private:
  LocaleSettings saved_;
};

TEST_F(DateTimeTextTest, MonthDayYearLocale) {
  check({
      {u"1/2/2024", serial(2024, 1, 2)},
      {u"5/1/2000", serial(2000, 5, 1)},
      {u"12-31-1999", serial(1999, 12, 31)},
      {u"2000-01-05", serial(2000, 1, 5)}, // four digits first: year-month-day in every order
      {u"2000/1/5", serial(2000, 1, 5)},
      {u"5/1/29", serial(2029, 5, 1)},
      {u"5/1/30", serial(1930, 5, 1)},
      {u"1/2/5", serial(2005, 1, 2)},
      // Two parts: a day of the current year when it fits the month, else a year.
      {u"1/2", serial(2024, 1, 2)},
      {u"2/29", serial(2024, 2, 29)},
      {u"2/30", serial(1930, 2, 1)},
      {u"1/32", serial(1932, 1, 1)},
      {u"1/2024", serial(2024, 1, 1)},
      {u"2024/3", serial(2024, 3, 1)},
      // Month names, full, abbreviated or cut to three letters and more, in any case.
      {u"January 5, 2000", serial(2000, 1, 5)},
      {u"Jan 5 2000", serial(2000, 1, 5)},
      {u"5-Jan-2000", serial(2000, 1, 5)},
      {u"5 JANUARY 2000", serial(2000, 1, 5)},
      {u"sept 3, 2021", serial(2021, 9, 3)},
      {u"5-jan", serial(2024, 1, 5)},
      {u"Dec 2020", serial(2020, 12, 1)},
      {u"Mar-32", serial(1932, 3, 1)},
      // The 1900 system's own 29 February 1900.
      {u"2/29/1900", 60},
      {u"3/1/1900", 61},
      {u"12/31/9999", 2958465},
  });
}

TEST_F(DateTimeTextTest, DayMonthYearLocale) {
  setOrder(1);
  check({
      {u"5/1/2000", serial(2000, 1, 5)},
      {u"10-12-1999", serial(1999, 12, 10)},
      {u"2000-01-05", serial(2000, 1, 5)},
      {u"5/1", serial(2024, 1, 5)},
      {u"1/13", serial(2013, 1, 1)},   // no thirteenth month: month and year
      {u"5/2024", serial(2024, 5, 1)}, // month and year when the second part is no month
      {u"5-Jan-2000", serial(2000, 1, 5)},
      {u"January 5, 2000", serial(2000, 1, 5)},
      {u"31/2/2000", std::nullopt},
  });
}

TEST_F(DateTimeTextTest, YearMonthDayLocale) {
  setOrder(2);
  check({
      {u"2000/1/5", serial(2000, 1, 5)},
      {u"00/1/5", serial(2000, 1, 5)},
      {u"99-12-31", serial(1999, 12, 31)},
      {u"1/2", serial(2024, 1, 2)},
  });
}

TEST_F(DateTimeTextTest, GermanMonthNamesAndSeparator) {
  LocaleSettings s;
  s.dateOrder = 1;
  s.dateSeparator = u".";
  s.decimalSeparator = u",";
  s.monthNames = {u"Januar", u"Februar",   u"März",    u"April",    u"Mai",      u"Juni", u"Juli",
                  u"August", u"September", u"Oktober", u"November", u"Dezember", u""};
  s.monthAbbreviations = {u"Jan", u"Feb", u"Mär", u"Apr", u"Mai", u"Jun", u"Jul",
                          u"Aug", u"Sep", u"Okt", u"Nov", u"Dez", u""};
  setLocaleSettings(s);
  check({
      {u"1.5.2024", serial(2024, 5, 1)},
      {u"5. März 2024", serial(2024, 3, 5)},
      {u"5. MÄRZ 2024", serial(2024, 3, 5)},
      {u"3-Okt-2020", serial(2020, 10, 3)},
      {u"1. Dezem 2020", serial(2020, 12, 1)},
      {u"24.12.", serial(2024, 12, 24)},
      {u"12:30:15,5", (12 * 3600 + 30 * 60 + 15.5) / 86400},
      {u"5 May 2024", std::nullopt}, // the English name is not the locale's
  });
  EXPECT_EQ(monthFromName(u"mär"), 3);
  EXPECT_EQ(monthFromName(u"Ju"), std::nullopt);
}

TEST_F(DateTimeTextTest, Times) {
  check({
      {u"12:30", 12.5 / 24},
      {u"12:00", 0.5},
      {u"0:00", 0},
      {u"12:30 PM", 12.5 / 24},
      {u"12:30 AM", 0.5 / 24},
      {u"1:30 PM", 13.5 / 24},
      {u"1:30pm", 13.5 / 24},
      {u"3 PM", 15.0 / 24},
      {u"3 a", 3.0 / 24},
      {u"11:59:59 p", (23 * 3600 + 59 * 60 + 59) / 86400.0},
      {u"13:00 PM", std::nullopt},
      {u"10:75", 11.25 / 24},    // minutes carry into the hours
      {u"0:0:90", 90 / 86400.0}, // seconds into the minutes
      {u"25:00", 25.0 / 24},     // past a day
      {u"1:30.5", 90.5 / 86400}, // minutes and seconds with a fraction
      {u"10:20:30.25", (10 * 3600 + 20 * 60 + 30.25) / 86400},
      {u"9999:59:59", (9999 * 3600 + 59 * 60 + 59) / 86400.0},
      {u"10000:00", std::nullopt},
      {u"9999:9999:9999", std::nullopt}, // the minutes carry the hours to 10000
      {u"9999:59:60", std::nullopt},
      {u"1:2:3:4", std::nullopt},
      {u"12:", std::nullopt},
      {u":30", std::nullopt},
      {u"1:3x", std::nullopt},
      {u"PM", std::nullopt},
      {u"12:30 PM PM", std::nullopt},
      {u"1:00 2:00", std::nullopt},
      // A date with a time, either way round.
      {u"1/2/2024 12:30", serial(2024, 1, 2, 12, 30)},
      {u"12:30 1/2/2024", serial(2024, 1, 2, 12, 30)},
      {u"5-Jan-2000 6:45:30 PM", serial(2000, 1, 5, 18, 45, 30)},
      {u"1/2/2024\t8:00", serial(2024, 1, 2, 8)},
  });
  EXPECT_NEAR(*parseTime(u"1/2/2024 18:00"), 0.75, 1e-12);
  EXPECT_EQ(parseTime(u"1/2/2024"), 0.0);
  EXPECT_NEAR(*parseTime(u"30:00"), 1.25, 1e-12);
  EXPECT_EQ(parseTime(u"10000:00"), std::nullopt);
}

TEST_F(DateTimeTextTest, TextsThatAreNoDate) {
  check({
      {u"", std::nullopt},
      {u"abc", std::nullopt},
      {u"-5", std::nullopt},
      {u"2000", std::nullopt},
      {u"1.5", std::nullopt},
      {u" 2024-01-10 ", std::nullopt}, // blanks around a numeric date
      {u"1/2/3/4", std::nullopt},
      {u"13/1/2000", std::nullopt},
      {u"0/1/2000", std::nullopt},
      {u"1/0/2000", std::nullopt},
      {u"2/29/2023", std::nullopt},
      {u"1/1/1899", std::nullopt}, // before the system's first day
      {u"1/1/10000", std::nullopt},
      {u"1/1/20245", std::nullopt},
      {u"1/1/99999999999999999999", std::nullopt},
      {u"Jan Feb 2000", std::nullopt},
      {u"2000-Jan-5", std::nullopt}, // a month name after a four-digit year
      {u"5 2000 Jan", std::nullopt},
      {u"Foo 5, 2000", std::nullopt},
      {u"Ja 5 2000", std::nullopt}, // too short for a full name
      {u"1/2/2024 x", std::nullopt},
      {u"1/2/2024 12:30 5", std::nullopt},
      {u"12:30 5", std::nullopt},
      {std::u16string(600, u'1'), std::nullopt},
      {u"1/2/2024" + std::u16string(520, u' '), std::nullopt},
      {std::u16string(u"1/2\0/2024", 9), std::nullopt},
      {std::u16string(u"1/2/2024 \xD800", 10), std::nullopt},
  });
}

TEST_F(DateTimeTextTest, The1904System) {
  check(
      {
          {u"1/1/1904", 0},
          {u"1/2/1904 12:00", 1.5},
          {u"12/31/1903", std::nullopt},
          {u"2/29/1900", std::nullopt},
          {u"3/1/2000", serial(2000, 3, 1) - 1462},
          {u"6/1", *serialFromCivil(2024, 6, 1, DateSystem::Base1904)},
      },
      DateSystem::Base1904);
}

} // namespace
