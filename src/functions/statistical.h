// The statistical worksheet functions: the averages and extremes (AVERAGE, MAX, MIN, MAXA, MINA,
// MEDIAN, MODE), the counts (COUNT, COUNTA, COUNTIF, COUNTIFS), the order statistics (LARGE, SMALL and
// RANK with its per-recalculation cache), the deviations (STDEV, STDEVP, VAR, VARP and their A forms),
// NORMSDIST, and LINEST, which the host computes.
#pragma once

#include <span>

#include "formula/function_table.h"

namespace cwbk {

// Returns the routines of the statistical family, one row per function name.
std::span<const ImplementationRow> statisticalRoutines();

} // namespace cwbk
