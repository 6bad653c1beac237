// Reader of .xlsx workbooks (a zip of XML parts): sheets, shared and inline strings, values, formulas
// with shared, array and data-table forms, defined names, hyperlinks and the 1904 flag.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "compiler/formula_ast.h"
#include "compiler/source_workbook.h"

namespace cwbk::compiler {

struct XlsxReadOptions {
  // Largest inflated size of one part; a larger part is refused (against zip bombs).
  uint64_t maxPartSize = uint64_t(512) << 20;
  // Largest inflated size of all parts read together.
  uint64_t maxTotalSize = uint64_t(2) << 30;
  // Most UTF-16 code units of text (values, formulas, hyperlinks) that the cells may hold in all; a
  // shared string or shared formula is counted once per cell that uses it.
  uint64_t maxTextUnits = uint64_t(256) << 20;
};

// Returns the workbook in the .xlsx file at `path`; throws SourceError naming the file and the part
// for unreadable, unknown or corrupt input.
SourceWorkbook readXlsxFile(const std::string& path, const XlsxReadOptions& options = {});

// Returns the workbook in the .xlsx bytes `data`; `sourceName` names it in error messages.
SourceWorkbook readXlsxBuffer(std::string_view data, const std::string& sourceName = "<xlsx>",
                              const XlsxReadOptions& options = {});

// Moves the relative rows and columns of every reference in a parsed formula by (rows, columns), as a
// shared formula's master is moved to another cell of its group; '$'-anchored parts stay, whole rows
// move only their rows and whole columns only their columns, and a reference moved off the grid
// becomes #REF!.
void shiftReferences(AstNode& tree, int64_t rows, int64_t columns);
// Returns the master's formula text moved by (rows, columns), printed in canonical form; a formula
// that does not parse is returned as it is.
std::u16string shiftFormula(std::u16string_view formula, int64_t rows, int64_t columns);

} // namespace cwbk::compiler
