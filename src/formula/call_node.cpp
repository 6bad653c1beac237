// CallNode: argument evaluation by the function's evaluation rule (IF, LOOKUP, INDEX, reference-or-array,
// array arguments), preparation by argument class, the choice between one invocation and element-by-element
// evaluation, and the hand-over to the host evaluation services.
#include "formula/call_node.h"

#include <cmath>
#include <optional>

#include "formula/function_table.h"
#include "formula/host_services.h"
#include "formula/node_records.h"
#include "formula/reference.h"
#include "formula/reference_nodes.h"
#include "platform/locale_settings.h"
#include "values/conversions.h"

namespace cwbk {

namespace {

const CalcValue& valueErrorConstant() {
  static const CalcValue value = CalcValue::error(ErrValue);
  return value;
}

bool isProxyKind(NodeKind kind) {
  return kind == NodeKind::NameRef || kind == NodeKind::OperandRef || kind == NodeKind::SharedRef ||
         kind == NodeKind::TemplateRef;
}

// Returns true for a node that says only through its value whether it is a reference (a call, or a name
// or other proxy that may stand for one): it must be evaluated before the question is asked.
bool valueDecidesReference(FormulaNode& node) {
  return node.kind() == NodeKind::Call || isProxyKind(node.kind());
}

bool isEmptyNode(const FormulaNode* node) {
  return node && node->kind() == NodeKind::Empty;
}

// Returns the single value a reference condition stands for: its cell, or the cell where a row or
// column meets the current cell; "#VALUE!" when there is none.
const CalcValue* conditionFromReference(const CalcValue& condition) {
  Area area = condition.referenceArea();
  if (!area.isValid() || !area.isOneSheet()) return &valueErrorConstant();
  if (area.first == area.second) return &cellArgumentValue(area.first);
  CellAddress meet = implicitIntersection(area, currentCellAddress());
  return meet.isValid() ? &cellArgumentValue(meet) : &valueErrorConstant();
}

} // namespace

CallNode::CallNode(std::u16string name, int32_t flags) : name_(std::move(name)), flags_(flags) {
  const FunctionTable& table = functionTable();
  functionNumber_ = table.lookupNumber(name_);
  descriptor_ = table.descriptor(functionNumber_);
  implementation_ = table.lookupImpl(name_);
  for (int i = 0; i < 8; ++i) {
    ArgClass c = argClass(descriptor_, i);
    if (c == ArgReference || c == ArgRefOnly) referencePositions_ |= uint8_t(1u << i);
  }
}

CallNode::CallNode(std::u16string name, int32_t flags, const FunctionImpl* implementation)
    : CallNode(std::move(name), flags) {
  implementation_ = implementation;
}

// A call never passes on more arguments than an argument list holds: a record with more children is
// corrupt, and the call keeps only what fits and answers "#VALUE!".
bool CallNode::addChild(FormulaNode* child) {
  if (child && children_.size() >= kMaxArguments) {
    delete child;
    tooManyArguments_ = true;
    return false;
  }
  notPlain_ = false;
  return CompositeNode::addChild(child);
}

FormulaNode* CallNode::argumentNode(size_t i) const {
  for (FormulaNode* child : children_) {
    if (!child) continue;
    if (i == 0) return child;
    --i;
  }
  return nullptr;
}

// ---------------------------------------------------------------- evaluation

const CalcValue* CallNode::evaluate() {
  return evaluateIn(false);
}

const CalcValue* CallNode::evaluateAsArray() {
  return evaluateIn(!hasTrait(TraitPlainArgumentsInArray));
}

EvaluationRule CallNode::rule() const {
  return descriptor_ ? descriptor_->rules.rule : EvaluationRule::Plain;
}

bool CallNode::hasTrait(uint32_t trait) const {
  return descriptor_ && descriptor_->hasTrait(trait);
}

const CalcValue* CallNode::evaluateIn(bool arrayContext) {
  NestingGuard nesting;
  CalcValue& own = ownValue();
  own.setEmpty();
  unevaluatedArgument_ = -1;
  hasChosenArea_ = false;
  if (tooManyArguments_) {
    own.setError(ErrValue);
    return value_;
  }
  if (!arrayContext && !notPlain_ && implementation_ && rule() == EvaluationRule::Plain &&
      !evaluationContext().arrayFormulaMode && evaluatePlainCall())
    return value_;
  if (!evaluateArguments(arrayContext) || value_->isError()) return value_;

  // A known function that the library does not compute shows its name until someone answers.
  if (functionNumber_ >= 0 && !implementation_)
    if (const std::u16string* shown = functionTable().nameOf(functionNumber_)) value_->setText(*shown);

  CalcValue result;
  {
    ArgumentList arguments;
    prepareArguments(arguments);
    replaceOmitted(arguments);
    bool arrayMode = evaluationContext().arrayFormulaMode;
    if (rule() == EvaluationRule::Once) {
      apply(arguments.data(), result);
    } else if ((arguments.hasArray || arrayMode) && splitsSelectedArguments(arguments)) {
      applySelectedElementwise(arguments.data(), result);
    } else if ((arguments.hasArray || arrayMode) && elementwiseByDescriptor()) {
      if (implementation_ || hasCallMarker() || !arrayMode)
        applyElementwise(arguments.data(), result);
      else
        apply(arguments.data(), result);
    } else if (implementation_) {
      apply(arguments.data(), result);
    } else {
      result.copyFrom(*value_);
      evaluateWholeCall(arguments, result);
    }
  }
  ownValue() = std::move(result);
  return value_;
}

// The arguments live in a list of the call's own, on the stack: the quick way takes no block of the
// argument stack, and a routine that evaluates nodes cannot overwrite them.
bool CallNode::evaluatePlainCall() {
  constexpr size_t kMaxPlainArguments = 8;
  constexpr size_t kMaxPlainCorners = 2;
  const CalcValue* arguments[kMaxPlainArguments + 1];
  std::optional<CalcValue> corners[kMaxPlainCorners];
  size_t count = 0, cornerCount = 0;
  for (FormulaNode* child : children_) {
    if (!child) continue;
    if (count == kMaxPlainArguments) {
      notPlain_ = true;
      return false;
    }
    NodeKind kind = child->kind();
    const CalcValue* v = nullptr;
    if (isConstantKind(kind) && kind != NodeKind::Array) {
      if (!child->parent()) child->setParent(this);
      v = child->value();
    } else if (isProxyKind(kind)) {
      // Whether a proxy reaches a constant can change from cell to cell (operands) and with the
      // nesting depth; one that does not takes the general way.
      FormulaNode* constant = static_cast<ProxyNode*>(child)->reachableConstant();
      if (!constant || constant->kind() == NodeKind::Array) return false;
      if (!child->parent()) child->setParent(this);
      child->evaluate();
      v = constant->value();
    } else if (kind == NodeKind::AreaRef && ((referencePositions_ >> count) & 1) != 0 &&
               cornerCount < kMaxPlainCorners) {
      // As passedAsCorners: a fixed area with valid corners.
      auto& area = static_cast<AreaRefNode&>(*child);
      if (area.isComputed() || !area.first().isValid() || !area.second().isValid()) {
        notPlain_ = true;
        return false;
      }
      CalcValue& corner = corners[cornerCount++].emplace();
      corner.setReference(area.first(), area.second());
      v = &corner;
    } else {
      notPlain_ = true;
      return false;
    }
    arguments[count++] = v ? v : &emptyValue();
  }
  arguments[count] = nullptr;
  // The result starts Empty, as apply would make it.
  CalcValue result;
  implementation_->invoke(evaluationContext(), arguments, result);
  ownValue() = std::move(result);
  return true;
}

bool CallNode::elementwiseByDescriptor() const {
  if (!descriptor_) return false;
  if (descriptor_->resultClass == 'R' || descriptor_->resultClass == 'A') return false;
  if (descriptor_->flags & FuncTakesArray) return false;
  // IF runs element by element over an array condition although its branches take references.
  return descriptor_->rules.rule == EvaluationRule::If || (descriptor_->flags & FuncTakesReference) == 0;
}

bool CallNode::splitsSelectedArguments(const ArgumentList& arguments) const {
  if (!descriptor_ || !implementation_) return false;
  uint32_t mask = descriptor_->rules.elementwiseArguments;
  for (size_t i = 0; mask && i < arguments.size(); ++i) {
    if (!FunctionDescriptor::selects(mask, static_cast<int>(i))) continue;
    const CalcValue& a = *arguments[i];
    if (a.isArray()) return true;
    Area area = a.isReference() ? a.referenceArea() : Area::invalid();
    if (area.first.isValid() && area.first != area.second) return true;
  }
  return false;
}

void CallNode::evaluateChild(FormulaNode* child, bool arrayContext) {
  if (!child) return;
  if (!child->parent()) child->setParent(this);
  if (arrayContext)
    child->evaluateAsArray();
  else
    child->evaluate();
}

// A fixed area in a position that takes references is passed as its corners, whatever it evaluates to
// (prepareArguments), so the routine gets it without the area being evaluated: no value for the
// current cell's row, no array of the area's values.
bool CallNode::passedAsCorners(FormulaNode& child, size_t i) const {
  if (!implementation_ || child.kind() != NodeKind::AreaRef) return false;
  ArgClass c = argClass(descriptor_, static_cast<int>(i));
  if (c != ArgReference && c != ArgRefOnly) return false;
  auto& area = static_cast<AreaRefNode&>(child);
  return !area.isComputed() && area.first().isValid() && area.second().isValid();
}

void CallNode::evaluateArgumentsWith(bool arrayContext, uint32_t arrayPositions, bool allArray) {
  size_t i = 0;
  for (FormulaNode* child : children_) {
    if (!child) continue;
    bool selected = allArray || (i < 32 && ((arrayPositions >> i) & 1) != 0);
    if (!passedAsCorners(*child, i)) evaluateChild(child, selected || arrayContext);
    ++i;
  }
}

bool CallNode::evaluateArguments(bool arrayContext) {
  // In array formulas every argument is evaluated alike; the rules below are for single-cell formulas
  // (INDEX's applies in both).
  bool arrayMode = evaluationContext().arrayFormulaMode;
  switch (rule()) {
  case EvaluationRule::If:
    if (!arrayMode) return evaluateIf(arrayContext);
    break;
  case EvaluationRule::Lookup:
    // The vector form with a computed result vector: that vector in array context.
    if (arrayMode) break;
    if (childCount() == 2 && argumentNode(1)->kind() == NodeKind::Call) {
      evaluateArgumentsWith(arrayContext, 1u << 1, false);
      return true;
    }
    if (childCount() == 3 && argumentNode(2)->kind() == NodeKind::Arithmetic) {
      evaluateArgumentsWith(arrayContext, 1u << 2, false);
      return true;
    }
    break;
  case EvaluationRule::Index:
    return evaluateIndex(arrayContext);
  case EvaluationRule::ReferenceOrArray:
    if (!arrayMode && argumentNode(0)) return evaluateReferenceOrArray(arrayContext);
    break;
  case EvaluationRule::Plain:
  case EvaluationRule::Once:
    break;
  }
  uint32_t arrayArguments = descriptor_ && !arrayMode ? descriptor_->rules.arrayArguments : 0;
  evaluateArgumentsWith(arrayContext, arrayArguments, false);
  return true;
}

// The first argument is taken as a reference when it is one; anything else is evaluated as an array.
// A call or a name says only through its value whether it is a reference, so it is evaluated first.
bool CallNode::evaluateReferenceOrArray(bool arrayContext) {
  FormulaNode* first = argumentNode(0);
  bool firstEvaluated = valueDecidesReference(*first);
  if (firstEvaluated) evaluateChild(first, arrayContext);
  if (!first->isReference() && !first->isCellReference()) {
    if (!(firstEvaluated && arrayContext)) evaluateChild(first, true);
  } else if (!firstEvaluated) {
    evaluateChild(first, arrayContext);
  }
  for (size_t i = 1; FormulaNode* rest = argumentNode(i); ++i)
    evaluateChild(rest, arrayContext);
  return true;
}

// Only the condition and the chosen branch are evaluated. The branch not taken contributes the empty
// value when the arguments are prepared, so that a value it kept from an earlier evaluation cannot
// change the result (an old array there would turn the call element by element).
bool CallNode::evaluateIf(bool arrayContext) {
  FormulaNode* condition = argumentNode(0);
  if (!condition) {
    evaluateArgumentsWith(arrayContext, 0, false);
    return true;
  }
  evaluateChild(condition, arrayContext);
  CalcValue& own = ownValue();
  const CalcValue* c = condition->value();
  if (!c) c = &emptyValue();
  if (c->isArray()) {
    const CalcValue* first = c->element(0, 0);
    own.copyFrom(first ? *first : emptyValue());
    c = value_;
  }
  if (c->isReference()) c = conditionFromReference(*c);
  bool truth = false;
  switch (c->kind()) {
  case CalcValue::Empty:
  case CalcValue::Integer:
  case CalcValue::Double:
    truth = c->numberValue() != 0;
    break;
  case CalcValue::Boolean:
    truth = c->booleanValue();
    break;
  case CalcValue::ShortText:
  case CalcValue::LongText:
    // Only the TRUE and FALSE texts read as truth values; a text naming an error is a text.
    if (std::optional<bool> b = parseBoolean(c->textView())) {
      truth = *b;
      break;
    }
    own.setError(ErrValue);
    return false;
  case CalcValue::Error:
    own.copyFrom(*c);
    return false;
  default:
    own.setError(ErrValue);
    return false;
  }
  unevaluatedArgument_ = truth ? 2 : 1;
  FormulaNode* branch = argumentNode(truth ? 1 : 2);
  if (branch) {
    evaluateChild(branch, arrayContext);
    const CalcValue* b = branch->value();
    if (b && b->isErrorValue() && !branch->isReference() && !branch->isCellReference()) {
      own.copyFrom(*b);
      return false;
    }
  }
  // Arguments beyond the third belong to no branch; they are evaluated as usual.
  for (size_t i = 3; FormulaNode* extra = argumentNode(i); ++i)
    evaluateChild(extra, arrayContext);
  return true;
}

// The first argument of INDEX is an area (or a union of areas, chosen by the area number) or an array.
// A call or a name as first argument says only through its value whether it is a reference, so it is
// evaluated before the decision. The chosen area is kept in the node, never written into the child:
// a cell reference child would write it into its cell.
bool CallNode::evaluateIndex(bool arrayContext) {
  FormulaNode* first = argumentNode(0);
  if (!first) {
    evaluateArgumentsWith(arrayContext, 0, false);
    return true;
  }
  bool firstEvaluated = valueDecidesReference(*first);
  if (firstEvaluated) evaluateChild(first, arrayContext);
  bool referenceLike = first->isCellReference() || first->isReference() || first->isUnion();
  // An array source takes every argument as a value, the area number too; the routine checks it.
  if (!referenceLike) {
    if (!(firstEvaluated && arrayContext)) evaluateChild(first, true);
    for (size_t i = 1; FormulaNode* rest = argumentNode(i); ++i)
      evaluateChild(rest, arrayContext);
    return true;
  }
  if (!firstEvaluated) evaluateChild(first, false);

  CalcValue& own = ownValue();
  int64_t areaNumber = 1;
  if (FormulaNode* areaNode = argumentNode(3)) {
    evaluateChild(areaNode, false);
    const CalcValue* v = areaNode->value();
    if (!v) v = &emptyValue();
    if (v->isArray()) {
      const CalcValue* e = v->element(0, 0);
      v = e ? e : &emptyValue();
    }
    if (v->isReference()) v = conditionFromReference(*v);
    if (v->isError()) {
      if (v->isErrorValue())
        own.copyFrom(*v);
      else
        own.setErrorFrom(*v);
      return false;
    }
    std::optional<double> x = toNumber(*v);
    if (!x || std::fabs(*x) >= 2147483648.0) {
      own.setError(ErrValue);
      return false;
    }
    areaNumber = static_cast<int64_t>(std::trunc(*x));
  }
  FormulaNode* chosen = nullptr;
  if (areaNumber != 0) {
    if (const std::vector<FormulaNode*>* members = first->unionMembers()) {
      int64_t k = areaNumber;
      for (FormulaNode* member : *members)
        if (member && --k == 0) {
          chosen = member;
          break;
        }
    } else if (areaNumber == 1) {
      chosen = first;
    }
  }
  if (chosen && (chosen->isCellReference() || chosen->isReference())) {
    chosenArea_ = chosen->referenceArea();
    hasChosenArea_ = true;
  } else if (!first->isCellReference()) {
    own.setError(ErrRef);
    return false;
  }
  for (size_t i = 1; FormulaNode* rest = argumentNode(i); ++i)
    if (i != 3) evaluateChild(rest, arrayContext);
  return true;
}

// ---------------------------------------------------------------- arguments

// By class: 'V' wants one value: a single cell gives its value, a row or column the cell it shares with
// the current cell (outside array-formula mode, for known functions), any other area stays a reference;
// an array makes the call run element by element. 'A' passes an argument whole: the array it evaluated
// to in array context, else its reference. 'R' and 'N' pass a reference node as its reference even where
// it evaluated to an array, and other arguments as their values. Without a class the argument is taken
// as its node evaluated.
//
// A single-cell reference is reduced to its cell's value in array-formula mode too: element by element it
// gives that value at every position anyway, and a function invoked once then sees the value it expects.
// A range argument stays a range in array context (COUNTIF, OFFSET and SUMIF need the range, not its
// values).
void CallNode::prepareArguments(ArgumentList& arguments) {
  bool reducible = !evaluationContext().arrayFormulaMode && functionNumber_ >= 0;
  size_t position = 0;
  for (FormulaNode* child : children_) {
    if (!child) continue;
    if (arguments.size() >= kMaxArguments) break;
    size_t i = position++;
    if (static_cast<int32_t>(i) == unevaluatedArgument_) {
      arguments.push(&emptyValue(), child);
      continue;
    }
    // The common arguments need none of the questions below: a constant (or a proxy that stands for
    // one) is its value in every class, and a fixed area that takes references is its corners. The
    // first argument of IF and INDEX may follow their rules instead.
    if (i > 0 || (!hasChosenArea_ && unevaluatedArgument_ < 0)) {
      FormulaNode* proxied =
          isProxyKind(child->kind()) ? static_cast<ProxyNode*>(child)->reachableConstant() : nullptr;
      if (proxied || isConstantKind(child->kind())) {
        arguments.push((proxied ? proxied : child)->value(), child);
        continue;
      }
      if (passedAsCorners(*child, i)) {
        arguments.pushReference(child->referenceArea(), child);
        continue;
      }
    }
    const CalcValue* v = child->value();
    if (!v) v = &emptyValue();
    if (i == 0 && rule() == EvaluationRule::If && unevaluatedArgument_ >= 0 && v->isArray()) {
      // The IF rule decided on the first element of an array condition; that element is the condition.
      const CalcValue* first = v->element(0, 0);
      arguments.push(first ? first : &emptyValue(), child);
      continue;
    }
    if (i == 0 && hasChosenArea_) {
      if (chosenArea_.first.isValid())
        arguments.pushReference(chosenArea_, child);
      else
        arguments.push(v, child);
      continue;
    }
    bool cellReference = child->isCellReference();
    bool reference = cellReference || child->isReference();
    Area area = reference ? child->referenceArea() : Area::invalid();
    bool usable = area.first.isValid() && area.second.isValid();
    switch (argClass(descriptor_, static_cast<int>(i))) {
    case ArgNone:
      arguments.push(v, child);
      break;
    case ArgValue:
      if ((!cellReference && v->isArray()) || !usable) {
        arguments.push(v, child);
      } else if (!area.isOneSheet()) {
        arguments.pushReference(area, child);
      } else if (area.first == area.second) {
        arguments.push(&cellArgumentValue(area.first), child);
      } else {
        CellAddress meet = reducible && isLine(area) ? implicitIntersection(area, currentCellAddress())
                                                     : CellAddress::invalid();
        if (meet.isValid())
          arguments.push(&cellArgumentValue(meet), child);
        else
          arguments.pushReference(area, child);
      }
      break;
    case ArgArray:
      if ((!cellReference && v->isArray()) || !usable)
        arguments.push(v, child);
      else
        arguments.pushReference(area, child);
      break;
    case ArgReference:
    case ArgRefOnly:
      if (usable)
        arguments.pushReference(area, child);
      else
        arguments.push(v, child);
      break;
    }
  }
}

void CallNode::replaceOmitted(ArgumentList& arguments) const {
  const char* omitted = descriptor_ ? descriptor_->rules.omitted : nullptr;
  if (!omitted) return;
  static const CalcValue zero = CalcValue::number(0);
  static const CalcValue one = CalcValue::number(1);
  static const CalcValue yes = CalcValue::boolean(true);
  static const CalcValue no = CalcValue::boolean(false);
  for (size_t i = 0; omitted[i] && i < arguments.size(); ++i) {
    if (!isEmptyNode(arguments.node(i))) continue;
    switch (omitted[i]) {
    case '0':
      arguments.replace(i, &zero);
      break;
    case '1':
      arguments.replace(i, &one);
      break;
    case 'T':
      arguments.replace(i, &yes);
      break;
    case 'F':
      arguments.replace(i, &no);
      break;
    case '|':
      arguments.truncate(i);
      return;
    default:
      break;
    }
  }
}

const CalcValue* CallNode::argumentElement(const CalcValue& argument, uint32_t column, uint32_t row) {
  return plainArgumentElement(argument, column, row);
}

// ---------------------------------------------------------------- invocation

void CallNode::apply(const CalcValue* const* arguments, CalcValue& result) {
  EvaluationContext& context = evaluationContext();
  if (implementation_) {
    result.setEmpty();
    implementation_->invoke(context, arguments, result);
    return;
  }
  result.setText(name_);
  if (!hasCallMarker())
    hostCallMacro(context, name_, arguments, result);
  else if (descriptor_)
    hostCallWorksheetFunction(context, functionNumber_, arguments, descriptor_->maxArgs, result);
  else
    hostEvaluateText(context, hostCallText(name_, arguments), result);
}

void CallNode::applyElementwise(const CalcValue* const* arguments, CalcValue& result) {
  applyByElement(
      arguments, result,
      [this](const CalcValue& a, uint32_t c, uint32_t r) { return argumentElement(a, c, r); },
      [this](const CalcValue* const* items, CalcValue& out) { apply(items, out); },
      [](size_t, const CalcValue&) { return false; });
}

void CallNode::applyElementwiseByClass(const CalcValue* const* arguments, CalcValue& result) {
  applyByElement(
      arguments, result,
      [this](const CalcValue& a, uint32_t c, uint32_t r) { return argumentElement(a, c, r); },
      [this](const CalcValue* const* items, CalcValue& out) { apply(items, out); },
      [this](size_t i, const CalcValue& a) {
        ArgClass c = argClass(descriptor_, static_cast<int>(i));
        return (c == ArgReference || c == ArgArray || c == ArgRefOnly) && (a.isArray() || a.isReference());
      });
}

void CallNode::applySelectedElementwise(const CalcValue* const* arguments, CalcValue& result) {
  uint32_t mask = descriptor_ ? descriptor_->rules.elementwiseArguments : 0;
  applyByElement(
      arguments, result,
      [this](const CalcValue& a, uint32_t c, uint32_t r) { return argumentElement(a, c, r); },
      [this](const CalcValue* const* items, CalcValue& out) {
        apply(items, out);
        if (!out.isReference()) return;
        Area area = out.referenceArea();
        if (area.first.isValid() && area.first == area.second)
          out.copyFrom(cellArgumentValue(area.first));
        else
          out.setError(ErrValue);
      },
      [mask](size_t i, const CalcValue& a) {
        return !FunctionDescriptor::selects(mask, static_cast<int>(i)) && (a.isArray() || a.isReference());
      });
}

const CalcValue* CallNode::evaluateWith(int argumentClass, const CalcValue* const* arguments,
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

void CallNode::evaluateWholeCall(const ArgumentList& arguments, CalcValue& result) {
  EvaluationContext& context = evaluationContext();
  if (functionNumber_ < 0) result.setText(name_);
  if (!hasCallMarker())
    hostEvaluateCall(context, *this, arguments.data(), result);
  else if (descriptor_)
    hostCallWorksheetFunction(context, functionNumber_, arguments.data(), descriptor_->maxArgs, result);
  else
    hostEvaluateText(context, wholeCallText(arguments), result);
}

// Each argument as the host should read it: a volatile call, a reference or an empty argument by its
// formula text; a text quoted; any other value by whichever of its formula text and its value's text
// is shorter (the formula text for an error).
std::u16string CallNode::wholeCallText(const ArgumentList& arguments) const {
  std::u16string text = u"=" + name_ + u"(";
  const std::u16string& separator = localeSettings().listSeparator;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i) text += separator;
    const CalcValue& v = *arguments[i];
    FormulaNode* node = arguments.node(i);
    bool volatileCall =
        node && node->kind() == NodeKind::Call && static_cast<CallNode*>(node)->hasTrait(TraitHostVolatile);
    if (node && (volatileCall || node->isCellReference() || node->isAreaReference() || v.isEmpty())) {
      text += childText(node);
    } else if (v.isText()) {
      text += quotedFormulaText(v.textView());
    } else {
      std::u16string valueText = v.isReferenceList() && node ? childText(node) : hostArgumentText(v);
      std::u16string nodeText = node ? childText(node) : valueText;
      text += nodeText.size() < valueText.size() || v.isError() ? nodeText : valueText;
    }
  }
  text += u")";
  return text;
}

// ---------------------------------------------------------------- records and texts

void CallNode::writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const {
  RecordWriter record(out, NodeKind::Call, parentIndex);
  record.i32(flags_);
  record.text(std::u16string_view(name_).substr(0, textUnitsThatFit(kNodeHeaderSize + 4)));
}

std::u16string CallNode::formulaText() const {
  const std::u16string* shown = functionNumber_ >= 0 ? functionTable().nameOf(functionNumber_) : nullptr;
  std::u16string text = (shown ? *shown : name_) + u"(";
  const std::u16string& separator = localeSettings().listSeparator;
  bool first = true;
  for (FormulaNode* child : children_) {
    if (!child) continue;
    if (!first) text += separator;
    first = false;
    if (child->isCellReference() || child->isAreaReference() || child->isReference()) {
      text += childText(child);
    } else if (const CalcValue* v = child->value()) {
      text += valueFormulaText(*v);
    }
  }
  text += u")";
  return text;
}

} // namespace cwbk
