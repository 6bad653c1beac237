// The reference builders of the lookup and reference family: INDEX, OFFSET, INDIRECT, ADDRESS and
// CHOOSE, the geometry functions ROW, COLUMN, ROWS and COLUMNS, TRANSPOSE, and EVALUATE, GETPIVOTDATA
// and HYPERLINK, which hand work to the host.
#include "functions/lookup.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "formula/argument_list.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/formula_node.h"
#include "formula/host_services.h"
#include "formula/reference.h"
#include "functions/arguments.h"
#include "platform/text_services.h"
#include "values/conversions.h"

namespace cwbk {

namespace {

// Sets result to a Reference to the normalized area.
void setArea(CalcValue& result, CellAddress first, CellAddress second) {
  normalize(first, second);
  result.setReference(first, second);
}

// Returns true when a corner moved by (rows, columns) stays on the sheet; `moved` gets it.
bool movedCorner(CellAddress corner, int64_t rows, int64_t columns, CellAddress& moved) {
  int64_t row = int64_t(corner.rowIndex()) + rows;
  int64_t column = int64_t(corner.column()) + columns;
  if (row < 0 || column < 0 || row > int64_t(addressLimits().lastRow) ||
      column > int64_t(addressLimits().lastColumn))
    return false;
  moved = CellAddress::make(corner.sheet(), static_cast<uint32_t>(column), static_cast<uint32_t>(row));
  return true;
}

// The whole-number size of an OFFSET height or width. Values a hair below a whole number count as
// that number, other fractions round toward the smaller size, and a fraction of one cell is one cell.
double offsetSize(double v) {
  constexpr double kTiny = 1.1920928955078125e-7;
  double t = std::trunc(v);
  double f = v - t;
  if (v >= -kTiny && v < 1 && v != 0) return 1;
  if (v > 0) {
    if (f == 0) return t;
    return f > 0.9999998807907104 ? std::ceil(v) : std::floor(v);
  }
  return f > -kTiny ? std::ceil(v) : std::floor(v);
}

// Takes an OFFSET number: a Reference or Array through argNumberReduced, anything else through the
// plain conversion; beyond 2^32 either way it is "#REF!". False with the error in result.
bool offsetNumber(const CalcValue& v, double& out, CalcValue& result) {
  if (v.isReference() || v.isArray()) {
    if (int32_t code = argNumberReduced(v, out)) {
      result.setError(code);
      return false;
    }
  } else if (!valueNumber(v, out)) {
    result.setError(ErrValue);
    return false;
  }
  if (!std::isfinite(out) || std::fabs(out) > 4294967296.0) {
    result.setError(ErrRef);
    return false;
  }
  return true;
}

// Takes an OFFSET count (rows or columns to move), truncated. False with the error in result.
bool offsetCount(const CalcValue& v, double& out, CalcValue& result) {
  if (!offsetNumber(v, out, result)) return false;
  out = std::trunc(out);
  return true;
}

// Takes an OFFSET size (height or width) by the size rule. False with the error in result.
bool offsetSizeArg(const CalcValue& v, double& out, CalcValue& result) {
  if (!offsetNumber(v, out, result)) return false;
  out = offsetSize(out);
  return true;
}

// Returns the area a defined name of the sheet (or, failing that, of the workbook) refers to; the
// invalid area when there is no such name or its formula is no reference.
Area definedNameArea(CompiledWorkbook& workbook, std::u16string_view name, int32_t sheet) {
  std::u16string upper = toUpperText(name);
  const DefinedName* found = nullptr;
  for (int32_t scope : {sheet, int32_t(-1)}) {
    for (const DefinedName& entry : workbook.definedNames())
      if (entry.scope == scope && entry.root && toUpperText(entry.name) == upper) {
        found = &entry;
        break;
      }
    if (found) break;
  }
  if (!found) return Area::invalid();
  FormulaNode* root = found->root;
  if (root->isCellReference() || root->isAreaReference()) return canonicalArea(root->referenceArea());
  NestingGuard nesting;
  if (nesting.tooDeep()) return Area::invalid();
  CurrentCellScope keep;
  const CalcValue* v = root->evaluate();
  if (v && v->isReference()) return canonicalArea(v->referenceArea());
  return Area::invalid();
}

// OFFSET(reference, rows, columns, height, width): the range moved by rows and columns, with the
// given height and width (by default those of the reference). A range that leaves the sheet is
// "#REF!"; a negative height or width extends up or left from the moved corner.
void offsetFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  const CalcValue* reference = argumentAt(args, 0);
  const CalcValue* rowsArg = argumentAt(args, 1);
  const CalcValue* columnsArg = argumentAt(args, 2);
  const CalcValue* heightArg = argumentAt(args, 3);
  const CalcValue* widthArg = argumentAt(args, 4);
  if (!reference || !reference->isReference()) {
    result.setError(ErrValue);
    return;
  }
  Area area = canonicalArea(reference->referenceArea());
  if (!area.isValid() || !area.isOneSheet()) {
    result.setError(ErrRef);
    return;
  }
  double rows = 0, columns = 0;
  if (rowsArg) {
    if (rowsArg->isText()) {
      if (!valueNumber(*rowsArg, rows)) {
        result.setError(ErrValue);
        return;
      }
      rows = std::trunc(rows);
    } else if (!offsetCount(*rowsArg, rows, result)) {
      return;
    }
  }
  if (columnsArg && !offsetCount(*columnsArg, columns, result)) return;
  CellAddress first, second;
  if (!movedCorner(area.first, static_cast<int64_t>(rows), static_cast<int64_t>(columns), first) ||
      !movedCorner(area.second, static_cast<int64_t>(rows), static_cast<int64_t>(columns), second)) {
    result.setError(ErrRef);
    return;
  }
  bool heightGiven = heightArg && !heightArg->isEmpty();
  bool widthGiven = widthArg && !widthArg->isEmpty();
  if (!heightGiven && !widthGiven) {
    setArea(result, first, second);
    return;
  }
  double height = areaHeight(area), width = areaWidth(area);
  if (heightGiven && !offsetSizeArg(*heightArg, height, result)) return;
  if (widthGiven && !offsetSizeArg(*widthArg, width, result)) return;
  if (height == 0 || width == 0) {
    result.setError(ErrRef);
    return;
  }
  auto extent = [](double size) { return static_cast<int64_t>(size > 0 ? size - 1 : size + 1); };
  if (!movedCorner(first, extent(height), extent(width), second)) {
    result.setError(ErrRef);
    return;
  }
  setArea(result, first, second);
}

// CHOOSE(index, value1, ...): the index-th value (a reference stays a reference); "#VALUE!" for an
// index outside 1 ... the number of values. TRUE counts as 1.
void chooseFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  const CalcValue* indexArg = argumentAt(args, 0);
  if (!indexArg) {
    result.setError(ErrValue);
    return;
  }
  CalcValue index = reducedSingleCell(*indexArg);
  if (index.isError()) {
    setErrorOf(index, result);
    return;
  }
  if (index.isText())
    if (std::optional<double> x = parseNumber(index.textView())) index.setDouble(*x);
  if (index.isBoolean()) index.setInteger(index.booleanValue() ? 1 : 0);
  size_t values = argumentCount(args) - 1;
  if (!index.isNumber()) {
    result.setError(ErrValue);
    return;
  }
  double k = std::trunc(index.numberValue());
  if (k < 1 || k > static_cast<double>(values)) {
    result.setError(ErrValue);
    return;
  }
  result.copyFrom(*args[static_cast<size_t>(k)]);
}

