// Grid: building sheets, columns, row blocks and slot pages on demand within the index budget.
#include "formula/grid.h"

#include "formula/cell.h"

namespace cwbk {

Grid::~Grid() {
  std::vector<Cell*> cells;
  forEachCell([&](Cell& cell) { cells.push_back(&cell); });
  for (Cell* cell : cells)
    delete cell;
}

bool Grid::reserve(size_t bytes) {
  if (bytes > kIndexByteLimit - indexBytes_) return false;
  indexBytes_ += bytes;
  return true;
}

Cell* Grid::find(CellAddress address) const {
  if (!address.isValid()) return nullptr;
  const RowBlock* block = blockAt(address.sheet(), address.column(), address.rowIndex());
  return block ? block->cellAt(address.rowIndex()) : nullptr;
}

const RowBlock* Grid::blockAt(uint32_t sheet, uint32_t column, uint32_t row) const {
  if (sheet >= sheets_.size() || !sheets_[sheet]) return nullptr;
  const Sheet& s = *sheets_[sheet];
  if (column < s.firstColumn || column - s.firstColumn >= s.columns.size()) return nullptr;
  const Column* c = s.columns[column - s.firstColumn].get();
  if (!c) return nullptr;
  uint32_t k = row / RowBlock::kRows;
  return k < c->blocks.size() ? c->blocks[k].get() : nullptr;
}

RowBlock* Grid::blockFor(uint32_t sheet, uint32_t column, uint32_t row) {
  if (sheet >= CellAddress::kNoSheet || column > CellAddress::kColumnMask || row > CellAddress::kRowMask)
    return nullptr;
  if (sheet >= sheets_.size()) {
    if (!reserve((sheet + 1 - sheets_.size()) * sizeof(void*))) return nullptr;
    sheets_.resize(sheet + 1);
  }
  if (!sheets_[sheet]) {
    if (!reserve(sizeof(Sheet))) return nullptr;
    sheets_[sheet] = std::make_unique<Sheet>();
  }
  Sheet& s = *sheets_[sheet];
  // The column vector grows to whichever side the column lies, keeping existing columns.
  if (s.columns.empty()) {
    if (!reserve(sizeof(void*))) return nullptr;
    s.firstColumn = column;
    s.columns.resize(1);
  } else if (column < s.firstColumn) {
    size_t extra = s.firstColumn - column;
    if (!reserve(extra * sizeof(void*))) return nullptr;
    std::vector<std::unique_ptr<Column>> grown(extra + s.columns.size());
    std::move(s.columns.begin(), s.columns.end(), grown.begin() + static_cast<std::ptrdiff_t>(extra));
    s.columns.swap(grown);
    s.firstColumn = column;
  } else if (column - s.firstColumn >= s.columns.size()) {
    size_t size = column - s.firstColumn + 1;
    if (!reserve((size - s.columns.size()) * sizeof(void*))) return nullptr;
    s.columns.resize(size);
  }
  auto& c = s.columns[column - s.firstColumn];
  if (!c) {
    if (!reserve(sizeof(Column))) return nullptr;
    c = std::make_unique<Column>();
  }
  uint32_t k = row / RowBlock::kRows;
  if (k >= c->blocks.size()) {
    if (!reserve((k + 1 - c->blocks.size()) * sizeof(void*))) return nullptr;
    c->blocks.resize(k + 1);
  }
  auto& block = c->blocks[k];
  if (!block) {
    if (!reserve(sizeof(RowBlock))) return nullptr;
    block = std::make_unique<RowBlock>(k * RowBlock::kRows);
  }
  return block.get();
}

Cell** Grid::slotFor(CellAddress address) {
  if (!address.isValid()) return nullptr;
  uint32_t row = address.rowIndex();
  RowBlock* block = blockFor(address.sheet(), address.column(), row);
  if (!block) return nullptr;
  uint32_t offset = row - block->baseRow_;
  uint32_t page = offset / RowBlock::kPageRows;
  if (page >= block->pages_.size()) {
    if (!reserve((page + 1 - block->pages_.size()) * sizeof(void*))) return nullptr;
    block->pages_.resize(page + 1);
  }
  auto& slots = block->pages_[page];
  if (!slots) {
    if (!reserve(RowBlock::kPageRows * sizeof(Cell*))) return nullptr;
    slots.reset(new Cell*[RowBlock::kPageRows]());
  }
  Sheet& sheet = *sheets_[address.sheet()];
  sheet.lastCellColumn = sheet.hasCells ? std::max(sheet.lastCellColumn, address.column()) : address.column();
  sheet.lastCellRow = sheet.hasCells ? std::max(sheet.lastCellRow, row) : row;
  sheet.hasCells = true;
  // A row outside the span extends it; existing slots keep their rows.
  auto r = static_cast<int32_t>(row);
  if (!block->hasSpan()) {
    block->lowRow_ = block->highRow_ = r;
  } else {
    block->lowRow_ = std::min(block->lowRow_, r);
    block->highRow_ = std::max(block->highRow_, r);
  }
  return &slots[offset % RowBlock::kPageRows];
}

bool Grid::setSpan(uint32_t sheet, uint32_t column, uint32_t firstRow, uint32_t lastRow) {
  if (firstRow > CellAddress::kRowMask || lastRow < firstRow) return false;
  RowBlock* block = blockFor(sheet, column, firstRow);
  if (!block) return false;
  if (block->hasSpan()) return true;
  uint32_t blockEnd = block->baseRow_ + RowBlock::kRows - 1;
  block->lowRow_ = static_cast<int32_t>(firstRow);
  block->highRow_ = static_cast<int32_t>(std::min(lastRow, blockEnd));
  return true;
}

} // namespace cwbk
