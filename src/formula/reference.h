// References: address limits, intersections, implicit intersection, the value an area yields for
// the current cell, the A1 and R1C1 texts of cells, areas and sheet names, and the sheet prefix of a
// reference text with the rule for when a sheet name needs quotes.
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
// Returns the process-wide limits (the full grid until setReducedLimits(true)).
const AddressLimits& addressLimits();
// Switches the process-wide limits to the old grid (true) or back to the full grid (false).
void setReducedLimits(bool reduced);
// Returns true when the old grid applies: a host before major version 12, or a workbook opened in
// the 97-2003 file format (file-format code 56).
bool reducedLimitsApply(int hostMajorVersion, int fileFormatCode);
// Returns true when the address is valid and its row and column lie within the current limits.
bool isWithinLimits(CellAddress address);

// normalize (first, second) and normalize (area) live with CellAddress.

// Every area operation below reads an area whose second corner is invalid (and first valid) as the
// single cell of its first corner, and compares rows by their 20-bit row index.

// The overlap of two areas on a's sheet, normalized; invalid when they do not overlap.
Area intersect(const Area& a, const Area& b);
// True when the area lies on one sheet and is a single row or a single column.
bool isLine(const Area& area);
// The cell of a line area in the current cell's row or column; invalid otherwise.
CellAddress implicitIntersection(const Area& area, CellAddress current);

// Looks up the value of an existing cell (null when the cell does not exist or has no value).
using CellValueLookup = std::function<const CalcValue*(CellAddress)>;
// Sets result to the single value that an area yields for the current cell: a copy of that cell's
// value, Empty when the cell does not exist or has no value, "#VALUE!" when the area yields no cell.
void valueForCell(const Area& area, CellAddress current, const CellValueLookup& lookup, CalcValue& result);

// A1 texts. parseArea's kind: 0 cells, 1 whole rows (3:5), 2 whole columns (B:D).
// Returns the cell of an A1 text ($B$3, b3) on the given sheet: one to three letters, then a row
// number, each optionally after one '$'. Invalid for anything else, for a column beyond the current
// limit and for row 0; a row number beyond the last row reads as the last row.
CellAddress parseCell(std::u16string_view text, uint32_t sheet);
struct ParsedArea {
  CellAddress first;
  CellAddress second;
  int kind = 0;
};
// Returns the normalized area of an A1 text: a cell (both corners that cell), cells joined by ':',
// whole columns (B:D, to the last row) or whole rows (3:5, to the last column). With several ':' the
// area spans every part, which must all be of one form. Both corners invalid (kind 0) when any part
// is not readable.
ParsedArea parseArea(std::u16string_view text, uint32_t sheet);
// Returns the cell of an absolute R1C1 text (R2C3; 'r' and 'c' accepted): both numbers present and
// within the current limits, nothing else in the text; invalid otherwise (the relative form R[1]C[1]
// included).
CellAddress parseCellR1C1(std::u16string_view text, uint32_t sheet);
// Returns the normalized area of an absolute R1C1 text (R1C1:R2C2, or one cell); both corners
// invalid when a part is not readable or there is more than one ':'.
ParsedArea parseAreaR1C1(std::u16string_view text, uint32_t sheet);
// Reads an R1C1 reference of one or two parts joined by ':' relative to the cell `base`, as INDIRECT
// takes it: each part R2C3, R[-1]C, RC, a row alone (R5: the whole row) or a column alone (C[2]: the
// whole column); "[n]" is relative to base, "n" absolute (1-based), nothing the base itself. False when
// the text is not readable or leaves the sheet; out is normalized.
bool parseRelativeR1C1(std::u16string_view text, CellAddress base, uint32_t sheet, Area& out);

// Returns the letters of a 0-based column (0 "A", 26 "AA", 16383 "XFD"); empty beyond 16383.
std::u16string columnLetters(uint32_t column);
// Returns the A1 text of an address (row number limited to the last row); the "#REF!" text for the
// invalid address.
std::u16string cellText(CellAddress address);
// Returns the A1 text with '$' before the letters and before the row number ($B$3); the "#REF!"
// text for the invalid address.
std::u16string absoluteCellText(CellAddress address);
// Returns 'name' with every apostrophe doubled.
std::u16string quotedSheetName(std::u16string_view name);
// Returns true when a sheet name must be written in apostrophes before '!' in a formula or address
// text: an empty name, a name that starts with a digit or '.', holds anything but ASCII letters,
// digits, '_' and '.' (a space, punctuation, a non-ASCII character), or would itself read as a cell in
// A1 style (B12, xfd1) or R1C1 style (R, C, RC, R2, C3, R2C3).
bool sheetNameNeedsQuotes(std::u16string_view name);

// A reference text split at its sheet prefix.
struct SheetPrefix {
  bool hasSheet = false;       // the text has a prefix ending in '!'
  bool otherWorkbook = false;  // the prefix starts with a bracketed workbook part ([1]Sheet1!A1)
  std::u16string sheet;        // the prefix without its '!', apostrophes removed and '' read as '
  std::u16string_view address; // what follows the '!' (the whole text without a prefix)
};
// Splits a reference text at its sheet prefix: a quoted name ('It''s'!A1), or everything before the
// last '!' (Sheet2!A1:B5). Returns false when a quoted name is not closed or not followed by '!', or
// a workbook part's '[' has no ']'. `out.address` points into `text`.
bool splitSheetPrefix(std::u16string_view text, SheetPrefix& out);
// Returns true when an A1 text holds only letters, digits, '$' and ':' and each of its row numbers lies
// between 1 and the last row of the current limits.
bool rowNumbersOnSheet(std::u16string_view text);

// Reference texts as formula texts print them. quotedName is the sheet's quoted name; when it is
// empty no sheet prefix is printed.
// Returns the text of an area's second corner: cellText, or the "#REF!" text when its row lies
// beyond the last row or the corner is invalid.
std::u16string secondCornerText(CellAddress corner);
// Returns quotedName "!" cellText(cell).
std::u16string referenceText(CellAddress cell, std::u16string_view quotedName);
// Returns quotedName "!" and the first corner, then ":" and secondCornerText of the second corner
// when the corners differ or bothCorners is set. An invalid first corner prints the "#REF!" text
// alone; an invalid second corner reads as the first.
std::u16string referenceText(const Area& area, std::u16string_view quotedName, bool bothCorners = false);

// Returns true for a function (named in any case) that the host must be handed by its formula text,
// never by its value: the volatile ones (INDIRECT, OFFSET, NOW, TODAY, RAND, RANDBETWEEN, CELL) and INFO.
bool isVolatileFunctionName(std::u16string_view name);

} // namespace cwbk
