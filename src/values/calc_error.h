// CalcError: the seven spreadsheet error codes, and the nine process-wide display texts
// (seven error texts, then the true and false texts) that every conversion to and from text uses.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cwbk {

enum CalcError : int32_t {
  ErrNull = static_cast<int32_t>(0x800A07D0),
  ErrDiv0 = static_cast<int32_t>(0x800A07D7),
  ErrValue = static_cast<int32_t>(0x800A07DF),
  ErrRef = static_cast<int32_t>(0x800A07E7),
  ErrName = static_cast<int32_t>(0x800A07ED),
  ErrNum = static_cast<int32_t>(0x800A07F4),
  ErrNA = static_cast<int32_t>(0x800A07FA),
};

// The seven codes in display-text order.
inline constexpr std::array<CalcError, 7> kAllErrors = {ErrNull, ErrDiv0, ErrValue, ErrRef,
                                                        ErrName, ErrNum,  ErrNA};

// Returns the index (0..6) of a known error code, or -1.
int errorIndex(int32_t code);
inline bool isKnownError(int32_t code) {
  return errorIndex(code) >= 0;
}

// The current display text of an error (empty view for an unknown code).
std::u16string_view errorText(int32_t code);
std::u16string_view trueText();
std::u16string_view falseText();
inline std::u16string_view booleanText(bool b) {
  return b ? trueText() : falseText();
}

// The error whose current text equals `text` exactly (case-sensitive), if any.
std::optional<CalcError> errorFromText(std::u16string_view text);

// Replaces the nine display texts (seven errors in table order, then true, then false).
// Done once at start-up, before any evaluation.
using DisplayTexts = std::array<std::u16string, 9>;
void setDisplayTexts(const DisplayTexts& texts);
const DisplayTexts& displayTexts();
// The English defaults.
const DisplayTexts& defaultDisplayTexts();

} // namespace cwbk
