// The shared argument toolkit of the worksheet functions: the number, whole-number, text and Boolean
// takers, cell values of references, running sums and counts, the inside-SUBTOTAL flag, and the SUM
// rules.
#include "functions/arguments.h"

#include <cmath>

#include "formula/argument_list.h"
#include "functions/range_tally.h"
#include "values/conversions.h"

namespace cwbk {

namespace {

// The calculation's inside-SUBTOTAL flag. Evaluation is single-threaded, so one process-wide flag serves.
bool gInsideSubtotal = false;

} // namespace

bool insideSubtotal() {
  return gInsideSubtotal;
}

SubtotalScope::SubtotalScope() : saved_(gInsideSubtotal) {
  gInsideSubtotal = true;
}

SubtotalScope::~SubtotalScope() {
  gInsideSubtotal = saved_;
}

size_t argumentCount(const CalcValue* const* args) {
  size_t n = 0;
  for (const CalcValue* const* a = args; a && *a; ++a)
    ++n;
  return n;
}

const CalcValue* argumentAt(const CalcValue* const* args, size_t i) {
  for (size_t k = 0; k <= i; ++k)
    if (!args || !args[k]) return nullptr;
  return args[i];
}

void setErrorOf(const CalcValue& v, CalcValue& result) {
  if (v.isErrorValue())
    result.copyFrom(v);
  else
    result.setErrorFrom(v);
}

int32_t errorCodeOf(const CalcValue& v) {
  if (v.isErrorValue()) return v.errorCode();
  if (v.isText() && v.isError()) {
    if (std::optional<CalcError> e = errorFromText(v.textView())) return *e;
  }
  return 0;
}

bool valueNumber(const CalcValue& v, double& out) {
  switch (v.kind()) {
  case CalcValue::Empty:
    out = 0;
    return true;
  case CalcValue::Integer:
    out = v.integer();
    return true;
  case CalcValue::Boolean:
    out = v.booleanValue() ? 1 : 0;
    return true;
  case CalcValue::Double:
    out = v.doubleValue();
    return true;
  case CalcValue::ShortText:
  case CalcValue::LongText:
    if (std::optional<double> x = parseNumber(v.textView())) {
      out = *x;
      return true;
    }
    return false;
  default:
    return false;
  }
}

namespace {

// valueNumber, with texts read the way a typed entry is: numbers, and dates and times when the date
// parser is installed ("2024-01-10" is a serial day number).
bool argumentNumber(const CalcValue& v, double& out) {
  if (!v.isText()) return valueNumber(v, out);
  std::optional<double> x = toNumber(v);
  if (!x) return false;
  out = *x;
  return true;
}

} // namespace

bool argNumber(const CalcValue& arg, double& out, CalcValue& result) {
  if (arg.isErrorValue()) {
    result.copyFrom(arg);
    return false;
  }
  if (argumentNumber(arg, out)) return true;
  result.setError(ErrValue);
  return false;
}

int32_t argNumberReduced(const CalcValue& arg, double& out) {
  const CalcValue* v = &arg;
  if (v->isReference()) {
    Area area;
    if (!oneSheetArea(*v, area)) return ErrRef;
    v = cellValueOfSingleRef(*v);
    if (!v) return ErrValue;
  } else if (v->isArray()) {
    v = v->arrayColumns() && v->arrayRows() ? v->element(0, 0) : nullptr;
    if (!v) return ErrValue;
  }
  if (v->isErrorValue()) return v->errorCode();
  return argumentNumber(*v, out) ? 0 : ErrValue;
}

namespace {

// Takes argument i with take(argument, out, result); an absent argument gives `missing`.
template <typename Out, typename Missing, typename Take>
bool takeAt(const CalcValue* const* args, size_t i, const Missing& missing, Out& out, CalcValue& result,
            Take&& take) {
  const CalcValue* arg = argumentAt(args, i);
  if (!arg) {
    out = missing;
    return true;
  }
  return take(*arg, out, result);
}

bool takeReduced(const CalcValue& arg, double& out, CalcValue& result) {
  if (int32_t code = argNumberReduced(arg, out)) {
    result.setError(code);
    return false;
  }
  return true;
}

} // namespace

bool numberAt(const CalcValue* const* args, size_t i, double missing, double& out, CalcValue& result) {
  return takeAt(args, i, missing, out, result, argNumber);
}

bool reducedAt(const CalcValue* const* args, size_t i, double missing, double& out, CalcValue& result) {
  return takeAt(args, i, missing, out, result, takeReduced);
}

bool integerAt(const CalcValue* const* args, size_t i, double missing, double& out, CalcValue& result) {
  if (!numberAt(args, i, missing, out, result)) return false;
  out = std::trunc(out);
  return true;
}

bool argText(const CalcValue& arg, std::u16string& out, CalcValue& result) {
  if (arg.isError()) {
    setErrorOf(arg, result);
    return false;
  }
  switch (arg.kind()) {
  case CalcValue::Empty:
    out.clear();
    return true;
  case CalcValue::Integer:
  case CalcValue::Double:
  case CalcValue::Boolean:
    out = displayText(arg);
    return true;
  case CalcValue::ShortText:
  case CalcValue::LongText:
    out.assign(arg.textView());
    return true;
  default:
    result.setError(ErrValue);
    return false;
  }
}

bool textAt(const CalcValue* const* args, size_t i, std::u16string_view missing, std::u16string& out,
            CalcValue& result) {
  return takeAt(args, i, missing, out, result, argText);
}

bool argBoolean(const CalcValue& arg, bool& out, CalcValue& result) {
  if (arg.isError()) {
    setErrorOf(arg, result);
    return false;
  }
  switch (arg.kind()) {
  case CalcValue::Empty:
    out = false;
    return true;
  case CalcValue::Boolean:
    out = arg.booleanValue();
    return true;
  case CalcValue::Integer:
  case CalcValue::Double:
    out = arg.numberValue() != 0;
    return true;
  case CalcValue::ShortText:
  case CalcValue::LongText:
    if (std::optional<bool> b = parseBoolean(arg.textView())) {
      out = *b;
      return true;
    }
    [[fallthrough]];
  default:
    result.setError(ErrValue);
    return false;
  }
}

bool booleanAt(const CalcValue* const* args, size_t i, bool missing, bool& out, CalcValue& result) {
  return takeAt(args, i, missing, out, result, argBoolean);
}

void setNumberResult(CalcValue& result, double x) {
  if (std::isfinite(x))
    result.setNumber(x);
  else
    result.setError(ErrNum);
}

void addToSum(CalcValue& result, double x) {
  result.setDouble(result.numberValue() + x);
}

void countOne(CalcValue& result) {
  if (result.kind() == CalcValue::Double)
    result.setDouble(result.doubleValue() + 1.0);
  else if (result.kind() == CalcValue::Integer && result.integer() == INT32_MAX)
    result.setDouble(static_cast<double>(INT32_MAX) + 1.0);
  else
    result.setInteger(result.integer() + 1);
}

const CalcValue& detail::cellArgumentThroughModel(Cell& cell) {
  CompiledWorkbook* workbook = cell.workbook();
  const CalcValue* v = workbook ? &workbook->cellValue(cell) : cell.value();
  if (!v) return emptyValue();
  if (v->isArray()) {
    const CalcValue* first = v->arrayColumns() && v->arrayRows() ? v->element(0, 0) : nullptr;
    return first ? *first : emptyValue();
  }
  return *v;
}

const CalcValue& cellValueIn(const EvaluationContext& context, CellAddress address) {
  CompiledWorkbook* workbook = context.cellWorkbook();
  Cell* cell = workbook ? workbook->findCell(address) : nullptr;
  return cell ? cellArgument(*cell) : emptyValue();
}

bool oneSheetArea(const CalcValue& ref, Area& area) {
  if (!ref.isReference()) return false;
  area = canonicalReferenceArea(ref.referenceArea());
  return area.isValid() && area.isOneSheet();
}

bool isSeveralCells(const CalcValue& v) {
  Area area;
  return oneSheetArea(v, area) && area.first != area.second;
}

const CalcValue& reducedSingleCell(const CalcValue& v) {
  if (!v.isReference()) return v;
  const CalcValue* cell = cellValueOfSingleRef(v);
  return cell ? *cell : v;
}

const CalcValue* cellValueOfSingleRef(const CalcValue& ref) {
  Area area;
  if (!oneSheetArea(ref, area) || area.first != area.second) return nullptr;
  return &cellArgumentValue(area.first);
}

const CalcValue* cellValueAt(const CalcValue& refOrArray, uint32_t row, uint32_t column) {
  if (refOrArray.isReference()) {
    Area area;
    if (!oneSheetArea(refOrArray, area)) return nullptr;
    if (column > area.second.column() - area.first.column() ||
        row > area.second.rowIndex() - area.first.rowIndex())
      return nullptr;
    return &cellArgumentValue(
        CellAddress::make(area.first.sheet(), area.first.column() + column, area.first.rowIndex() + row));
  }
  if (refOrArray.isArray()) {
    if (column >= refOrArray.arrayColumns() || row >= refOrArray.arrayRows()) return nullptr;
    return refOrArray.element(column, row);
  }
  return &refOrArray;
}

// SUM: numbers everywhere; direct booleans and empties count 0 or 1, direct texts count when they read
// as numbers (dates included) and are "#VALUE!" otherwise; texts, booleans and empties inside
// references and arrays are skipped; an error value stops the sum with that error.
namespace {
// Stores a sum: the integer 0 when nothing was added, else the Double ("#NUM!" when it overflowed).
void storeSum(CalcValue& result, double sum, bool added) {
  if (!added)
    result.setInteger(0);
  else if (std::isfinite(sum))
    result.setDouble(sum);
  else
    result.setError(ErrNum);
}
} // namespace

void sumArguments(const EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (!insideSubtotal() && propagateErrors(args, result, ErrorReading::Functions)) return;
  Area area;
  if (oneAreaCall(args, area)) {
    RangeTally t = tallyArea(context, area, TallyKind::Sum);
    if (!tallyFailed(t, result)) storeSum(result, t.value, t.count > 0);
    return;
  }
  double sum = 0;
  bool added = false;
  forEachAggregateValue(context, args, [&](const CalcValue& v, ValueSource source) {
    if (v.isNumber()) {
      sum += v.numberValue();
      added = true;
      return true;
    }
    if (v.isErrorValue()) {
      result.copyFrom(v);
      return false;
    }
    if (source != ValueSource::Direct) return true;
    if (v.isBoolean() || v.isEmpty()) {
      sum += v.booleanValue() ? 1 : 0;
      added = true;
      return true;
    }
    if (v.isText()) {
      std::optional<double> x = toNumber(v);
      if (!x) {
        result.setError(ErrValue);
        return false;
      }
      sum += *x;
      added = true;
    }
    return true; // a nested reference list or other kind adds nothing
  });
  if (result.isErrorValue()) return;
  storeSum(result, sum, added);
}

} // namespace cwbk
