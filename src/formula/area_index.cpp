// AreaIndex: entering areas, computing their extents, and keeping the extents up to date as cells
// gain values or formulas after the area was entered.
#include "formula/area_index.h"

#include <algorithm>
#include <utility>

#include "formula/cell.h"

namespace cwbk {

namespace {

CellAddress canonicalCorner(CellAddress a) {
  return a.isValid() ? CellAddress::make(a.sheetColumn >> 16, a.column(), a.rowIndex()) : a;
}

// Returns true when the cell counts for the value extent.
bool holdsSomething(const Cell& cell) {
  return cell.hasFormula() || (cell.value() && !cell.value()->isEmpty());
}

} // namespace

Area canonicalArea(const Area& input) {
  Area area{canonicalCorner(input.first), canonicalCorner(input.second)};
  if (!area.first.isValid()) return Area::invalid();
  if (!area.second.isValid()) area.second = area.first;
  normalize(area);
  return area;
}

bool areaContains(const Area& area, CellAddress address) {
  if (!area.isValid() || !address.isValid() || address.sheet() != area.first.sheet()) return false;
  uint32_t c = address.column(), r = address.rowIndex();
  return c >= area.first.column() && c <= area.second.column() && r >= area.first.rowIndex() &&
         r <= area.second.rowIndex();
}

Area extendExtent(const Area& extent, CellAddress address) {
  CellAddress a = canonicalCorner(address);
  if (!extent.isValid()) return Area{a, a};
  uint32_t sheet = extent.first.sheet();
  return Area{CellAddress::make(sheet, std::min(extent.first.column(), a.column()),
                                std::min(extent.first.rowIndex(), a.rowIndex())),
              CellAddress::make(sheet, std::max(extent.second.column(), a.column()),
                                std::max(extent.second.rowIndex(), a.rowIndex()))};
}

AreaEntry* AreaIndex::find(const Area& area) {
  return const_cast<AreaEntry*>(std::as_const(*this).find(area));
}

const AreaEntry* AreaIndex::find(const Area& area) const {
  if (recentEntry_ && area == recentArea_) return recentEntry_;
  auto it = entries_.find(canonicalArea(area));
  if (it == entries_.end()) return nullptr;
  recentArea_ = area;
  recentEntry_ = const_cast<AreaEntry*>(&it->second);
  return recentEntry_;
}

AreaEntry*
AreaIndex::enter(const Area& input,
                 const std::function<void(const Area&, const std::function<void(Cell&)>&)>& visitCells,
                 bool* created) {
  if (created) *created = false;
  Area area = canonicalArea(input);
  if (!area.isValid() || !area.isOneSheet() || area.first.sheet() == CellAddress::kNoSheet) return nullptr;
  auto [it, inserted] = entries_.try_emplace(area);
  AreaEntry& entry = it->second;
  if (!inserted) return &entry;
  if (created) *created = true;
  entry.area = area;
  bySheet_[area.first.sheet()].push_back(&entry);
  visitCells(area, [&entry](Cell& cell) {
    if (cell.hasFormula() || cell.isArrayMember()) {
      entry.formulaExtent = extendExtent(entry.formulaExtent, cell.address());
      entry.noFormula = false;
    }
    if (holdsSomething(cell)) entry.valueExtent = extendExtent(entry.valueExtent, cell.address());
  });
  return &entry;
}

void AreaIndex::insertSheet(uint32_t from) {
  // Raising every sheet index from `from` on keeps the order of the keys, so the entries go back in
  // the order they came out.
  std::vector<decltype(entries_)::node_type> nodes;
  nodes.reserve(entries_.size());
  while (!entries_.empty())
    nodes.push_back(entries_.extract(entries_.begin()));
  for (auto& node : nodes) {
    node.key() = shiftedForInsertedSheet(node.key(), from);
    AreaEntry& entry = node.mapped();
    entry.area = shiftedForInsertedSheet(entry.area, from);
    entry.valueExtent = shiftedForInsertedSheet(entry.valueExtent, from);
    entry.formulaExtent = shiftedForInsertedSheet(entry.formulaExtent, from);
    entries_.insert(entries_.end(), std::move(node));
  }
  std::map<uint32_t, std::vector<AreaEntry*>> bySheet;
  for (auto& [sheet, list] : bySheet_)
    bySheet[sheet >= from && sheet < CellAddress::kNoSheet ? sheet + 1 : sheet] = std::move(list);
  bySheet_.swap(bySheet);
  recentEntry_ = nullptr; // remembered under the area's old numbering
}

// Extents only grow: a rectangle that is too large costs a longer walk, one that is too small loses
// values.
void AreaIndex::noteCell(const Cell& cell) {
  auto sheet = bySheet_.find(cell.address().sheet());
  if (sheet == bySheet_.end()) return;
  bool formula = cell.hasFormula() || cell.isArrayMember();
  if (!formula && !holdsSomething(cell)) return;
  for (AreaEntry* entry : sheet->second) {
    if (!areaContains(entry->area, cell.address())) continue;
    if (formula && !areaContains(entry->formulaExtent, cell.address())) {
      entry->formulaExtent = extendExtent(entry->formulaExtent, cell.address());
      entry->noFormula = false;
    }
    if (!areaContains(entry->valueExtent, cell.address()))
      entry->valueExtent = extendExtent(entry->valueExtent, cell.address());
  }
}

} // namespace cwbk
