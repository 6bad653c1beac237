// Conversions between UTF-8 and the UTF-16 text of the core, over the platform's own converters (ICU
// on POSIX, the system's code-page conversion on Windows).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace cwbk {

// Returns the UTF-16 form of UTF-8 text, or nothing when the bytes are not well-formed UTF-8 (overlong
// forms, encoded surrogates and code points above U+10FFFF are not).
std::optional<std::u16string> utf8ToUtf16(std::string_view text);
// Returns the UTF-16 form of UTF-8 text with every ill-formed sequence replaced by U+FFFD.
std::u16string utf8ToUtf16Replacing(std::string_view text);
// Returns the UTF-8 form of UTF-16 text; an unpaired surrogate becomes U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);

} // namespace cwbk
