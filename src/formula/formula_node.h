// FormulaNode: the base of every formula-tree node and its virtual operations, the composite and proxy
// bases, and the process-wide evaluation context (current cell, array-formula mode, host services).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "values/calc_value.h"
#include "values/cell_address.h"
#include "values/pool.h"

namespace cwbk {

class Cell;
class CompiledWorkbook;
class ArrayNode;
class UnionNode;
class CellRefNode;
class AreaRefNode;
class HostEvaluationService;

// Node kinds; the same codes as the kinds of the node records.
enum class NodeKind : uint16_t {
  Empty = 1,
  Number = 2,
  Text = 3,
  Boolean = 4,
  Error = 5,
  CellRef = 6,
  AreaRef = 7,
  ExternalRef = 8,
  DdeRef = 9,
  Union = 10,
  Intersection = 11,
  Array = 12,
  NameRef = 13,
  OperandRef = 14,
  SharedRef = 15,
  TemplateRef = 16,
  Call = 17,
  Compare = 18,
  Arithmetic = 19,
};
constexpr uint16_t kLastNodeKind = 19;

// Returns true for the constant kinds whose value is all there is to them: number, text, boolean,
// error and array constants (an empty argument is left to the general path).
constexpr bool isConstantKind(NodeKind kind) {
  return (kind >= NodeKind::Number && kind <= NodeKind::Error) || kind == NodeKind::Array;
}

// The calls that external-link and DDE references make into the host; the host adapter implements
// them, tests use a double.
class LinkServices {
public:
  virtual ~LinkServices() = default;
  // Returns true when the host opened the linked workbook at fullPath.
  virtual bool openLinkedWorkbook(std::u16string_view fullPath) = 0;
  // Reads the value of referenceText into value: from the open workbook at *workbookPath, or, when
  // workbookPath is null, from a text that names the linked file itself.
  virtual void readLinkedCell(const std::u16string* workbookPath, std::u16string_view referenceText,
                              CalcValue& value) = 0;
  // Returns true when the runtime's own DDE client answered the request (its answer is in value).
  virtual bool ddeRequestDirect(std::u16string_view application, std::u16string_view topic,
                                std::u16string_view item, CalcValue& value) = 0;
  // Returns the channel of a new DDE conversation through the host, or a negative number on failure.
  virtual int32_t ddeInitiate(std::u16string_view application, std::u16string_view topic) = 0;
  // Requests an item on an open channel into value.
  virtual void ddeRequest(int32_t channel, std::u16string_view item, CalcValue& value) = 0;
  // Returns a folder expanded to a full path by the platform.
  virtual std::u16string fullPath(std::u16string_view folder) = 0;
};

// The process-wide record that every evaluation reads. Single-threaded, no locking.
struct EvaluationContext {
  // The cell whose formula is being evaluated; nested evaluations restore it.
  Cell* currentCell = nullptr;
  // True while the current cell belongs to an array formula.
  bool arrayFormulaMode = false;
  // The workbook whose cells references read; when null, the current cell's workbook.
  CompiledWorkbook* workbook = nullptr;
  // The two host evaluation services for functions the library does not compute itself.
  HostEvaluationService* functionService = nullptr;
  HostEvaluationService* macroService = nullptr;
  // The host calls of external-link and DDE references.
  LinkServices* links = nullptr;
  // How many composite and proxy operations are active; proxies refuse to go deeper than
  // kMaxNestingDepth, which bounds the recursion through defined names, templates and operands.
  uint32_t nestingDepth = 0;

