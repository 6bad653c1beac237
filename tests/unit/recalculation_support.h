// Test support for the recalculation tests: a host double that mirrors every reported value, small
// worksheet-function routines, and builders for formula trees and formula cells.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "formula/area_index.h"
#include "formula/call_node.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/constant_nodes.h"
#include "formula/operator_nodes.h"
#include "formula/proxy_nodes.h"
#include "formula/recalculation.h"
#include "formula/reference_nodes.h"
#include "formula/function_table.h"
#include "values/date_serial.h"

namespace cwbk::testing {

inline CellAddress at(uint32_t column, uint32_t row, uint32_t sheet = 0) {
  return CellAddress::make(sheet, column, row);
}

// The areas a cell reads, as the area index holds them.
inline std::vector<Area> areasRead(const Cell& cell) {
  std::vector<Area> areas;
  for (const AreaEntry* entry : cell.precedentAreas())
    areas.push_back(entry->area);
  return areas;
}

inline uint64_t addressKey(CellAddress a) {
  return (uint64_t(a.sheetColumn) << 32) | a.row;
}

// Mirrors the values the model reports, and counts reports and calls.
struct MirrorHost : HostInterface {
  std::map<uint64_t, CalcValue> shown;
  std::map<uint64_t, int> reports;
  std::vector<CellAddress> order;
  int suspended = 0;
  int resumed = 0;
  int cellChanged(Cell& cell) override {
    uint64_t key = addressKey(cell.address());
    CalcValue v;
    if (cell.value()) v.copyFrom(*cell.value());
    shown[key] = std::move(v);
    ++reports[key];
    order.push_back(cell.address());
    return 1;
  }
  int readCell(CellAddress, CalcValue&) override { return 0; }
  int visitPrecedentAreas(Cell&, const std::function<void(const Area&)>&) override { return 0; }
  bool calculateAndReadCell(CellAddress, CalcValue&) override { return false; }
  void collectSheetData(CompiledWorkbook&) override {}
  void openLinkedWorkbooks(CompiledWorkbook&) override {}
  void applyToSheets(CompiledWorkbook&) override {}
  void refreshQueryTables(CompiledWorkbook&) override {}
  bool uses1904Dates() override { return false; }
  bool suspendCalculation() override { return ++suspended, true; }
  bool resumeCalculation() override { return ++resumed, true; }
  int reportsOf(CellAddress a) const {
    auto it = reports.find(addressKey(a));
    return it == reports.end() ? 0 : it->second;
  }
  void clearCounts() {
    reports.clear();
    order.clear();
  }
};

// Counts reports only, for models too large to mirror.
struct CountingHost : MirrorHost {
  size_t count = 0;
  int cellChanged(Cell&) override { return ++count, 1; }
};

// Adds the numbers of its arguments: numbers, arrays and the cells of references.
inline void sumRoutine(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  double total = 0;
  CompiledWorkbook* workbook = evaluationWorkbook();
  for (; *args; ++args) {
    const CalcValue& a = **args;
    if (a.isNumber()) {
      total += a.numberValue();
    } else if (a.isReference() && workbook) {
      workbook->forEachCellIn(a.referenceArea(), [&](Cell& c) {
        const CalcValue& v = workbook->cellValue(c);
        if (v.isNumber()) total += v.numberValue();
      });
    } else if (a.isArray()) {
      for (uint32_t i = 0; i < a.array()->count; ++i)
        if (a.array()->elements[i].isNumber()) total += a.array()->elements[i].numberValue();
    }
  }
  result.setNumber(total);
}

// Chooses the second or third argument by the truth of the first.
inline void ifRoutine(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  const CalcValue* condition = args[0];
  bool truth = condition &&
               (condition->isNumber() ? condition->numberValue() != 0
                                      : condition->kind() == CalcValue::Boolean && condition->booleanValue());
  const CalcValue* chosen = condition ? args[truth ? 1 : 2] : nullptr;
  if (condition && !truth && !args[1]) chosen = nullptr;
  if (chosen)
    result.copyFrom(*chosen);
  else
    result.setBoolean(false);
}

// The recalculation time, or the clock's time outside a recalculation.
inline void nowRoutine(EvaluationContext&, const CalcValue* const*, CalcValue& result) {
  CompiledWorkbook* workbook = evaluationWorkbook();
  double t = workbook ? workbook->state().recalculationTime : 0;
  result.setDouble(t != 0 ? t : clockDateTimeSerial(false));
}

// The reference shifted down by the number of rows of the second argument.
inline void offsetRoutine(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  if (!args[0] || !args[0]->isReference() || !args[1] || !args[1]->isNumber()) {
    result.setError(ErrValue);
    return;
  }
  Area a = args[0]->referenceArea();
  auto rows = static_cast<int32_t>(args[1]->numberValue());
  result.setReference(CellAddress::make(a.first.sheet(), a.first.column(), a.first.rowIndex() + rows),
                      CellAddress::make(a.first.sheet(), a.first.column(), a.first.rowIndex() + rows));
}

// Records the cells it is evaluated for, and passes its argument on.
inline std::vector<Cell*>& tracedCells() {
  static std::vector<Cell*> cells;
  return cells;
}
inline void traceRoutine(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  tracedCells().push_back(context.currentCell);
  if (args[0]) result.copyFrom(*args[0]);
}

inline const FunctionImpl& sumImpl() {
  static FunctionImpl impl(sumRoutine);
  return impl;
}
inline const FunctionImpl& ifImpl() {
  static FunctionImpl impl(ifRoutine);
  return impl;
}
inline const FunctionImpl& nowImpl() {
  static FunctionImpl impl(nowRoutine);
  return impl;
}
inline const FunctionImpl& offsetImpl() {
  static FunctionImpl impl(offsetRoutine);
  return impl;
}
inline const FunctionImpl& traceImpl() {
  static FunctionImpl impl(traceRoutine);
  return impl;
}

// Builds formula trees over one workbook and enters formula cells.
struct TreeBuilder {
  CompiledWorkbook& workbook;

