// The lookup searches VLOOKUP, HLOOKUP, MATCH and LOOKUP. Searches in tables held in cells read the
// workbook model's grid cell by cell, cut to the part of the sheet that holds values; exact searches
// remember their outcome per search line and lookup value for the rest of the recalculation.
#include "functions/lookup.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "formula/argument_list.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/criteria.h"
#include "formula/formula_node.h"
#include "formula/grid.h"
#include "formula/reference.h"
#include "functions/arguments.h"
#include "values/conversions.h"

namespace cwbk {

namespace {

// ---------------------------------------------------------------- matching values

// Decides whether a value matches in an exact search: by the wildcard pattern when the lookup value
// is one (texts only), else when it is comparable with the lookup value and equal.
struct ExactMatcher {
  const CalcValue& lookup;
  bool wildcard = false;

  bool matches(const CalcValue& v) const {
    if (wildcard) return v.isText() && wildcardMatch(lookup.textView(), v.textView());
    return sameComparisonClass(v, lookup) && searchOrder(v, lookup) == 0;
  }
};

// True when a lookup text asks for wildcard matching: '*' or '?', and for MATCH also '~'.
bool wantsWildcards(const CalcValue& lookup, bool tildeToo) {
  if (!lookup.isText()) return false;
  std::u16string_view t = lookup.textView();
  if (tildeToo) return hasWildcards(t);
  return t.find_first_of(u"*?") != std::u16string_view::npos;
}

// ---------------------------------------------------------------- search lines

// A row or column of a sheet's cells, read straight from the workbook model.
struct CellLine {
  CompiledWorkbook* workbook;
  CellAddress first; // the cell at position 0
  uint32_t length;
  bool vertical; // positions run down a column; otherwise along a row
  // The row block that holds the whole of a vertical line whose cells are read (readCells), which
  // are then taken from it; null for other lines, which ask the grid for each cell.
  const RowBlock* block = nullptr;

  CellLine(CompiledWorkbook* book, CellAddress at, uint32_t count, bool down)
      : workbook(book), first(at), length(count), vertical(down) {}
  // Prepares the line for reading its cells.
  void readCells() {
    uint32_t top = first.rowIndex();
    if (vertical && length > 0 && top / RowBlock::kRows == (top + length - 1) / RowBlock::kRows)
      block = workbook->grid().blockAt(first.sheet(), first.column(), top);
  }
  CellAddress address(uint32_t i) const {
    return vertical ? CellAddress::make(first.sheet(), first.column(), first.rowIndex() + i)
                    : CellAddress::make(first.sheet(), first.column() + i, first.rowIndex());
  }
  Cell* cell(uint32_t i) const {
    return block ? block->cellAt(first.rowIndex() + i) : workbook->findCell(address(i));
  }
  const CalcValue& at(uint32_t i) const {
    Cell* c = cell(i);
    return c ? cellArgument(*c) : emptyValue();
  }
};

// A row or column of an Array.
struct ArrayLine {
  const CalcValue* array;
  uint32_t fixed; // the row (horizontal) or column (vertical) searched
  uint32_t length;
  bool vertical;

