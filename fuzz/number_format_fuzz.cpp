// Fuzz target for the number formats: the first eight bytes are the number (any bit pattern, NaN and
// infinities included), the ninth picks the date system and a comma-decimal locale, the rest is the
// format code as UTF-16 code units. Whatever the code, the answer comes back, no longer than a cell
// holds, and the text section never grows a text beyond its code's length times the text's.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "format/number_format.h"
#include "platform/locale_settings.h"
#include "values/date_serial.h"

using namespace cwbk;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  double x;
  std::memcpy(&x, data, sizeof x);
  const uint8_t selector = data[8];
  LocaleSettings locale;
  if (selector & 0x02) {
    locale.decimalSeparator = u",";
    locale.thousandsSeparator = u".";
    locale.dateSeparator = u".";
  }
  const DateSystem system = selector & 0x01 ? DateSystem::Base1904 : DateSystem::Base1900;
  std::u16string code((size - 9) / 2, u'\0');
  for (size_t i = 0; i < code.size(); ++i)
    code[i] = static_cast<char16_t>(data[9 + 2 * i] | (data[10 + 2 * i] << 8));

  if (std::optional<std::u16string> shown = formatNumber(x, code, system, locale))
    check(shown->size() <= 32767);
  if (std::optional<std::u16string> shown = formatText(u"text", code)) check(shown->size() <= 32767);
  return 0;
}
