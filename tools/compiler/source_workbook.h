// SourceWorkbook: the plain in-memory description of a workbook as its source file states it (sheets,
// cells with formula text and values, array formulas, data tables, defined names), before compiling.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/utf8.h"
#include "values/calc_error.h"

namespace cwbk::compiler {

// The failure of reading a source workbook; the message names the file and, where known, the line,
// part or cell.
class SourceError : public std::runtime_error {
public:
  explicit SourceError(const std::string& message) : std::runtime_error(message) {}
};

// Limits of the grid: 1048576 rows and 16384 columns (0-based indexes below these).
inline constexpr uint32_t kMaxRows = 1048576;
inline constexpr uint32_t kMaxColumns = 16384;

// A value stated in the source: a constant cell's value or a formula cell's cached result.
struct SourceValue {
  enum Kind { None, Number, Text, Boolean, Error };
  Kind kind = None;
  double number = 0;
  bool boolean = false;
  CalcError error = ErrNA;
  // The text of a Text value; for an Error, the error text as the source wrote it (an error the
  // runtime does not know, such as "#SPILL!", keeps its text and reads as #N/A in `error`).
  std::u16string text;

  static SourceValue ofNumber(double x);
  static SourceValue ofText(std::u16string t);
  static SourceValue ofBoolean(bool b);
  static SourceValue ofError(CalcError e);
  bool isNone() const { return kind == None; }
  friend bool operator==(const SourceValue&, const SourceValue&) = default;
};

// A rectangle of cells on one sheet, 0-based and inclusive, top-left first.
struct SourceRange {
  uint32_t firstRow = 0;
  uint32_t firstColumn = 0;
  uint32_t lastRow = 0;
  uint32_t lastColumn = 0;

  bool contains(uint32_t row, uint32_t column) const {
    return row >= firstRow && row <= lastRow && column >= firstColumn && column <= lastColumn;
  }
  uint64_t cellCount() const { return uint64_t(lastRow - firstRow + 1) * (lastColumn - firstColumn + 1); }
  friend bool operator==(const SourceRange&, const SourceRange&) = default;
};

enum class SheetKind { Worksheet, MacroSheet, ChartSheet, DialogSheet };

struct SourceSheet {
  std::u16string name;
  std::u16string codeName; // empty when the source states none
  SheetKind kind = SheetKind::Worksheet;
};

// How a cell got its content.
enum class CellKind {
  Constant,      // a value or nothing, no formula
  Formula,       // an ordinary formula
  SharedFormula, // one cell of a shared formula group; `formula` is already shifted for this cell
  ArrayFormula,  // a cell of an array formula over `range`; only the master holds the formula text
  DataTable,     // a result cell of the data table `dataTable`, whose area is `range`
};

// Cell flags of the compiled workbook that a source can state.
inline constexpr uint32_t kFlagVolatile = 0x4;
inline constexpr uint32_t kFlagStored = 0x8;
inline constexpr uint32_t kFlagHostComputed = 0x10;
inline constexpr uint32_t kFlagDynamicReferences = 0x20;
// A data cell: one whose value a user data file carries.
inline constexpr uint32_t kFlagDataCell = 0x80;
inline constexpr uint32_t kFlagArrayFormula = 0x200;
inline constexpr uint32_t kFlagArrayMaster = 0x800;
inline constexpr uint32_t kFlagSubtotal = 0x1000;

struct SourceCell {
  uint32_t sheet = 0;
  uint32_t row = 0;    // 0-based
  uint32_t column = 0; // 0-based
  CellKind kind = CellKind::Constant;
  SourceValue value;        // the constant value of a Constant cell; None for every other kind
  std::u16string formula;   // formula text without the leading '='; empty for constants and members
  SourceValue cached;       // the result the source stored for a formula, array or table cell
  SourceRange range;        // the array formula's or data table's area (ArrayFormula, DataTable)
  bool master = false;      // the top-left cell of an array formula or data table
  int32_t sharedGroup = -1; // the source's shared-formula group (SharedFormula)
  int32_t dataTable = -1;   // index into SourceWorkbook::dataTables (DataTable)
  uint32_t flags = 0;       // flags the source states (kFlagVolatile, kFlagHostComputed, ...)
  std::u16string hyperlink; // "http://...", "mailto:...", "#Sheet!A1" or another target; may be empty
  bool unlocked = false;    // the cell's format turns its protection off (the sheet's input cells)
  uint32_t format = 0;      // the cell's format: an index into SourceWorkbook::cellFormats
};

// A data table (what-if table): its result area and input cells, as reference texts on its sheet.
struct SourceDataTable {
  uint32_t sheet = 0;
  SourceRange range;
  bool twoDimensional = false;
  std::u16string rowInputCell;    // e.g. u"A1"; "#REF!" when the input cell was deleted; empty if none
  std::u16string columnInputCell; // likewise
};

// A table (a list object): its area on its sheet with the header and totals rows, and its columns' names
// left to right. Formulas reach it by `name` in structured references, Table1[Amount].
struct SourceTable {
  std::u16string name;
  uint32_t sheet = 0;
  SourceRange range;
  uint32_t headerRows = 1; // 0 or 1
  uint32_t totalsRows = 0; // 0 or 1
  std::vector<std::u16string> columns;
};

struct SourceName {
  std::u16string name;
  int32_t scope = -1;     // -1: the whole workbook; otherwise the sheet index
  std::u16string formula; // without a leading '='
  bool hidden = false;
};

struct SourceWorkbook {
  std::vector<SourceSheet> sheets;
  std::vector<SourceCell> cells; // sorted by (sheet, row, column), one per position
  std::vector<SourceName> names;
  std::vector<SourceDataTable> dataTables;
  std::vector<SourceTable> tables;
  // Paths of the other workbooks that formulas reach as [1], [2], ... (entry i is [i + 1]); an entry
  // is empty when the source does not say where the workbook lies.
  std::vector<std::u16string> externalLinks;
  bool date1904 = false;
  // The number format code of each cell format (by index, as cells name them); empty when the
  // source states no formats, and every cell shows as "General".
  std::vector<std::u16string> cellFormats;
  // What the reader stepped over in a file it could read (a sheet without a part), each one line that
  // names the file; the tool prints them on stderr.
  std::vector<std::string> warnings;