  const CalcValue& at(uint32_t i) const {
    const CalcValue* e = vertical ? array->element(fixed, i) : array->element(i, fixed);
    return e ? *e : emptyValue();
  }
};

// Returns the first position whose value matches, or -1.
template <typename Line> int64_t exactSearch(const Line& line, const ExactMatcher& matcher) {
  for (uint32_t i = 0; i < line.length; ++i)
    if (matcher.matches(line.at(i))) return i;
  return -1;
}

// The approximate search: the position of the largest value not above the lookup value among the
// values comparable with it (for descending lines, the smallest not below it), or -1. Values of
// other type classes are gaps. The first comparable value is looked at first: when it lies beyond
// the lookup value nothing is found, when it equals it, it is the answer. Otherwise a binary search
// finds the last position whose value does not lie beyond the lookup value, so that among equal
// values the last one is found.
template <typename Line>
int64_t approximateSearch(const Line& line, const CalcValue& lookup, bool descending) {
  // Each position is read once per look: the order of its value, or none for a gap.
  bool numberLookup = lookup.isNumber();
  auto orderAt = [&](uint32_t i) -> std::optional<int> {
    const CalcValue& v = line.at(i);
    if (!(numberLookup && v.isNumber()) && !sameComparisonClass(v, lookup)) return std::nullopt;
    int c = searchOrder(v, lookup);
    return descending ? -c : c;
  };
  uint32_t low = 0;
  std::optional<int> lowOrder;
  for (; low < line.length; ++low)
    if ((lowOrder = orderAt(low))) break;
  if (!lowOrder || *lowOrder > 0) return -1;
  if (*lowOrder == 0) return low;
  uint32_t high = line.length - 1;
  std::optional<int> highOrder;
  for (; high > low; --high)
    if ((highOrder = orderAt(high))) break;
  if (high == low || *highOrder <= 0) return high;
  // Now the value at low lies below the lookup value and the value at high beyond it.
  while (high - low > 1) {
    uint32_t mid = low + (high - low) / 2;
    uint32_t probe = 0;
    std::optional<int> probeOrder;
    for (probe = mid; probe > low; --probe)
      if ((probeOrder = orderAt(probe))) break;
    if (!probeOrder)
      for (probe = mid + 1; probe < high; ++probe)
        if ((probeOrder = orderAt(probe))) break;
    if (!probeOrder) break;
    if (*probeOrder > 0)
      high = probe;
    else
      low = probe;
  }
  return low;
}

// Cuts a one-sheet area to the rectangle that may hold values: the value extent that the model keeps
// for the area, and the sheet's used extent. False when nothing of the area is left.
bool usedPart(CompiledWorkbook& workbook, const Area& area, Area& used) {
  uint32_t sheet = area.first.sheet();
  uint32_t lastColumn = 0, lastRow = 0;
  if (!workbook.grid().sheetExtent(sheet, lastColumn, lastRow)) return false;
  Area extent = workbook.valueExtent(area);
  if (!extent.isValid() || !extent.isOneSheet() || extent.first.sheet() != sheet) extent = area;
  uint32_t c1 = std::max(area.first.column(), extent.first.column());
  uint32_t r1 = std::max(area.first.rowIndex(), extent.first.rowIndex());
  uint32_t c2 = std::min({area.second.column(), extent.second.column(), lastColumn});
  uint32_t r2 = std::min({area.second.rowIndex(), extent.second.rowIndex(), lastRow});
  if (c1 > c2 || r1 > r2) return false;
  used = Area{CellAddress::make(sheet, c1, r1), CellAddress::make(sheet, c2, r2)};
  return true;
}

// ---------------------------------------------------------------- the exact-match caches

// One remembered search: the searched line and the lookup value (numbers by their double, texts by
// their exact units, other kinds by kind and payload).
struct LookupKey {
  Area line;
  uint32_t kind = 0;
  double number = 0;
  std::u16string text;

