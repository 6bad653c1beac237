// Reading dates and times from text the way a typed entry reads: numeric dates in the locale's order
// ("1/2/2024"), ISO-like dates ("2024-01-02"), month names ("5-Jan-2024", "January 5, 2024"), times
// with an optional AM/PM marker ("12:30 PM", "3 pm", "1:30.5"), and a date with a time. The locale's
// date separator, date order and month names come from the process-wide locale settings.
#pragma once

#include <optional>
#include <string_view>

#include "values/date_serial.h"

namespace cwbk {

// Returns the serial of a date, a time or a date with a time in the date system; nothing when the
// text is neither, or names a date outside the system's range. A time alone is its fraction of a day
// (hours may pass 24, up to 9999: "25:00" is 1.0416...). Two-digit years below 30 are 20xx, the others 19xx; a
// date without a year is in the current year of the date-time clock.
std::optional<double> parseDateTime(std::u16string_view text, DateSystem system);

// Returns the time of day a text names as the fraction (h * 3600 + m * 60 + s) / 86400, ignoring any
// date it also names (0 for a date alone); nothing when the text does not read.
std::optional<double> parseTime(std::u16string_view text);

// Returns the month (1..13) that a word names: an abbreviation of the locale compared whole, else a
// full month name that begins with the word when it has at least three characters; both without
// regard to case. Nothing for any other word.
std::optional<int> monthFromName(std::u16string_view word);

} // namespace cwbk
