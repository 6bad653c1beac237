// The math and trigonometry worksheet functions: elementary functions, rounding, integer functions,
// FACT, COMBIN, RAND and the summing functions SUM, PRODUCT, SUMIF, SUMPRODUCT and SUBTOTAL.
#pragma once

#include <span>

#include "formula/function_table.h"

namespace cwbk {

// Returns the routines of the math family, one row per function name.
std::span<const ImplementationRow> mathRoutines();

} // namespace cwbk
