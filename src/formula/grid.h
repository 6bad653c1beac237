// Grid: the sparse cell grid of the workbook model. Sheets hold a dense vector of columns that grows to
// either side; columns hold row blocks of 65536 rows, each with the span of rows that have slots.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "values/cell_address.h"

namespace cwbk {

class Cell;

// The rows [baseRow, baseRow + 65535] of one column. The span (lowRow..highRow, -1/-1 for none) is
// set once from the grid layout or grows when a cell is created outside it. Slots are kept in pages
// of 256 rows that exist only where cells do, so a wide span costs nothing until cells arrive.
class RowBlock {
public:
  static constexpr uint32_t kRows = 65536;
  static constexpr uint32_t kPageRows = 256;

  explicit RowBlock(uint32_t baseRow) : baseRow_(baseRow) {}
  uint32_t baseRow() const { return baseRow_; }
  int32_t lowRow() const { return lowRow_; }
  int32_t highRow() const { return highRow_; }
  bool hasSpan() const { return lowRow_ >= 0; }

  // Returns the cell in a row of the block, or null (outside the span, or an empty slot).
  Cell* cellAt(uint32_t row) const {
    if (!hasSpan() || static_cast<int32_t>(row) < lowRow_ || static_cast<int32_t>(row) > highRow_)
      return nullptr;
    uint32_t offset = row - baseRow_;
    uint32_t page = offset / kPageRows;
    return page < pages_.size() && pages_[page] ? pages_[page][offset % kPageRows] : nullptr;
  }

  // Calls f (Cell&) for every cell of the rows [r1, r2], in row order.
  template <typename F> void forEachCell(uint32_t r1, uint32_t r2, F&& f) const {
    if (!hasSpan()) return;
    uint32_t low = std::max<uint32_t>(r1, static_cast<uint32_t>(lowRow_));
    uint32_t high = std::min<uint32_t>(r2, static_cast<uint32_t>(highRow_));
    for (uint32_t row = low; row <= high;) {
      uint32_t offset = row - baseRow_;
      uint32_t page = offset / kPageRows;
      uint32_t pageEnd = baseRow_ + (page + 1) * kPageRows - 1;
      if (page >= pages_.size()) return;
      if (const auto& slots = pages_[page]) {
        for (uint32_t r = row; r <= std::min(high, pageEnd); ++r)
          if (Cell* cell = slots[(r - baseRow_) % kPageRows]) f(*cell);
      }
      if (pageEnd >= high) return;
      row = pageEnd + 1;
    }
  }

private:
  friend class Grid;
  uint32_t baseRow_;
  int32_t lowRow_ = -1;
  int32_t highRow_ = -1;
  std::vector<std::unique_ptr<Cell*[]>> pages_;
};

// The grid: sheets by index, their columns and row blocks. It owns the cells it holds.
class Grid {
public:
  // Most bytes the grid's index (column vectors, blocks and slot pages) may take; past it no new
  // structure is built, so that hostile layouts and references cannot exhaust memory.
  static constexpr size_t kIndexByteLimit = size_t(256) << 20;

  Grid() = default;
  // Destroys every cell of the grid.
  ~Grid();
  Grid(const Grid&) = delete;
  Grid& operator=(const Grid&) = delete;

  // Returns the number of sheet slots; a sheet index at or beyond it has no cells.
  size_t sheetCount() const { return sheets_.size(); }
  // Makes room for a sheet at an index: the sheets from there on move one index up. The cells keep
  // their addresses; the caller renumbers them.
  void insertSheet(uint32_t index) {
    if (index < sheets_.size()) sheets_.insert(sheets_.begin() + index, nullptr);
  }
  // Returns the cell at an address, or null.
  Cell* find(CellAddress address) const;
  // Returns the row block of a sheet's column that holds the row, or null; a search down a column
  // reads its cells from the block.
  const RowBlock* blockAt(uint32_t sheet, uint32_t column, uint32_t row) const;
  // Returns the slot of an address, building the sheet, column, block and page as needed and growing
  // the block's span to include the row; null when the address names no sheet or the index is full.
  Cell** slotFor(CellAddress address);
  // Gives the block that holds firstRow the span firstRow..lastRow (cut to the block), unless it has
  // one already. Returns false when the record names no sheet or column, or the index is full.
  bool setSpan(uint32_t sheet, uint32_t column, uint32_t firstRow, uint32_t lastRow);

