// Operator and call nodes: operand preparation, error propagation, the scalar operators,
// element-by-element application, and the call node's evaluation without a function table.
#include "formula/operator_nodes.h"

#include <algorithm>
#include <cmath>

#include "formula/node_records.h"
#include "formula/reference_nodes.h"
#include "platform/locale_settings.h"
#include "values/conversions.h"

namespace cwbk {

namespace {

// Returns the element at (column, row) of an argument, repeating one-column and one-row arrays.
const CalcValue* elementOf(const CalcValue& argument, uint32_t column, uint32_t row) {
  if (!argument.isArray()) return &argument;
  if (argument.arrayColumns() == 1) column = 0;
  if (argument.arrayRows() == 1) row = 0;
  return argument.element(column, row);
}

// Applies a scalar routine at every position of the arguments' common shape; a position outside an
// argument reads as "#N/A".
template <typename Element, typename Apply>
void elementwise(const CalcValue* const* arguments, CalcValue& result, Element element, Apply apply) {
  uint32_t columns = 1, rows = 1;
  size_t count = 0;
  for (const CalcValue* const* a = arguments; a && *a; ++a, ++count) {
    columns = std::max(columns, (*a)->arrayColumns());
    rows = std::max(rows, (*a)->arrayRows());
  }
  CalcValue shaped;
  shaped.resizeArray(columns, rows);
  static const CalcValue notAvailable = CalcValue::error(ErrNA);
  std::vector<const CalcValue*> items(count + 1, nullptr);
  CalcValue scratch;
  for (uint32_t r = 0; r < rows; ++r)
    for (uint32_t c = 0; c < columns; ++c) {
      for (size_t i = 0; i < count; ++i) {
        const CalcValue* e = element(*arguments[i], c, r);
        items[i] = e ? e : &notAvailable;
      }
      scratch.setEmpty();
      apply(items.data(), scratch);
      if (CalcValue* target = shaped.element(c, r)) *target = std::move(scratch);
    }
  result = std::move(shaped);
}

// Returns a value as a number: numbers as they are, Empty 0, Boolean 0 or 1, texts by conversion.
std::optional<double> operandNumber(const CalcValue& v) {
  switch (v.kind()) {
  case CalcValue::Integer:
  case CalcValue::Double:
    return v.numberValue();
  case CalcValue::Empty:
    return 0.0;
  case CalcValue::Boolean:
    return v.booleanValue() ? 1.0 : 0.0;
  default:
    return toNumber(v);
  }
}

} // namespace

// ---------------------------------------------------------------- OperatorNode

bool OperatorNode::propagateErrors(const CalcValue* const* arguments, CalcValue& result) {
  for (const CalcValue* const* a = arguments; a && *a; ++a) {
    const CalcValue& v = **a;
    if (v.isErrorValue()) {
      result.copyFrom(v);
      return true;
    }
    if (v.isReference()) {
      Area area = v.referenceArea();
      if (!area.isValid() || !area.isOneSheet()) {
        result.setError(ErrRef);
        return true;
      }
    }
  }
  return false;
}

void OperatorNode::prepareArguments(ArgumentList& arguments) {
  arguments.clear();
  for (FormulaNode* child : children_) {
    if (!child || arguments.values.size() >= kMaxArguments) continue;
    const CalcValue* v = nullptr;
    if (CellRefNode* cell = child->asCellReference()) {
      v = cell->value();
      // A cell holding an array result contributes its first element.
      if (v && v->isArray()) v = v->element(0, 0);
    } else {
      v = child->value();
    }
    if (!v) v = &emptyValue();
    if (v->isArray()) arguments.hasArray = true;
    arguments.values.push_back(v);
  }
}

const CalcValue* OperatorNode::compute() {
  ArgumentList arguments;
  prepareArguments(arguments);
  CalcValue result;
  if (arguments.hasArray)
    applyElementwise(arguments.data(), result);
  else if (!propagateErrors(arguments.data(), result))
    apply(arguments.data(), result);
  ownValue() = std::move(result);
  return value_;
}

const CalcValue* OperatorNode::evaluate() {
  evaluateChildren();
  return compute();
}

const CalcValue* OperatorNode::evaluateAsArray() {
  evaluateChildrenAsArray();
  return compute();
}

const CalcValue* OperatorNode::evaluateWith(int, const CalcValue* const* arguments, CalcValue& result) {
  CalcValue computed;
  if (anyArrayArgument(arguments))
    applyElementwise(arguments, computed);
  else
    apply(arguments, computed);
  ownValue().copyFrom(computed);
  result = std::move(computed);
  return value_;
}

const CalcValue* OperatorNode::argumentElement(const CalcValue& argument, uint32_t column, uint32_t row) {
  return elementOf(argument, column, row);
}

void OperatorNode::applyElementwise(const CalcValue* const* arguments, CalcValue& result) {
  elementwise(
      arguments, result,
      [this](const CalcValue& a, uint32_t c, uint32_t r) { return argumentElement(a, c, r); },
      [this](const CalcValue* const* items, CalcValue& out) {
        if (!propagateErrors(items, out)) apply(items, out);
      });
}

void OperatorNode::writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const {
  RecordWriter record(out, kind(), parentIndex);
  record.u8(static_cast<uint8_t>(operator_));
  record.zeros(3);
}

// ---------------------------------------------------------------- CompareNode

void CompareNode::apply(const CalcValue* const* arguments, CalcValue& result) {
  const CalcValue& left = arguments && arguments[0] ? *arguments[0] : emptyValue();
  const CalcValue& right = arguments && arguments[0] && arguments[1] ? *arguments[1] : emptyValue();
  bool answer = false;
  switch (operator_) {
  case 1:
    answer = less(left, right);
    break;
  case 2:
    answer = greater(left, right);
    break;
  case 3:
    answer = greaterOrEqualAlt(right, left);
    break;
  case 4:
    answer = cwbk::greaterOrEqual(left, right);
    break;
  case 5:
    answer = equal(left, right);
    break;
  case 6:
    answer = !equal(left, right);
    break;
  default:
    result.setError(ErrValue);
    return;
  }
  result.setBoolean(answer);
}

std::u16string CompareNode::formulaText() const {
  static const char16_t* const kSymbols[] = {u"?", u"<", u">", u"<=", u">=", u"=", u"<>"};
  const char16_t* symbol = operator_ < 7 ? kSymbols[operator_] : kSymbols[0];
  FormulaNode* left = children_.size() > 0 ? children_[0] : nullptr;
  FormulaNode* right = children_.size() > 1 ? children_[1] : nullptr;
  return u"(" + childText(left) + symbol + childText(right) + u")";
}

// ---------------------------------------------------------------- ArithmeticNode

// Numbers take the fast path: the result keeps Integer when the left operand is integral and the result
// is integral and fits in 32 bits. Other operands are converted to numbers first.
void ArithmeticNode::apply(const CalcValue* const* arguments, CalcValue& result) {
  const CalcValue& left = arguments && arguments[0] ? *arguments[0] : emptyValue();
  const CalcValue& right = arguments && arguments[0] && arguments[1] ? *arguments[1] : emptyValue();
  bool unary = operator_ == Negate || operator_ == Percent;
  if (operator_ == Concatenate) {
    result.setText(displayText(left) + displayText(right));
    return;
  }
  std::optional<double> x = operandNumber(left);
  std::optional<double> y = unary ? std::optional<double>(0.0) : operandNumber(right);
  if (!x || !y) {
    result.setError(ErrValue);
    return;
  }
  CalcValue leftCopy;
  leftCopy.copyFrom(left);
  bool keepInteger = !left.isNumber() || leftCopy.kind() == CalcValue::Integer;
  auto store = [&](double r) {
    if (keepInteger)
      result.setNumber(r);
    else
      result.setDouble(r);
  };
  switch (operator_) {
  case Add:
    store(*x + *y);
    return;
  case Subtract:
    store(*x - *y);
    return;
  case Multiply: {
    double r = *x * *y;
    if (!std::isfinite(r))
      result.setError(ErrNum);
    else
      store(r);
    return;
  }
  case Divide:
    if (*y == 0)
      result.setError(ErrDiv0);
    else if (left.isNumber() && right.isNumber())
      result.setDouble(*x / *y);
    else
      result.setNumber(*x / *y);
    return;
  case Power: {
    double r = std::pow(*x, *y);
    if (!std::isfinite(r))
      result.setError(ErrNum);
    else
      result.setNumber(r);
    return;
  }
  case Negate:
    store(-*x);
    return;
  case Percent:
    if (left.isNumber())
      result.setDouble(*x / 100);
    else
      result.setNumber(*x / 100);
    return;
  default:
    result.setError(ErrValue);
  }
}

std::u16string ArithmeticNode::formulaText() const {
  return value_ ? displayText(*value_) : std::u16string();
}

// ---------------------------------------------------------------- CallNode

CallNode::CallNode(std::u16string name, int32_t flags) : name_(std::move(name)), flags_(flags) {}

void CallNode::prepareArguments(ArgumentList& arguments) {
  arguments.clear();
  for (FormulaNode* child : children_) {
    if (!child || arguments.values.size() >= kMaxArguments) continue;
    const CalcValue* v = child->value();
    if (!v) v = &emptyValue();
    if (v->isArray()) arguments.hasArray = true;
    arguments.values.push_back(v);
  }
}

void CallNode::apply(const CalcValue* const*, CalcValue& result) {
  result.setText(name_);
}

const CalcValue* CallNode::argumentElement(const CalcValue& argument, uint32_t column, uint32_t row) {
  return elementOf(argument, column, row);
}

void CallNode::applyElementwise(const CalcValue* const* arguments, CalcValue& result) {
  elementwise(
      arguments, result,
      [this](const CalcValue& a, uint32_t c, uint32_t r) { return argumentElement(a, c, r); },
      [this](const CalcValue* const* items, CalcValue& out) { apply(items, out); });
}

void CallNode::applyElementwiseByClass(const CalcValue* const* arguments, CalcValue& result) {
  applyElementwise(arguments, result);
}

// The value is cleared and every argument evaluated; an error the value then holds is the result.
// Otherwise the function is invoked once with the prepared arguments.
const CalcValue* CallNode::evaluate() {
  ownValue().setEmpty();
  evaluateChildren();
  if (value_->isError()) return value_;
  ArgumentList arguments;
  prepareArguments(arguments);
  CalcValue result;
  apply(arguments.data(), result);
  ownValue() = std::move(result);
  return value_;
}

const CalcValue* CallNode::evaluateAsArray() {
  ownValue().setEmpty();
  evaluateChildrenAsArray();
  ArgumentList arguments;
  prepareArguments(arguments);
  CalcValue result;
  apply(arguments.data(), result);
  ownValue() = std::move(result);
  return value_;
}

const CalcValue* CallNode::evaluateWith(int, const CalcValue* const* arguments, CalcValue& result) {
  CalcValue computed;
  apply(arguments, computed);
  ownValue().copyFrom(computed);
  result = std::move(computed);
  return value_;
}

void CallNode::writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const {
  RecordWriter record(out, NodeKind::Call, parentIndex);
  record.i32(flags_);
  record.text(std::u16string_view(name_).substr(0, textUnitsThatFit(kNodeHeaderSize + 4)));
}

std::u16string CallNode::formulaText() const {
  std::u16string text = name_ + u"(";
  bool first = true;
  for (FormulaNode* child : children_) {
    if (!child) continue;
    if (!first) text += localeSettings().listSeparator;
    first = false;
    if (child->isCellReference() || child->isAreaReference() || child->isReference()) {
      text += childText(child);
    } else {
      const CalcValue* v = child->value();
      if (v) text += displayText(*v);
    }
  }
  text += u")";
  return text;
}

} // namespace cwbk