// ADDRESS(row, column, abs, a1, sheet): the text of a cell address, "$C$2" style: abs 1 absolute,
// 2 absolute row, 3 absolute column, 4 relative; a1 FALSE gives R1C1 style ("R[2]C[3]" for abs 4).
// A sheet name is prefixed with '!', quoted when it needs it; the empty text gives the '!' alone.
void addressFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  const CalcValue* rowArg = argumentAt(args, 0);
  const CalcValue* columnArg = argumentAt(args, 1);
  const CalcValue* absArg = argumentAt(args, 2);
  const CalcValue* a1Arg = argumentAt(args, 3);
  const CalcValue* sheetArg = argumentAt(args, 4);
  if (!rowArg || !columnArg) {
    result.setError(ErrValue);
    return;
  }
  double row = 0, column = 0, abs = 1;
  if (!argNumber(*rowArg, row, result) || !argNumber(*columnArg, column, result)) return;
  if (absArg && !argNumber(*absArg, abs, result)) return;
  row = std::trunc(row) - 1;
  column = std::trunc(column) - 1;
  abs = std::trunc(abs);
  const AddressLimits& limits = addressLimits();
  if (!(row >= 0 && row <= limits.lastRow && column >= 0 && column <= limits.lastColumn) ||
      !(abs >= 1 && abs <= 4)) {
    result.setError(ErrValue);
    return;
  }
  bool a1 = true;
  if (a1Arg) {
    if (a1Arg->isBoolean())
      a1 = a1Arg->booleanValue();
    else if (a1Arg->isNumber() || a1Arg->isEmpty())
      a1 = a1Arg->numberValue() != 0;
    else {
      result.setError(ErrValue);
      return;
    }
  }
  std::u16string prefix;
  if (sheetArg) {
    std::u16string name;
    bool quote = false;
    if (sheetArg->isText()) {
      name = std::u16string(sheetArg->textView());
    } else if (sheetArg->isNumber()) {
      name = displayText(*sheetArg);
    } else if (sheetArg->isBoolean()) {
      name = displayText(*sheetArg);
      quote = true;
    } else if (!sheetArg->isEmpty()) {
      result.setError(ErrValue);
      return;
    }
    // A sheet given as the empty text still separates with "!", as an omitted one does not.
    if (name.empty())
      prefix = u"!";
    else
      prefix = (quote || sheetNameNeedsQuotes(name) ? quotedSheetName(name) : name) + u"!";
  }
  auto r = static_cast<uint32_t>(row);
  auto c = static_cast<uint32_t>(column);
  int kind = static_cast<int>(abs);
  std::u16string text;
  auto number = [](uint32_t n) {
    std::string digits = std::to_string(n);
    return std::u16string(digits.begin(), digits.end());
  };
  if (a1) {
    std::u16string letters = columnLetters(c);
    bool absoluteColumn = kind == 1 || kind == 3;
    bool absoluteRow = kind == 1 || kind == 2;
    text = (absoluteColumn ? u"$" : u"") + letters + (absoluteRow ? u"$" : u"") + number(r + 1);
  } else {
    bool absoluteRow = kind == 1 || kind == 2;
    bool absoluteColumn = kind == 1 || kind == 3;
    text = u"R" + (absoluteRow ? number(r + 1) : u"[" + number(r + 1) + u"]") + u"C" +
           (absoluteColumn ? number(c + 1) : u"[" + number(c + 1) + u"]");
  }
  result.setText(prefix + text);
}

