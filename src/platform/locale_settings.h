// LocaleSettings: the user's separators, currency and date settings, read once at start-up from the
// platform (US-English defaults where the platform has no user locale) and settable by tests.
#pragma once

#include <array>
#include <string>

namespace cwbk {

struct LocaleSettings {
  // Numbers and lists.
  std::u16string decimalSeparator = u".";
  // What groups the thousands of numbers shown through a format code with ','.
  std::u16string thousandsSeparator = u",";
  std::u16string listSeparator = u",";
  // Currency amounts.
  std::u16string currencySymbol = u"$";
  // 0 and 2: the symbol comes first; 1 and 3: the symbol comes last.
  int currencyPosition = 0;
  std::u16string monetaryThousandsSeparator = u",";
  std::u16string monetaryDecimalSeparator = u".";
  // The first group size of the monetary grouping (3 for "3;0").
  int monetaryGrouping = 3;
  // Dates and times.
  std::u16string dateSeparator = u"/";
  std::u16string timeSeparator = u":";
  // The short date pattern, e.g. "M/d/yyyy".
  std::u16string shortDate = u"M/d/yyyy";
  // 0: month-day-year, 1: day-month-year, 2: year-month-day.
  int dateOrder = 0;
  std::u16string amText = u"AM";
  std::u16string pmText = u"PM";
  // The month names and their abbreviations; the thirteenth is empty except in 13-month calendars.
  std::array<std::u16string, 13> monthNames = {u"January",  u"February", u"March",  u"April",     u"May",
                                               u"June",     u"July",     u"August", u"September", u"October",
                                               u"November", u"December", u""};
  std::array<std::u16string, 13> monthAbbreviations = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun", u"Jul",
                                                       u"Aug", u"Sep", u"Oct", u"Nov", u"Dec", u""};
  // The day names and their abbreviations, Sunday first.
  std::array<std::u16string, 7> dayNames = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                            u"Thursday", u"Friday", u"Saturday"};
  std::array<std::u16string, 7> dayAbbreviations = {u"Sun", u"Mon", u"Tue", u"Wed", u"Thu", u"Fri", u"Sat"};
};

// Returns the process-wide locale settings (read from the platform on first use).
const LocaleSettings& localeSettings();
// Replaces the process-wide locale settings (start-up and tests).
void setLocaleSettings(const LocaleSettings& settings);
// Returns the settings of the platform's user-default locale (US-English defaults on POSIX).
LocaleSettings readPlatformLocaleSettings();

} // namespace cwbk
