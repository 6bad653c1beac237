// The math and trigonometry worksheet functions. Numbers are taken through the argument toolkit, and
// every numeric result is stored with setNumber; a result that is not finite becomes "#NUM!".
#include "functions/math.h"

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <exception>
#include <random>
#include <string>
#include <vector>

#include "formula/argument_list.h"
#include "formula/criteria.h"
#include "formula/function_table.h"
#include "formula/host_services.h"
#include "functions/arguments.h"
#include "functions/range_tally.h"
#include "values/conversions.h"

namespace cwbk {

namespace {

constexpr double kPi = 3.141592653589793;

double sinOf(double x) {
  return std::sin(x);
}
double cosOf(double x) {
  return std::cos(x);
}
double tanOf(double x) {
  return std::tan(x);
}
double atanOf(double x) {
  return std::atan(x);
}
double sinhOf(double x) {
  return std::sinh(x);
}
double coshOf(double x) {
  return std::cosh(x);
}
double tanhOf(double x) {
  return std::tanh(x);
}
double asinhOf(double x) {
  return std::asinh(x);
}
double degreesOf(double x) {
  return x * 180.0 / kPi;
}
double radiansOf(double x) {
  return x * kPi / 180.0;
}
double expOf(double x) {
  return std::exp(x);
}

// Returns the digits argument as a whole number: truncated toward zero and held within +-400, beyond
// which every count behaves alike.
int wholeDigits(double d) {
  if (std::isnan(d)) return 0;
  if (d > 400) return 400;
  if (d < -400) return -400;
  return static_cast<int>(std::trunc(d));
}

// Returns q moved onto the nearest whole number when it lies within a few units in the last place of
// it: a quotient such as 1.1 / 0.1 (11.000000000000002) stands for the whole number it shows.
double snapToWhole(double q) {
  double r = std::nearbyint(q);
  return std::fabs(q - r) <= std::fabs(q) * 8 * DBL_EPSILON ? r : q;
}

// ---------------------------------------------------------------- elementary functions

// ABS(x) = |x|; a reference to several cells is "#VALUE!".
void absFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  unary(args, result, [](double x, CalcValue& r) { setNumberResult(r, std::fabs(x)); });
}

void sinFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  plainUnary<sinOf>(args, result);
}
void cosFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  plainUnary<cosOf>(args, result);
}
void tanFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  plainUnary<tanOf>(args, result);
}

// ASIN(x), ACOS(x): defined on [-1, 1], "#NUM!" outside.
void asinFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  unary(args, result, [](double x, CalcValue& r) {
    if (x < -1 || x > 1)
      r.setError(ErrNum);
    else
      setNumberResult(r, std::asin(x));
  });
}
void acosFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  unary(args, result, [](double x, CalcValue& r) {
    if (x < -1 || x > 1)
      r.setError(ErrNum);
    else
      setNumberResult(r, std::acos(x));
  });
}

void atanFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  plainUnary<atanOf>(args, result);
}

// ATAN2(x, y) = the angle of the point (x, y), atan2(y, x); the origin has none: "#DIV/0!".
void atan2Function(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  double x = 0, y = 0;
  if (!numberAt(args, 0, 0, x, result) || !numberAt(args, 1, 0, y, result)) return;
  if (x == 0 && y == 0)
    result.setError(ErrDiv0);
  else
    setNumberResult(result, std::atan2(y, x));
}

void sinhFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  plainUnary<sinhOf>(args, result);
}
// COSH(x) = (e^x + e^-x) / 2; beyond the double range "#NUM!".
void coshFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  plainUnary<coshOf>(args, result);
}
void tanhFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  plainUnary<tanhOf>(args, result);
}
// ASINH(x) = ln(x + sqrt(x^2 + 1)), computed by the library so that large negative x keep their digits.
void asinhFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  plainUnary<asinhOf>(args, result);
}
// ACOSH(x) = ln(x + sqrt(x^2 - 1)) for x >= 1.
void acoshFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  unary(args, result, [](double x, CalcValue& r) {
    if (x < 1)
      r.setError(ErrNum);
    else
      setNumberResult(r, std::acosh(x));
  });
}
// ATANH(x) = ln((1 + x) / (1 - x)) / 2 for -1 < x < 1.
void atanhFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  unary(args, result, [](double x, CalcValue& r) {
    if (x <= -1 || x >= 1)
      r.setError(ErrNum);
    else
      setNumberResult(r, std::atanh(x));
  });
}

void degreesFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  plainUnary<degreesOf>(args, result);
}
void radiansFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  plainUnary<radiansOf>(args, result);
}
// EXP(x) = e^x; an overflow is "#NUM!".
void expFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  plainUnary<expOf>(args, result);
}

void lnFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  unary(args, result, [](double x, CalcValue& r) {
    if (x <= 0)
      r.setError(ErrNum);
    else
      setNumberResult(r, std::log(x));
  });
}
void log10Function(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  unary(args, result, [](double x, CalcValue& r) {
    if (x <= 0)
      r.setError(ErrNum);
    else
      setNumberResult(r, std::log10(x));
  });
}

// LOG(x, base = 10) = ln x / ln base; base 1 has no logarithm ("#DIV/0!"). Bases 10 and 2 use their
// own library routines, so that LOG(1000) is exactly 3.
void logFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  double x = 0, base = 10;
  if (!numberAt(args, 0, 0, x, result) || !numberAt(args, 1, 10, base, result)) return;
  if (x <= 0 || base <= 0) {
    result.setError(ErrNum);
  } else if (base == 1) {
    result.setError(ErrDiv0);
  } else if (base == 10) {
    setNumberResult(result, std::log10(x));
  } else if (base == 2) {
    setNumberResult(result, std::log2(x));
  } else {
    setNumberResult(result, std::log(x) / std::log(base));
  }
}

void sqrtFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  unary(args, result, [](double x, CalcValue& r) {
    if (x < 0)
      r.setError(ErrNum);
    else
      setNumberResult(r, std::sqrt(x));
  });
}

// SQRTPI(x) = sqrt(x * pi); it takes no Boolean ("#VALUE!").
void sqrtPiFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  if (args && args[0] && args[0]->isBoolean()) {
    result.setError(ErrValue);
    return;
  }
  unary(args, result, [](double x, CalcValue& r) {
    if (x < 0)
      r.setError(ErrNum);
    else
      setNumberResult(r, std::sqrt(x * kPi));
  });
}

// POWER(x, y) = x^y. 0^0 is undefined ("#NUM!"), 0 to a negative power a division by zero; a negative
// base with a fractional exponent and an overflow are "#NUM!".
void powerFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  double x = 0, y = 0;
  if (!numberAt(args, 0, 0, x, result) || !numberAt(args, 1, 0, y, result)) return;
  if (x == 0 && y == 0)
    result.setError(ErrNum);
  else if (x == 0 && y < 0)
    result.setError(ErrDiv0);
  else
    setNumberResult(result, std::pow(x, y));
}

// SIGN(x): the Integer 1, -1 or 0.
void signFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  unary(args, result, [](double x, CalcValue& r) { r.setInteger(x > 0 ? 1 : x < 0 ? -1 : 0); });
}

// PI() = 3.141592653589793, always a Double.
void piFunction(EvaluationContext&, const CalcValue* const*, CalcValue& result) {
  result.setDouble(kPi);
}

// ---------------------------------------------------------------- integer functions

// INT(x) = the largest whole number not above x; beyond 32 bits the result is a Double.
void intFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  unary(args, result, [](double x, CalcValue& r) { setNumberResult(r, std::floor(x)); });
}

// EVEN(x), ODD(x): |x| rounded up to the next even (odd) whole number, with the sign of x; ODD(0) is 1.
void evenFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  unary(args, result, [](double x, CalcValue& r) {
    double c = std::ceil(std::fabs(x));
    if (std::fmod(c, 2) != 0) c += 1;
    setNumberResult(r, x < 0 ? -c : c);
  });
}
void oddFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  unary(args, result, [](double x, CalcValue& r) {
    double c = std::ceil(std::fabs(x));
    if (std::fmod(c, 2) == 0) c += 1;
    setNumberResult(r, x < 0 ? -c : c);
  });
}

