// POSIX backend of the text services over ICU: simple (one-to-one) case mapping by code point and
// the root collation at secondary strength (case-insensitive, accent-sensitive), with hyphens and
// apostrophes weighed only when the texts are otherwise equal, like the Windows word sort.
#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/utf16.h>

#include "platform/text_services.h"
#include "platform/text_services_detail.h"

namespace cwbk {

// Returns the text with `map` applied to every code point (unpaired surrogates are kept).
template <typename Map> static std::u16string mapCodePoints(std::u16string_view text, Map map) {
  std::u16string out;
  out.reserve(text.size());
  const char16_t* s = text.data();
  int32_t length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U16_NEXT(s, i, length, c);
    UChar32 m = map(c);
    if (m <= 0xFFFF) {
      out.push_back(static_cast<char16_t>(m));
    } else {
      out.push_back(static_cast<char16_t>(U16_LEAD(m)));
      out.push_back(static_cast<char16_t>(U16_TRAIL(m)));
    }
  }
  return out;
}

std::u16string toUpperText(std::u16string_view text) {
  return mapCodePoints(text, [](UChar32 c) { return u_toupper(c); });
}

std::u16string toLowerText(std::u16string_view text) {
  return mapCodePoints(text, [](UChar32 c) { return u_tolower(c); });
}

bool isLetterUnit(char16_t unit) {
  return !U16_IS_SURROGATE(unit) && u_isalpha(unit);
}

// Returns the process's collator (root rules, secondary strength), or null when ICU has no data.
static UCollator* collator() {
  static UCollator* instance = [] {
    UErrorCode status = U_ZERO_ERROR;
    UCollator* c = ucol_open("", &status);
    if (U_FAILURE(status)) return static_cast<UCollator*>(nullptr);
    ucol_setStrength(c, UCOL_SECONDARY);
    return c;
  }();
  return instance;
}

int collateIgnoringCase(std::u16string_view a, std::u16string_view b) {
  std::u16string strippedA = detail::withoutWordSortSpecials(a);
  std::u16string strippedB = detail::withoutWordSortSpecials(b);
  int result = 0;
  if (UCollator* c = collator()) {
    UCollationResult r = ucol_strcoll(c, strippedA.data(), static_cast<int32_t>(strippedA.size()),
                                      strippedB.data(), static_cast<int32_t>(strippedB.size()));
    result = r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0;
  } else {
    std::u16string upperA = toUpperText(strippedA), upperB = toUpperText(strippedB);
    result = upperA < upperB ? -1 : upperB < upperA ? 1 : 0;
  }
  return result != 0 ? result : detail::compareWordSortSpecials(a, b);
}

// The process locale belongs to the host program on POSIX; nothing in the runtime reads it.
void setRuntimeLanguage(std::u16string_view) {}

} // namespace cwbk