// INDIRECT(text, a1): the reference a text names: "B3", "Sheet2!A1:B5", a defined name, or with a1
// FALSE an R1C1 text relative to the calling cell. "#REF!" when the text names nothing.
void indirectFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  const CalcValue* textArg = argumentAt(args, 0);
  const CalcValue* a1Arg = argumentAt(args, 1);
  if (!textArg) {
    result.setError(ErrRef);
    return;
  }
  bool a1 = true;
  if (a1Arg) {
    const CalcValue& flag = reducedSingleCell(*a1Arg);
    double x = 1;
    if (flag.isBoolean())
      x = flag.booleanValue() ? 1 : 0;
    else
      valueNumber(flag, x);
    a1 = x != 0;
  }
  const CalcValue* value = textArg;
  if (value->isReference()) {
    if (isSeveralCells(*value)) {
      result.setError(ErrValue);
      return;
    }
    value = &reducedSingleCell(*value);
  } else if (value->isArray()) {
    value = value->element(0, 0);
  }
  if (!value || !value->isText() || value->textLength() == 0) {
    if (value && value->isError())
      setErrorOf(*value, result);
    else
      result.setError(ErrRef);
    return;
  }
  std::u16string_view text = value->textView();
  CompiledWorkbook* workbook = context.cellWorkbook();
  CellAddress current = context.currentAddress();
  if (!workbook) {
    result.setError(ErrRef);
    return;
  }

  if (std::optional<CalcError> error = parseError(text)) {
    result.setError(static_cast<int32_t>(*error));
    return;
  }
  SheetPrefix prefix;
  if (!splitSheetPrefix(text, prefix)) {
    result.setError(ErrRef);
    return;
  }
  if (prefix.otherWorkbook) {
    // The model does not know the name it was compiled from: every workbook part goes to the host.
    if (!hostEvaluateText(context, u"=" + std::u16string(text), result)) result.setError(ErrRef);
    return;
  }
  std::u16string_view address = prefix.address;
  uint32_t sheet = current.isValid() ? current.sheet() : 0;
  if (prefix.hasSheet) {
    int32_t index = workbook->sheetIndex(prefix.sheet);
    if (index < 0) {
      result.setError(ErrRef);
      return;
    }
    sheet = static_cast<uint32_t>(index);
  }
  Area named = definedNameArea(*workbook, address, static_cast<int32_t>(sheet));
  if (named.isValid()) {
    result.setReference(named);
    return;
  }
  Area area;
  if (a1) {
    ParsedArea parsed = parseArea(address, sheet);
    area = Area{parsed.first, parsed.second};
    // Only letters, digits, '$' and ':' make an address (a name that is not defined is no reference),
    // and every row number lies on the sheet (no row 0, none past the last row).
    if (!area.isValid() || !rowNumbersOnSheet(address)) {
      result.setError(ErrRef);
      return;
    }
  } else if (!parseRelativeR1C1(address, current.isValid() ? current : CellAddress::make(sheet, 0, 0), sheet,
                                area)) {
    result.setError(ErrRef);
    return;
  }
  setArea(result, area.first, area.second);
}