// MOD(n, d) = n - d * INT(n / d): the remainder takes the sign of d. It is computed with the exact
// library remainder, so that quotients beyond 32 bits (MOD(1e10, 3)) keep every digit.
void modFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  double n = 0, d = 0;
  if (!numberAt(args, 0, 0, n, result) || !numberAt(args, 1, 0, d, result)) return;
  if (d == 0) {
    result.setError(ErrDiv0);
    return;
  }
  double r = std::fmod(n, d);
  if (r != 0 && ((r < 0) != (d < 0))) r += d;
  setNumberResult(result, r == 0 ? 0.0 : r);
}

// TRUNC(x, digits = 0): x cut toward zero at the decimal place, as ROUNDDOWN.
void truncFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  double digits = 0;
  if (const CalcValue* d = argumentAt(args, 1); d && !valueNumber(*d, digits)) {
    result.setError(ErrValue);
    return;
  }
  double x = 0;
  if (!numberAt(args, 0, 0, x, result)) return;
  setNumberResult(result, decimalRound(x, wholeDigits(digits), DecimalRounding::TowardZero));
}

// ---------------------------------------------------------------- rounding

// ROUND, ROUNDUP and ROUNDDOWN: errors in any argument first, then x and digits (missing: 0) reduced.
void roundWith(const CalcValue* const* args, CalcValue& result, DecimalRounding mode) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  double x = 0, digits = 0;
  if (!reducedAt(args, 0, 0, x, result) || !reducedAt(args, 1, 0, digits, result)) return;
  setNumberResult(result, decimalRound(x, wholeDigits(digits), mode));
}

// ROUND(x, digits): half away from zero at the decimal place of the value as it shows with 15 digits,
// so ROUND(2.675, 2) is 2.68 although the double 2.675 lies just below it.
void roundFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  roundWith(args, result, DecimalRounding::HalfAwayFromZero);
}
// ROUNDDOWN(x, digits): toward zero; ROUNDDOWN(0.29, 2) is 0.29.
void roundDownFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  roundWith(args, result, DecimalRounding::TowardZero);
}
// ROUNDUP(x, digits): away from zero; a tiny negative x rounds to minus one unit of the place.
void roundUpFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  roundWith(args, result, DecimalRounding::AwayFromZero);
}

// CEILING(x, significance): x rounded up to a multiple of significance, q = x / significance taken as
// its whole number when it lies within a few units of it. x > 0 with a negative significance is
// "#NUM!"; a zero x or significance gives 0. For a negative x the plain rule holds: CEILING(-4, 2) is -4
// and CEILING(-2.5, -2) is -4.
void ceilingFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  double x = 0, significance = 0;
  if (!reducedAt(args, 0, 0, x, result)) return;
  if (!reducedAt(args, 1, x >= 0 ? 1 : -1, significance, result)) return;
  if (x == 0 || significance == 0) {
    result.setInteger(0);
    return;
  }
  if (x > 0 && significance < 0) {
    result.setError(ErrNum);
    return;
  }
  setNumberResult(result, std::ceil(snapToWhole(x / significance)) * significance);
}

// FLOOR(x, significance): x rounded down to a multiple of significance (toward minus infinity in units
// of significance), with the same tolerance as CEILING. FLOOR(x, 0) is "#DIV/0!", x > 0 with a
// negative significance "#NUM!", FLOOR(0, s) 0.
void floorFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  double x = 0, significance = 0;
  if (!numberAt(args, 0, 0, x, result) || !numberAt(args, 1, 0, significance, result)) return;
  if (x == 0) {
    result.setInteger(0);
    return;
  }
  if (significance == 0) {
    result.setError(ErrDiv0);
    return;
  }
  if (x > 0 && significance < 0) {
    result.setError(ErrNum);
    return;
  }
  setNumberResult(result, std::floor(snapToWhole(x / significance)) * significance);
}

// ---------------------------------------------------------------- factorials and combinations

// Returns n! for a whole n in 0..170, multiplied in extended precision and rounded once to a double.
double factorialOf(int n) {
  long double f = 1;
  for (int i = 2; i <= n; ++i)
    f *= i;
  return static_cast<double>(f);
}

