// The lookup and reference worksheet functions. Searches in tables held in cells read the workbook
// model's grid cell by cell, cut to the part of the sheet that holds values; exact searches remember
// their outcome per search line and lookup value for the rest of the recalculation.
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
#include "formula/host_services.h"
#include "formula/reference.h"
#include "functions/arguments.h"
#include "platform/text_services.h"
#include "values/conversions.h"

namespace cwbk {

namespace {

// ---------------------------------------------------------------- arguments

// Returns argument i, or null when the call has fewer arguments.
const CalcValue* argumentAt(const CalcValue* const* args, size_t i) {
  for (size_t k = 0; k <= i; ++k)
    if (!args || !args[k]) return nullptr;
  return args[i];
}

// Copies an error-like value (an Error, or a text naming an error) into result as an Error.
void setErrorOf(const CalcValue& v, CalcValue& result) {
  if (v.isErrorValue())
    result.copyFrom(v);
  else
    result.setErrorFrom(v);
}

// Returns the value a single-cell Reference stands for, any other value itself.
const CalcValue& reducedSingleCell(const CalcValue& v) {
  if (!v.isReference()) return v;
  const CalcValue* cell = cellValueOfSingleRef(v);
  return cell ? *cell : v;
}

// Returns true for a Reference to one valid area of several cells on one sheet.
bool isSeveralCells(const CalcValue& v) {
  Area area;
  return oneSheetArea(v, area) && area.first != area.second;
}

uint32_t areaWidth(const Area& a) {
  return a.second.column() - a.first.column() + 1;
}
uint32_t areaHeight(const Area& a) {
  return a.second.rowIndex() - a.first.rowIndex() + 1;
}

// ---------------------------------------------------------------- comparing values

// The type class of a value: numbers are one class, texts one class, every other kind its own.
uint32_t typeClass(const CalcValue& v) {
  if (v.isNumber()) return CalcValue::Integer;
  if (v.isText()) return CalcValue::ShortText;
  return v.kind();
}

bool comparable(const CalcValue& a, const CalcValue& b) {
  return typeClass(a) == typeClass(b);
}

// Orders a value against the lookup value: negative, 0 or positive. Values of one type class compare
// by the value ordering (numbers equal within 15 digits, texts without regard to case); across
// classes the kind codes decide.
int orderAgainst(const CalcValue& v, const CalcValue& lookup) {
  if (v.isNumber() && lookup.isNumber()) {
    double a = v.numberValue(), b = lookup.numberValue();
    if (a == b || approximatelyEqual(a, b)) return 0;
    return a < b ? -1 : 1;
  }
  if (!comparable(v, lookup)) return typeClass(v) < typeClass(lookup) ? -1 : 1;
  if (equal(v, lookup)) return 0;
  return less(v, lookup) ? -1 : 1;
}

// Decides whether a value matches in an exact search: by the wildcard pattern when the lookup value
// is one (texts only), else when it is comparable with the lookup value and equal.
struct ExactMatcher {
  const CalcValue& lookup;
  bool wildcard = false;

