// Number formats: a value shown through a format code of up to four sections ("positive;negative;
// zero;text", or sections chosen by conditions such as "[<1000]"), with digit placeholders, grouping
// and scaling, percent, exponents, fractions, literal text, dates and times in either date system.
// Colours and locale tags are ignored; fill ("*x") shows nothing and skip ("_x") one space.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/locale_settings.h"
#include "values/date_serial.h"

namespace cwbk {

// Returns a number shown through a format code, or nothing when the code is not valid or the number
// has no form in it (a date before the first or after the last day, a negative time of day, a
// number too large to show). "General" shows the number in eleven characters, as a cell of the
// standard width does. The locale gives the decimal and thousands separators, the date and time
// separators, and the month and day names.
std::optional<std::u16string> formatNumber(double x, std::u16string_view code, DateSystem system,
                                           const LocaleSettings& locale = localeSettings());

// Returns a text shown through the format code's text section (the fourth section, or a lone section
// holding '@'), the text itself when the code has none, or nothing when the code is not valid.
std::optional<std::u16string> formatText(std::u16string_view text, std::u16string_view code);

// Returns the code of a built-in number format by its id, as the en-US spreadsheet defines ids 0 to 49
// ("General" for 0, "0.00" for 2, "m/d/yyyy" for 14, ...); "General" for an id it leaves undefined.
std::u16string_view builtInFormatCode(uint32_t id);

} // namespace cwbk
