// Fuzz target for the date and time text reader: the first byte picks the locale (date order,
// separator, German or English month names) and the date system, the rest is the text as UTF-16
// code units. Whatever the text, a reading is a finite serial inside the system's range (a time may
// pass the last day by its hours, below 10000 of them) and never reads past the text.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "parse/date_time_text.h"
#include "platform/locale_settings.h"
#include "values/date_serial.h"

using namespace cwbk;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

double pinnedClock(bool date1904) {
  return date1904 ? 45458.5 - 1462 : 45458.5;
}

LocaleSettings localeFor(uint8_t selector) {
  LocaleSettings s;
  s.dateOrder = selector % 3;
  if (selector & 0x04) {
    s.dateSeparator = u".";
    s.decimalSeparator = u",";
    s.monthNames = {u"Januar", u"Februar",   u"M\u00E4rz", u"April",    u"Mai",      u"Juni", u"Juli",
                    u"August", u"September", u"Oktober",   u"November", u"Dezember", u""};
    s.monthAbbreviations = {u"Jan", u"Feb", u"M\u00E4r", u"Apr", u"Mai", u"Jun", u"Jul",
                            u"Aug", u"Sep", u"Okt",      u"Nov", u"Dez", u""};
    s.amText = u"";
    s.pmText = u"";
  }
  if (selector & 0x08) s.dateSeparator = u". ";
  return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const bool pinned = (setDateTimeClock(pinnedClock), true);
  (void)pinned;
  const uint8_t selector = data[0];
  setLocaleSettings(localeFor(selector));
  const DateSystem system = selector & 0x10 ? DateSystem::Base1904 : DateSystem::Base1900;
  std::u16string text((size - 1) / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char16_t>(data[1 + 2 * i] | (data[2 + 2 * i] << 8));

  // 10000 hours, with minutes and seconds carried into them, stay below 420 days.
  const double limit = static_cast<double>(lastSerial(system)) + 420;
  if (std::optional<double> serial = parseDateTime(text, system))
    check(std::isfinite(*serial) && *serial >= 0 && *serial < limit);
  if (std::optional<double> time = parseTime(text)) check(std::isfinite(*time) && *time >= 0 && *time < 420);
  if (std::optional<int> month = monthFromName(text)) check(*month >= 1 && *month <= 13);
  return 0;
}
