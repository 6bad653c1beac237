// Reading dates and times from text: the text is cut into tokens at the date separators (and at blanks
// and commas when it holds letters or a ':'), the token with ':' (or a number before an AM/PM marker)
// is the time, and the remaining one to three tokens are the date, read in the locale's order unless
// a four-digit first token or a month name decides it.
#include "parse/date_time_text.h"

#include <cmath>
#include <cstdint>
#include <vector>

#include "platform/locale_settings.h"
#include "platform/text_services.h"

namespace cwbk {

namespace {

// Longer texts are no dates (the number reader has the same limit).
constexpr size_t kTextLimit = 512;
// Hours, minutes and seconds as written stay below this.
constexpr int64_t kPieceLimit = 10000;
// A date token has at most this many digits.
constexpr size_t kMostDateDigits = 4;

bool isDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}
bool isBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}
bool allDigits(std::u16string_view t) {
  if (t.empty()) return false;
  for (char16_t c : t)
    if (!isDigit(c)) return false;
  return true;
}

// Returns the value of a token of digits when it stays below `limit`; nothing for anything else.
std::optional<int64_t> digitsValue(std::u16string_view t, int64_t limit) {
  if (!allDigits(t)) return std::nullopt;
  int64_t value = 0;
  for (char16_t c : t) {
    value = value * 10 + (c - u'0');
    if (value >= limit) return std::nullopt;
  }
  return value;
}

enum class Marker { None, Am, Pm };

// Returns the marker a word is: AM, A, PM, P or the locale's own texts, without regard to case.
Marker markerOf(std::u16string_view word, const LocaleSettings& locale) {
  if (word.empty()) return Marker::None;
  for (std::u16string_view am :
       {std::u16string_view(u"AM"), std::u16string_view(u"A"), std::u16string_view(locale.amText)})
    if (!am.empty() && equalIgnoringCase(word, am)) return Marker::Am;
  for (std::u16string_view pm :
       {std::u16string_view(u"PM"), std::u16string_view(u"P"), std::u16string_view(locale.pmText)})
    if (!pm.empty() && equalIgnoringCase(word, pm)) return Marker::Pm;
  return Marker::None;
}

struct TimeOfDay {
  int64_t hours = 0;
  int64_t minutes = 0;
  double seconds = 0;
};

// Returns the seconds of a piece: digits with an optional fraction after '.' or the locale's decimal
// separator, below 10000.
std::optional<double> secondsValue(std::u16string_view piece, const LocaleSettings& locale) {
  size_t point = piece.find(u'.');
  size_t pointLength = 1;
  if (point == std::u16string_view::npos && !locale.decimalSeparator.empty()) {
    point = piece.find(locale.decimalSeparator);
    pointLength = locale.decimalSeparator.size();
  }
  std::u16string_view whole = piece.substr(0, point);
  std::optional<int64_t> value = digitsValue(whole, kPieceLimit);
  if (!value) return std::nullopt;
  double seconds = static_cast<double>(*value);
  if (point == std::u16string_view::npos) return seconds;
  std::u16string_view fraction = piece.substr(point + pointLength);
  if (!fraction.empty() && !allDigits(fraction)) return std::nullopt;
  double scale = 0.1;
  for (char16_t c : fraction) {
    seconds += (c - u'0') * scale;
    scale /= 10;
  }
  return seconds;
}

