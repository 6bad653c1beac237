// CompiledWorkbook (minimal): cell storage keyed by address, area walks and area loading, and the
// owning lists of formula trees.
#include "formula/compiled_workbook.h"

#include <algorithm>

#include "formula/formula_node.h"
#include "formula/reference.h"

namespace cwbk {

// ---------------------------------------------------------------- Cell

Cell::~Cell() {
  CalcValue::destroy(value_);
  for (FormulaNode* root : operandRoots_)
    delete root;
}

CalcValue& Cell::ensureValue() {
  if (!value_) value_ = CalcValue::create();
  return *value_;
}

// ---------------------------------------------------------------- CompiledWorkbook

CompiledWorkbook::~CompiledWorkbook() {
  for (DefinedName& name : definedNames_)
    delete name.root;
  for (FormulaNode* root : formulaTemplates_)
    delete root;
  for (FormulaNode* root : sharedExpressions_)
    delete root;
  cells_.clear();
}

uint32_t CompiledWorkbook::addSheet(std::u16string name) {
  SheetInfo info;
  info.quotedName = quotedSheetName(name);
  info.name = std::move(name);
  sheets_.push_back(std::move(info));
  return static_cast<uint32_t>(sheets_.size() - 1);
}

Cell* CompiledWorkbook::findCell(CellAddress address) const {
  if (!address.isValid()) return nullptr;
  auto it = cells_.find(canonical(address));
  return it == cells_.end() ? nullptr : it->second.get();
}

Cell* CompiledWorkbook::findOrCreateCell(CellAddress address) {
  if (!address.isValid() || address.sheet() == CellAddress::kNoSheet) return nullptr;
  CellAddress key = canonical(address);
  auto it = cells_.find(key);
  if (it != cells_.end()) return it->second.get();
  auto cell = std::make_unique<Cell>(this, key);
  Cell* raw = cell.get();
  cells_.emplace(key, std::move(cell));
  return raw;
}

namespace {

// Returns the area with a missing second corner filled from the first, normalized, with rows in order.
Area orderedArea(const Area& input) {
  Area area = input;
  if (area.first.isValid() && !area.second.isValid()) area.second = area.first;
  normalize(area);
  if (area.isValid() && area.second.rowIndex() < area.first.rowIndex()) {
    uint32_t r = area.first.row;
    area.first.row = area.second.row;
    area.second.row = r;
  }
  return area;
}

} // namespace

void CompiledWorkbook::forEachCellIn(const Area& input, const std::function<void(Cell&)>& f) const {
  Area area = orderedArea(input);
  if (!area.isValid() || !area.isOneSheet()) return;
  uint32_t sheet = area.first.sheet();
  uint32_t c1 = area.first.column(), c2 = area.second.column();
  uint32_t r1 = area.first.rowIndex(), r2 = area.second.rowIndex();
  uint32_t column = c1;
  // One lookup per used column: a lookup that lands in a later column jumps there.
  while (column <= c2) {
    auto it = cells_.lower_bound(CellAddress::make(sheet, column, r1));
    if (it == cells_.end() || it->first.sheet() != sheet) return;
    uint32_t found = it->first.column();
    if (found > c2) return;
    if (found != column) {
      column = found;
      continue;
    }
    uint32_t word = it->first.sheetColumn;
    for (; it != cells_.end() && it->first.sheetColumn == word && it->first.rowIndex() <= r2; ++it)
      f(*it->second);
    ++column;
  }
}

// The array has the area's width and height. An area of more than kFullShapeAreaLimit cells (a whole
// column or sheet) is cut to the part from its top-left corner to the last cell holding a value, so
// that its cost follows the used cells; the cut-off elements would all be Empty. Even so, more than
// kMaxLoadedAreaElements elements give "#NUM!" rather than exhausting memory.
void CompiledWorkbook::loadArea(const Area& input, CalcValue& result) const {
  Area area = orderedArea(input);
  if (!area.isValid() || !area.isOneSheet()) {
    result.setError(ErrRef);
    return;
  }
  uint32_t c1 = area.first.column(), r1 = area.first.rowIndex();
  uint64_t width = uint64_t(area.second.column()) - c1 + 1;
  uint64_t height = uint64_t(area.second.rowIndex()) - r1 + 1;
  if (width * height > kFullShapeAreaLimit) {
    uint32_t lastColumn = c1, lastRow = r1;
    forEachCellIn(area, [&](Cell& cell) {
      if (!cell.value() || cell.value()->isEmpty()) return;
      lastColumn = std::max(lastColumn, cell.address().column());
      lastRow = std::max(lastRow, cell.address().rowIndex());
    });
    width = uint64_t(lastColumn) - c1 + 1;
    height = uint64_t(lastRow) - r1 + 1;
  }
  if (width * height > kMaxLoadedAreaElements) {
    result.setError(ErrNum);
    return;
  }
  CalcValue array;
  array.resizeArray(static_cast<uint32_t>(width), static_cast<uint32_t>(height));
  forEachCellIn(area, [&](Cell& cell) {
    if (!cell.value()) return;
    uint32_t c = cell.address().column() - c1, r = cell.address().rowIndex() - r1;
    if (c >= width || r >= height) return;
    if (CalcValue* element = array.element(c, r)) element->copyFrom(*cell.value());
  });
  result = std::move(array);
}

namespace {
template <typename T> T* entryAt(std::vector<T>& list, int64_t index) {
  return index >= 0 && static_cast<uint64_t>(index) < list.size() ? &list[static_cast<size_t>(index)]
                                                                  : nullptr;
}
} // namespace

DefinedName* CompiledWorkbook::definedName(int64_t index) {
  return entryAt(definedNames_, index);
}
ExternalLink* CompiledWorkbook::externalLink(int64_t index) {
  return entryAt(externalLinks_, index);
}
DdeSource* CompiledWorkbook::ddeSource(int64_t index) {
  return entryAt(ddeSources_, index);
}

FormulaNode* CompiledWorkbook::formulaTemplate(int64_t index) {
  FormulaNode** entry = entryAt(formulaTemplates_, index);
  return entry ? *entry : nullptr;
}

FormulaNode* CompiledWorkbook::sharedExpression(int64_t index) {
  FormulaNode** entry = entryAt(sharedExpressions_, index);
  return entry ? *entry : nullptr;
}

} // namespace cwbk
