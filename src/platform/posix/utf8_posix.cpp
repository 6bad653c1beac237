// POSIX backend of the UTF-8 conversions: ICU's string converters, which follow the Unicode rules for
// well-formed UTF-8 and replace each maximal ill-formed part with one substitution character.
#include <unicode/ustring.h>

#include <climits>
#include <stdexcept>

#include "platform/utf8.h"

namespace cwbk {

namespace {

constexpr UChar32 kReplacement = 0xFFFD;

int32_t checkedLength(size_t size) {
  if (size > static_cast<size_t>(INT32_MAX) / 2) throw std::length_error("text too long to convert");
  return static_cast<int32_t>(size);
}

// Converts with ICU's two-pass protocol: the first call measures, the second fills. `substitute` < 0
// makes an ill-formed sequence fail the conversion.
std::optional<std::u16string> fromUtf8(std::string_view text, UChar32 substitute) {
  int32_t length = checkedLength(text.size());
  if (length == 0) return std::u16string();
  UErrorCode status = U_ZERO_ERROR;
  int32_t needed = 0;
  u_strFromUTF8WithSub(nullptr, 0, &needed, text.data(), length, substitute, nullptr, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  std::u16string out(static_cast<size_t>(needed), u'\0');
  status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(out.data(), needed, &needed, text.data(), length, substitute, nullptr, &status);
  if (U_FAILURE(status)) return std::nullopt;
  out.resize(static_cast<size_t>(needed));
  return out;
}

} // namespace

std::optional<std::u16string> utf8ToUtf16(std::string_view text) {
  return fromUtf8(text, U_SENTINEL);
}

std::u16string utf8ToUtf16Replacing(std::string_view text) {
  return fromUtf8(text, kReplacement).value_or(std::u16string());
}

std::string utf16ToUtf8(std::u16string_view text) {
  int32_t length = checkedLength(text.size());
  if (length == 0) return std::string();
  UErrorCode status = U_ZERO_ERROR;
  int32_t needed = 0;
  u_strToUTF8WithSub(nullptr, 0, &needed, text.data(), length, kReplacement, nullptr, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::string();
  std::string out(static_cast<size_t>(needed), '\0');
  status = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data(), needed, &needed, text.data(), length, kReplacement, nullptr, &status);
  if (U_FAILURE(status)) return std::string();
  out.resize(static_cast<size_t>(needed));
  return out;
}

} // namespace cwbk
