// The lookup and reference family: the searches VLOOKUP, HLOOKUP, MATCH and LOOKUP (lookup.cpp), and
// the reference builders INDEX, OFFSET, INDIRECT, ADDRESS and CHOOSE, the geometry functions ROW,
// COLUMN, ROWS and COLUMNS, TRANSPOSE, and EVALUATE, GETPIVOTDATA and HYPERLINK, which hand work to the
// host (reference_functions.cpp).
#pragma once

#include <span>

#include "formula/function_table.h"

namespace cwbk {

// Returns the routines of the searches, one row per function name.
std::span<const ImplementationRow> lookupRoutines();
// Returns the routines of the reference builders and host hand-offs, one row per function name.
std::span<const ImplementationRow> referenceRoutines();

// INDEX(source, row, column, area), called directly where a test builds its arguments by hand.
void indexFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result);

} // namespace cwbk