  bool operator<(const LookupKey& o) const {
    if (!(line == o.line)) return AreaLess()(line, o.line);
    if (kind != o.kind) return kind < o.kind;
    if (number != o.number) return number < o.number;
    return text < o.text;
  }
};

// The outcome of exact searches during one recalculation: the cell found, or the invalid address.
class LookupCache : public RecalculationCache {
public:
  // Beyond this many entries new outcomes are no longer remembered.
  static constexpr size_t kMaxEntries = size_t(1) << 20;
  std::map<LookupKey, CellAddress> entries;
  void clear() override { entries.clear(); }
};

LookupCache* lookupCache(const EvaluationContext& context, CacheKind kind) {
  CompiledWorkbook* workbook = context.cellWorkbook();
  if (!workbook) return nullptr;
  CalculationState& state = workbook->state();
  if (RecalculationCache* existing = state.cache(kind)) return dynamic_cast<LookupCache*>(existing);
  auto created = std::make_unique<LookupCache>();
  LookupCache* cache = created.get();
  state.setCache(kind, std::move(created));
  return cache;
}

LookupKey keyOf(const Area& line, const CalcValue& lookup) {
  LookupKey key;
  key.line = line;
  key.kind = comparisonClass(lookup);
  if (lookup.isNumber())
    key.number = lookup.numberValue();
  else if (lookup.isText())
    key.text = std::u16string(lookup.textView());
  else if (lookup.isBoolean())
    key.number = lookup.booleanValue() ? 1 : 0;
  else if (lookup.isErrorValue())
    key.number = lookup.errorCode();
  return key;
}

// The exact search over a line of cells, through the cache of its kind. `used` is the line cut to its
// used part (it may be shorter than the line and start further on). Returns the position within
// the whole line, or -1.
int64_t cachedExactSearch(const EvaluationContext& context, CacheKind kind, const CellLine& line,
                          const CellLine& used, const ExactMatcher& matcher) {
  Area lineArea{line.first, line.address(line.length - 1)};
  LookupCache* cache = lookupCache(context, kind);
  LookupKey key;
  if (cache) {
    key = keyOf(lineArea, matcher.lookup);
    auto it = cache->entries.find(key);
    if (it != cache->entries.end()) {
      CellAddress found = it->second;
      if (!found.isValid()) return -1;
      // A remembered cell is checked again: a cycle's sweeps may have changed it since.
      Cell* cell = line.workbook->findCell(found);
      if (cell && matcher.matches(cellArgument(*cell)))
        return line.vertical ? found.rowIndex() - line.first.rowIndex()
                             : found.column() - line.first.column();
    }
  }
  int64_t position = exactSearch(used, matcher);
  int64_t offset = line.vertical ? used.first.rowIndex() - line.first.rowIndex()
                                 : used.first.column() - line.first.column();
  if (position >= 0) position += offset;
  if (cache && cache->entries.size() < LookupCache::kMaxEntries)
    cache->entries[key] =
        position >= 0 ? line.address(static_cast<uint32_t>(position)) : CellAddress::invalid();
  return position;
}

// Searches the first column (vertical) or the first row of a table of cells, cut to the part of the
// table that holds values. Returns the position within the whole line, or -1; an approximate search
// also gives the cell it found in foundCell, when asked (an exact one leaves foundCell as it is).
int64_t searchCells(CompiledWorkbook& workbook, const EvaluationContext& context, const Area& table,
                    bool vertical, const CalcValue& lookup, int mode, bool tildeWildcards, CacheKind kind,
                    Cell** foundCell = nullptr) {
  CellAddress first = table.first;
  uint32_t length = vertical ? areaHeight(table) : areaWidth(table);
  CellLine line{&workbook, first, length, vertical};
  Area used;
  if (!usedPart(workbook, table, used)) return -1;
  // The searched line must lie in the used part (it is its first column or row).
  if (vertical ? used.first.column() != first.column() : used.first.rowIndex() != first.rowIndex()) return -1;
  uint32_t from = vertical ? used.first.rowIndex() - first.rowIndex() : used.first.column() - first.column();
  uint32_t to = vertical ? used.second.rowIndex() - first.rowIndex() : used.second.column() - first.column();
  CellLine usedLine{&workbook, line.address(from), to - from + 1, vertical};
  usedLine.readCells();
  if (mode == 0) {
    ExactMatcher matcher{lookup, wantsWildcards(lookup, tildeWildcards)};
    return cachedExactSearch(context, kind, line, usedLine, matcher);
  }
  int64_t position = approximateSearch(usedLine, lookup, mode < 0);
  if (position < 0) return -1;
  if (foundCell) *foundCell = usedLine.cell(static_cast<uint32_t>(position));
  return position + from;
}

int64_t searchCells(const EvaluationContext& context, const Area& table, bool vertical,
                    const CalcValue& lookup, int mode, bool tildeWildcards, CacheKind kind) {
  CompiledWorkbook* workbook = context.cellWorkbook();
  return workbook ? searchCells(*workbook, context, table, vertical, lookup, mode, tildeWildcards, kind) : -1;
}

// Searches a row or column of an Array. mode: 0 exact, 1 ascending, -1 descending.
int64_t searchArray(const CalcValue& array, uint32_t fixed, bool vertical, const CalcValue& lookup, int mode,
                    bool tildeWildcards) {
  ArrayLine line{&array, fixed, vertical ? array.arrayRows() : array.arrayColumns(), vertical};
  if (mode == 0) return exactSearch(line, ExactMatcher{lookup, wantsWildcards(lookup, tildeWildcards)});
  return approximateSearch(line, lookup, mode < 0);
}

// ---------------------------------------------------------------- VLOOKUP and HLOOKUP

// One table lookup with prepared arguments. vertical: VLOOKUP (keys in the first column, index a
// column), else HLOOKUP (keys in the first row, index a row). Returns false, leaving result as it is,
// when nothing is found ("#N/A").
bool tableLookupOne(const EvaluationContext& context, const CalcValue& lookup, const CalcValue& table,
                    double index, bool approximate, bool vertical, CalcValue& result) {
  int mode = approximate ? 1 : 0;
  CacheKind kind = vertical ? CacheKind::VLookup : CacheKind::HLookup;
  if (table.isArray()) {
    uint32_t width = vertical ? table.arrayColumns() : table.arrayRows();
    if (width < index) {
      result.setError(ErrRef);
      return true;
    }
    int64_t found = searchArray(table, 0, vertical, lookup, mode, false);
    if (found < 0) return false;
    auto at = static_cast<uint32_t>(found);
    auto k = static_cast<uint32_t>(index - 1);
    const CalcValue* e = vertical ? table.element(k, at) : table.element(at, k);
    if (!e) return false;
    result.copyFrom(*e);
    return true;
  }
  Area area;
  if (!oneSheetArea(table, area)) return false;
  if (area.first == area.second) {
    const CalcValue& only = cellValueIn(context, area.first);
    ExactMatcher matcher{lookup, !approximate && wantsWildcards(lookup, false)};
    if (index != 1 || !matcher.matches(only)) return false;
    result.copyFrom(only);
    return true;
  }
  uint32_t width = vertical ? areaWidth(area) : areaHeight(area);
  if (width < index) {
    result.setError(ErrRef);
    return true;
  }
  CompiledWorkbook* workbook = context.cellWorkbook();
  if (!workbook) return false;
  auto k = static_cast<uint32_t>(index - 1);
  // The answer from the searched line itself is the cell the search ended on.
  Cell* searched = nullptr;
  int64_t found = searchCells(*workbook, context, area, vertical, lookup, mode, false, kind,
                              k == 0 ? &searched : nullptr);
  if (found < 0) return false;
  auto at = static_cast<uint32_t>(found);
  Cell* cell = searched;
  if (!cell)
    cell = workbook->findCell(
        vertical
            ? CellAddress::make(area.first.sheet(), area.first.column() + k, area.first.rowIndex() + at)
            : CellAddress::make(area.first.sheet(), area.first.column() + at, area.first.rowIndex() + k));
  result.copyFrom(cell ? cellArgument(*cell) : emptyValue());
  return true;
}

// Calls one(lookup element, element result) for each element of an Array or several-cell Reference
// lookup value and gathers the results, each starting as "#N/A", into an Array of its shape.
template <typename One> void forEachLookupElement(const CalcValue& lookup, CalcValue& result, One&& one) {
  uint32_t columns = 0, rows = 0;
  if (lookup.isArray()) {
    columns = lookup.arrayColumns();
    rows = lookup.arrayRows();
  } else {
    Area area;
    oneSheetArea(lookup, area);
    columns = areaWidth(area);
    rows = areaHeight(area);
  }
  if (uint64_t(columns) * rows > kMaxLoadedAreaElements) {
    result.setError(ErrNum);
    return;
  }
  CalcValue results;
  results.resizeArray(columns, rows);
  for (uint32_t r = 0; r < rows; ++r)
    for (uint32_t c = 0; c < columns; ++c) {
      const CalcValue* e = cellValueAt(lookup, r, c);
      CalcValue value = e ? *e : CalcValue();
      CalcValue oneResult = CalcValue::error(ErrNA);
      if (value.isErrorValue())
        oneResult.copyFrom(value);
      else
        one(value, oneResult);
      if (CalcValue* target = results.element(c, r)) *target = std::move(oneResult);
    }
  result = std::move(results);
}

// Returns the value, or the Double 0 that an Empty lookup value is looked up as.
const CalcValue& emptyAsZero(const CalcValue& v) {
  static const CalcValue zero = [] {
    CalcValue z;
    z.setDouble(0);
    return z;
  }();
  return v.isEmpty() ? zero : v;
}

// The shared preparation of VLOOKUP and HLOOKUP (value, table, index, approximate).
void tableLookup(const EvaluationContext& context, const CalcValue* const* args, CalcValue& result,
                 bool vertical) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  const CalcValue* given[4] = {};
  for (size_t i = 0; args && i < 4 && args[i]; ++i)
    given[i] = args[i];
  const auto [value, table, indexArg, flag] = given;
  if (table && table->isText()) {
    result.setError(parseNumber(table->textView()) ? ErrNA : ErrValue);
    return;
  }
  if (!value || !table || table->isEmpty() || !indexArg || indexArg->isEmpty()) {
    result.setError(ErrNA);
    return;
  }
  const CalcValue& lookup = emptyAsZero(reducedSingleCell(*value));
  const CalcValue& index = reducedSingleCell(*indexArg);
  double indexNumber = 0;
  switch (index.kind()) {
  case CalcValue::Integer:
  case CalcValue::Double:
    indexNumber = index.numberValue();
    break;
  case CalcValue::Boolean:
    indexNumber = index.booleanValue() ? 1 : 0;
    break;
  case CalcValue::ShortText:
  case CalcValue::LongText:
    if (std::optional<double> x = parseNumber(index.textView())) {
      indexNumber = *x;
      break;
    }
    result.setError(ErrValue);
    return;
  default:
    result.setError(index.isErrorValue() ? index.errorCode() : ErrValue);
    return;
  }
  indexNumber = std::trunc(indexNumber);
  if (!(indexNumber > 0)) {
    result.setError(ErrValue);
    return;
  }
  bool approximate = true;
  if (flag) {
    if (flag->isText()) {
      result.setError(ErrValue);
      return;
    }
    if (flag->isEmpty() || flag->isNumber())
      approximate = flag->numberValue() != 0;
    else if (flag->isBoolean())
      approximate = flag->booleanValue();
  }
  if (lookup.isArray() || isSeveralCells(lookup)) {
    forEachLookupElement(lookup, result, [&](const CalcValue& e, CalcValue& out) {
      tableLookupOne(context, emptyAsZero(e), *table, indexNumber, approximate, vertical, out);
    });
    return;
  }
  if (lookup.isReference()) {
    result.setError(ErrValue);
    return;
  }
  if (!tableLookupOne(context, lookup, *table, indexNumber, approximate, vertical, result))
    result.setError(ErrNA);
}

// ---------------------------------------------------------------- MATCH

// Returns the 0-based position of the lookup value in a one-row or one-column Array or Reference, or
// -1 (also for an argument that is neither). mode: 0 exact, 1 ascending, -1 descending.
int64_t matchPosition(const EvaluationContext& context, const CalcValue& lookup, const CalcValue& within,
                      int mode) {
  if (within.isArray()) {
    uint32_t columns = within.arrayColumns(), rows = within.arrayRows();
    if (columns == 0 || rows == 0) return -1;
    if (rows != 1 && columns != 1) return -1;
    return searchArray(within, 0, columns == 1 && rows > 1, lookup, mode, true);
  }
  Area area;
  if (!oneSheetArea(within, area)) return -1;
  uint32_t width = areaWidth(area), height = areaHeight(area);
  if (width != 1 && height != 1) return -1;
  bool vertical = width == 1 && height > 1;
  return searchCells(context, area, vertical, lookup, mode, true, CacheKind::Match);
}

// VLOOKUP(value, table, index, approximate): the value in column `index` of the first row of table
// whose first cell is the value (exact), or of the row of the largest first cell not above it
// (approximate, the default; the first column must be sorted ascending). "#N/A" when there is none,
// "#REF!" for an index beyond the table, "#VALUE!" for an index below 1.
void vlookupFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  tableLookup(context, args, result, true);
}