// ROW or COLUMN of the argument (rows: ROW).
void rowOrColumn(const EvaluationContext& context, const CalcValue* const* args, CalcValue& result,
                 bool rows) {
  const CalcValue* reference = argumentAt(args, 0);
  if (!reference || reference->isEmpty()) {
    CellAddress current = context.currentAddress();
    if (!current.isValid()) {
      result.setError(ErrValue);
      return;
    }
    result.setNumber(static_cast<double>(rows ? current.rowIndex() : current.column()) + 1);
    return;
  }
  if (reference->isError()) {
    setErrorOf(*reference, result);
    return;
  }
  Area area;
  if (!reference->isReference()) {
    result.setError(ErrValue);
    return;
  }
  if (!oneSheetArea(*reference, area)) {
    result.setError(ErrRef);
    return;
  }
  uint32_t first = rows ? area.first.rowIndex() : area.first.column();
  uint32_t count = rows ? areaHeight(area) : areaWidth(area);
  if (count == 1) {
    result.setNumber(static_cast<double>(first) + 1);
    return;
  }
  CalcValue numbers;
  numbers.resizeArray(rows ? 1 : count, rows ? count : 1);
  for (uint32_t i = 0; i < count; ++i)
    if (CalcValue* e = rows ? numbers.element(0, i) : numbers.element(i, 0))
      e->setNumber(static_cast<double>(first) + i + 1);
  result = std::move(numbers);
}

// ROWS or COLUMNS of the argument (rows: ROWS).
void rowsOrColumns(const CalcValue* const* args, CalcValue& result, bool rows) {
  const CalcValue* x = argumentAt(args, 0);
  if (!x) {
    result.setError(ErrValue);
    return;
  }
  if (x->isReference()) {
    Area area;
    if (!oneSheetArea(*x, area)) {
      result.setError(ErrRef);
      return;
    }
    result.setNumber(rows ? areaHeight(area) : areaWidth(area));
    return;
  }
  if (x->isArray()) {
    uint32_t n = rows ? x->arrayRows() : x->arrayColumns();
    result.setNumber(n == 0 ? 1 : n);
    return;
  }
  if (x->isError()) {
    setErrorOf(*x, result);
    return;
  }
  result.setInteger(1);
}

// ROW(reference): the row number of the calling cell, of a cell, or for a range of several rows the
// column of their numbers.
void rowFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  rowOrColumn(context, args, result, true);
}

// COLUMN(reference): as ROW, for columns, giving a row of numbers.
void columnFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  rowOrColumn(context, args, result, false);
}

// ROWS(x), COLUMNS(x): the number of rows or columns of a range or an array; 1 for a single value.
void rowsFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  rowsOrColumns(args, result, true);
}

void columnsFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  rowsOrColumns(args, result, false);
}

