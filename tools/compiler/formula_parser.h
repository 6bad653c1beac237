// The formula parser: English formula text as workbook files store it (no leading '=' needed) into a
// syntax tree, with the spreadsheet's own operator precedence and a positioned message for bad input.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/formula_ast.h"
#include "compiler/source_workbook.h"

namespace cwbk::compiler {

// The longest formula accepted, in code units (the spreadsheet's own limit).
inline constexpr size_t kMaxFormulaLength = 8192;
// The deepest nesting of parentheses, calls, array constants and prefix operators accepted.
inline constexpr int kMaxNesting = 256;

// Why a formula was rejected: what is wrong, and the 0-based code unit offset where it is.
struct ParseError {
  std::string what; // e.g. "unexpected ')'"
  uint32_t position = 0;

  // Returns the message with its position, e.g. "unexpected ')' at 7".
  std::string message() const { return what + " at " + std::to_string(position); }
};

// The outcome of a parse: the tree, or the error when ok() is false.
struct ParseResult {
  AstNode tree;
  std::optional<ParseError> error;

  bool ok() const { return !error.has_value(); }
};

// Where a formula stands: the workbook whose tables its structured references reach, its sheet, and
// its cell (none for a defined name, where a reference to the formula's own row has no meaning).
struct FormulaSite {
  const SourceWorkbook* workbook = nullptr;
  uint32_t sheet = 0;
  bool inCell = false;
  uint32_t row = 0;
  uint32_t column = 0;
};

// Parses one formula. A leading '=' is skipped. Rejected, with a clear error: 3D references
// (Sheet1:Sheet3!A1), external workbooks given by path rather than by index, the #GETTING_DATA
// literal, and structured references (Table1[Col]) unless a site with the workbook's tables is given.
// With a site, each structured reference and each bare table name reads as the plain reference it
// stands for: absolute, but for a reference to the formula's own row ([@Col]), whose row is relative.
ParseResult parseFormula(std::u16string_view text, const FormulaSite* site = nullptr);
// Returns true for the worksheet functions (by upper-case name, without prefix) that take a reference
// across a range of sheets as a whole argument: SUM, AVERAGE, COUNT, MAX, MIN, PRODUCT and their kin.
bool takesReferencesAcrossSheets(std::u16string_view function);
// Returns the references, one per sheet in the workbook's order, of a formula that is one fixed
// reference across a range of sheets (Jan:Mar!A1:B2, as a defined name may be); nothing for any other
// formula or without the site's workbook.
std::optional<std::vector<AstNode>> parseReferenceAcrossSheets(std::u16string_view text,
                                                               const FormulaSite& site);
// Parses one formula given as UTF-8; error positions are byte offsets into that text.
ParseResult parseFormulaUtf8(std::string_view text);

} // namespace cwbk::compiler
