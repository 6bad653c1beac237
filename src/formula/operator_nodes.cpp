// Operator nodes: operand preparation, the comparison and arithmetic operators on scalars, and their
// element-by-element application.
#include "formula/operator_nodes.h"

#include <cmath>
#include <optional>

#include "formula/host_services.h"
#include "formula/node_records.h"
#include "formula/reference.h"
#include "values/conversions.h"

namespace cwbk {

namespace {

const CalcValue& valueErrorConstant() {
  static const CalcValue value = CalcValue::error(ErrValue);
  return value;
}

// Returns the value a cell reference node contributes: its cell's value, the first element when that
// is an array, the shared empty value for an empty array.
const CalcValue* cellNodeValue(FormulaNode& child) {
  const CalcValue* v = child.value();
  if (!v) return &emptyValue();
  if (v->isArray()) {
    const CalcValue* first = v->element(0, 0);
    return first ? first : &emptyValue();
  }
  return v;
}

// Stores x as the result of an operator: "#NUM!" when it is not finite, else with setNumber.
void storeNumber(CalcValue& result, double x) {
  if (!std::isfinite(x))
    result.setError(ErrNum);
  else
    result.setNumber(x);
}

// Turns a non-finite Double result into "#NUM!".
void checkFinite(CalcValue& result) {
  if (result.kind() == CalcValue::Double && !std::isfinite(result.doubleValue())) result.setError(ErrNum);
}

// x ^ y. 0 ^ 0 is "#NUM!" and 0 raised to a negative power "#DIV/0!"; an overflowing or undefined power
// (a negative base with a fractional exponent) is "#NUM!".
void storePower(CalcValue& result, double x, double y) {
  if (x == 0 && y == 0) {
    result.setError(ErrNum);
    return;
  }
  if (x == 0 && y < 0) {
    result.setError(ErrDiv0);
    return;
  }
  storeNumber(result, std::pow(x, y));
}

} // namespace

// ---------------------------------------------------------------- OperatorNode

bool OperatorNode::addChild(FormulaNode* child) {
  if (child && children_.size() >= kMaxArguments) {
    delete child;
    return false;
  }
  return CompositeNode::addChild(child);
}

// A cell reference contributes its cell's value. An area on one sheet contributes, in array-formula mode,
// itself (forcing element-by-element evaluation); otherwise an array it evaluated to, the value of a
// single cell, or the cell where a row or column meets the current cell. Anything else contributes its
// value (a union its reference list).
void OperatorNode::prepareArguments(ArgumentList& arguments) {
  bool arrayMode = evaluationContext().arrayFormulaMode;
  for (FormulaNode* child : children_) {
    if (!child) continue;
    if (arguments.size() >= kMaxArguments) break;
    if (child->isCellReference()) {
      arguments.push(cellNodeValue(*child), child);
      continue;
    }
    const CalcValue* v = child->value();
    if (!v) v = &emptyValue();
    if (!child->isReference()) {
      arguments.push(v, child);
      continue;
    }
    Area area = child->referenceArea();
    if (!area.isValid() || !area.isOneSheet()) {
      arguments.push(v, child);
    } else if (arrayMode) {
      arguments.pushReference(area, child);
      arguments.hasArray = true;
    } else if (v->isArray() || area.first == area.second) {
      arguments.push(v, child);
    } else {
      CellAddress meet = implicitIntersection(area, currentCellAddress());
      arguments.push(meet.isValid() ? &cellArgumentValue(meet) : v, child);
    }
  }
}

const CalcValue* OperatorNode::compute() {
  CalcValue result;
  {
    ArgumentList arguments;
    prepareArguments(arguments);
    if (arguments.hasArray)
      applyElementwise(arguments.data(), result);
    else if (!propagateErrors(arguments.data(), result, ErrorReading::Operators))
      apply(arguments.data(), result);
  }
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

const CalcValue* OperatorNode::evaluateWith(int argumentClass, const CalcValue* const* arguments,
                                            CalcValue& result) {
  CalcValue computed;
  if (wantsElementwise(argumentClass, arguments))
    applyElementwise(arguments, computed);
  else
    apply(arguments, computed);
  ownValue().copyFrom(computed);
  result = std::move(computed);
  return value_;
}

const CalcValue* OperatorNode::argumentElement(const CalcValue& argument, uint32_t column, uint32_t row) {
  return plainArgumentElement(argument, column, row);
}

// Each element goes through apply alone: the comparison decides between error operands itself, and
// the arithmetic operators propagate errors inside apply.
void OperatorNode::applyElementwise(const CalcValue* const* arguments, CalcValue& result) {
  applyByElement(
      arguments, result,
      [this](const CalcValue& a, uint32_t c, uint32_t r) { return argumentElement(a, c, r); },
      [this](const CalcValue* const* items, CalcValue& out) { apply(items, out); },
      [](size_t, const CalcValue&) { return false; });
}

void OperatorNode::writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const {
  RecordWriter record(out, kind(), parentIndex);
  record.u8(static_cast<uint8_t>(operator_));
  record.zeros(3);
}

// ---------------------------------------------------------------- CompareNode

void CompareNode::apply(const CalcValue* const* arguments, CalcValue& result) {
  const CalcValue* left = arguments && arguments[0] ? arguments[0] : &emptyValue();
  const CalcValue* right = arguments && arguments[0] && arguments[1] ? arguments[1] : &emptyValue();
  const CalcValue* originals[] = {left, right, nullptr};
  bool leftReference = left->isReference();
  bool rightReference = right->isReference();
  if (leftReference) left = &cellArgumentValueCreating(left->referenceArea().first);
  if (rightReference) right = &cellArgumentValueCreating(right->referenceArea().first);
  if (leftReference || rightReference) {
    if (propagateErrors(originals, result, ErrorReading::Operators)) return;
  } else if (!right->isText() && right->isError()) {
    result.copyFrom(*right);
    return;
  } else if (!left->isText() && left->isError()) {
    result.copyFrom(*left);
    return;
  }
  bool answer = false;
  switch (operator_) {
  case 1:
    answer = less(*left, *right);
    break;
  case 2:
    answer = greater(*left, *right);
    break;
  case 3:
    answer = greaterOrEqualAlt(*right, *left);
    break;
  case 4:
    answer = cwbk::greaterOrEqual(*left, *right);
    break;
  case 5:
    answer = equal(*left, *right);
    break;
  case 6:
    answer = !equal(*left, *right);
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

void ArithmeticNode::apply(const CalcValue* const* arguments, CalcValue& result) {
  bool unary = operator_ == Negate || operator_ == Percent;
  const CalcValue* left = arguments && arguments[0] ? arguments[0] : nullptr;
  const CalcValue* right = left && arguments[1] ? arguments[1] : nullptr;
  if (!left) left = &emptyValue();
  if (!right || unary) right = &emptyValue();
  const CalcValue* originals[] = {left, unary ? nullptr : right, nullptr};

  // A reference operand stands for its single cell; a larger or invalid area cannot be one value.
  auto reduce = [](const CalcValue* operand) -> const CalcValue* {
    if (!operand->isReference()) return operand;
    Area area = operand->referenceArea();
    if (!area.isValid() || area.first != area.second) return &valueErrorConstant();
    return &cellArgumentValueCreating(area.first);
  };
  bool leftReference = left->isReference();
  bool rightReference = right->isReference();
  left = reduce(left);
  right = reduce(right);
  if (propagateErrors(originals, result, ErrorReading::Operators)) return;
  // What is still an error came from reducing a multi-cell reference.
  if ((leftReference && left->isErrorValue()) || (rightReference && right->isErrorValue())) {
    result.setError(ErrValue);
    return;
  }

  if (operator_ == Concatenate) {
    if (left->isReferenceList() || right->isReferenceList()) {
      result.setError(ErrValue);
      return;
    }
    result.setText(displayText(*left) + displayText(*right));
    return;
  }

  if (left->isNumber() && (unary || right->isNumber())) {
    // Fast path: the left operand (an integral Double becoming Integer) combined in place.
    CalcValue operand;
    operand.copyFrom(*left);
    switch (operator_) {
    case Add:
      add(operand, *right);
      break;
    case Subtract:
      subtract(operand, *right);
      break;
    case Multiply:
      multiply(operand, *right);
      break;
    case Divide:
      if (right->numberValue() == 0) {
        result.setError(ErrDiv0);
        return;
      }
      operand.setDouble(left->numberValue() / right->numberValue());
      break;
    case Power:
      storePower(result, left->numberValue(), right->numberValue());
      return;
    case Negate:
      multiply(operand, CalcValue::number(-1));
      break;
    case Percent:
      divide(CalcValue::number(100), operand);
      break;
    default:
      result.setError(ErrValue);
      return;
    }
    checkFinite(operand);
    result = std::move(operand);
    return;
  }

  std::optional<double> x = toNumber(*left);
  std::optional<double> y = unary ? std::optional<double>(0.0) : toNumber(*right);
  if (!x || !y) {
    result.setError(ErrValue);
    return;
  }
  switch (operator_) {
  case Add:
    storeNumber(result, *x + *y);
    return;
  case Subtract:
    storeNumber(result, *x - *y);
    return;
  case Multiply:
    // Multiplying by 0, 1 or -1 gives the exact operand.
    if (*x == 0 || *y == 0)
      result.setNumber(0);
    else if (*x == 1)
      storeNumber(result, *y);
    else if (*x == -1)
      storeNumber(result, -*y);
    else if (*y == 1)
      storeNumber(result, *x);
    else if (*y == -1)
      storeNumber(result, -*x);
    else
      storeNumber(result, *x * *y);
    return;
  case Divide:
    if (*y == 0)
      result.setError(ErrDiv0);
    else
      storeNumber(result, *x / *y);
    return;
  case Power:
    storePower(result, *x, *y);
    return;
  case Negate:
    storeNumber(result, -*x);
    return;
  case Percent:
    storeNumber(result, *x / 100);
    return;
  default:
    result.setError(ErrValue);
  }
}

std::u16string ArithmeticNode::formulaText() const {
  return value_ ? valueFormulaText(*value_) : std::u16string();
}

} // namespace cwbk
