// The syntax tree of a parsed formula: one node kind per node record kind of the compiled stream,
// references with sheet, corners and absolute flags, and the canonical printing back to formula text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/utf8.h"
#include "values/calc_error.h"

namespace cwbk::compiler {

// The node kinds; the numbers are the node record kinds that the compiler emits for them.
enum class AstKind : uint16_t {
  Missing = 1,       // a missing argument: IF(A1,,2)
  Number = 2,        // number constant (never negative outside array constants)
  Text = 3,          // text constant; `text` holds it without quotes, doubled quotes undone
  Boolean = 4,       // TRUE or FALSE
  Error = 5,         // error literal such as #N/A
  CellRef = 6,       // one cell: `sheet`, `first`
  AreaRef = 7,       // fixed corners `first`:`second`, or computed from its two children (range operator)
  ExternalRef = 8,   // a reference into another workbook: `externalIndex`, one child (cell, area or name)
  Union = 10,        // (A1,B2,...): two or more reference children
  Intersection = 11, // A1:B2 C1:D4: two or more reference children
  Array = 12,        // {1,2;3,4}: `columns`, elements row by row as children (Number, Text, Boolean, Error)
  Name = 13,         // defined name: `text`, optional `sheet`
  Call = 17,         // function call: `text` is the upper-case name without prefixes, arguments as children
  Compare = 18,      // comparison `compareOp` of two children
  Operator = 19,     // arithmetic or text operator `arithmeticOp`: two children, one for Negate and Percent
};

// Comparison operators, numbered as the comparison node records number them.
enum class CompareOp : uint8_t {
  Less = 1,
  Greater = 2,
  LessEqual = 3,
  GreaterEqual = 4,
  Equal = 5,
  NotEqual = 6
};

// Arithmetic and text operators, numbered as the operator node records number them.
enum class ArithmeticOp : uint8_t {
  Add = 1,
  Subtract = 2,
  Multiply = 3,
  Divide = 4,
  Power = 5,
  Negate = 6,
  Concat = 7,
  Percent = 8,
};

// The grid: 1048576 rows of 16384 columns.
inline constexpr uint32_t kSheetRows = 1048576;
inline constexpr uint32_t kSheetColumns = 16384;

// One corner of a reference: 0-based row and column, each with its '$' flag.
struct RefCorner {
  uint32_t row = 0;
  uint32_t column = 0;
  bool rowAbsolute = false;
  bool columnAbsolute = false;
  friend bool operator==(const RefCorner&, const RefCorner&) = default;
};

// One node of a parsed formula. Only the fields named for the node's kind are meaningful; the rest
// keep their defaults.
struct AstNode {
  AstKind kind = AstKind::Missing;
  double number = 0;                             // Number
  bool boolean = false;                          // Boolean
  CalcError error = ErrNA;                       // Error
  CompareOp compareOp = CompareOp::Equal;        // Compare
  ArithmeticOp arithmeticOp = ArithmeticOp::Add; // Operator
  std::u16string text;                           // Text, Name, Call
  std::optional<std::u16string> sheet;           // CellRef, AreaRef, Name: the sheet as written, unquoted
  RefCorner first;                               // CellRef; fixed AreaRef
  RefCorner second;                              // fixed AreaRef
  bool wholeRows = false;                        // fixed AreaRef of whole rows (3:5); columns span the sheet
  bool wholeColumns = false;                     // fixed AreaRef of whole columns (A:C); rows span the sheet
  int32_t externalIndex = -1;                    // ExternalRef: the external workbook's index, [1]
  uint32_t columns = 0;                          // Array
  uint32_t position = 0; // code unit offset of the node's first character in the source
  std::vector<AstNode> children;

  // Returns true for an area computed from its children rather than fixed corners.
  bool isComputedArea() const { return kind == AstKind::AreaRef && !children.empty(); }
  // Returns true when the node can stand for a reference: an operand of ':', ' ' and ','.
  bool isReferenceValued() const;
};

// Returns true when two trees are the same formula; source positions are not compared.
bool operator==(const AstNode& a, const AstNode& b);

// Returns the canonical formula text of a tree, without a leading '=': English syntax, upper-case
// function names without prefixes, numbers in their shortest exact form, minimal parentheses.
// Parsing the text gives back an equal tree.
std::u16string formulaToText(const AstNode& node);
std::string formulaToTextUtf8(const AstNode& node);

// Returns the English text of an error literal ("#DIV/0!"), empty for an unknown code.
std::u16string_view errorLiteralText(CalcError error);

} // namespace cwbk::compiler
