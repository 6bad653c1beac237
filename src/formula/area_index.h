// AreaIndex: the areas that formulas read as ranges, with their readers and the value and formula
// extents that bound the walks over them.
#pragma once

#include <algorithm>
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
  Area valueExtent;           // cells with a formula, in an array formula or with a value other than
                              // Empty; invalid for none
  Area formulaExtent;         // cells with a formula or in an array formula's area; invalid for none
  bool noFormula = true;      // the area holds no formula cell
};

// The entries of one sheet, arranged so that finding those that contain a cell does not test them all.
// An area a few columns wide is listed under each of its columns, sorted by first row, the short ones
// apart from the tall ones: a search looks back from the cell's row only as far as the tallest short
// area reaches, and tests the tall ones of the column one by one. Wider areas are tested one by one.
class SheetAreas {
public:
  void add(AreaEntry* entry);
  // Calls f (AreaEntry&) for every entry that contains the cell at column, row (on this sheet).
  template <typename F> void forEachContaining(uint32_t column, uint32_t row, F&& f) const {
    if (empty_ || column < firstColumn_ || column > lastColumn_ || row < firstRow_ || row > lastRow_) return;
    auto it = std::lower_bound(columns_.begin(), columns_.end(), column,
                               [](const Column& c, uint32_t k) { return c.column < k; });
    if (it != columns_.end() && it->column == column) {
      const std::vector<AreaEntry*>& list = it->shortEntries;
      auto end = std::upper_bound(list.begin(), list.end(), row, [](uint32_t r, const AreaEntry* e) {
        return r < e->area.first.rowIndex();
      });
      while (end != list.begin()) {
        AreaEntry* entry = *--end;
        if (entry->area.first.rowIndex() + it->shortHeight <= row) break;
        if (entry->area.second.rowIndex() >= row) f(*entry);
      }
      for (AreaEntry* entry : it->tallEntries)
        if (entry->area.first.rowIndex() <= row && entry->area.second.rowIndex() >= row) f(*entry);
    }
    for (AreaEntry* entry : wide_)
      if (column >= entry->area.first.column() && column <= entry->area.second.column() &&
          row >= entry->area.first.rowIndex() && row <= entry->area.second.rowIndex())
        f(*entry);
  }

private:
  static constexpr uint32_t kNarrowColumns = 8; // wider areas are tested one by one
  static constexpr uint32_t kShortRows = 64;    // taller areas are tested one by one
  struct Column {
    uint32_t column = 0;
    uint32_t shortHeight = 0;             // rows of the tallest short entry
    std::vector<AreaEntry*> shortEntries; // sorted by first row
    std::vector<AreaEntry*> tallEntries;
  };
  // The rectangle holding every entry of the sheet.
  bool empty_ = true;
  uint32_t firstColumn_ = 0, lastColumn_ = 0, firstRow_ = 0, lastRow_ = 0;
  std::vector<Column> columns_; // sorted by column
  std::vector<AreaEntry*> wide_;
};

class AreaIndex {
public:
  // Returns the entry of an area (canonicalized), or null.
  AreaEntry* find(const Area& area);
  const AreaEntry* find(const Area& area) const;
  // Returns the entry of an area, creating it when new; visitCells walks cells of the area so that
  // the extents are computed (only the part outside a smaller entry it grows from). A cell it walks
  // loses CellOutsideAreas. Null for an invalid area or one spanning sheets.
  AreaEntry* enter(const Area& area,
                   const std::function<void(const Area&, const std::function<void(Cell&)>&)>& visitCells);
  // Calls f (AreaEntry&) for every entry whose area contains the address.
  template <typename F> void forEachContaining(CellAddress address, F&& f) {
    if (!address.isValid()) return;
    auto sheet = bySheet_.find(address.sheet());
    if (sheet == bySheet_.end()) return;
    sheet->second.forEachContaining(address.column(), address.rowIndex(), f);
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
  std::map<uint32_t, SheetAreas> bySheet_; // entries per sheet index
};

} // namespace cwbk
