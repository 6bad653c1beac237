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

// Returns true when the cell counts for the value extent. A member of an array formula counts before
// it holds its element: the members below the master have no value until the first calculation.
bool holdsSomething(const Cell& cell) {
  return cell.hasFormula() || cell.isArrayMember() || (cell.value() && !cell.value()->isEmpty());
}

// Returns the part of `area` outside `smaller`, when `smaller` has the same first corner and either
// the same columns and fewer rows, or the same rows and fewer columns; otherwise the invalid area.
Area grownPart(const Area& area, const Area& smaller) {
  if (smaller.first != area.first) return Area::invalid();
  uint32_t sheet = area.first.sheet();
  if (smaller.second.column() == area.second.column() && smaller.second.rowIndex() < area.second.rowIndex())
    return Area{CellAddress::make(sheet, area.first.column(), smaller.second.rowIndex() + 1), area.second};
  if (smaller.second.rowIndex() == area.second.rowIndex() && smaller.second.column() < area.second.column())
    return Area{CellAddress::make(sheet, smaller.second.column() + 1, area.first.rowIndex()), area.second};
  return Area::invalid();
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

void SheetAreas::add(AreaEntry* entry) {
  const Area& area = entry->area;
  uint32_t c0 = area.first.column(), c1 = area.second.column();
  uint32_t r0 = area.first.rowIndex(), r1 = area.second.rowIndex();
  if (empty_) {
    empty_ = false;
    firstColumn_ = c0, lastColumn_ = c1, firstRow_ = r0, lastRow_ = r1;
  } else {
    firstColumn_ = std::min(firstColumn_, c0), lastColumn_ = std::max(lastColumn_, c1);
    firstRow_ = std::min(firstRow_, r0), lastRow_ = std::max(lastRow_, r1);
  }
  if (c1 - c0 >= kNarrowColumns) {
    wide_.push_back(entry);
    return;
  }
  uint32_t rows = r1 - r0 + 1;
  for (uint32_t c = c0; c <= c1; ++c) {
    auto it = std::lower_bound(columns_.begin(), columns_.end(), c,
                               [](const Column& k, uint32_t v) { return k.column < v; });
    if (it == columns_.end() || it->column != c) {
      it = columns_.insert(it, Column{});
      it->column = c;
    }
    if (rows > kShortRows) {
      it->tallEntries.push_back(entry);
      continue;
    }
    it->shortHeight = std::max(it->shortHeight, rows);
    auto at = std::upper_bound(it->shortEntries.begin(), it->shortEntries.end(), r0,
                               [](uint32_t r, const AreaEntry* e) { return r < e->area.first.rowIndex(); });
    it->shortEntries.insert(at, entry);
  }
}

AreaEntry*
AreaIndex::enter(const Area& input,
                 const std::function<void(const Area&, const std::function<void(Cell&)>&)>& visitCells) {
  Area area = canonicalArea(input);
  if (!area.isValid() || !area.isOneSheet() || area.first.sheet() == CellAddress::kNoSheet) return nullptr;
  auto [it, inserted] = entries_.try_emplace(area);
  AreaEntry& entry = it->second;
  if (!inserted) return &entry;
  entry.area = area;
  bySheet_[area.first.sheet()].add(&entry);
  // A range that grows from one already entered (SUM($A$1:A10) after SUM($A$1:A9)) starts from that
  // one's extents, which are kept up to date, and walks only the cells it adds. Those are also the
  // only cells that can be marked as outside every area: the smaller one's cells lie in an area.
  Area walk = area;
  const AreaEntry* smaller = nullptr;
  if (it != entries_.begin()) {
    const AreaEntry& before = std::prev(it)->second;
    if (grownPart(area, before.area).isValid()) smaller = &before;
  }
  if (!smaller && area.second.column() > area.first.column()) {
    Area narrower{area.first,
                  CellAddress::make(area.first.sheet(), area.second.column() - 1, area.second.rowIndex())};
    auto n = entries_.find(narrower);
    if (n != entries_.end()) smaller = &n->second;
  }
  if (smaller) {
    walk = grownPart(area, smaller->area);
    entry.valueExtent = smaller->valueExtent;
    entry.formulaExtent = smaller->formulaExtent;
    entry.noFormula = smaller->noFormula;
  }
  visitCells(walk, [&entry](Cell& cell) {
    cell.clearFlags(CellOutsideAreas);
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
  std::map<uint32_t, SheetAreas> bySheet;
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
  sheet->second.forEachContaining(cell.address().column(), cell.address().rowIndex(), [&](AreaEntry& entry) {
    if (formula && !areaContains(entry.formulaExtent, cell.address())) {
      entry.formulaExtent = extendExtent(entry.formulaExtent, cell.address());
      entry.noFormula = false;
    }
    if (!areaContains(entry.valueExtent, cell.address()))
      entry.valueExtent = extendExtent(entry.valueExtent, cell.address());
  });
}

} // namespace cwbk