// TRANSPOSE(array): in an array formula the array or range with rows and columns exchanged; a single
// value (a single cell's too) comes back as it is.
void transposeFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  const CalcValue* source = argumentAt(args, 0);
  if (!source) {
    result.setError(ErrValue);
    return;
  }
  if (context.arrayFormulaMode && (source->isReference() || source->isArray())) {
    uint32_t columns = 0, rows = 0;
    if (source->isArray()) {
      columns = source->arrayColumns();
      rows = source->arrayRows();
    } else {
      Area area;
      if (!oneSheetArea(*source, area)) {
        result.setError(ErrRef);
        return;
      }
      columns = areaWidth(area);
      rows = areaHeight(area);
    }
    if (uint64_t(columns) * rows > kMaxLoadedAreaElements) {
      result.setError(ErrNum);
      return;
    }
    CalcValue transposed;
    transposed.resizeArray(rows, columns);
    for (uint32_t r = 0; r < rows; ++r)
      for (uint32_t c = 0; c < columns; ++c) {
        const CalcValue* e = cellValueAt(*source, r, c);
        if (CalcValue* target = transposed.element(r, c)) {
          if (e)
            target->copyFrom(*e);
          else
            target->setError(ErrNA);
        }
      }
    result = std::move(transposed);
    return;
  }
  // A single value is its own transpose; a range or array outside an array formula has no one value.
  const CalcValue& value = reducedSingleCell(*source);
  if (value.isError())
    result.copyFrom(value);
  else if (value.isReference() || value.isReferenceList() || value.isArray())
    result.setError(ErrValue);
  else
    result.copyFrom(value);
}

// EVALUATE(x): the host evaluates the text (for a range, its reference text, and a text that comes
// back is evaluated once more). Without a host the result stays empty.
void evaluateFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  const CalcValue* x = argumentAt(args, 0);
  if (!x) return;
  if (x->isReference()) {
    Area area = canonicalArea(x->referenceArea());
    if (!area.isValid() || !area.isOneSheet()) {
      result.setError(ErrRef);
      return;
    }
    if (!hostEvaluateText(context, hostReferenceText(area), result)) return;
    if (result.isText()) {
      std::u16string again(result.textView());
      hostEvaluateText(context, again, result);
    }
    return;
  }
  std::u16string text = x->isText() ? std::u16string(x->textView()) : displayText(*x);
  hostEvaluateText(context, text, result);
}

// GETPIVOTDATA(field, pivot, ...): computed by the host from the call's formula text; without a host
// the result is the function's name.
void getPivotDataFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  const CalcValue* field = argumentAt(args, 0);
  const CalcValue* pivot = argumentAt(args, 1);
  if (!field || !pivot) {
    result.setError(ErrValue);
    return;
  }
  if (field->isError()) {
    setErrorOf(*field, result);
    return;
  }
  if (pivot->isError()) {
    setErrorOf(*pivot, result);
    return;
  }
  if (!pivot->isReference()) {
    result.setError(ErrRef);
    return;
  }
  result.setText(u"GETPIVOTDATA");
  hostEvaluateText(context, hostCallText(u"GETPIVOTDATA", args), result);
}

// HYPERLINK(link, name): name (or link); the calling cell carries the link as its hyperlink target,
// which the host writes into its cell.
void hyperlinkFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  const CalcValue* link = argumentAt(args, 0);
  const CalcValue* name = argumentAt(args, 1);
  if (!link) {
    result.setError(ErrValue);
    return;
  }
  if (Cell* cell = context.currentCell) {
    std::u16string target = link->isText() ? std::u16string(link->textView()) : std::u16string();
    HyperlinkRecord parsed = HyperlinkRecord::parse(target);
    HyperlinkRecord& record = cell->ensureHyperlink();
    record.kind = parsed.kind;
    record.address = std::move(parsed.address);
    record.subAddress = std::move(parsed.subAddress);
    cell->setFlags(CellHyperlinkPending);
  }
  result.copyFrom(name ? *name : *link);
}

} // namespace