// Returns the time of a token: "h" (only with a marker), "h:m", "h:m:s" with fractional seconds, or
// "m:s.f" (minutes and seconds with a fraction). With a marker the hours run from 0 to 12, 12 AM being
// midnight and 12 PM noon. Seconds of 60 or more carry into the minutes, minutes into the hours, which
// stay below 10000; a field that runs over needs the fields before it in their ranges.
std::optional<TimeOfDay> readTime(std::u16string_view token, Marker marker, const LocaleSettings& locale) {
  std::u16string_view pieces[3];
  size_t count = 0;
  for (size_t start = 0;;) {
    if (count == 3) return std::nullopt;
    size_t colon = token.find(u':', start);
    pieces[count++] = token.substr(start, colon == std::u16string_view::npos ? colon : colon - start);
    if (colon == std::u16string_view::npos) break;
    start = colon + 1;
  }
  // A point with no digits after the minutes leaves hours and minutes: "23:59." is 23:59.
  if (count == 2 && pieces[1].size() > 1 && pieces[1].back() == u'.') pieces[1].remove_suffix(1);
  TimeOfDay time;
  std::optional<int64_t> first = digitsValue(pieces[0], kPieceLimit);
  if (!first) return std::nullopt;
  if (count == 1 && marker == Marker::None) return std::nullopt;
  const bool minutesAndSeconds = count == 2 && !allDigits(pieces[1]);
  if (minutesAndSeconds) {
    if (marker != Marker::None) return std::nullopt;
    time.minutes = *first;
  } else {
    time.hours = *first;
    if (count >= 2) {
      std::optional<int64_t> minutes = digitsValue(pieces[1], kPieceLimit);
      if (!minutes) return std::nullopt;
      time.minutes = *minutes;
    }
  }
  if (minutesAndSeconds || count == 3) {
    std::optional<double> seconds = secondsValue(pieces[count - 1], locale);
    if (!seconds) return std::nullopt;
    time.seconds = *seconds;
  }
  if (marker != Marker::None) {
    if (time.hours > 12) return std::nullopt;
    if (time.hours == 12) time.hours = 0;
    if (marker == Marker::Pm) time.hours += 12;
  }
  // Only the last field may run over its range: "23:99" and "0:59:99" are times, "24:99" and "0:60:99"
  // are not.
  const bool lastRunsOver = (minutesAndSeconds || count == 3) ? time.seconds >= 60 : time.minutes >= 60;
  if (lastRunsOver &&
      (time.hours >= 24 || (count == 3 && time.minutes >= 60) || (minutesAndSeconds && time.minutes >= 60)))
    return std::nullopt;
  if (time.seconds >= 60) {
    const double carried = std::floor(time.seconds / 60);
    time.minutes += static_cast<int64_t>(carried);
    time.seconds -= carried * 60;
  }
  time.hours += time.minutes / 60;
  time.minutes %= 60;
  if (time.hours >= kPieceLimit) return std::nullopt;
  return time;
}

// One token of the date part: a number of 1 to 4 digits, or a month name.
struct DatePart {
  int64_t value = 0;
  size_t digits = 0; // 0 for a month name
  bool isName() const { return digits == 0; }
};

// Returns a year as written: one or two digits below 30 are 20xx, the others 19xx.
int64_t fullYear(const DatePart& year) {
  if (year.digits > 2) return year.value;
  return year.value + (year.value < 30 ? 2000 : 1900);
}

struct CivilParts {
  int64_t year = 0;
  int64_t month = 0;
  int64_t day = 0;
};

// Returns the date of two tokens that begin with the month: the second is a day of the current year
// when it has one or two digits and fits the month (and `dayAllowed`), else a year (two or four
// digits) and the day is 1.
std::optional<CivilParts> monthThenDayOrYear(int64_t month, const DatePart& second, int64_t currentYear,
                                             bool dayAllowed = true) {
  if (second.isName() || month < 1 || month > 12) return std::nullopt;
  if (dayAllowed && second.digits <= 2 && second.value >= 1 &&
      second.value <= daysInMonth(currentYear, month))
    return CivilParts{currentYear, month, second.value};
  if (second.digits == 2 || second.digits == 4) return CivilParts{fullYear(second), month, 1};
  return std::nullopt;
}

