// The worksheet-function library: which routine computes which function, and the installation of the
// routines into the function table.
#include "functions/function_library.h"

#include <vector>

#include "functions/lookup.h"
#include "functions/math.h"

namespace cwbk {

std::span<const ImplementationRow> implementationRows() {
  // One row per function the library computes itself, grouped by family file. A function with two
  // names (IFERROR and _XLFN.IFERROR, COUNTIFS and _XLFN.COUNTIFS) has a row for each.
  static const std::vector<ImplementationRow> rows = {
      // math.cpp
      {u"ABS", absFunction},
      {u"ACOS", acosFunction},
      {u"ACOSH", acoshFunction},
      {u"ASIN", asinFunction},
      {u"ASINH", asinhFunction},
      {u"ATAN", atanFunction},
      {u"ATAN2", atan2Function},
      {u"ATANH", atanhFunction},
      {u"CEILING", ceilingFunction},
      {u"COMBIN", combinFunction},
      {u"COS", cosFunction},
      {u"COSH", coshFunction},
      {u"DEGREES", degreesFunction},
      {u"EVEN", evenFunction},
      {u"EXP", expFunction},
      {u"FACT", factFunction},
      {u"FLOOR", floorFunction},
      {u"INT", intFunction},
      {u"LN", lnFunction},
      {u"LOG", logFunction},
      {u"LOG10", log10Function},
      {u"MOD", modFunction},
      {u"ODD", oddFunction},
      {u"PI", piFunction},
      {u"POWER", powerFunction},
      {u"PRODUCT", productFunction},
      {u"RADIANS", radiansFunction},
      {u"RAND", randFunction},
      {u"ROUND", roundFunction},
      {u"ROUNDDOWN", roundDownFunction},
      {u"ROUNDUP", roundUpFunction},
      {u"SIGN", signFunction},
      {u"SIN", sinFunction},
      {u"SINH", sinhFunction},
      {u"SQRT", sqrtFunction},
      {u"SQRTPI", sqrtPiFunction},
      {u"SUBTOTAL", subtotalFunction},
      {u"SUM", sumFunction},
      {u"SUMIF", sumIfFunction},
      {u"SUMPRODUCT", sumProductFunction},
      {u"TAN", tanFunction},
      {u"TANH", tanhFunction},
      {u"TRUNC", truncFunction},
      // lookup.cpp
      {u"ADDRESS", addressFunction},
      {u"CHOOSE", chooseFunction},
      {u"COLUMN", columnFunction},
      {u"COLUMNS", columnsFunction},
      {u"EVALUATE", evaluateFunction},
      {u"GETPIVOTDATA", getPivotDataFunction},
      {u"HLOOKUP", hlookupFunction},
      {u"HYPERLINK", hyperlinkFunction},
      {u"INDEX", indexFunction},
      {u"INDIRECT", indirectFunction},
      {u"LOOKUP", lookupFunction},
      {u"MATCH", matchFunction},
      {u"OFFSET", offsetFunction},
      {u"ROW", rowFunction},
      {u"ROWS", rowsFunction},
      {u"TRANSPOSE", transposeFunction},
      {u"VLOOKUP", vlookupFunction},
  };
  return rows;
}

void installFunctionLibrary() {
  static const bool installed = [] {
    installFunctionRoutines(implementationRows());
    return true;
  }();
  (void)installed;
}

} // namespace cwbk
