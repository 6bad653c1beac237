// Operator and call nodes: comparison and arithmetic operators over their operands, and the function
// call node. Argument preparation, error propagation, element-by-element evaluation and the call's
// dispatch are separate virtual steps, so that each can be refined on its own.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "formula/formula_node.h"

namespace cwbk {

// Most arguments a call or operator takes.
constexpr size_t kMaxArguments = 256;

// A null-terminated list of argument values (pointers into the children's values or shared values),
// and whether one of them is an Array.
struct ArgumentList {
  std::vector<const CalcValue*> values; // ends with a null entry
  bool hasArray = false;

  void clear() {
    values.clear();
    hasArray = false;
  }
  // Returns the null-terminated list.
  const CalcValue* const* data() {
    if (values.empty() || values.back()) values.push_back(nullptr);
    return values.data();
  }
  // Returns the number of arguments.
  size_t size() const { return values.empty() || values.back() ? values.size() : values.size() - 1; }
};

// Base of the operator nodes: an operator code and two operands (one for the unary operators).
class OperatorNode : public CompositeNode {
public:
  uint32_t operatorCode() const { return operator_; }

  // Evaluates the operands, prepares them as arguments, and applies the operator once, or element by
  // element when an argument is an array.
  const CalcValue* evaluate() override;
  // As evaluate, with the operands evaluated in array context.
  const CalcValue* evaluateAsArray() override;
  const CalcValue* evaluateWith(int argumentClass, const CalcValue* const* arguments,
                                CalcValue& result) override;
  void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const override;

  // Returns the element of an argument at (column, row) for element-by-element evaluation, or null
  // when the position lies outside it. A one-column or one-row array repeats along the other axis.
  virtual const CalcValue* argumentElement(const CalcValue& argument, uint32_t column, uint32_t row);
  // Applies the operator to scalar arguments (a null-terminated list) into result.
  virtual void apply(const CalcValue* const* arguments, CalcValue& result) = 0;
  // Applies the operator element by element over the arguments' common shape.
  virtual void applyElementwise(const CalcValue* const* arguments, CalcValue& result);
  // Gathers the operands' values as arguments.
  virtual void prepareArguments(ArgumentList& arguments);

protected:
  explicit OperatorNode(uint32_t code) : operator_(code) {}
  // Copies the first error among the arguments into result; returns true when there was one.
  static bool propagateErrors(const CalcValue* const* arguments, CalcValue& result);
  // Prepares, then applies once or element by element into the node's value.
  const CalcValue* compute();

  uint32_t operator_;
};

// Comparison: 1 '<', 2 '>', 3 '<=', 4 '>=', 5 '=', 6 '<>'.
class CompareNode : public OperatorNode {
public:
  explicit CompareNode(uint32_t code) : OperatorNode(code) {}
  NodeKind kind() const override { return NodeKind::Compare; }
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
  void apply(const CalcValue* const* arguments, CalcValue& result) override;
  // Returns the text of the node's current value.
  std::u16string formulaText() const override;
};

// A worksheet-function call: the name as written in the record and the record's flags (bit 0: the call
// marker). The children are the arguments in order; a missing argument is an EmptyNode.
class CallNode : public CompositeNode {
public:
  CallNode(std::u16string name, int32_t flags);
  const std::u16string& name() const { return name_; }
  int32_t flags() const { return flags_; }
  bool hasCallMarker() const { return (flags_ & 1) != 0; }
  // The function's number in the function table, or -1 when the name is unknown.
  int32_t functionNumber() const { return functionNumber_; }

  NodeKind kind() const override { return NodeKind::Call; }
  const CalcValue* evaluate() override;
  const CalcValue* evaluateAsArray() override;
  const CalcValue* evaluateWith(int argumentClass, const CalcValue* const* arguments,
                                CalcValue& result) override;
  void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const override;
  // Returns the name, "(", the arguments separated by the list separator, ")": references print their
  // formula text, other arguments the text of their current value.
  std::u16string formulaText() const override;

  // Returns the element of an argument for element-by-element evaluation, or null outside it.
  virtual const CalcValue* argumentElement(const CalcValue& argument, uint32_t column, uint32_t row);
  // Invokes the function once with the arguments into result. Without an implementation the result is
  // the function's name.
  virtual void apply(const CalcValue* const* arguments, CalcValue& result);
  // Invokes the function element by element.
  virtual void applyElementwise(const CalcValue* const* arguments, CalcValue& result);
  // Gathers the arguments' values.
  virtual void prepareArguments(ArgumentList& arguments);
  // Element by element, passing arguments of the reference and array classes whole.
  virtual void applyElementwiseByClass(const CalcValue* const* arguments, CalcValue& result);

protected:
  std::u16string name_;
  int32_t flags_;
  int32_t functionNumber_ = -1;
};

} // namespace cwbk
