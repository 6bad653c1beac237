// Operator nodes: comparison and arithmetic operators over their operands. Argument preparation, error
// propagation, the scalar operator and element-by-element evaluation are separate virtual steps. The
// function-call node lives beside them in call_node.h.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "formula/argument_list.h"
#include "formula/call_node.h"
#include "formula/formula_node.h"

namespace cwbk {

// Base of the operator nodes: an operator code and two operands (one for the unary operators).
class OperatorNode : public CompositeNode {
public:
  uint32_t operatorCode() const { return operator_; }

  // Refuses (and destroys) a child beyond kMaxArguments.
  bool addChild(FormulaNode* child) override;
  // Evaluates the operands, prepares them as arguments, and applies the operator once (after error
  // propagation), or element by element when an argument is an array.
  const CalcValue* evaluate() override;
  // As evaluate, with the operands evaluated in array context.
  const CalcValue* evaluateAsArray() override;
  // Applies the operator to caller-supplied arguments: element by element when one is an Array (or, for
  // the reference and array classes, a multi-cell Reference or a ReferenceList), else once. The result
  // becomes the node's value and is copied into result.
  const CalcValue* evaluateWith(int argumentClass, const CalcValue* const* arguments,
                                CalcValue& result) override;
  void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const override;

  // Returns the element of an argument at (column, row) for element-by-element evaluation, or null when
  // the position lies outside it; the position is already adjusted for repetition.
  virtual const CalcValue* argumentElement(const CalcValue& argument, uint32_t column, uint32_t row);
  // Applies the operator to scalar arguments (a null-terminated list) into result.
  virtual void apply(const CalcValue* const* arguments, CalcValue& result) = 0;
  // Applies the operator once per element of the arguments' common shape.
  virtual void applyElementwise(const CalcValue* const* arguments, CalcValue& result);
  // Gathers the operands' values as arguments: cell values, implicit intersections of areas, or in
  // array-formula mode the areas themselves.
  virtual void prepareArguments(ArgumentList& arguments);

protected:
  explicit OperatorNode(uint32_t code) : operator_(code) {}
  // Prepares, then applies once or element by element into the node's value.
  const CalcValue* compute();

  uint32_t operator_;
};

// Comparison: 1 '<', 2 '>', 3 '<=', 4 '>=', 5 '=', 6 '<>'.
class CompareNode : public OperatorNode {
public:
  explicit CompareNode(uint32_t code) : OperatorNode(code) {}
  NodeKind kind() const override { return NodeKind::Compare; }
  // Compares left and right into a Boolean. A Reference operand stands for the cell at its first corner;
  // without references, an error operand (not a text) is the result, the right one first.
  void apply(const CalcValue* const* arguments, CalcValue& result) override;
  // Returns "(", the left text, the operator, the right text, ")".
  std::u16string formulaText() const override;
};

// Arithmetic and text operators: 1 '+', 2 '-', 3 '*', 4 '/', 5 '^', 6 unary minus, 7 '&', 8 percent.
class ArithmeticNode : public OperatorNode {
public:
  enum Operator : uint32_t {
    Add = 1,
    Subtract = 2,
    Multiply = 3,
    Divide = 4,
    Power = 5,
    Negate = 6,
    Concatenate = 7,
    Percent = 8,
  };
  explicit ArithmeticNode(uint32_t code) : OperatorNode(code) {}
  NodeKind kind() const override { return NodeKind::Arithmetic; }
  // Computes the operator. Two numbers take the fast path that keeps Integer where the left operand is
  // one; other operands are converted to numbers first. Any non-finite result is "#NUM!".
  void apply(const CalcValue* const* arguments, CalcValue& result) override;
  // Returns the node's current value in formula syntax (a text quoted).
  std::u16string formulaText() const override;
};

} // namespace cwbk
