// AreaIndex: the areas that formulas read as ranges, with their readers and the value and formula
// extents that bound the walks over them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "values/cell_address.h"

namespace cwbk {

class Cell;

// Orders areas by their corners' words, so that an area is a map key.
struct AreaLess {
  bool operator()(const Area& a, const Area& b) const {
    if (a.first.sheetColumn != b.first.sheetColumn) return a.first.sheetColumn < b.first.sheetColumn;
    if (a.first.row != b.first.row) return a.first.row < b.first.row;
    if (a.second.sheetColumn != b.second.sheetColumn) return a.second.sheetColumn < b.second.sheetColumn;
    return a.second.row < b.second.row;
  }
};

// Returns the area with canonical corners (no bits outside the address fields), a missing second
// corner filled from the first, normalized with rows in order; invalid when the first corner is.
Area canonicalArea(const Area& area);
// Returns true when a normalized one-sheet area contains the address.
bool areaContains(const Area& area, CellAddress address);
// Returns the smallest rectangle holding the extent and the address (the address alone when the
// extent is invalid).
Area extendExtent(const Area& extent, CellAddress address);

struct AreaEntry {
  Area area;                  // normalized
  std::vector<Cell*> readers; // sorted by identity
  Area valueExtent;           // cells with a formula or a value other than Empty; invalid for none
  Area formulaExtent;         // cells with a formula or in an array formula's area; invalid for none
  bool noFormula = true;      // the area holds no formula cell
};

class AreaIndex {
public:
  // Returns the entry of an area (canonicalized), or null.
  AreaEntry* find(const Area& area);
  const AreaEntry* find(const Area& area) const;
  // Returns the entry of an area, creating it when new; visitCells walks the cells of the area so
  // that the extents are computed. Null for an invalid area or one spanning sheets.
  AreaEntry* enter(const Area& area,
                   const std::function<void(const Area&, const std::function<void(Cell&)>&)>& visitCells,
                   bool* created = nullptr);
  // Calls f (AreaEntry&) for every entry whose area contains the address.
  template <typename F> void forEachContaining(CellAddress address, F&& f) {
    auto sheet = bySheet_.find(address.sheet());
    if (sheet == bySheet_.end()) return;
    for (AreaEntry* entry : sheet->second)
      if (areaContains(entry->area, address)) f(*entry);
  }
  // Brings the extents of every entry that contains the cell up to date with its value and formula.
  void noteCell(const Cell& cell);
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  // Renumbers every entry for a sheet inserted at `from`. The entries stay where they are in memory,
  // so the cells' pointers to them remain valid.
  void insertSheet(uint32_t from);
  // Calls f (AreaEntry&) for every entry.
  template <typename F> void forEach(F&& f) {
    for (auto& [area, entry] : entries_)
      f(entry);
  }

private:
  std::map<Area, AreaEntry, AreaLess> entries_;
  // The area last found, as asked for, and its entry: a column of formulas asks for the same area
  // once per cell. Entries are never removed, so the pointer stays good.
  mutable Area recentArea_ = Area::invalid();
  mutable AreaEntry* recentEntry_ = nullptr;
  std::map<uint32_t, std::vector<AreaEntry*>> bySheet_; // entries per sheet index
};

} // namespace cwbk
