// The math and trigonometry worksheet functions: elementary functions, rounding, integer functions,
// FACT, COMBIN, RAND and the summing functions SUM, PRODUCT, SUMIF, SUMPRODUCT and SUBTOTAL.
#pragma once

#include "values/calc_value.h"

namespace cwbk {

struct EvaluationContext;

// Every routine has the signature of FunctionRoutine: (context, null-terminated arguments, result).
#define CWBK_MATH_ROUTINE(name)                                                                              \
  void name(EvaluationContext& context, const CalcValue* const* args, CalcValue& result)

CWBK_MATH_ROUTINE(absFunction);
CWBK_MATH_ROUTINE(acosFunction);
CWBK_MATH_ROUTINE(acoshFunction);
CWBK_MATH_ROUTINE(asinFunction);
CWBK_MATH_ROUTINE(asinhFunction);
CWBK_MATH_ROUTINE(atanFunction);
CWBK_MATH_ROUTINE(atan2Function);
CWBK_MATH_ROUTINE(atanhFunction);
CWBK_MATH_ROUTINE(ceilingFunction);
CWBK_MATH_ROUTINE(combinFunction);
CWBK_MATH_ROUTINE(cosFunction);
CWBK_MATH_ROUTINE(coshFunction);
CWBK_MATH_ROUTINE(degreesFunction);
CWBK_MATH_ROUTINE(evenFunction);
CWBK_MATH_ROUTINE(expFunction);
CWBK_MATH_ROUTINE(factFunction);
CWBK_MATH_ROUTINE(floorFunction);
CWBK_MATH_ROUTINE(intFunction);
CWBK_MATH_ROUTINE(lnFunction);
CWBK_MATH_ROUTINE(logFunction);
CWBK_MATH_ROUTINE(log10Function);
CWBK_MATH_ROUTINE(modFunction);
CWBK_MATH_ROUTINE(oddFunction);
CWBK_MATH_ROUTINE(piFunction);
CWBK_MATH_ROUTINE(powerFunction);
CWBK_MATH_ROUTINE(productFunction);
CWBK_MATH_ROUTINE(radiansFunction);
CWBK_MATH_ROUTINE(randFunction);
CWBK_MATH_ROUTINE(roundFunction);
CWBK_MATH_ROUTINE(roundDownFunction);
CWBK_MATH_ROUTINE(roundUpFunction);
CWBK_MATH_ROUTINE(signFunction);
CWBK_MATH_ROUTINE(sinFunction);
CWBK_MATH_ROUTINE(sinhFunction);
CWBK_MATH_ROUTINE(sqrtFunction);
CWBK_MATH_ROUTINE(sqrtPiFunction);
CWBK_MATH_ROUTINE(subtotalFunction);
CWBK_MATH_ROUTINE(sumFunction);
CWBK_MATH_ROUTINE(sumIfFunction);
CWBK_MATH_ROUTINE(sumProductFunction);
CWBK_MATH_ROUTINE(tanFunction);
CWBK_MATH_ROUTINE(tanhFunction);
CWBK_MATH_ROUTINE(truncFunction);

#undef CWBK_MATH_ROUTINE

// How decimalRound treats the digits it drops.
enum class DecimalRounding { HalfAwayFromZero, TowardZero, AwayFromZero };
// Returns x rounded to `digits` decimal places (negative: to tens, hundreds, ...) as the number shows
// with 15 significant digits, so that 2.675 rounds to 2.68 and 0.29 truncates to 0.29; x unchanged
// when the place lies beyond its 15th digit. The result may be infinite (10^309 and the like).
double decimalRound(double x, int digits, DecimalRounding mode);

} // namespace cwbk
