// Win32 backend of the locale settings: the separators, currency and date items of the user-default
// locale, each falling back to its US-English default when the system has no answer.
#include <windows.h>

#include "platform/locale_settings.h"

namespace cwbk {

// Returns the locale item as text; `fallback` when the call fails, or when the item is empty and
// `mayBeEmpty` is not set.
static std::u16string localeText(LCTYPE item, const std::u16string& fallback, bool mayBeEmpty = false) {
  wchar_t buffer[128];
  int n = GetLocaleInfoW(LOCALE_USER_DEFAULT, item, buffer, 128);
  if (n <= 0 || (n == 1 && !mayBeEmpty)) return fallback;
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), static_cast<size_t>(n - 1));
}

// Returns the leading decimal number of a locale item, or `fallback`.
static int localeNumber(LCTYPE item, int fallback) {
  std::u16string text = localeText(item, std::u16string(), true);
  if (text.empty() || text[0] < u'0' || text[0] > u'9') return fallback;
  int value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9' || value > 100000) break;
    value = value * 10 + (c - u'0');
  }
  return value;
}

LocaleSettings readPlatformLocaleSettings() {
  LocaleSettings s;
  s.decimalSeparator = localeText(LOCALE_SDECIMAL, s.decimalSeparator);
  s.thousandsSeparator = localeText(LOCALE_STHOUSAND, s.thousandsSeparator, true);
  s.listSeparator = localeText(LOCALE_SLIST, s.listSeparator);
  s.currencySymbol = localeText(LOCALE_SCURRENCY, s.currencySymbol, true);
  s.currencyPosition = localeNumber(LOCALE_ICURRENCY, s.currencyPosition);
  s.monetaryThousandsSeparator = localeText(LOCALE_SMONTHOUSANDSEP, s.monetaryThousandsSeparator, true);
  s.monetaryDecimalSeparator = localeText(LOCALE_SMONDECIMALSEP, s.monetaryDecimalSeparator);
  // "3;0" and "3;2;0": the first group size decides.
  s.monetaryGrouping = localeNumber(LOCALE_SMONGROUPING, s.monetaryGrouping);
  s.dateSeparator = localeText(LOCALE_SDATE, s.dateSeparator);
  s.timeSeparator = localeText(LOCALE_STIME, s.timeSeparator);
  s.shortDate = localeText(LOCALE_SSHORTDATE, s.shortDate);
  s.dateOrder = localeNumber(LOCALE_IDATE, s.dateOrder);
  s.amText = localeText(LOCALE_S1159, s.amText);
  s.pmText = localeText(LOCALE_S2359, s.pmText);
  for (int m = 0; m < 12; ++m) {
    s.monthNames[m] = localeText(LOCALE_SMONTHNAME1 + m, s.monthNames[m]);
    s.monthAbbreviations[m] = localeText(LOCALE_SABBREVMONTHNAME1 + m, s.monthAbbreviations[m]);
  }
  s.monthNames[12] = localeText(LOCALE_SMONTHNAME13, s.monthNames[12], true);
  s.monthAbbreviations[12] = localeText(LOCALE_SABBREVMONTHNAME13, s.monthAbbreviations[12], true);
  // The system counts the days from Monday (LOCALE_SDAYNAME1); the settings from Sunday.
  for (int d = 0; d < 7; ++d) {
    int day = (d + 1) % 7;
    s.dayNames[day] = localeText(LOCALE_SDAYNAME1 + d, s.dayNames[day]);
    s.dayAbbreviations[day] = localeText(LOCALE_SABBREVDAYNAME1 + d, s.dayAbbreviations[day]);
  }
  return s;
}

} // namespace cwbk
