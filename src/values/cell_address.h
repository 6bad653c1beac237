// CellAddress: a cell as two 32-bit words (row; sheet and column), and the Area of two corners.
#pragma once

#include <cstdint>

namespace cwbk {

struct CellAddress {
  static constexpr uint32_t kRowMask = 0xFFFFF;
  static constexpr uint32_t kColumnMask = 0x3FFF;
  static constexpr uint32_t kNoSheet = 0xFFFE;

  uint32_t row = 0xFFFFFFFF;         // low 20 bits: 0-based row; high bits are not part of the address
  uint32_t sheetColumn = 0xFFFFFFFF; // high 16 bits: sheet index; low 14 bits: 0-based column

  // Returns the invalid address (both words all ones).
  static constexpr CellAddress invalid() { return CellAddress{}; }
  // Returns the address of (sheet, column, row), each taken modulo its field width.
  static constexpr CellAddress make(uint32_t sheet, uint32_t column, uint32_t row) {
    return CellAddress{row & kRowMask, ((sheet & 0xFFFF) << 16) | (column & kColumnMask)};
  }

  constexpr bool isValid() const { return row != 0xFFFFFFFF || sheetColumn != 0xFFFFFFFF; }
  constexpr uint32_t rowIndex() const { return row & kRowMask; }
  constexpr uint32_t column() const { return sheetColumn & kColumnMask; }
  // Sheet index; 0xFFFF reads as 0xFFFE, which names no sheet.
  constexpr uint32_t sheet() const {
    uint32_t s = sheetColumn >> 16;
    return s == 0xFFFF ? kNoSheet : s;
  }

  friend constexpr bool operator==(const CellAddress&, const CellAddress&) = default;
};

// Orders addresses by (sheetColumn, row): sheet, then column, then row.
constexpr bool operator<(const CellAddress& a, const CellAddress& b) {
  return a.sheetColumn != b.sheetColumn ? a.sheetColumn < b.sheetColumn : a.row < b.row;
}

// An area: first corner and second corner; normalized areas have the top-left cell first.
struct Area {
  CellAddress first;
  CellAddress second;

  static constexpr Area invalid() { return Area{}; }
  constexpr bool isValid() const { return first.isValid() && second.isValid(); }
  constexpr bool isOneSheet() const { return first.sheet() == second.sheet(); }
  friend constexpr bool operator==(const Area&, const Area&) = default;
};

// Normalizes an area in place so that the top-left cell comes first; nothing happens when either
// corner is invalid. Corners are ordered by their sheet-and-column word (as signed), then by row index;
// if the rows are still out of order, only the rows are exchanged.
constexpr void normalize(CellAddress& first, CellAddress& second) {
  if (!first.isValid() || !second.isValid()) return;
  if (static_cast<int32_t>(second.sheetColumn) < static_cast<int32_t>(first.sheetColumn) ||
      (second.sheetColumn == first.sheetColumn && second.rowIndex() < first.rowIndex())) {
    CellAddress t = first;
    first = second;
    second = t;
  }
  if (second.rowIndex() < first.rowIndex()) {
    uint32_t r = first.row;
    first.row = second.row;
    second.row = r;
    first.sheetColumn = (first.sheet() << 16) | first.column();
    second.sheetColumn = (second.sheet() << 16) | second.column();
  }
}
constexpr void normalize(Area& area) {
  normalize(area.first, area.second);
}

// Returns the address with its sheet index raised by one when it names a sheet at or after `from`: the
// address as it reads after a sheet was inserted at `from`. Other addresses come back unchanged.
constexpr CellAddress shiftedForInsertedSheet(CellAddress address, uint32_t from) {
  const uint32_t sheet = address.sheetColumn >> 16;
  if (!address.isValid() || sheet < from || sheet >= CellAddress::kNoSheet) return address;
  address.sheetColumn += 0x10000;
  return address;
}
constexpr Area shiftedForInsertedSheet(const Area& area, uint32_t from) {
  return Area{shiftedForInsertedSheet(area.first, from), shiftedForInsertedSheet(area.second, from)};
}

} // namespace cwbk
