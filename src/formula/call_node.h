// CallNode: a worksheet-function call. It evaluates its arguments (by the evaluation rule the function
// table gives the function), prepares them by argument class, and invokes the function's implementation once
// or element by element, or hands the call to the host evaluation services.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formula/argument_list.h"
#include "formula/formula_node.h"
#include "formula/function_table.h"

namespace cwbk {

// A call: the name as written in the record and the record's flags (bit 0: the call marker). The
// function number, descriptor and implementation are looked up once, when the node is built. The
// children are the arguments in order; a missing argument is an EmptyNode.
class CallNode : public CompositeNode {
public:
  // Builds a call whose number, descriptor and implementation come from the function table.
  CallNode(std::u16string name, int32_t flags);
  // Builds a call that uses the given implementation (null: none) instead of the table's; number and
  // descriptor still come from the table.
  CallNode(std::u16string name, int32_t flags, const FunctionImpl* implementation);

  const std::u16string& name() const { return name_; }
  int32_t flags() const { return flags_; }
  bool hasCallMarker() const { return (flags_ & 1) != 0; }
  // Returns the function's number in the function table, or -1 when the name is unknown.
  int32_t functionNumber() const { return functionNumber_; }
  const FunctionDescriptor* descriptor() const { return descriptor_; }
  const FunctionImpl* implementation() const { return implementation_; }
  // Returns true when the record gave more than kMaxArguments arguments; the extra ones were refused
  // and the call evaluates to "#VALUE!".
  bool tooManyArguments() const { return tooManyArguments_; }

  NodeKind kind() const override { return NodeKind::Call; }
  // Keeps up to kMaxArguments children; a further child is destroyed and marks the call.
  bool addChild(FormulaNode* child) override;
  const CalcValue* evaluate() override;
  // As evaluate, with the arguments evaluated in array context (ROW and COLUMN evaluate theirs normally).
  const CalcValue* evaluateAsArray() override;
  // Invokes the function with caller-supplied arguments: element by element when one is an Array (or,
  // for the reference and array classes, a multi-cell Reference or a ReferenceList), else once. The
  // result becomes the node's value and is copied into result.
  const CalcValue* evaluateWith(int argumentClass, const CalcValue* const* arguments,
                                CalcValue& result) override;
  void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const override;
  // Returns the function's name, "(", the arguments separated by the list separator, ")": references
  // print their formula text, other arguments their current value in formula syntax.
  std::u16string formulaText() const override;

  // Returns the element of an argument at (column, row) for element-by-element evaluation, or null
  // outside it; the position is already adjusted for repetition.
  virtual const CalcValue* argumentElement(const CalcValue& argument, uint32_t column, uint32_t row);
  // Invokes the function once: its implementation, or without one the host (the name as text stays the
  // result when there is no service).
  virtual void apply(const CalcValue* const* arguments, CalcValue& result);
  // Invokes the function once per element of the arguments' common shape.
  virtual void applyElementwise(const CalcValue* const* arguments, CalcValue& result);
  // Prepares the children's values by the argument classes of the function.
  virtual void prepareArguments(ArgumentList& arguments);
  // Element by element, passing arguments of the classes 'R', 'A' and 'N' whole when they are an Array
  // or a Reference.
  virtual void applyElementwiseByClass(const CalcValue* const* arguments, CalcValue& result);

private:
  // The evaluation shared by evaluate and evaluateAsArray.
  const CalcValue* evaluateIn(bool arrayContext);
  // Evaluates the children, applying the function's evaluation rule; false when the call's value has
  // become its result (an error from the rule).
  bool evaluateArguments(bool arrayContext);
  // Evaluates every argument, those selected by arrayPositions (bit i: argument i; allArray: all) in
  // array context and the others in the call's own context.
  void evaluateArgumentsWith(bool arrayContext, uint32_t arrayPositions, bool allArray);
  void evaluateChild(FormulaNode* child, bool arrayContext);
  // Returns true for an argument that goes to the routine as its fixed corners without being evaluated.
  bool passedAsCorners(FormulaNode& child, size_t i) const;
  // The quick way of a call to an implemented function of the plain rule, outside array context and
  // array-formula mode, whose arguments are all plain: constants other than arrays, proxies that reach
  // such a constant, and fixed areas that go to the routine as corners. Such arguments are what
  // prepareArguments would make of them, and no rule of the general way applies. Invokes the
  // function and returns true; false, with nothing of the call done, when an argument is not plain.
  bool evaluatePlainCall();
  bool evaluateIf(bool arrayContext);
  bool evaluateIndex(bool arrayContext);
  bool evaluateReferenceOrArray(bool arrayContext);
  // Replaces omitted arguments by what the function's rules say they stand for.
  void replaceOmitted(ArgumentList& arguments) const;
  // Returns the function's evaluation rule (Plain for an unknown function).
  EvaluationRule rule() const;
  bool hasTrait(uint32_t trait) const;
  // Returns the i-th argument node (the i-th non-null child), or null.
  FormulaNode* argumentNode(size_t i) const;
  // Returns true when the call qualifies for element-by-element evaluation by its descriptor.
  bool elementwiseByDescriptor() const;
  // Returns true when an argument that the function's elementwiseArguments select is an Array or a
  // Reference to several cells, so the call runs once per element of those arguments.
  bool splitsSelectedArguments(const ArgumentList& arguments) const;
  // Element by element over the arguments elementwiseArguments select, passing the others whole; an
  // element that comes out as a reference becomes the value of its cell.
  void applySelectedElementwise(const CalcValue* const* arguments, CalcValue& result);
  // Hands a call without implementation and without element-by-element evaluation to the host.
  void evaluateWholeCall(const ArgumentList& arguments, CalcValue& result);
  // Returns the formula text of the whole call for the host.
  std::u16string wholeCallText(const ArgumentList& arguments) const;

  std::u16string name_;
  int32_t flags_;
  int32_t functionNumber_ = -1;
  const FunctionDescriptor* descriptor_ = nullptr;
  const FunctionImpl* implementation_ = nullptr;
  bool tooManyArguments_ = false;
  // Set once an argument showed a kind that the quick way never takes; cleared when a child is added.
  bool notPlain_ = false;
  // Bit i: the function takes references at argument position i (class 'R' or 'N'), for the positions
  // the quick way handles.
  uint8_t referencePositions_ = 0;

  // Set by the rules of one evaluation and read when its arguments are prepared: the argument that IF
  // left unevaluated (-1: none), and the area INDEX chose for its first argument.
  int32_t unevaluatedArgument_ = -1;
  bool hasChosenArea_ = false;
  Area chosenArea_;
};

} // namespace cwbk
