// ScalarProgram: a formula template that is plain arithmetic on numbers, single cells and the cell's
// operands, flattened into a postfix program that computes over doubles. It is the quick way through
// the most common formulas; whenever a value is not a number (or an empty cell) or an operation would
// give an error, run() declines and the caller evaluates the tree, so the program never decides a
// result that the tree would give differently.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace cwbk {

class Cell;
class FormulaNode;

class ScalarProgram {
public:
  // Returns the program of a template, or null when the template is not plain arithmetic.
  static std::unique_ptr<ScalarProgram> compile(FormulaNode& root);
  // Computes the template for the cell into result; false when the tree has to decide.
  bool run(const Cell& cell, double& result) const;

private:
  enum class Op : uint8_t {
    Constant,
    Node,
    Operand,
    Add,
    Subtract,
    Multiply,
    Divide,
    Power,
    Negate,
    Percent
  };
  struct Step {
    Op op;
    uint32_t operand = 0;        // Operand: the index into the cell's operand trees
    double constant = 0;         // Constant
    FormulaNode* node = nullptr; // Node: a cell reference of the template
  };
  static constexpr size_t kMaxStack = 32;

  std::vector<Step> steps_;
};

} // namespace cwbk