// HLOOKUP(value, table, index, approximate): VLOOKUP with rows and columns exchanged.
void hlookupFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  tableLookup(context, args, result, false);
}

// MATCH(value, within, type): the 1-based position of the value in a row or column. Type 0 finds the
// first equal value (texts with '*', '?' or '~' match by wildcards); 1 (the default) the largest value
// not above it in ascending data; -1 the smallest value not below it in descending data.
void matchFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  result.setError(ErrNA);
  const CalcValue* value = argumentAt(args, 0);
  const CalcValue* within = argumentAt(args, 1);
  const CalcValue* typeArg = argumentAt(args, 2);
  if (within && within->isText()) {
    result.setError(parseNumber(within->textView()) ? ErrNA : ErrValue);
    return;
  }
  if (!value || !within || within->isEmpty()) return;
  CalcValue lookup = reducedSingleCell(*value);
  if (lookup.isEmpty()) lookup.setInteger(0);
  int mode = 1;
  if (typeArg) {
    double type = 0;
    if (argNumberReduced(*typeArg, type) != 0) {
      result.setError(ErrValue);
      return;
    }
    type = std::trunc(type);
    mode = type == 0 ? 0 : type == -1 ? -1 : 1;
  }
  auto one = [&](const CalcValue& key, CalcValue& out) {
    int64_t position = matchPosition(context, key, *within, mode);
    if (position >= 0) out.setNumber(static_cast<double>(position + 1));
  };
  if (lookup.isArray() || isSeveralCells(lookup)) {
    forEachLookupElement(lookup, result, [&](const CalcValue& e, CalcValue& out) {
      CalcValue key = e;
      if (key.isEmpty()) key.setInteger(0);
      one(key, out);
    });
    return;
  }
  if (lookup.isReference()) return;
  one(lookup, result);
}