// FACT(x) = INT(x)!; negative x and x from 171 up (beyond the double range) are "#NUM!".
void factFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  unary(args, result, [](double x, CalcValue& r) {
    if (x < 0 || x >= 171)
      r.setError(ErrNum);
    else
      setNumberResult(r, factorialOf(static_cast<int>(std::floor(x))));
  });
}

// COMBIN(n, k) = n! / (k! (n - k)!) with n and k cut to whole numbers first (COMBIN(5.5, 2.7) is
// COMBIN(5, 2) = 10). Built as a running product of (n - k + i) / i in extended precision, each step a
// whole binomial coefficient, and rounded to the nearest whole number, so COMBIN(40, 20) is exactly
// 137846528820. A result beyond the double range is "#NUM!".
void combinFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  double n = 0, k = 0;
  if (!numberAt(args, 0, 0, n, result) || !numberAt(args, 1, 0, k, result)) return;
  n = std::trunc(n);
  k = std::trunc(k);
  if (n < 0 || k < 0 || n < k) {
    result.setError(ErrNum);
    return;
  }
  double m = std::min(k, n - k);
  long double c = 1;
  for (double i = 1; i <= m; ++i) {
    c = c * (static_cast<long double>(n) - m + i) / i;
    if (c > static_cast<long double>(DBL_MAX)) {
      result.setError(ErrNum);
      return;
    }
  }
  setNumberResult(result, static_cast<double>(c < 9e18L ? std::nearbyint(c) : c));
}

// ---------------------------------------------------------------- random numbers

std::mt19937_64& randomEngine() {
  static std::mt19937_64 engine = [] {
    std::random_device device;
    uint64_t seed = (uint64_t(device()) << 32) ^ device();
    seed ^= static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
    return std::mt19937_64(seed);
  }();
  return engine;
}

// RAND(): uniform on [0, 1) in steps of 2^-53; it never reaches 1.
void randFunction(EvaluationContext&, const CalcValue* const*, CalcValue& result) {
  uint64_t bits = randomEngine()() >> 11;
  result.setNumber(static_cast<double>(bits) * 0x1.0p-53);
}

// ---------------------------------------------------------------- sums

// SUM(...): numbers of references and arrays, and numbers, booleans and numeric texts given directly.
void sumFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  sumArguments(context, args, result);
}

// PRODUCT(...): the product of the numbers, by the rules of SUM except that a direct empty value is
// skipped, a reference that is invalid or spans sheets is "#REF!", and inside SUBTOTAL direct texts are
// skipped. Without any number the product is 0.
void productFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  Area area;
  if (oneAreaCall(args, area)) {
    RangeTally t = tallyArea(context, area, TallyKind::Product);
    if (!tallyFailed(t, result)) setNumberResult(result, t.count > 0 ? t.value : 0.0);
    return;
  }
  bool subtotal = insideSubtotal();
  double product = 1;
  bool any = false;
  forEachAggregateValue(context, args, [&](const CalcValue& v, ValueSource source) {
    if (v.isNumber()) {
      product *= v.numberValue();
      any = true;
      return true;
    }
    if (v.isErrorValue()) {
      result.copyFrom(v);
      return false;
    }
    if (source != ValueSource::Direct) return true;
    if (v.isBoolean()) {
      product *= v.booleanValue() ? 1 : 0;
      any = true;
    } else if (v.isText() && !subtotal) {
      std::optional<double> x = toNumber(v);
      if (!x) {
        result.setError(ErrValue);
        return false;
      }
      product *= *x;
      any = true;
    }
    return true;
  });
  if (result.isErrorValue()) return;
  setNumberResult(result, any ? product : 0.0);
}

// Adds a sum-range value to a SUMIF sum: numbers add, an error value ends the call, texts, booleans and
// empty values add nothing. Returns false when the value was an error.
bool addSumValue(const CalcValue& v, double& sum, bool& added, CalcValue& result) {
  if (v.isNumber()) {
    sum += v.numberValue();
    added = true;
  } else if (v.isErrorValue()) {
    result.copyFrom(v);
    return false;
  }
  return true;
}