  bool matches(const CalcValue& v) const {
    if (wildcard) return v.isText() && wildcardMatch(lookup.textView(), v.textView());
    return comparable(v, lookup) && orderAgainst(v, lookup) == 0;
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

  CellAddress address(uint32_t i) const {
    return vertical ? CellAddress::make(first.sheet(), first.column(), first.rowIndex() + i)
                    : CellAddress::make(first.sheet(), first.column() + i, first.rowIndex());
  }
  const CalcValue& at(uint32_t i) const {
    Cell* cell = workbook->findCell(address(i));
    return cell ? cellArgument(*cell) : emptyValue();
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
  auto orderAt = [&](uint32_t i) -> std::optional<int> {
    const CalcValue& v = line.at(i);
    if (!comparable(v, lookup)) return std::nullopt;
    int c = orderAgainst(v, lookup);
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

LookupCache* lookupCache(CacheKind kind) {
  CompiledWorkbook* workbook = evaluationWorkbook();
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
  key.kind = typeClass(lookup);
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
int64_t cachedExactSearch(CacheKind kind, const CellLine& line, const CellLine& used,
                          const ExactMatcher& matcher) {
  Area lineArea{line.first, line.address(line.length - 1)};
  LookupCache* cache = lookupCache(kind);
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
// table that holds values. Returns the position within the whole line, or -1.
int64_t searchCells(CompiledWorkbook& workbook, const Area& table, bool vertical, const CalcValue& lookup,
                    int mode, bool tildeWildcards, CacheKind kind) {
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
  if (mode == 0) {
    ExactMatcher matcher{lookup, wantsWildcards(lookup, tildeWildcards)};
    return cachedExactSearch(kind, line, usedLine, matcher);
  }
  int64_t position = approximateSearch(usedLine, lookup, mode < 0);
  return position >= 0 ? position + from : -1;
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
// column), else HLOOKUP (keys in the first row, index a row). Leaves result as it is ("#N/A") when
// nothing is found.
void tableLookupOne(const CalcValue& lookup, const CalcValue& table, double index, bool approximate,
                    bool vertical, CalcValue& result) {
  int mode = approximate ? 1 : 0;
  CacheKind kind = vertical ? CacheKind::VLookup : CacheKind::HLookup;
  if (table.isArray()) {
    uint32_t width = vertical ? table.arrayColumns() : table.arrayRows();
    if (width < index) {
      result.setError(ErrRef);
      return;
    }
    int64_t found = searchArray(table, 0, vertical, lookup, mode, false);
    if (found < 0) return;
    auto at = static_cast<uint32_t>(found);
    auto k = static_cast<uint32_t>(index - 1);
    const CalcValue* e = vertical ? table.element(k, at) : table.element(at, k);
    if (e) result.copyFrom(*e);
    return;
  }
  Area area;
  if (!oneSheetArea(table, area)) return;
  if (area.first == area.second) {
    const CalcValue& only = cellArgumentValue(area.first);
    ExactMatcher matcher{lookup, !approximate && wantsWildcards(lookup, false)};
    if (index == 1 && matcher.matches(only)) result.copyFrom(only);
    return;
  }
  uint32_t width = vertical ? areaWidth(area) : areaHeight(area);
  if (width < index) {
    result.setError(ErrRef);
    return;
  }
  CompiledWorkbook* workbook = evaluationWorkbook();
  if (!workbook) return;
  int64_t found = searchCells(*workbook, area, vertical, lookup, mode, false, kind);
  if (found < 0) return;
  auto at = static_cast<uint32_t>(found);
  auto k = static_cast<uint32_t>(index - 1);
  CellAddress cell =
      vertical ? CellAddress::make(area.first.sheet(), area.first.column() + k, area.first.rowIndex() + at)
               : CellAddress::make(area.first.sheet(), area.first.column() + at, area.first.rowIndex() + k);
  result.copyFrom(cellArgumentValue(cell));
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

// The shared preparation of VLOOKUP and HLOOKUP (value, table, index, approximate).
void tableLookup(const CalcValue* const* args, CalcValue& result, bool vertical) {
  if (propagateArgErrors(args, result)) return;
  result.setError(ErrNA);
  const CalcValue* value = argumentAt(args, 0);
  const CalcValue* table = argumentAt(args, 1);
  const CalcValue* indexArg = argumentAt(args, 2);
  const CalcValue* flag = argumentAt(args, 3);
  if (table && table->isText()) {
    result.setError(parseNumber(table->textView()) ? ErrNA : ErrValue);
    return;
  }
  if (!value || !table || table->isEmpty() || !indexArg || indexArg->isEmpty()) return;
  CalcValue lookup = reducedSingleCell(*value);
  if (lookup.isEmpty()) lookup.setDouble(0);
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
      CalcValue key = e;
      if (key.isEmpty()) key.setDouble(0);
      tableLookupOne(key, *table, indexNumber, approximate, vertical, out);
    });
    return;
  }
  if (lookup.isReference()) {
    result.setError(ErrValue);
    return;
  }
  tableLookupOne(lookup, *table, indexNumber, approximate, vertical, result);
}

// ---------------------------------------------------------------- MATCH

// Returns the 0-based position of the lookup value in a one-row or one-column Array or Reference, or
// -1 (also for an argument that is neither). mode: 0 exact, 1 ascending, -1 descending.
int64_t matchPosition(const CalcValue& lookup, const CalcValue& within, int mode) {
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
  CompiledWorkbook* workbook = evaluationWorkbook();
  if (!workbook) return -1;
  bool vertical = width == 1 && height > 1;
  return searchCells(*workbook, area, vertical, lookup, mode, true, CacheKind::Match);
}

} // namespace

// VLOOKUP(value, table, index, approximate): the value in column `index` of the first row of table
// whose first cell is the value (exact), or of the row of the largest first cell not above it
// (approximate, the default; the first column must be sorted ascending). "#N/A" when there is none,
// "#REF!" for an index beyond the table, "#VALUE!" for an index below 1.
void vlookupFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  tableLookup(args, result, true);
}

// HLOOKUP(value, table, index, approximate): VLOOKUP with rows and columns exchanged.
void hlookupFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  tableLookup(args, result, false);
}

// MATCH(value, within, type): the 1-based position of the value in a row or column. Type 0 finds the
// first equal value (texts with '*', '?' or '~' match by wildcards); 1 (the default) the largest value
// not above it in ascending data; -1 the smallest value not below it in descending data.
void matchFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  if (propagateArgErrors(args, result)) return;
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
    int64_t position = matchPosition(key, *within, mode);
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
void lookupFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
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
    tableLookupOne(lookup, *vector, wide ? vectorRows : vectorColumns, true, !wide, result);
    return;
  }
  if (targetColumns != 1 && targetRows != 1) return;
  // The vector form. A table as vector is searched along its first column when it is taller than
  // wide, else along its first row.
  bool vertical = vectorIsLine ? vectorColumns == 1 && vectorRows > 1 : vectorRows > vectorColumns;
  int64_t position = -1;
  if (vector->isArray()) {
    position = searchArray(*vector, 0, vertical, lookup, 1, false);
  } else if (CompiledWorkbook* workbook = evaluationWorkbook()) {
    oneSheetArea(*vector, vectorArea);
    position = searchCells(*workbook, vectorArea, vertical, lookup, 1, false, CacheKind::Match);
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
  result.copyFrom(cellArgumentValue(
      CellAddress::make(a.first.sheet(), static_cast<uint32_t>(column), static_cast<uint32_t>(row))));
}

namespace {

// ---------------------------------------------------------------- reference builders

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

// Takes an OFFSET count: a Reference or Array through argNumberReduced, anything else through the
// plain conversion; truncated. False with the error in result.
bool offsetCount(const CalcValue& v, double& out, CalcValue& result) {
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
  out = std::trunc(out);
  return true;
}

// Takes an OFFSET size (height or width) by the size rule. False with the error in result.
bool offsetSizeArg(const CalcValue& v, double& out, CalcValue& result) {
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
  out = offsetSize(out);
  return true;
}

// Returns true when a sheet name must be quoted in an address text: it starts with a digit or holds a
// character other than a letter, a digit or '_'.
bool sheetNameNeedsQuotes(std::u16string_view name) {
  if (name.empty()) return false;
  if (name[0] >= u'0' && name[0] <= u'9') return true;
  for (char16_t c : name) {
    bool letterOrDigit =
        (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c >= 0x80;
    if (!letterOrDigit && c != u'_') return true;
  }
  return false;
}

// Returns true when an A1 text holds only letters, digits, '$' and ':' and each of its row numbers
// lies between 1 and the last row.
bool rowNumbersOnSheet(std::u16string_view text) {
  uint64_t number = 0;
  bool inNumber = false;
  auto numberOk = [&] {
    return !inNumber || (number >= 1 && number <= uint64_t(addressLimits().lastRow) + 1);
  };
  for (char16_t c : text) {
    if (c >= u'0' && c <= u'9') {
      number = std::min<uint64_t>(number * 10 + (c - u'0'), uint64_t(1) << 40);
      inNumber = true;
      continue;
    }
    if (!numberOk()) return false;
    number = 0;
    inNumber = false;
    bool letter = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
    if (!letter && c != u'$' && c != u':') return false;
  }
  return numberOk();
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
  if (propagateArgErrors(args, result, ~uint64_t(1))) return;
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

// OFFSET(reference, rows, columns, height, width): the range moved by rows and columns, with the
// given height and width (by default those of the reference). A range that leaves the sheet is
// "#REF!"; a negative height or width extends up or left from the moved corner.
void offsetFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  if (propagateArgErrors(args, result)) return;
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
// A sheet name is prefixed with '!', quoted when it needs it.
void addressFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  if (propagateArgErrors(args, result)) return;
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
    if (!name.empty()) prefix = (quote || sheetNameNeedsQuotes(name) ? quotedSheetName(name) : name) + u"!";
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
  if (propagateArgErrors(args, result)) return;
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
  CompiledWorkbook* workbook = evaluationWorkbook();
  CellAddress current = currentCellAddress();
  if (!workbook) {
    result.setError(ErrRef);
    return;
  }

  if (std::optional<CalcError> error = parseError(text)) {
    result.setError(static_cast<int32_t>(*error));
    return;
  }
  // The sheet part: a quoted name ('It''s'!A1) or everything before the last '!'; a workbook part in
  // brackets names another workbook, which only the host can read.
  std::u16string sheetName;
  std::u16string_view address = text;
  bool hasSheet = false;
  if (!text.empty() && text[0] == u'\'') {
    size_t i = 1;
    for (; i < text.size(); ++i) {
      if (text[i] != u'\'') {
        sheetName += text[i];
      } else if (i + 1 < text.size() && text[i + 1] == u'\'') {
        sheetName += u'\'';
        ++i;
      } else {
        break;
      }
    }
    if (i >= text.size() || i + 1 >= text.size() || text[i + 1] != u'!') {
      result.setError(ErrRef);
      return;
    }
    address = text.substr(i + 2);
    hasSheet = true;
  } else if (size_t bang = text.rfind(u'!'); bang != std::u16string_view::npos) {
    sheetName = std::u16string(text.substr(0, bang));
    address = text.substr(bang + 1);
    hasSheet = true;
  }
  if (hasSheet && !sheetName.empty() && sheetName[0] == u'[') {
    size_t close = sheetName.find(u']');
    if (close == std::u16string::npos) {
      result.setError(ErrRef);
      return;
    }
    // The model does not know the name it was compiled from: every workbook part goes to the host.
    if (!hostEvaluateText(context, u"=" + std::u16string(text), result)) result.setError(ErrRef);
    return;
  }
  uint32_t sheet = current.isValid() ? current.sheet() : 0;
  if (hasSheet) {
    int32_t index = workbook->sheetIndex(sheetName);
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

namespace {

// ROW or COLUMN of the argument (rows: ROW).
void rowOrColumn(const CalcValue* const* args, CalcValue& result, bool rows) {
  const CalcValue* reference = argumentAt(args, 0);
  if (!reference || reference->isEmpty()) {
    CellAddress current = currentCellAddress();
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

} // namespace

// ROW(reference): the row number of the calling cell, of a cell, or for a range of several rows the
// column of their numbers.
void rowFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  rowOrColumn(args, result, true);
}

// COLUMN(reference): as ROW, for columns, giving a row of numbers.
void columnFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  rowOrColumn(args, result, false);
}

// ROWS(x), COLUMNS(x): the number of rows or columns of a range or an array; 1 for a single value.
void rowsFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  rowsOrColumns(args, result, true);
}

void columnsFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  rowsOrColumns(args, result, false);
}

// TRANSPOSE(array): in an array formula the array or range with rows and columns exchanged.
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
  if (source->isError())
    result.copyFrom(*source);
  else
    result.setError(ErrValue);
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
  if (propagateArgErrors(args, result)) return;
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

} // namespace cwbk
