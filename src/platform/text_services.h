// Text services that follow the platform's Unicode tables: case mapping and the user locale's
// case-insensitive collation (ICU on POSIX, the system's own services on Windows).
#pragma once

#include <string>
#include <string_view>

namespace cwbk {

// Returns the text with every letter mapped to upper case (one-to-one mapping: the length in code
// points is kept, 'ß' stays 'ß').
std::u16string toUpperText(std::u16string_view text);
// Returns the text with every letter mapped to lower case (one-to-one mapping).
std::u16string toLowerText(std::u16string_view text);
// Returns true when the code unit is a letter by the platform's alphabetic test (an unpaired or paired
// surrogate is not).
bool isLetterUnit(char16_t unit);
// Returns true when the two texts are equal after case mapping.
bool equalIgnoringCase(std::u16string_view a, std::u16string_view b);
// Returns negative, zero or positive: the user locale's case-insensitive, accent-sensitive
// collation. Hyphens and apostrophes weigh only when the texts are otherwise equal.
int collateIgnoringCase(std::u16string_view a, std::u16string_view b);
// Sets the runtime library's character-classification and collation categories for the host's
// user-interface language (given by its English name); an empty name restores the C locale. Numeric
// formatting always stays in the C locale.
void setRuntimeLanguage(std::u16string_view englishName);

} // namespace cwbk