// INDEX(source, row, column, area): the cell at (row, column) of a range as a reference, the whole
// column for row 0, the whole row for column 0; of an array its element. With two arguments a
// one-row source takes the second as the column, and a source of several rows and columns gives
// the whole row. Area chooses among the ranges of a union.
void indexFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  const CalcValue* source = argumentAt(args, 0);
  if (!source) {
    result.setError(ErrValue);
    return;
  }
  if (source->isError()) {
    result.copyFrom(*source);
    return;
  }
  if (propagateErrors(args, result, ErrorReading::Functions, ~uint64_t(1))) return;
  size_t count = argumentCount(args);
  double row = 0, column = 1, areaNumber = 1;
  if (const CalcValue* r = argumentAt(args, 1))
    if (int32_t code = argNumberReduced(*r, row)) {
      result.setError(code);
      return;
    }
  if (const CalcValue* c = argumentAt(args, 2))
    if (int32_t code = argNumberReduced(*c, column)) {
      result.setError(code);
      return;
    }
  if (const CalcValue* a = argumentAt(args, 3)) {
    if (a->isEmpty() || argNumberReduced(*a, areaNumber) != 0) {
      result.setError(ErrValue);
      return;
    }
  }
  row = std::trunc(row);
  column = std::trunc(column);
  areaNumber = std::trunc(areaNumber);

  if (source->isArray()) {
    if (areaNumber >= 2) {
      result.setError(ErrRef);
      return;
    }
    uint32_t columns = source->arrayColumns(), rows = source->arrayRows();
    if (count == 2 && rows == 1) {
      column = row;
      row = 1;
    } else if (count == 2 && columns > 1) {
      column = 0;
    }
    if (row < 0 || column < 0 || row > rows || column > columns) {
      result.setError(row < 0 || column < 0 ? ErrValue : ErrRef);
      return;
    }
    if (row > 0 && column > 0) {
      const CalcValue* e = source->element(static_cast<uint32_t>(column - 1), static_cast<uint32_t>(row - 1));
      if (e)
        result.copyFrom(*e);
      else
        result.setError(ErrValue);
      return;
    }
    if (row == 0 && column == 0) {
      result.copyFrom(*source);
      return;
    }
    // Row 0: the whole column; column 0: the whole row.
    CalcValue part;
    uint32_t n = row == 0 ? rows : columns;
    part.resizeArray(row == 0 ? 1 : n, row == 0 ? n : 1);
    for (uint32_t i = 0; i < n; ++i) {
      const CalcValue* e = row == 0 ? source->element(static_cast<uint32_t>(column - 1), i)
                                    : source->element(i, static_cast<uint32_t>(row - 1));
      CalcValue* target = row == 0 ? part.element(0, i) : part.element(i, 0);
      if (e && target) target->copyFrom(*e);
    }
    result = std::move(part);
    return;
  }

  const CalcValue* chosen = source;
  if (source->isReferenceList()) {
    uint64_t members = uint64_t(source->arrayColumns()) * source->arrayRows();
    if (areaNumber < 1 || areaNumber > members) {
      result.setError(ErrRef);
      return;
    }
    auto k = static_cast<uint32_t>(areaNumber - 1);
    uint32_t columns = source->arrayColumns();
    chosen = source->element(k % columns, k / columns);
    if (!chosen || !chosen->isReference()) {
      result.setError(ErrRef);
      return;
    }
  } else if (!source->isReference()) {
    result.setError(ErrValue);
    return;
  }
  // A union was already narrowed to the chosen range by the call, so a Reference takes any area number.
  Area area;
  if (!oneSheetArea(*chosen, area)) {
    result.setError(ErrRef);
    return;
  }
  uint32_t width = areaWidth(area), height = areaHeight(area);
  if (count == 2 && height == 1) {
    column = row;
    row = 1;
  } else if (count == 2 && width > 1) {
    column = 0;
  }
  if (row < 0 || column < 0) {
    result.setError(ErrValue);
    return;
  }
  if (row > height || column > width) {
    result.setError(ErrRef);
    return;
  }
  uint32_t sheet = area.first.sheet();
  auto r = static_cast<uint32_t>(row), c = static_cast<uint32_t>(column);
  uint32_t c1 = c == 0 ? area.first.column() : area.first.column() + c - 1;
  uint32_t c2 = c == 0 ? area.second.column() : c1;
  uint32_t r1 = r == 0 ? area.first.rowIndex() : area.first.rowIndex() + r - 1;
  uint32_t r2 = r == 0 ? area.second.rowIndex() : r1;
  result.setReference(CellAddress::make(sheet, c1, r1), CellAddress::make(sheet, c2, r2));
}

std::span<const ImplementationRow> referenceRoutines() {
  static constexpr ImplementationRow rows[] = {
      {u"ADDRESS", addressFunction},
      {u"CHOOSE", chooseFunction},
      {u"COLUMN", columnFunction},
      {u"COLUMNS", columnsFunction},
      {u"EVALUATE", evaluateFunction},
      {u"GETPIVOTDATA", getPivotDataFunction},
      {u"HYPERLINK", hyperlinkFunction},
      {u"INDEX", indexFunction},
      {u"INDIRECT", indirectFunction},
      {u"OFFSET", offsetFunction},
      {u"ROW", rowFunction},
      {u"ROWS", rowsFunction},
      {u"TRANSPOSE", transposeFunction},
  };
  return rows;
}

} // namespace cwbk
