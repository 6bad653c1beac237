// The engineering worksheet functions computed here: the hexadecimal conversions HEX2DEC and DEC2HEX.
#pragma once

#include <span>

#include "formula/function_table.h"

namespace cwbk {

// Returns the routines of the engineering family, one row per function name.
std::span<const ImplementationRow> engineeringRoutines();

} // namespace cwbk