  // Returns the index of the sheet whose name equals `name` without regard to ASCII case, or -1.
  int32_t findSheet(std::u16string_view name) const;
  // Returns the table whose name equals `name` without regard to ASCII case, or null.
  const SourceTable* findTable(std::u16string_view name) const;
  // Returns the first table whose area holds (sheet, row, column), or null.
  const SourceTable* tableAt(uint32_t sheet, uint32_t row, uint32_t column) const;
  // Returns the cell at (sheet, row, column), or null.
  const SourceCell* findCell(uint32_t sheet, uint32_t row, uint32_t column) const;
  SourceCell* findCell(uint32_t sheet, uint32_t row, uint32_t column);
  // Returns the number format code of the cell at (sheet, row, column): its format's, or "General".
  std::u16string_view numberFormat(uint32_t sheet, uint32_t row, uint32_t column) const;
  // Returns the number of cells that carry formula text.
  size_t formulaCount() const;
};

// Returns the cell flags of the compiled workbook for a cell: the stated flags (but the data-cell mark,
// which the compiler weighs against the other cells) plus 0x200 for an array formula cell, 0x800 for
// its master and for every data table cell.
uint32_t compiledFlags(const SourceCell& cell);

// Sorts the cells, rejects two cells at one position, and gives every position inside an array formula
// or data table a member cell (creating empty ones); `context` prefixes error messages. Both readers
// finish with this.
void finishWorkbook(SourceWorkbook& workbook, const std::string& context);

// Reads a workbook file, choosing the reader by content: a zip archive is read as .xlsx, an OLE2
// compound file is refused with what it holds (a binary .xls, an encrypted workbook), anything else is
// read as the plain-text workbook format. Native builds only (workbook_files.cpp, with the .xlsx reader).
SourceWorkbook readSourceWorkbook(const std::string& path);

// Text helpers shared by the readers (the UTF-8 conversions are the platform's, platform/utf8.h).
// Returns the A1 name of a 0-based column and row, e.g. "AB12".
std::string cellName(uint32_t row, uint32_t column);
// Returns true when two names (of sheets, tables, streams) are equal without regard to ASCII case.
bool sameName(std::u16string_view a, std::u16string_view b);
// Returns the error whose English text is `text` ("#N/A", "#DIV/0!", ...), or nothing.
std::optional<CalcError> errorFromEnglishText(std::u16string_view text);

} // namespace cwbk::compiler
