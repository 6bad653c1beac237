// The text worksheet functions: lengths and case, extracting, searching, building texts, character
// codes, and the conversions VALUE and TEXT.
#pragma once

#include <span>
#include <string_view>

#include "formula/function_table.h"

namespace cwbk {

// Returns the routines of the text family, one row per function name.
std::span<const ImplementationRow> textRoutines();

// Returns true when a text has the shape of a number with '.' as its decimal point: optional spaces,
// an optional sign, digits with at most one point, an optional exponent ('E' or 'e', then an optional
// sign and digits), optional spaces and an optional '%' at the very end. At least one digit.
bool isNumericText(std::u16string_view text);

} // namespace cwbk
