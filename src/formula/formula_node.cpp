// FormulaNode: base behaviour of the virtual operations, the composite and proxy bases, and the
// process-wide evaluation context.
#include "formula/formula_node.h"

#include <cstdio>

#include "formula/array_node.h"
#include "formula/cell.h"
#include "formula/reference_nodes.h"
#include "values/conversions.h"

namespace cwbk {

// ---------------------------------------------------------------- evaluation context

constinit EvaluationContext detail::evaluationContextInstance;

CompiledWorkbook* EvaluationContext::cellWorkbook() const {
  if (workbook) return workbook;
  return currentCell ? currentCell->workbook() : nullptr;
}

CellAddress EvaluationContext::currentAddress() const {
  return currentCell ? currentCell->address() : CellAddress::invalid();
}

CellAddress currentCellAddress() {
  return evaluationContext().currentAddress();
}

CompiledWorkbook* evaluationWorkbook() {
  return evaluationContext().cellWorkbook();
}

const CalcValue& emptyValue() {
  static const CalcValue empty;
  return empty;
}

// ---------------------------------------------------------------- FormulaNode

FormulaNode::~FormulaNode() {
  CalcValue::destroy(value_);
}

bool FormulaNode::addChild(FormulaNode* child) {
  delete child; // a leaf has no children
  return false;
}

void FormulaNode::addChildren(const std::vector<FormulaNode*>& nodes) {
  for (FormulaNode* node : nodes)
    if (node) addChild(node);
}

void FormulaNode::takeChildren(FormulaNode& other) {
  if (&other == this) return;
  for (FormulaNode* child : other.detachChildren())
    if (child) addChild(child);
}

bool FormulaNode::anyArrayArgument(const CalcValue* const* arguments) {
  for (; arguments && *arguments; ++arguments)
    if ((*arguments)->isArray()) return true;
  return false;
}

bool FormulaNode::anyAreaArgument(const CalcValue* const* arguments) {
  for (; arguments && *arguments; ++arguments) {
    const CalcValue& v = **arguments;
    if (v.isReferenceList()) return true;
    if (v.isReference()) {
      Area area = v.referenceArea();
      if (area.first != area.second) return true;
    }
  }
  return false;
}

bool FormulaNode::wantsElementwise(int argumentClass, const CalcValue* const* arguments) {
  constexpr int kReferenceClass = 2, kArrayClass = 3; // the 'R' and 'A' argument classes
  bool wholeClass = argumentClass == kReferenceClass || argumentClass == kArrayClass;
  return anyArrayArgument(arguments) || (wholeClass && anyAreaArgument(arguments));
}

std::vector<uint8_t> FormulaNode::makeRecord(int32_t parentIndex) const {
  std::vector<uint8_t> record;
  writeSelf(parentIndex, record);
  return record;
}

void FormulaNode::appendRecord(std::vector<std::vector<uint8_t>>& records, int32_t parentIndex) const {
  records.push_back(makeRecord(parentIndex));
}

void FormulaNode::writeTree(int32_t parentIndex, int32_t& counter, std::vector<uint8_t>& out) const {
  writeSelf(parentIndex, out);
  int32_t own = counter++;
  if (const auto* list = children())
    for (const FormulaNode* child : *list)
      if (child) child->writeTree(own, counter, out);
}

void FormulaNode::collect(std::vector<FormulaNode*>& path, PathVisitor& visitor) {
  path.push_back(this);
  visitor.see(path);
  if (const auto* list = children())
    for (FormulaNode* child : *list)
      if (child) child->collect(path, visitor);
  path.pop_back();
}

void FormulaNode::visit(NodeVisitor& visitor) {
  if (!visitor.accept(*this)) return;
  if (const auto* list = children())
    for (FormulaNode* child : *list) {
      if (!child) continue;
      if (!child->parent()) child->setParent(this);
      child->visit(visitor);
    }
}

const CalcValue* FormulaNode::value() {
  return value_;
}

const CalcValue* FormulaNode::evaluateWith(int, const CalcValue* const*, CalcValue&) {
  return value();
}

const CalcValue* FormulaNode::evaluateAsArray() {
  evaluateChildrenAsArray();
  return value();
}

CalcValue& FormulaNode::ownValue() {
  if (!value_) value_ = CalcValue::create();
  return *value_;
}

const CalcValue& FormulaNode::valueOrEmpty() {
  const CalcValue* v = value();
  return v ? *v : emptyValue();
}

void FormulaNode::setReferenceValue(const Area& area) {
  mutableValue().setReference(area);
}
void FormulaNode::setNumberValue(double x) {
  mutableValue().setNumber(x);
}
void FormulaNode::setValue(const CalcValue& v) {
  mutableValue().copyFrom(v);
}

const CalcValue* FormulaNode::arrayValue() {
  ArrayNode* node = asArrayConstant();
  return node ? static_cast<FormulaNode*>(node)->value() : nullptr;
}

const std::vector<FormulaNode*>* FormulaNode::unionMembers() {
  UnionNode* node = asUnion();
  return node ? static_cast<FormulaNode*>(node)->children() : nullptr;
}

bool FormulaNode::isReference() {
  const CalcValue* v = value();
  return v && v->isReference();
}

Area FormulaNode::referenceArea() {
  const CalcValue* v = value();
  return v ? v->referenceArea() : Area::invalid();
}

bool FormulaNode::greaterThan(FormulaNode& other) {
  return greater(valueOrEmpty(), other.valueOrEmpty());
}
bool FormulaNode::greaterOrEqual(FormulaNode& other) {
  return cwbk::greaterOrEqual(valueOrEmpty(), other.valueOrEmpty());
}
bool FormulaNode::lessThan(FormulaNode& other) {
  return less(valueOrEmpty(), other.valueOrEmpty());
}
bool FormulaNode::lessOrEqual(FormulaNode& other) {
  return greaterOrEqualAlt(other.valueOrEmpty(), valueOrEmpty());
}
bool FormulaNode::equalTo(FormulaNode& other) {
  return equal(valueOrEmpty(), other.valueOrEmpty());
}
bool FormulaNode::notEqualTo(FormulaNode& other) {
  return !equalTo(other);
}

// The other value is copied first: both nodes may show the same value object.
double FormulaNode::subtractValue(FormulaNode& other) {
  CalcValue operand(other.valueOrEmpty());
  CalcValue& target = mutableValue();
  subtract(target, operand);
  return target.numberValue();
}

double FormulaNode::addValue(FormulaNode& other) {
  CalcValue operand(other.valueOrEmpty());
  CalcValue& target = mutableValue();
  add(target, operand);
  return target.numberValue();
}

double FormulaNode::multiplyValue(FormulaNode& other) {
  CalcValue operand(other.valueOrEmpty());
  CalcValue& target = mutableValue();
  multiply(target, operand);
  return target.numberValue();
}

double FormulaNode::divideValue(FormulaNode& other) {
  CalcValue divisor(other.valueOrEmpty());
  CalcValue& target = mutableValue();
  divide(divisor, target);
  return target.numberValue();
}

std::u16string FormulaNode::debugText() {
  const CalcValue& v = valueOrEmpty();
  std::u16string text = displayText(v);
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "%d|%d|", static_cast<int>(kind()), static_cast<int>(v.tag()));
  std::u16string result(prefix, prefix + std::char_traits<char>::length(prefix));
  return result + text;
}