// Returns the date that one to three date tokens name (zero tokens: no date, checked by the caller).
std::optional<CivilParts> resolveDate(const std::vector<DatePart>& parts, int order, int64_t currentYear) {
  size_t nameAt = parts.size();
  for (size_t i = 0; i < parts.size(); ++i) {
    if (!parts[i].isName()) continue;
    if (nameAt != parts.size()) return std::nullopt; // two month names
    nameAt = i;
  }
  const size_t n = parts.size();
  if (n < 2 || n > 3) return std::nullopt;
  const DatePart& a = parts[0];
  const DatePart& b = parts[1];
  if (nameAt == n) {
    if (n == 3) {
      const DatePart& c = parts[2];
      if (a.digits == kMostDateDigits || order == 2) return CivilParts{fullYear(a), b.value, c.value};
      if (order == 1) return CivilParts{fullYear(c), b.value, a.value};
      return CivilParts{fullYear(c), a.value, b.value};
    }
    if (a.digits == kMostDateDigits) {
      if (b.digits > 2) return std::nullopt;
      return CivilParts{a.value, b.value, 1};
    }
    if (order == 1) {
      // Day and month of the current year, else month and year.
      if (b.digits <= 2 && b.value >= 1 && b.value <= 12 && a.digits <= 2 && a.value >= 1 &&
          a.value <= daysInMonth(currentYear, b.value))
        return CivilParts{currentYear, b.value, a.value};
      return monthThenDayOrYear(a.value, b, currentYear, false);
    }
    return monthThenDayOrYear(a.value, b, currentYear);
  }
  // A month name: first, it reads like a numeric month ("Jan 5 2024", "January 2024"); second, the
  // day comes before it ("5-Jan-2024", "5 Jan"). A four-digit token before it or a name at the end
  // is no date.
  if (nameAt == 0) {
    if (n == 3) return CivilParts{fullYear(parts[2]), a.value, b.value};
    return monthThenDayOrYear(a.value, b, currentYear);
  }
  if (nameAt != 1 || a.digits > 2) return std::nullopt;
  if (n == 3) return CivilParts{fullYear(parts[2]), b.value, a.value};
  return CivilParts{currentYear, b.value, a.value};
}

// Returns true when the date exists: 1900-02-29 exists in the 1900 system, which counts that day.
bool validDate(const CivilParts& d, DateSystem system) {
  if (d.month < 1 || d.month > 12 || d.day < 1) return false;
  if (system == DateSystem::Base1900 && d.year == 1900 && d.month == 2 && d.day == 29) return true;
  return d.day <= daysInMonth(d.year, d.month);
}

// Returns the year of the date-time clock's current date.
int64_t currentYear(DateSystem system) {
  const double now = clockDateTimeSerial(system == DateSystem::Base1904);
  std::optional<CivilDate> today = civilFromSerial(static_cast<int64_t>(now), system);
  return today ? today->year : 1900;
}

// Cuts the text into tokens at the separators; a number with an AM/PM marker stuck to it ("3PM",
// "3:00pm") becomes two tokens.
std::vector<std::u16string_view> tokensOf(std::u16string_view text, bool letters, bool colon,
                                          const LocaleSettings& locale) {
  const std::u16string_view dateSeparator = locale.dateSeparator;
  std::vector<std::u16string_view> tokens;
  auto push = [&](std::u16string_view token) {
    if (token.empty()) return;
    size_t letterStart = token.size();
    while (letterStart > 0 && isLetterUnit(token[letterStart - 1]))
      --letterStart;
    if (letterStart > 0 && letterStart < token.size() && isDigit(token[letterStart - 1]) &&
        markerOf(token.substr(letterStart), locale) != Marker::None) {
      tokens.push_back(token.substr(0, letterStart));
      tokens.push_back(token.substr(letterStart));
      return;
    }
    tokens.push_back(token);
  };
  size_t start = 0;
  for (size_t i = 0; i < text.size();) {
    const char16_t c = text[i];
    size_t width = 0;
    if (c == u'-' || c == u'/' || ((letters || colon) && isBlank(c)) || (letters && c == u','))
      width = 1;
    else if (!dateSeparator.empty() && text.substr(i, dateSeparator.size()) == dateSeparator)
      width = dateSeparator.size();
    if (width == 0) {
      ++i;
      continue;
    }
    push(text.substr(start, i - start));
    i += width;
    start = i;
  }
  push(text.substr(start));
  return tokens;
}

