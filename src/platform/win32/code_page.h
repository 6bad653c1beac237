// Conversions between the system's 8-bit code page (the texts of Excel's C API, passwords kept as
// bytes) and UTF-16 (Windows only).
#pragma once

#include <string>
#include <string_view>

namespace cwbk {

// Returns the UTF-16 form of text in the system code page; empty when it cannot be converted.
std::u16string systemCodePageToUtf16(std::string_view text);
// Returns the system code page's form of UTF-16 text; a character the code page lacks becomes its
// default character.
std::string utf16ToSystemCodePage(std::u16string_view text);

} // namespace cwbk