  // Calls f (Cell&) for every cell of the rectangle on one sheet, column by column, rows ascending.
  template <typename F>
  void forEachCellIn(uint32_t sheet, uint32_t c1, uint32_t c2, uint32_t r1, uint32_t r2, F&& f) const {
    if (sheet >= sheets_.size() || !sheets_[sheet]) return;
    const Sheet& s = *sheets_[sheet];
    if (s.columns.empty()) return;
    uint32_t lastColumn = s.firstColumn + static_cast<uint32_t>(s.columns.size()) - 1;
    uint32_t from = std::max(c1, s.firstColumn), to = std::min(c2, lastColumn);
    for (uint32_t c = from; c <= to && c >= from; ++c) {
      const Column* column = s.columns[c - s.firstColumn].get();
      if (!column) continue;
      for (uint32_t k = r1 / RowBlock::kRows; k <= r2 / RowBlock::kRows && k < column->blocks.size(); ++k)
        if (const RowBlock* block = column->blocks[k].get()) block->forEachCell(r1, r2, f);
    }
  }
  // Calls f (Cell&) for every cell, in the order of sheet, column and row.
  template <typename F> void forEachCell(F&& f) const {
    for (uint32_t sheet = 0; sheet < sheets_.size(); ++sheet)
      forEachCellIn(sheet, 0, CellAddress::kColumnMask, 0, CellAddress::kRowMask, f);
  }
  // Calls f (sheet, column, lowRow, highRow) for every block that has a span, in grid order.
  template <typename F> void forEachSpan(F&& f) const {
    for (uint32_t sheet = 0; sheet < sheets_.size(); ++sheet) {
      if (!sheets_[sheet]) continue;
      const Sheet& s = *sheets_[sheet];
      for (size_t i = 0; i < s.columns.size(); ++i) {
        if (!s.columns[i]) continue;
        for (const auto& block : s.columns[i]->blocks)
          if (block && block->hasSpan())
            f(sheet, s.firstColumn + static_cast<uint32_t>(i), static_cast<uint32_t>(block->lowRow_),
              static_cast<uint32_t>(block->highRow_));
      }
    }
  }

  // Returns the largest column and row that any cell of the sheet has; false when it has none.
  bool sheetExtent(uint32_t sheet, uint32_t& lastColumn, uint32_t& lastRow) const {
    if (sheet >= sheets_.size() || !sheets_[sheet] || !sheets_[sheet]->hasCells) return false;
    lastColumn = sheets_[sheet]->lastCellColumn;
    lastRow = sheets_[sheet]->lastCellRow;
    return true;
  }

  // Returns the bytes the index takes so far.
  size_t indexBytes() const { return indexBytes_; }

private:
  struct Column {
    std::vector<std::unique_ptr<RowBlock>> blocks; // block k covers rows 65536k .. 65536k + 65535
  };
  struct Sheet {
    uint32_t firstColumn = 0;
    std::vector<std::unique_ptr<Column>> columns; // columns [firstColumn, firstColumn + size)
    // The largest column and row that a cell slot was handed out for (cells are never removed).
    uint32_t lastCellColumn = 0;
    uint32_t lastCellRow = 0;
    bool hasCells = false;
  };

  // Returns true and counts the bytes when the index may grow by them.
  bool reserve(size_t bytes);
  // Returns the block that holds the row, building what is missing; null when it cannot.
  RowBlock* blockFor(uint32_t sheet, uint32_t column, uint32_t row);

  std::vector<std::unique_ptr<Sheet>> sheets_;
  size_t indexBytes_ = 0;
};

} // namespace cwbk