  // Returns the workbook that evaluation reads cells from: `workbook`, else the current cell's, else
  // null.
  CompiledWorkbook* cellWorkbook() const;
  // Returns the address of the current cell, or the invalid address when there is none.
  CellAddress currentAddress() const;
};
constexpr uint32_t kMaxNestingDepth = 1000;

namespace detail {
// Constant-initialized, so it is ready before any static constructor runs.
extern constinit EvaluationContext evaluationContextInstance;
} // namespace detail

// Returns the process-wide evaluation context.
inline EvaluationContext& evaluationContext() {
  return detail::evaluationContextInstance;
}
// Returns the process-wide context's currentAddress().
CellAddress currentCellAddress();
// Returns the process-wide context's cellWorkbook().
CompiledWorkbook* evaluationWorkbook();

// Counts one level of nesting in the evaluation context for the lifetime of the guard.
class NestingGuard {
public:
  NestingGuard() : depth_(evaluationContext().nestingDepth) { ++depth_; }
  ~NestingGuard() { --depth_; }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;
  // Returns true when this level lies beyond the allowed depth.
  bool tooDeep() const { return depth_ > kMaxNestingDepth; }

private:
  uint32_t& depth_;
};

// Restores the context's current cell when it goes out of scope.
class CurrentCellScope {
public:
  CurrentCellScope() : saved_(evaluationContext().currentCell) {}
  ~CurrentCellScope() { evaluationContext().currentCell = saved_; }
  CurrentCellScope(const CurrentCellScope&) = delete;
  CurrentCellScope& operator=(const CurrentCellScope&) = delete;

private:
  Cell* saved_;
};

// Returns the shared Empty value that stands for an absent value.
const CalcValue& emptyValue();

class FormulaNode;

// Decides, node by node, whether visit descends into a node's children.
class NodeVisitor {
public:
  virtual ~NodeVisitor() = default;
  // Returns true when the visit should go on into the node's children.
  virtual bool accept(FormulaNode& node) = 0;
};

// Sees the path from the root to each node of a pre-order walk (collect).
class PathVisitor {
public:
  virtual ~PathVisitor() = default;
  virtual void see(const std::vector<FormulaNode*>& path) = 0;
};

// A node of a formula tree. It owns its value (from the value pool) and, if composite, its children.
class FormulaNode : public PoolAllocated {
public:
  FormulaNode() = default;
  FormulaNode(const FormulaNode&) = delete;
  FormulaNode& operator=(const FormulaNode&) = delete;
  // Releases the value; a composite also destroys its children.
  virtual ~FormulaNode();

  // --- structure
  // Returns the children of a composite in argument order (slots may be null); null for a leaf.
  virtual const std::vector<FormulaNode*>* children() const { return nullptr; }
  // Destroys and clears the children of a composite; nothing for a leaf.
  virtual void releaseChildren() {}
  // Adds a child and takes ownership of it. Returns true when the child is kept among the children;
  // false when it was consumed or refused, in which case it has been destroyed.
  virtual bool addChild(FormulaNode* child);
  // Adds every non-null entry of the list.
  void addChildren(const std::vector<FormulaNode*>& nodes);
  // Moves every child of another node to the end of this node's children.
  void takeChildren(FormulaNode& other);
  // Returns the children handed over by the node, which no longer owns them (empty for a leaf).
  virtual std::vector<FormulaNode*> detachChildren() { return {}; }
  void setParent(FormulaNode* node) { parent_ = node; }
  FormulaNode* parent() const { return parent_; }
  // Returns the node kind code.
  virtual NodeKind kind() const = 0;

  // Returns true if any value of the null-terminated list is an Array.
  static bool anyArrayArgument(const CalcValue* const* arguments);
  // Returns true if any value of the null-terminated list is a Reference to more than one cell, or a
  // ReferenceList.
  static bool anyAreaArgument(const CalcValue* const* arguments);
  // Returns true when caller-supplied arguments of a class are taken element by element: some value is
  // an Array, or the class passes references whole ('R' or 'A') and some value spans several cells.
  static bool wantsElementwise(int argumentClass, const CalcValue* const* arguments);

  // --- records
  // Appends this node's record, with the given parent index, to out.
  virtual void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const = 0;
  // Returns a new record for this node.
  std::vector<uint8_t> makeRecord(int32_t parentIndex) const;
  // Appends makeRecord to a list of records.
  void appendRecord(std::vector<std::vector<uint8_t>>& records, int32_t parentIndex) const;
  // Writes the subtree in pre-order: this record with parentIndex, taking counter as this node's own
  // index and incrementing it, then every child with this node's index as its parent index.
  void writeTree(int32_t parentIndex, int32_t& counter, std::vector<uint8_t>& out) const;