// What a text names: a date as its serial, a time of day, or both.
struct DateTimeReading {
  std::optional<int32_t> date;
  std::optional<TimeOfDay> time;
};

std::optional<DateTimeReading> readDateTime(std::u16string_view text, DateSystem system) {
  // Blanks around a numeric date are not dropped: " 2024-01-10 " is no date.
  if (text.empty() || text.size() > kTextLimit) return std::nullopt;
  bool letters = false;
  for (char16_t c : text)
    letters = letters || isLetterUnit(c);
  const bool colon = text.find(u':') != std::u16string_view::npos;
  const LocaleSettings& locale = localeSettings();
  const std::vector<std::u16string_view> tokens = tokensOf(text, letters, colon, locale);

  DateTimeReading reading;
  std::vector<DatePart> parts;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const std::u16string_view token = tokens[i];
    const Marker next = letters && i + 1 < tokens.size() ? markerOf(tokens[i + 1], locale) : Marker::None;
    const bool isTime =
        token.find(u':') != std::u16string_view::npos || (next != Marker::None && allDigits(token));
    if (isTime) {
      if (reading.time) return std::nullopt;
      reading.time = readTime(token, next, locale);
      if (!reading.time) return std::nullopt;
      if (next != Marker::None) ++i;
      continue;
    }
    if (parts.size() == 3) return std::nullopt;
    if (allDigits(token)) {
      if (token.size() > kMostDateDigits) return std::nullopt;
      parts.push_back({*digitsValue(token, kPieceLimit), token.size()});
      continue;
    }
    std::optional<int> month = letters && isLetterUnit(token[0]) ? monthFromName(token) : std::nullopt;
    if (!month) return std::nullopt; // also an AM/PM marker without a time before it
    parts.push_back({*month, 0});
  }
  if (!parts.empty()) {
    const int order = locale.dateOrder >= 0 && locale.dateOrder <= 2 ? locale.dateOrder : 0;
    std::optional<CivilParts> date = resolveDate(parts, order, currentYear(system));
    if (!date || !validDate(*date, system)) return std::nullopt;
    reading.date = serialFromCivil(date->year, date->month, date->day, system);
    if (!reading.date) return std::nullopt;
  } else if (!reading.time) {
    return std::nullopt;
  }
  return reading;
}

double dayFractionOf(const TimeOfDay& time) {
  return (static_cast<double>(time.hours * 3600 + time.minutes * 60) + time.seconds) / 86400;
}

} // namespace

std::optional<double> parseDateTime(std::u16string_view text, DateSystem system) {
  std::optional<DateTimeReading> reading = readDateTime(text, system);
  if (!reading) return std::nullopt;
  const double time = reading->time ? dayFractionOf(*reading->time) : 0;
  return reading->date ? *reading->date + time : time;
}

std::optional<double> parseTime(std::u16string_view text) {
  std::optional<DateTimeReading> reading = readDateTime(text, DateSystem::Base1900);
  if (!reading) return std::nullopt;
  return reading->time ? dayFractionOf(*reading->time) : 0.0;
}

std::optional<int> monthFromName(std::u16string_view word) {
  if (word.empty()) return std::nullopt;
  const LocaleSettings& locale = localeSettings();
  for (size_t m = 0; m < locale.monthAbbreviations.size(); ++m)
    if (!locale.monthAbbreviations[m].empty() && equalIgnoringCase(word, locale.monthAbbreviations[m]))
      return static_cast<int>(m + 1);
  if (word.size() < 3) return std::nullopt;
  const std::u16string upperWord = toUpperText(word);
  for (size_t m = 0; m < locale.monthNames.size(); ++m) {
    const std::u16string upperName = toUpperText(locale.monthNames[m]);
    if (upperName.size() >= upperWord.size() && upperName.compare(0, upperWord.size(), upperWord) == 0)
      return static_cast<int>(m + 1);
  }
  return std::nullopt;
}

} // namespace cwbk