// Returns the value of a cell of the context's workbook as an argument (Empty when missing).
const CalcValue& valueAt(const EvaluationContext& context, uint32_t sheet, uint64_t column, uint64_t row) {
  if (column > CellAddress::kColumnMask || row > CellAddress::kRowMask) return emptyValue();
  return cellValueIn(context,
                     CellAddress::make(sheet, static_cast<uint32_t>(column), static_cast<uint32_t>(row)));
}

// One SUMIF over range and sum_range (may be null) for one criteria value.
void sumIfWith(const EvaluationContext& context, const CalcValue* range, const CalcValue& criteriaValue,
               const CalcValue* sumRange, CalcValue& result) {
  Criterion criterion = compileCriterion(
      criteriaValue, [&](CellAddress a) -> const CalcValue* { return &cellValueIn(context, a); });

  double sum = 0;
  bool added = false;
  if (range->isReference()) {
    Area area;
    if (!oneSheetArea(*range, area)) {
      result.setError(ErrRef);
      return;
    }
    Area sumArea = area;
    if (sumRange && sumRange->isReference()) {
      Area given;
      if (!oneSheetArea(*sumRange, given)) {
        result.setError(ErrRef);
        return;
      }
      sumArea = Area{given.first, given.first};
    }
    uint32_t sheet = sumArea.first.sheet();
    uint32_t c0 = sumArea.first.column(), r0 = sumArea.first.rowIndex();
    uint32_t width = area.second.column() - area.first.column();
    uint32_t height = area.second.rowIndex() - area.first.rowIndex();
    CompiledWorkbook* workbook = context.cellWorkbook();
    if (!workbook) {
      result.setInteger(0);
      return;
    }
    bool ok = true;
    if (criterion.matches(emptyValue())) {
      // Empty range cells match: walk the summed cells that exist and test their partners in range.
      workbook->grid().forEachCellIn(
          sheet, c0, std::min<uint64_t>(uint64_t(c0) + width, CellAddress::kColumnMask), r0,
          std::min<uint64_t>(uint64_t(r0) + height, CellAddress::kRowMask), [&](Cell& cell) {
            if (!ok) return;
            uint32_t dc = cell.address().column() - c0;
            uint32_t dr = cell.address().rowIndex() - r0;
            const CalcValue& partner =
                valueAt(context, area.first.sheet(), uint64_t(area.first.column()) + dc,
                        uint64_t(area.first.rowIndex()) + dr);
            if (criterion.matches(partner)) ok = addSumValue(cellArgument(cell), sum, added, result);
          });
    } else {
      walkReference(context, *range, [&](const CalcValue& v, Cell& cell) {
        if (!criterion.matches(v)) return true;
        uint32_t dc = cell.address().column() - area.first.column();
        uint32_t dr = cell.address().rowIndex() - area.first.rowIndex();
        ok = addSumValue(valueAt(context, sheet, uint64_t(c0) + dc, uint64_t(r0) + dr), sum, added, result);
        return ok;
      });
    }
    if (!ok) return;
  } else if (range->isArray() || !range->isReferenceList()) {
    uint32_t columns = range->arrayColumns(), rows = range->arrayRows();
    for (uint32_t r = 0; r < rows; ++r)
      for (uint32_t c = 0; c < columns; ++c) {
        const CalcValue* v = cellValueAt(*range, r, c);
        if (!v || !criterion.matches(*v)) continue;
        const CalcValue* s = sumRange ? cellValueAt(*sumRange, r, c) : v;
        if (s && !addSumValue(*s, sum, added, result)) return;
      }
  } else {
    result.setError(ErrValue);
    return;
  }
  if (!std::isfinite(sum))
    result.setError(ErrNum);
  else if (added)
    result.setDouble(sum);
  else
    result.setInteger(0);
}