  // --- walks
  // Pre-order walk: pushes itself on path, lets the visitor see the path, walks the children, pops.
  void collect(std::vector<FormulaNode*>& path, PathVisitor& visitor);
  // Lets the visitor accept this node; if it does, visits each child after setting its parent.
  void visit(NodeVisitor& visitor);

  // --- values
  // Returns the node's current value without evaluating (null when it has none).
  virtual const CalcValue* value();
  // Computes the value and returns it; constants return their value unchanged.
  virtual const CalcValue* evaluate() { return value(); }
  // Evaluates every child in order (composite) and returns the node's value.
  virtual const CalcValue* evaluateChildren() { return value(); }
  // Evaluates with argument values that the caller supplies (operators and calls); returns the value.
  virtual const CalcValue* evaluateWith(int argumentClass, const CalcValue* const* arguments,
                                        CalcValue& result);
  // Calls evaluateAsArray of every child (composite); nothing for a leaf.
  virtual void evaluateChildrenAsArray() {}
  // Evaluates in array context, where an area stands for the array of its cells' values.
  virtual const CalcValue* evaluateAsArray();
  // Sets the value to a Reference to the area.
  virtual void setReferenceValue(const Area& area);
  // Sets the value with setNumber.
  virtual void setNumberValue(double x);
  // Copies a value into the node's value.
  virtual void setValue(const CalcValue& v);

  // --- kind questions
  virtual ArrayNode* asArrayConstant() { return nullptr; }
  bool isArrayConstant() { return asArrayConstant() != nullptr; }
  // Returns the constant array of an array constant, else null.
  const CalcValue* arrayValue();
  virtual UnionNode* asUnion() { return nullptr; }
  bool isUnion() { return asUnion() != nullptr; }
  // Returns the members of a union, else null.
  const std::vector<FormulaNode*>* unionMembers();
  // Returns true when the node denotes a reference (default: its value is a Reference).
  virtual bool isReference();
  // Returns the area the node denotes; the invalid area when its value is not a Reference.
  virtual Area referenceArea();
  virtual CellRefNode* asCellReference() { return nullptr; }
  bool isCellReference() { return asCellReference() != nullptr; }
  virtual AreaRefNode* asAreaReference() { return nullptr; }
  bool isAreaReference() { return asAreaReference() != nullptr; }

  // --- comparisons of the two nodes' values (an absent value counts as Empty)
  bool greaterThan(FormulaNode& other);
  bool greaterOrEqual(FormulaNode& other);
  bool lessThan(FormulaNode& other);
  // Returns this <= other, computed as other >= this by the second ordering routine.
  bool lessOrEqual(FormulaNode& other);
  bool equalTo(FormulaNode& other);
  bool notEqualTo(FormulaNode& other);

  // --- arithmetic in place on this node's value; each returns the result as a number
  double subtractValue(FormulaNode& other);
  double addValue(FormulaNode& other);
  double multiplyValue(FormulaNode& other);
  // Stores this value / other value as a Double; a zero divisor leaves Integer 0.
  double divideValue(FormulaNode& other);

  // --- texts
  // Returns the node as formula text.
  virtual std::u16string formulaText() const = 0;
  // Returns "kind|tag|text" for the node's value (an absent value counts as Empty).
  virtual std::u16string debugText();

  // Returns the value that in-place operations change, creating it when needed (for a cell reference
  // the cell's value, for a proxy its target's).
  virtual CalcValue& mutableValue() { return ownValue(); }

protected:
  // Returns the node's own value object, creating an Empty one when there is none.
  CalcValue& ownValue();
  // Returns the value or the shared Empty value.
  const CalcValue& valueOrEmpty();
  // Returns a child's formula text, counting one level of nesting.
  static std::u16string childText(const FormulaNode* child);

