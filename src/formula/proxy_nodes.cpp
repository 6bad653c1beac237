// Proxy nodes: finding and caching targets, and the nested evaluation of names and templates.
#include "formula/proxy_nodes.h"

#include <string>

#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/node_records.h"

namespace cwbk {

// ---------------------------------------------------------------- records shared by every proxy

void ProxyNode::writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const {
  RecordWriter record(out, kind(), parentIndex);
  record.i32(index_);
}

// ---------------------------------------------------------------- NameRefNode

// The lists do not change after loading, so a target once found stays valid.
FormulaNode* NameRefNode::target() {
  if (!cached_) {
    DefinedName* name = workbook_->definedName(index_);
    cached_ = name ? name->root : nullptr;
  }
  return cached_;
}

void NameRefNode::evaluateTarget(FormulaNode& target) {
  CurrentCellScope keepCurrentCell;
  target.setParent(this);
  target.evaluate();
}

// ---------------------------------------------------------------- OperandRefNode

FormulaNode* OperandRefNode::target() {
  Cell* cell = evaluationContext().currentCell;
  if (!cell || index_ < 0 || static_cast<size_t>(index_) >= cell->operandRoots().size()) return nullptr;
  return cell->operandRoots()[static_cast<size_t>(index_)];
}

std::u16string OperandRefNode::missingTargetText() const {
  std::string text = "@" + std::to_string(index_);
  return std::u16string(text.begin(), text.end());
}

std::u16string OperandRefNode::formulaText() const {
  Cell* cell = evaluationContext().currentCell;
  if (!cell || cell->templateIndex() == -1) return missingTargetText();
  return ProxyNode::formulaText();
}

// ---------------------------------------------------------------- SharedRefNode, TemplateRefNode

FormulaNode* SharedRefNode::target() {
  if (!cached_) cached_ = workbook_->sharedExpression(index_);
  return cached_;
}

FormulaNode* TemplateRefNode::target() {
  if (!cached_) cached_ = workbook_->formulaTemplate(index_);
  return cached_;
}

void TemplateRefNode::evaluateTarget(FormulaNode& target) {
  target.setParent(parent_);
  target.evaluate();
}

} // namespace cwbk