// LOOKUP(value, vector, result): the vector form finds the position of the largest value not above
// the value in an ascending row or column and gives the element at that position of result (by
// default the vector itself; a result of several rows and columns is "#N/A"). Without result, a
// table instead of a vector (the array form) is searched along its first row when it is at least as
// wide as high, else along its first column, and gives the matching element of its last row or column.
void lookupFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  const CalcValue* value = argumentAt(args, 0);
  const CalcValue* vector = argumentAt(args, 1);
  const CalcValue* resultArg = argumentAt(args, 2);
  if (!value || !vector) {
    result.setError(ErrNA);
    return;
  }
  if (vector->isEmpty() || (vector->isText() && !vector->isError()) || (resultArg && resultArg->isEmpty())) {
    result.setError(ErrValue);
    return;
  }
  const CalcValue& valueSeen = reducedSingleCell(*value);
  const CalcValue& vectorSeen = reducedSingleCell(*vector);
  if (valueSeen.isError()) {
    setErrorOf(valueSeen, result);
    return;
  }
  if (vectorSeen.isError()) {
    setErrorOf(vectorSeen, result);
    return;
  }
  Area vectorArea, resultArea;
  if ((vector->isReference() && !oneSheetArea(*vector, vectorArea)) ||
      (resultArg && resultArg->isReference() && !oneSheetArea(*resultArg, resultArea))) {
    result.setError(ErrRef);
    return;
  }
  CalcValue lookup = valueSeen;
  if (lookup.isEmpty()) lookup.setDouble(0);
  const CalcValue& target = resultArg ? *resultArg : *vector;
  auto tableLike = [](const CalcValue& v) { return v.isReference() || v.isArray(); };
  if (!tableLike(*vector) || !tableLike(target)) {
    if (equal(lookup, vectorSeen)) {
      const CalcValue* copy = target.isReference() ? cellValueAt(target, 0, 0) : &target;
      if (copy) {
        result.copyFrom(*copy);
        return;
      }
    }
    result.setError(ErrValue);
    return;
  }
  // The shape of an Array or Reference: columns and rows.
  auto shape = [](const CalcValue& v, uint32_t& columns, uint32_t& rows) {
    if (v.isArray()) {
      columns = v.arrayColumns();
      rows = v.arrayRows();
    } else {
      Area a;
      oneSheetArea(v, a);
      columns = areaWidth(a);
      rows = areaHeight(a);
    }
  };
  uint32_t targetColumns = 0, targetRows = 0, vectorColumns = 0, vectorRows = 0;
  shape(target, targetColumns, targetRows);
  shape(*vector, vectorColumns, vectorRows);
  bool vectorIsLine = vectorColumns == 1 || vectorRows == 1;
  result.setError(ErrNA);
  if (!resultArg && !vectorIsLine) {
    bool wide = vectorColumns >= vectorRows;
    tableLookupOne(context, lookup, *vector, wide ? vectorRows : vectorColumns, true, !wide, result);
    return;
  }
  if (targetColumns != 1 && targetRows != 1) return;
  // The vector form. A table as vector is searched along its first column when it is taller than
  // wide, else along its first row.
  bool vertical = vectorIsLine ? vectorColumns == 1 && vectorRows > 1 : vectorRows > vectorColumns;
  int64_t position = -1;
  if (vector->isArray()) {
    position = searchArray(*vector, 0, vertical, lookup, 1, false);
  } else {
    oneSheetArea(*vector, vectorArea);
    position = searchCells(context, vectorArea, vertical, lookup, 1, false, CacheKind::Match);
  }
  if (position < 0) return;
  // The result runs along its own line; a single cell follows the direction of the vector.
  bool alongRow = targetRows == 1 && (targetColumns > 1 || !vertical);
  auto at = static_cast<uint32_t>(position);
  if (target.isArray()) {
    const CalcValue* e = alongRow ? target.element(at, 0) : target.element(0, at);
    if (e) result.copyFrom(*e);
    return;
  }
  // A result range shorter than the vector reads on beyond its end, within the sheet.
  Area a;
  oneSheetArea(target, a);
  uint64_t column = uint64_t(a.first.column()) + (alongRow ? at : 0);
  uint64_t row = uint64_t(a.first.rowIndex()) + (alongRow ? 0 : at);
  if (column > addressLimits().lastColumn || row > addressLimits().lastRow) return;
  result.copyFrom(cellValueIn(context, CellAddress::make(a.first.sheet(), static_cast<uint32_t>(column),
                                                         static_cast<uint32_t>(row))));
}

} // namespace

std::span<const ImplementationRow> lookupRoutines() {
  static constexpr ImplementationRow rows[] = {
      {u"HLOOKUP", hlookupFunction},
      {u"LOOKUP", lookupFunction},
      {u"MATCH", matchFunction},
      {u"VLOOKUP", vlookupFunction},
  };
  return rows;
}

} // namespace cwbk