std::u16string FormulaNode::childText(const FormulaNode* child) {
  if (!child) return {};
  NestingGuard nesting;
  return child->formulaText();
}

// ---------------------------------------------------------------- CompositeNode

CompositeNode::~CompositeNode() {
  CompositeNode::releaseChildren();
}

void CompositeNode::releaseChildren() {
  for (FormulaNode* child : children_)
    delete child;
  children_.clear();
}

bool CompositeNode::addChild(FormulaNode* child) {
  if (!child) return false;
  child->setParent(this);
  children_.push_back(child);
  return true;
}

std::vector<FormulaNode*> CompositeNode::detachChildren() {
  std::vector<FormulaNode*> taken;
  taken.swap(children_);
  return taken;
}

const CalcValue* CompositeNode::evaluateChildren() {
  NestingGuard nesting;
  for (FormulaNode* child : children_) {
    if (!child) continue;
    if (!child->parent()) child->setParent(this);
    child->evaluate();
  }
  return value_; // the own value: a union's value() would build its reference list
}

void CompositeNode::evaluateChildrenAsArray() {
  NestingGuard nesting;
  for (FormulaNode* child : children_) {
    if (!child) continue;
    if (!child->parent()) child->setParent(this);
    child->evaluateAsArray();
  }
}

FormulaNode* CompositeNode::firstChild() const {
  for (FormulaNode* child : children_)
    if (child) return child;
  return nullptr;
}

