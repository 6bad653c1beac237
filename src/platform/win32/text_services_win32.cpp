// Win32 backend of the text services: the user-default locale's case mapping (LCMapStringW) and its
// case-insensitive word sort (CompareStringW), which weighs hyphens and apostrophes last.
#include <windows.h>

#include <climits>
#include <clocale>

#include "platform/text_services.h"

namespace cwbk {

static const wchar_t* wide(std::u16string_view text) {
  return reinterpret_cast<const wchar_t*>(text.data());
}

static int clampedLength(std::u16string_view text) {
  return text.size() > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(text.size());
}

// Returns the text mapped by LCMapStringW with `flags`, or the text unchanged when the call fails.
static std::u16string mapText(std::u16string_view text, DWORD flags) {
  if (text.empty()) return std::u16string();
  std::u16string out(text.size(), u'\0');
  int n = LCMapStringW(LOCALE_USER_DEFAULT, flags, wide(text), clampedLength(text),
                       reinterpret_cast<wchar_t*>(out.data()), clampedLength(out));
  if (n <= 0) return std::u16string(text);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::u16string toUpperText(std::u16string_view text) {
  return mapText(text, LCMAP_UPPERCASE);
}

std::u16string toLowerText(std::u16string_view text) {
  return mapText(text, LCMAP_LOWERCASE);
}

bool isLetterUnit(char16_t unit) {
  return (unit < 0xD800 || unit > 0xDFFF) && IsCharAlphaW(static_cast<wchar_t>(unit));
}

int collateIgnoringCase(std::u16string_view a, std::u16string_view b) {
  int r = CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, wide(a), clampedLength(a), wide(b),
                         clampedLength(b));
  if (r == CSTR_LESS_THAN) return -1;
  if (r == CSTR_GREATER_THAN) return 1;
  if (r == CSTR_EQUAL) return 0;
  // The call failed: fall back to the order of the upper-case texts.
  std::u16string upperA = toUpperText(a), upperB = toUpperText(b);
  return upperA < upperB ? -1 : upperB < upperA ? 1 : 0;
}

void setRuntimeLanguage(std::u16string_view englishName) {
  std::wstring name =
      englishName.empty() ? std::wstring(L"C") : std::wstring(englishName.begin(), englishName.end());
  // Numeric formatting deliberately stays in the C locale: number texts written by the runtime
  // (streams, data files, formula texts) must never pick up a decimal comma.
  _wsetlocale(LC_CTYPE, name.c_str());
  _wsetlocale(LC_COLLATE, name.c_str());
}

} // namespace cwbk
