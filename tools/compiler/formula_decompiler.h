// Reading compiled formulas back: a cell's template with its operands, a defined name's tree, or any
// node tree of the model, as a syntax tree and as formula text.
#pragma once

#include <string>

#include "compiler/formula_ast.h"

namespace cwbk {
class Cell;
class CompiledWorkbook;
class FormulaNode;
} // namespace cwbk

namespace cwbk::compiler {

// Returns the syntax tree of a node tree; operand references are resolved through `cell` (may be null),
// name, template and shared-expression references through the workbook. References carry their sheet
// and no '$' (the model keeps none); a name of the cell's own sheet is written without its sheet.
// Bounded: a tree nested too deeply ends in #REF!.
AstNode decompileNode(const CompiledWorkbook& workbook, FormulaNode& node, const Cell* cell);

// Returns the syntax tree of a cell's formula (its template with its operands); a Missing node when
// the cell has no template.
AstNode decompileCell(const CompiledWorkbook& workbook, const Cell& cell);

// Returns the formula text of a cell's formula without '=', empty when the cell has no template.
std::string cellFormulaText(const CompiledWorkbook& workbook, const Cell& cell);

// Returns the tree with every reference given an explicit sheet (the formula's own sheet when it has
// none), every '$' removed and a name qualified with the own sheet left unqualified: the form in which a
// parsed formula compares with a decompiled one.
AstNode qualifyReferences(const AstNode& tree, const std::u16string& ownSheet);

} // namespace cwbk::compiler