  FormulaNode* ref(CellAddress a) { return new CellRefNode(workbook, a); }
  FormulaNode* range(CellAddress a, CellAddress b) { return new AreaRefNode(workbook, a, b); }
  FormulaNode* num(double x) { return new NumberNode(x); }
  FormulaNode* text(std::u16string_view t) { return new TextNode(t); }
  FormulaNode* op(uint32_t code, FormulaNode* left, FormulaNode* right) {
    auto* node = new ArithmeticNode(code);
    node->addChild(left);
    if (right) node->addChild(right);
    return node;
  }
  FormulaNode* add(FormulaNode* l, FormulaNode* r) { return op(ArithmeticNode::Add, l, r); }
  FormulaNode* greater(FormulaNode* l, FormulaNode* r) {
    auto* node = new CompareNode(2);
    node->addChild(l);
    node->addChild(r);
    return node;
  }
  FormulaNode* call(std::u16string name, const FunctionImpl* impl, std::vector<FormulaNode*> args) {
    auto* node = new CallNode(std::move(name), 0, impl);
    for (FormulaNode* a : args)
      node->addChild(a);
    return node;
  }
  FormulaNode* sum(std::vector<FormulaNode*> args) { return call(u"SUM", &sumImpl(), std::move(args)); }
  FormulaNode* trace(FormulaNode* arg) { return call(u"ABS", &traceImpl(), {arg}); }

  // Returns the index of a new template.
  int32_t addTemplate(FormulaNode* root) {
    workbook.formulaTemplates().push_back(root);
    return static_cast<int32_t>(workbook.formulaTemplates().size() - 1);
  }
  // Returns a cell whose formula is the template, entered into the model's sets.
  Cell* formulaCell(CellAddress a, int32_t templateIndex, uint32_t flags = 0) {
    Cell* cell = workbook.findOrCreateCell(a);
    cell->setTemplateIndex(templateIndex);
    cell->setFlags(flags);
    workbook.enterCell(*cell);
    return cell;
  }
  Cell* formula(CellAddress a, FormulaNode* root, uint32_t flags = 0) {
    return formulaCell(a, addTemplate(root), flags);
  }
  Cell* input(CellAddress a, double x) {
    Cell* cell = workbook.findOrCreateCell(a);
    cell->setValue(CalcValue::number(x));
    return cell;
  }
};

} // namespace cwbk::testing