// SUMIF(range, criteria, sum_range): the sum of the sum_range cells whose partner in range matches the
// criteria. sum_range is read from its top-left cell over range's shape; without it range itself is
// summed. Only numbers are added (texts and booleans are not); an error value met in a summed cell is
// the result. A criteria that is a Reference outside an array formula is the error "#VALUE!" and
// matches only cells that hold it. An array of criteria (or, in an array formula, an area of them)
// gives the array of the sums, one per criteria.
void sumIfFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  const CalcValue* range = argumentAt(args, 0);
  const CalcValue* criteriaArg = argumentAt(args, 1);
  const CalcValue* sumRange = argumentAt(args, 2);
  if (!range || !criteriaArg) {
    result.setError(ErrValue);
    return;
  }
  if (criteriaArg->isReference() && !context.arrayFormulaMode) {
    sumIfWith(context, range, CalcValue::error(ErrValue), sumRange, result);
    return;
  }
  Area area;
  bool severalCells = oneSheetArea(*criteriaArg, area) && area.first != area.second;
  if (!criteriaArg->isArray() && !severalCells) {
    sumIfWith(context, range, *criteriaArg, sumRange, result);
    return;
  }
  uint32_t columns =
      criteriaArg->isArray() ? criteriaArg->arrayColumns() : area.second.column() - area.first.column() + 1;
  uint32_t rows =
      criteriaArg->isArray() ? criteriaArg->arrayRows() : area.second.rowIndex() - area.first.rowIndex() + 1;
  if (uint64_t(columns) * rows > kMaxLoadedAreaElements) {
    result.setError(ErrNum);
    return;
  }
  CalcValue sums;
  sums.resizeArray(columns, rows);
  for (uint32_t r = 0; r < rows; ++r)
    for (uint32_t c = 0; c < columns; ++c) {
      const CalcValue* criteria = cellValueAt(*criteriaArg, r, c);
      CalcValue one;
      sumIfWith(context, range, criteria ? *criteria : emptyValue(), sumRange, one);
      if (CalcValue* target = sums.element(c, r)) *target = std::move(one);
    }
  result = std::move(sums);
}

// One SUMPRODUCT argument as a grid of values: a Reference (read cell by cell) or an Array, with its
// declared shape and the part of it that may hold values.
struct ProductOperand {
  const CalcValue* value;
  uint32_t columns = 1;
  uint32_t rows = 1;
  uint32_t usedColumns = 1; // a Reference's cells beyond these are all empty
  uint32_t usedRows = 1;
};

// SUMPRODUCT(array1, ...): the sum of the products of corresponding elements. Every argument must have
// the same shape (else "#VALUE!"); elements that are not numbers count 0; the first error value in any
// argument is the result. Whole-column references cost only their used cells.
void sumProductFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  std::vector<ProductOperand> operands;
  // First every error value in argument order.
  for (const CalcValue* const* a = args; a && *a; ++a) {
    const CalcValue& arg = **a;
    if (arg.isErrorValue()) {
      result.copyFrom(arg);
      return;
    }
    if (arg.isReference()) {
      Area area;
      if (!oneSheetArea(arg, area)) {
        result.setError(ErrRef);
        return;
      }
      // The first error in row order among the existing cells.
      const CalcValue* firstError = nullptr;
      uint64_t firstAt = UINT64_MAX;
      walkReference(context, arg, [&](const CalcValue& v, Cell& cell) {
        if (v.isErrorValue()) {
          uint64_t at = (uint64_t(cell.address().rowIndex()) << 16) | cell.address().column();
          if (at < firstAt) firstAt = at, firstError = &v;
        }
        return true;
      });
      if (firstError) {
        result.copyFrom(*firstError);
        return;
      }
    } else if (arg.isArray()) {
      bool found = !walkArray(arg, [&](const CalcValue& e) {
        if (!e.isErrorValue()) return true;
        result.copyFrom(e);
        return false;
      });
      if (found) return;
    }
  }
  for (const CalcValue* const* a = args; a && *a; ++a) {
    const CalcValue& arg = **a;
    ProductOperand operand{&arg};
    if (arg.isReference()) {
      Area area;
      oneSheetArea(arg, area);
      operand.columns = area.second.column() - area.first.column() + 1;
      operand.rows = area.second.rowIndex() - area.first.rowIndex() + 1;
      uint32_t lastColumn = 0, lastRow = 0;
      bool any = false;
      walkReference(context, arg, [&](const CalcValue& v, Cell& cell) {
        if (v.isEmpty()) return true;
        any = true;
        lastColumn = std::max(lastColumn, cell.address().column() - area.first.column() + 1);
        lastRow = std::max(lastRow, cell.address().rowIndex() - area.first.rowIndex() + 1);
        return true;
      });
      operand.usedColumns = any ? lastColumn : 0;
      operand.usedRows = any ? lastRow : 0;
    } else if (arg.isArray()) {
      operand.columns = operand.usedColumns = arg.arrayColumns();
      operand.rows = operand.usedRows = arg.arrayRows();
    } else if (!arg.isNumber()) {
      result.setError(ErrValue);
      return;
    }
    if (!operands.empty() && (operand.columns != operands[0].columns || operand.rows != operands[0].rows)) {
      result.setError(ErrValue);
      return;
    }
    operands.push_back(operand);
  }
  if (operands.empty()) {
    result.setError(ErrValue);
    return;
  }
  // Beyond the used part of any reference every product is 0.
  uint32_t columns = operands[0].columns, rows = operands[0].rows;
  for (const ProductOperand& o : operands) {
    columns = std::min(columns, o.usedColumns);
    rows = std::min(rows, o.usedRows);
  }
  if (uint64_t(columns) * rows > kMaxLoadedAreaElements) {
    result.setError(ErrNum);
    return;
  }
  double sum = 0;
  for (uint32_t r = 0; r < rows; ++r)
    for (uint32_t c = 0; c < columns; ++c) {
      double product = 1;
      for (const ProductOperand& o : operands) {
        const CalcValue* e = cellValueAt(*o.value, r, c);
        product *= e && e->isNumber() ? e->numberValue() : 0.0;
        if (product == 0) break;
      }
      sum += product;
    }
  if (std::isfinite(sum))
    result.setDouble(sum);
  else
    result.setError(ErrNum);
}

