// Data tables of the recalculator: finding a table's input cells, marking tables that a recalculation
// reached, and recomputing every body cell by substituting the header values into the inputs and
// replaying the evaluation plan of the result cell.
#include <algorithm>

#include "formula/call_node.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/formula_node.h"
#include "formula/recalculation.h"
#include "formula/reference_nodes.h"

namespace cwbk {

namespace {

constexpr uint32_t kTransientFlags = CellOnStack | CellEvaluated | CellReached;
// Proxies followed at most to reach an input's reference.
constexpr int kMaxProxySteps = 64;
// Most body cells a table may have; the area comes from the stream, and a larger one is left alone
// rather than substituted cell by cell for hours.
constexpr uint64_t kMaxDataTableCells = uint64_t(1) << 18;

uint64_t addressKey(const Cell* cell) {
  if (!cell) return UINT64_MAX;
  CellAddress a = cell->address();
  return (uint64_t(a.sheetColumn) << 32) | a.row;
}

// Returns the single cell that an operand refers to, or the invalid address.
CellAddress singleCellOf(FormulaNode* node) {
  for (int step = 0; node && step < kMaxProxySteps; ++step) {
    auto* proxy = dynamic_cast<ProxyNode*>(node);
    if (!proxy) break;
    node = proxy->target();
  }
  if (!node) return CellAddress::invalid();
  if (node->kind() == NodeKind::CellRef) return static_cast<CellRefNode*>(node)->address();
  if (node->kind() == NodeKind::AreaRef) {
    Area area = canonicalArea(node->referenceArea());
    if (area.isValid() && area.first == area.second) return area.first;
  }
  return CellAddress::invalid();
}

} // namespace

std::map<Area, DataTable, AreaLess>& Recalculator::dataTables() {
  const std::vector<Area>& areas = workbook_.areaSet();
  if (!tablesBuilt_ || tables_.size() != areas.size()) {
    for (const Area& area : areas) {
      auto [it, inserted] = tables_.try_emplace(area);
      if (inserted) it->second.area = canonicalArea(area);
    }
    tablesBuilt_ = true;
  }
  return tables_;
}

void Recalculator::markDataTables(Cell& cell) {
  if (workbook_.areaSet().empty()) return;
  // A table is reached through its body cells, and also through its header row and column and the
  // result cells there, whose changes the body must follow.
  for (auto& [key, table] : dataTables())
    if (areaContains(table.area, cell.address())) insertByIdentity(table.pending, &cell);
}

// The table formula sits one row below and one column right of the corner; its first operand names R,
// its second K. Operands are the formula cell's own trees, or the arguments of its template's call.
void Recalculator::resolveInputs(DataTable& table) {
  if (table.inputsKnown) return;
  table.inputsKnown = true;
  CellAddress corner = table.area.first;
  Cell* formulaCell =
      workbook_.findCell(CellAddress::make(corner.sheet(), corner.column() + 1, corner.rowIndex() + 1));
  if (!formulaCell) return;
  CurrentCellScope scope;
  evaluationContext().currentCell = formulaCell;
  FormulaNode* root = workbook_.formulaTemplate(formulaCell->templateIndex());
  auto operand = [&](size_t i) -> FormulaNode* {
    if (i < formulaCell->operandRoots().size()) return formulaCell->operandRoots()[i];
    if (root && root->kind() == NodeKind::Call && root->children()) {
      size_t n = 0;
      for (FormulaNode* child : *root->children())
        if (child && n++ == i) return child;
    }
    return nullptr;
  };
  CellAddress r = singleCellOf(operand(0));
  CellAddress k = singleCellOf(operand(1));
  if (r.isValid()) table.rowInput = workbook_.findOrCreateCell(r);
  if (k.isValid()) table.columnInput = workbook_.findOrCreateCell(k);
}

void Recalculator::recomputeDataTables() {
  if (workbook_.areaSet().empty()) return;
  std::vector<DataTable*> due;
  for (auto& [area, table] : dataTables())
    if (!table.pending.empty()) due.push_back(&table);
  for (DataTable* table : due) {
    try {
      computeDataTable(*table);
    } catch (...) {
      clearRecalculationList();
    }
  }
  for (auto& [area, table] : tables_)
    table.pending.clear();
}

void Recalculator::runPlan(DataTable& table, Cell& result, Cell* columnInput, Cell* rowInput) {
  const IterationSettings& iteration = workbook_.state().iteration;
  // The inputs hold other values than when the caches were filled: what the searches and RANK
  // remembered no longer holds.
  workbook_.state().clearCaches();
  std::array<uint64_t, 3> key{addressKey(&result), addressKey(columnInput), addressKey(rowInput)};
  auto it = table.plans.find(key);
  if (it == table.plans.end()) {
    clearRecalculationList();
    if (columnInput) columnInput->setFlags(CellEvaluated);
    if (rowInput) rowInput->setFlags(CellEvaluated);
    dependentsWalk(result);
    if (columnInput) dependentsWalk(*columnInput);
    if (rowInput) dependentsWalk(*rowInput);
    evaluateList(nullptr);
    std::vector<Cell*> plan;
    for (Cell* c : workbook_.recalculationList())
      if (c != columnInput && c != rowInput) plan.push_back(c);
    if (iteration.enabled) sweeps(plan, nullptr);
    clearRecalculationList();
    if (columnInput) columnInput->clearFlags(kTransientFlags);
    if (rowInput) rowInput->clearFlags(kTransientFlags);
    table.plans.emplace(key, std::move(plan));
    return;
  }
  const std::vector<Cell*>& plan = it->second;
  for (Cell* c : plan) {
    uint32_t saved = c->flags() & kTransientFlags;
    c->clearFlags(kTransientFlags);
    c->setFlags(CellReached);
    evaluate(*c);
    c->clearFlags(kTransientFlags);
    c->setFlags(saved);
  }
  if (iteration.enabled) {
    sweeps(plan, nullptr);
    for (Cell* c : plan)
      c->clearFlags(kTransientFlags);
  }
}

// K takes the values of the left column and R those of the top row; each body cell copies its result
// cell: the corner with both inputs, the top-row cell of its column with K only, the left-column cell
// of its row with R only. The inputs get their values back and what depends on them is evaluated again.
void Recalculator::computeDataTable(DataTable& table) {
  resolveInputs(table);
  Cell* k = table.columnInput;
  Cell* r = table.rowInput;
  if (!k && !r) return;
  const Area& bounds = table.area;
  uint64_t bodyCells = uint64_t(bounds.second.column() - bounds.first.column()) *
                       uint64_t(bounds.second.rowIndex() - bounds.first.rowIndex());
  if (!bounds.isValid() || !bounds.isOneSheet() || bodyCells > kMaxDataTableCells) return;
  clearRecalculationList();
  CalcValue keptK, keptR;
  if (k && k->value()) keptK.copyFrom(*k->value());
  if (r && r->value()) keptR.copyFrom(*r->value());
  const Area& area = table.area;
  uint32_t sheet = area.first.sheet();
  uint32_t topRow = area.first.rowIndex(), leftColumn = area.first.column();
  auto valueAt = [&](uint32_t column, uint32_t row) -> const CalcValue& {
    Cell* c = workbook_.findCell(CellAddress::make(sheet, column, row));
    return c ? workbook_.cellValue(*c) : emptyValue();
  };
  auto substitute = [&](Cell& input, const CalcValue& header) {
    const CalcValue& now = input.value() ? *input.value() : emptyValue();
    if (now.sameAs(header)) return;
    CalcValue copy;
    copy.copyFrom(header);
    input.setValue(copy);
    workbook_.reportChange(input, nullptr);
  };
  for (uint32_t row = topRow + 1; row <= area.second.rowIndex() && row > topRow; ++row) {
    for (uint32_t column = leftColumn + 1; column <= area.second.column() && column > leftColumn; ++column) {
      if (k) substitute(*k, valueAt(leftColumn, row));
      if (r) substitute(*r, valueAt(column, topRow));
      CellAddress f = k && r ? area.first
                      : k    ? CellAddress::make(sheet, column, topRow)
                             : CellAddress::make(sheet, leftColumn, row);
      Cell* result = workbook_.findOrCreateCell(f);
      Cell* body = workbook_.findOrCreateCell(CellAddress::make(sheet, column, row));
      if (!result || !body) continue;
      runPlan(table, *result, k, r);
      CalcValue copy;
      copy.copyFrom(workbook_.cellValue(*result));
      body->setValue(copy);
      workbook_.reportChange(*body, nullptr);
    }
  }
  if (k) k->setValue(keptK);
  if (r) r->setValue(keptR);
  clearRecalculationList();
  if (k) dependentsWalk(*k);
  if (r) {
    dependentsWalk(*r);
  } else {
    workbook_.forEachCellIn(Area{CellAddress::make(sheet, leftColumn + 1, topRow),
                                 CellAddress::make(sheet, area.second.column(), topRow)},
                            [&](Cell& c) { dependentsWalk(c); });
  }
  std::vector<Cell*>& list = workbook_.recalculationList();
  std::stable_sort(list.begin(), list.end(),
                   [](const Cell* a, const Cell* b) { return a->level() < b->level(); });
  for (size_t i = 0; i < list.size(); ++i) {
    Cell* c = list[i];
    bool changed = evaluate(*c);
    // A cell whose evaluation reported it already is not written twice.
    if (!c->hasFormula() || !changed || c->hasFlag(CellHostComputed)) workbook_.reportChange(*c, nullptr);
  }
  clearRecalculationList();
}

} // namespace cwbk
