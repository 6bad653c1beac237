// Inserting a sheet between others: every sheet index from the insertion point on moves up by one, in
// the sheet table and the workbook's lists, the grid and its cells, the area index, the formula trees
// and the references their nodes hold. Links between cells are pointers and stay as they are.
#include <unordered_set>

#include "formula/compiled_workbook.h"
#include "formula/formula_node.h"
#include "formula/recalculation.h"
#include "formula/reference_nodes.h"

namespace cwbk {

namespace {

// Renumbers the reference nodes of trees, and the references that nodes computed, each node once
// however many trees reach it.
class SheetRenumbering : public NodeVisitor {
public:
  explicit SheetRenumbering(uint32_t from) : from_(from) {}

  void walk(FormulaNode* root) {
    if (root) root->visit(*this);
  }

  bool accept(FormulaNode& node) override {
    if (!seen_.insert(&node).second) return false;
    // Proxies answer for their targets (their kind questions and values included); the targets' own
    // visits renumber them, so a proxy is left alone.
    // A cell reference reads its address from its cell, which the grid's walk renumbers.
    const NodeKind kind = node.kind();
    if (kind == NodeKind::CellRef) return true;
    if (kind == NodeKind::AreaRef) {
      AreaRefNode& area = static_cast<AreaRefNode&>(node);
      area.renumberSheet(shiftedForInsertedSheet(Area{area.first(), area.second()}, from_));
    }
    // A reference that a node computed in its last evaluation, which the dependency walks read back.
    if (kind != NodeKind::Call && kind != NodeKind::Union && kind != NodeKind::Intersection &&
        kind != NodeKind::AreaRef)
      return true;
    const CalcValue* value = node.value();
    if (value && value->isReference())
      node.setReferenceValue(
          shiftedForInsertedSheet(Area{value->firstCorner(), value->secondCorner()}, from_));
    return true;
  }

private:
  uint32_t from_;
  std::unordered_set<FormulaNode*> seen_;
};

// Returns a map keyed by sheet index with the keys from `from` on raised by one.
template <typename Map> Map renumberedKeys(Map& map, uint32_t from) {
  Map result;
  for (auto& [key, value] : map)
    result.emplace(key >= from && key < CellAddress::kNoSheet ? key + 1 : key, std::move(value));
  return result;
}

} // namespace

bool CompiledWorkbook::insertSheet(uint32_t index, SheetInfo info) {
  const uint32_t next = sheets_.empty() ? 0 : sheets_.rbegin()->first + 1;
  if (index > next || next + 1 >= CellAddress::kNoSheet || sheetIndex(info.name) >= 0) return false;
  if (index < next) {
    auto shift = [index](auto&& address) { return shiftedForInsertedSheet(address, index); };
    sheets_ = renumberedKeys(sheets_, index);
    for (auto& [sheet, entry] : sheets_) {
      entry.firstUsed = shift(entry.firstUsed);
      entry.lastUsed = shift(entry.lastUsed);
    }
    controls_ = renumberedKeys(controls_, index);
    for (auto& [sheet, controls] : controls_)
      for (auto& [name, control] : controls)
        control.linkedCell = shift(control.linkedCell);
    for (DefinedName& name : definedNames_)
      if (name.scope >= int32_t(index)) ++name.scope;
    for (Area& area : areaSet_)
      area = shift(area);
    for (DdeSource& source : ddeSources_)
      for (DdeItem& item : source.items)
        for (CellAddress& cell : item.cells)
          cell = shift(cell);

    SheetRenumbering trees(index);
    for (FormulaNode* root : formulaTemplates_)
      trees.walk(root);
    for (FormulaNode* root : sharedExpressions_)
      trees.walk(root);
    for (DefinedName& name : definedNames_)
      trees.walk(name.root);
    grid_.insertSheet(index);
    grid_.forEachCell([&](Cell& cell) {
      cell.renumberSheet(shift(cell.address()));
      if (cell.arrayArea().isValid()) cell.setArrayArea(shift(cell.arrayArea()));
      for (FormulaNode* root : cell.operandRoots())
        trees.walk(root);
    });
    areaIndex_.insertSheet(index);
    if (recalculator_) recalculator_->forgetDataTables();
    state_.clearCaches();
  }
  setSheet(index, std::move(info));
  return true;
}

} // namespace cwbk