  FormulaNode* parent_ = nullptr;
  CalcValue* value_ = nullptr;
};

// Base of every node with children. Children are owned; empty slots are skipped everywhere.
class CompositeNode : public FormulaNode {
public:
  ~CompositeNode() override;
  const std::vector<FormulaNode*>* children() const override { return &children_; }
  void releaseChildren() override;
  bool addChild(FormulaNode* child) override;
  std::vector<FormulaNode*> detachChildren() override;
  const CalcValue* evaluateChildren() override;
  void evaluateChildrenAsArray() override;

protected:
  // Returns the first or last non-null child, or null.
  FormulaNode* firstChild() const;
  FormulaNode* lastChild() const;
  // Returns the number of non-null children.
  size_t childCount() const;

  std::vector<FormulaNode*> children_;
};

// Stands for another node (its target) that lives in a list outside the tree. Nearly every operation
// is forwarded to the target; the proxy does not own it. Forwarding is guarded: a proxy that reaches
// itself again, or a chain nested too deeply, yields the proxy's fault error instead of recursing.
class ProxyNode : public FormulaNode {
public:
  // Returns the node this proxy stands for, or null.
  virtual FormulaNode* target() = 0;
  // Returns the target when it is a constant that this proxy reaches at the current depth (asking it
  // is then asking the proxy, once the proxy is evaluated), or null.
  FormulaNode* reachableConstant();
  int32_t index() const { return index_; }

  const CalcValue* value() override;
  const CalcValue* evaluate() override;
  const CalcValue* evaluateAsArray() override;
  const CalcValue* evaluateWith(int argumentClass, const CalcValue* const* arguments,
                                CalcValue& result) override;
  void setReferenceValue(const Area& area) override;
  void setNumberValue(double x) override;
  void setValue(const CalcValue& v) override;
  ArrayNode* asArrayConstant() override;
  UnionNode* asUnion() override;
  bool isReference() override;
  Area referenceArea() override;
  CellRefNode* asCellReference() override;
  AreaRefNode* asAreaReference() override;
  std::u16string formulaText() const override;
  void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const override;

protected:
  explicit ProxyNode(int32_t index) : index_(index) {}
  // Returns the error that stands for a target that reaches itself.
  virtual int32_t faultCode() const { return ErrRef; }
  // Evaluates the resolved target; the proxy's busy mark and nesting are already in place.
  virtual void evaluateTarget(FormulaNode& target);
  // Returns the text when the target cannot give one (no target, or a fault).
  virtual std::u16string missingTargetText() const;
  // Returns the value of a proxy without a target: none, which callers treat as Empty.
  virtual const CalcValue* missingTarget() { return nullptr; }
  // Sets the proxy's own value to its fault error and returns it.
  const CalcValue* fault();

public:
  CalcValue& mutableValue() override;

protected:
  // Runs op on the target, with the target's parent set to this proxy's parent for the call when it has
  // none, the proxy marked busy and one level of nesting counted. Returns false (op not run) when there is no
  // target, the proxy is already busy or the nesting is too deep.
  template <typename Op> bool forward(Op&& op);

  int32_t index_;
  mutable bool busy_ = false;
  bool faulted_ = false; // the last evaluation hit a fault; value() answers the fault error
};

template <typename Op> bool ProxyNode::forward(Op&& op) {
  FormulaNode* t = target();
  if (!t || busy_) return false;
  // A constant evaluates nothing and reaches no proxy: it is asked directly, without the busy mark and
  // the borrowed parent, at the depth where the nesting count would have let it through.
  if (isConstantKind(t->kind())) {
    if (evaluationContext().nestingDepth >= kMaxNestingDepth) return false;
    op(*t);
    return true;
  }
  NestingGuard nesting;
  if (nesting.tooDeep()) return false;
  busy_ = true;
  struct Restore {
    bool& flag;
    FormulaNode& node;
    FormulaNode* parent;
    ~Restore() {
      flag = false;
      node.setParent(parent);
    }
  } restore{busy_, *t, t->parent()};
  if (!t->parent()) t->setParent(parent_);
  op(*t);
  return true;
}

} // namespace cwbk
