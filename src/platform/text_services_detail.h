// Helpers shared by the text-service backends (not for use outside src/platform).
#pragma once

#include <string>
#include <string_view>

namespace cwbk::detail {

// Returns true for the characters that the word sort weighs last: the hyphen and the apostrophe.
bool isWordSortSpecial(char16_t c);
// Returns the text without hyphens and apostrophes.
std::u16string withoutWordSortSpecials(std::u16string_view text);
// Returns negative, zero or positive by the hyphens and apostrophes alone: a text without them sorts
// first, then the one whose first differing mark comes later, then the apostrophe before the hyphen.
int compareWordSortSpecials(std::u16string_view a, std::u16string_view b);

} // namespace cwbk::detail
