// References: address limits, intersections, implicit intersection, the value an area yields for
// the current cell, and the A1 and R1C1 texts of cells, areas and sheet names.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "values/calc_value.h"
#include "values/cell_address.h"

namespace cwbk {

// The last row and column index; reduced for the old 65536 x 256 grid.
struct AddressLimits {
  uint32_t lastRow = 0xFFFFF;
  uint32_t lastColumn = 0x3FFF;
};
const AddressLimits& addressLimits();
void setReducedLimits(bool reduced);

// normalize (first, second) and normalize (area) live with CellAddress.

// The overlap of two areas on a's sheet, normalized; invalid when they do not overlap.
Area intersect(const Area& a, const Area& b);
// True when the area lies on one sheet and is a single row or a single column.
bool isLine(const Area& area);
// The cell of a line area in the current cell's row or column; invalid otherwise.
CellAddress implicitIntersection(const Area& area, CellAddress current);

// Looks up the value of an existing cell (null when the cell does not exist or has no value).
using CellValueLookup = std::function<const CalcValue*(CellAddress)>;
// The single value that an area yields for the current cell ("#VALUE!" when none).
void valueForCell(const Area& area, CellAddress current, const CellValueLookup& lookup, CalcValue& result);

// A1 texts. parseArea's kind: 0 cells, 1 whole rows (3:5), 2 whole columns (B:D).
CellAddress parseCell(std::u16string_view text, uint32_t sheet);
struct ParsedArea {
  CellAddress first;
  CellAddress second;
  int kind = 0;
};
ParsedArea parseArea(std::u16string_view text, uint32_t sheet);
// Absolute R1C1 texts (R2C3, R1C1:R2C2).
CellAddress parseCellR1C1(std::u16string_view text, uint32_t sheet);
ParsedArea parseAreaR1C1(std::u16string_view text, uint32_t sheet);

std::u16string columnLetters(uint32_t column);
std::u16string cellText(CellAddress address);
std::u16string absoluteCellText(CellAddress address);
// 'name' with every apostrophe doubled.
std::u16string quotedSheetName(std::u16string_view name);

// INDIRECT, OFFSET, NOW, TODAY, RAND, RANDBETWEEN, CELL, INFO (any case).
bool isVolatileFunctionName(std::u16string_view name);

} // namespace cwbk