// ---------------------------------------------------------------- SUBTOTAL

// The aggregates of the SUBTOTAL codes 1 to 11 (101 to 111 the same, ignoring hidden rows), in code
// order; each is computed by the routine the function table holds for it.
constexpr const char16_t* kSubtotalAggregates[] = {
    u"AVERAGE", u"COUNT", u"COUNTA", u"MAX", u"MIN", u"PRODUCT", u"STDEV", u"STDEVP", u"SUM", u"VAR", u"VARP",
};

// SUBTOTAL(code, ref1, ...): the aggregate of the code over the references, leaving out cells that hold
// a SUBTOTAL themselves. Codes 1 to 11 are computed here by their aggregate's routine with the
// inside-SUBTOTAL flag set (without a routine they go to the host as formula text). Codes
// 101 to 111 also leave out hidden rows, which only the host knows: they go to the host as formula text, and
// without a host they are computed as 1 to 11.
void subtotalFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  double codeNumber = 0;
  if (!args || !args[0]) {
    result.setError(ErrValue);
    return;
  }
  if (int32_t code = argNumberReduced(*args[0], codeNumber)) {
    result.setError(code);
    return;
  }
  double code = std::trunc(codeNumber);
  bool hidesRows = code >= 101 && code <= 111;
  if (!hidesRows && !(code >= 1 && code <= 11)) {
    result.setError(ErrValue);
    return;
  }
  if (hidesRows && hostEvaluateText(context, hostCallText(u"SUBTOTAL", args), result)) return;
  int index = static_cast<int>(code) % 100 - 1;
  const FunctionImpl* aggregate = functionTable().lookupImpl(kSubtotalAggregates[index]);
  FunctionRoutine routine = aggregate ? aggregate->routine() : nullptr;
  if (!routine) {
    hostEvaluateText(context, hostCallText(u"SUBTOTAL", args), result);
    return;
  }
  SubtotalScope scope;
  try {
    routine(context, args + 1, result);
  } catch (...) {
    // A failing aggregate leaves the result as it left it.
  }
}

} // namespace

std::span<const ImplementationRow> mathRoutines() {
  static constexpr ImplementationRow rows[] = {
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
  };
  return rows;
}

} // namespace cwbk
