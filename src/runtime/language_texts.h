// The texts the host sends in the user's language, each as a compressed block of UTF-16 text: the
// worksheet functions' names (message 1156) and the runtime's display texts (message 1158).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace cwbk {

// Returns the UTF-16 text (little-endian units; an odd last byte is dropped) that a compressed block
// inflates to; nothing when the bytes are not a good block.
std::optional<std::u16string> inflateText(std::span<const uint8_t> block);

// The translation step: in a table whose first line names the languages and whose later lines each
// give a function number (decimal) and its names, the language's column (compared without regard to
// case) is handed to `rename` with each number (translateFunctionName for the process's table).
// English and a table without the language change nothing; a line whose first field is no decimal
// number is skipped. Returns the count of names that `rename` accepted.
size_t applyFunctionNameTranslations(std::span<const uint8_t> block, std::u16string_view language,
                                     const std::function<bool(int number, std::u16string_view name)>& rename);

// The language texts: for a language other than English (9), the display texts of the table's column
// for that language (applyLocalization). Returns false when the block is not a good block.
bool applyLanguageTexts(std::span<const uint8_t> block, int languageId);

} // namespace cwbk
