// The lookup and reference worksheet functions: the searches VLOOKUP, HLOOKUP, MATCH and LOOKUP, the
// reference builders INDEX, OFFSET, INDIRECT, ADDRESS and CHOOSE, the geometry functions ROW, COLUMN,
// ROWS and COLUMNS, TRANSPOSE, and EVALUATE, GETPIVOTDATA and HYPERLINK, which hand work to the host.
#pragma once

#include "values/calc_value.h"

namespace cwbk {

struct EvaluationContext;

// Every routine has the signature of FunctionRoutine: (context, null-terminated arguments, result).
#define CWBK_LOOKUP_ROUTINE(name)                                                                            \
  void name(EvaluationContext& context, const CalcValue* const* args, CalcValue& result)

CWBK_LOOKUP_ROUTINE(addressFunction);
CWBK_LOOKUP_ROUTINE(chooseFunction);
CWBK_LOOKUP_ROUTINE(columnFunction);
CWBK_LOOKUP_ROUTINE(columnsFunction);
CWBK_LOOKUP_ROUTINE(evaluateFunction);
CWBK_LOOKUP_ROUTINE(getPivotDataFunction);
CWBK_LOOKUP_ROUTINE(hlookupFunction);
CWBK_LOOKUP_ROUTINE(hyperlinkFunction);
CWBK_LOOKUP_ROUTINE(indexFunction);
CWBK_LOOKUP_ROUTINE(indirectFunction);
CWBK_LOOKUP_ROUTINE(lookupFunction);
CWBK_LOOKUP_ROUTINE(matchFunction);
CWBK_LOOKUP_ROUTINE(offsetFunction);
CWBK_LOOKUP_ROUTINE(rowFunction);
CWBK_LOOKUP_ROUTINE(rowsFunction);
CWBK_LOOKUP_ROUTINE(transposeFunction);
CWBK_LOOKUP_ROUTINE(vlookupFunction);

#undef CWBK_LOOKUP_ROUTINE

} // namespace cwbk