FormulaNode* CompositeNode::lastChild() const {
  for (auto it = children_.rbegin(); it != children_.rend(); ++it)
    if (*it) return *it;
  return nullptr;
}

size_t CompositeNode::childCount() const {
  size_t n = 0;
  for (FormulaNode* child : children_)
    if (child) ++n;
  return n;
}

// ---------------------------------------------------------------- ProxyNode

const CalcValue* ProxyNode::fault() {
  ownValue().setError(faultCode());
  return value_;
}

CalcValue& ProxyNode::mutableValue() {
  CalcValue* result = nullptr;
  // The target's value is changed in place; without a reachable target the proxy's own value serves.
  if (forward([&](FormulaNode& t) { result = &t.mutableValue(); })) return *result;
  return ownValue();
}

const CalcValue* ProxyNode::value() {
  if (faulted_) return value_;
  const CalcValue* result = nullptr;
  if (!target()) return missingTarget();
  if (!forward([&](FormulaNode& t) { result = t.value(); })) return fault();
  return result;
}

void ProxyNode::evaluateTarget(FormulaNode& target) {
  target.evaluate();
}

FormulaNode* ProxyNode::reachableConstant() {
  if (busy_ || evaluationContext().nestingDepth >= kMaxNestingDepth) return nullptr;
  FormulaNode* t = target();
  return t && isConstantKind(t->kind()) ? t : nullptr;
}

const CalcValue* ProxyNode::evaluate() {
  faulted_ = false;
  if (FormulaNode* constant = reachableConstant()) return constant->value();
  if (!target()) return missingTarget();
  if (!forward([&](FormulaNode& t) { evaluateTarget(t); })) {
    faulted_ = true;
    return fault();
  }
  return value();
}

const CalcValue* ProxyNode::evaluateAsArray() {
  faulted_ = false;
  if (!target()) return missingTarget();
  if (!forward([&](FormulaNode& t) { t.evaluateAsArray(); })) {
    faulted_ = true;
    return fault();
  }
  return value();
}

const CalcValue* ProxyNode::evaluateWith(int argumentClass, const CalcValue* const* arguments,
                                         CalcValue& result) {
  const CalcValue* answer = nullptr;
  if (!forward([&](FormulaNode& t) { answer = t.evaluateWith(argumentClass, arguments, result); }))
    return value();
  return answer;
}

void ProxyNode::setReferenceValue(const Area& area) {
  if (!forward([&](FormulaNode& t) { t.setReferenceValue(area); })) ownValue().setReference(area);
}

void ProxyNode::setNumberValue(double x) {
  if (!forward([&](FormulaNode& t) { t.setNumberValue(x); })) ownValue().setNumber(x);
}

void ProxyNode::setValue(const CalcValue& v) {
  if (!forward([&](FormulaNode& t) { t.setValue(v); })) ownValue().copyFrom(v);
}

ArrayNode* ProxyNode::asArrayConstant() {
  ArrayNode* result = nullptr;
  forward([&](FormulaNode& t) { result = t.asArrayConstant(); });
  return result;
}

UnionNode* ProxyNode::asUnion() {
  UnionNode* result = nullptr;
  forward([&](FormulaNode& t) { result = t.asUnion(); });
  return result;
}

bool ProxyNode::isReference() {
  if (faulted_) return false;
  bool result = false;
  forward([&](FormulaNode& t) { result = t.isReference(); });
  return result;
}

Area ProxyNode::referenceArea() {
  if (faulted_) return Area::invalid();
  Area result = Area::invalid();
  forward([&](FormulaNode& t) { result = t.referenceArea(); });
  return result;
}

CellRefNode* ProxyNode::asCellReference() {
  CellRefNode* result = nullptr;
  forward([&](FormulaNode& t) { result = t.asCellReference(); });
  return result;
}

AreaRefNode* ProxyNode::asAreaReference() {
  AreaRefNode* result = nullptr;
  forward([&](FormulaNode& t) { result = t.asAreaReference(); });
  return result;
}

std::u16string ProxyNode::missingTargetText() const {
  return std::u16string(errorText(faultCode()));
}

std::u16string ProxyNode::formulaText() const {
  auto* self = const_cast<ProxyNode*>(this);
  std::u16string text;
  if (!self->forward([&](FormulaNode& t) { text = t.formulaText(); })) return missingTargetText();
  return text;
}

} // namespace cwbk
