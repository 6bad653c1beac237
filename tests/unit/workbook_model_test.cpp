// Tests of the workbook model: the sparse grid, the result rules of a formula, array formulas, exact
// change detection and reporting, area extents, detaching formulas and applying address/value records.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <stdexcept>

#include "formula/area_index.h"
#include "formula/array_node.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/constant_nodes.h"
#include "formula/reference_nodes.h"
#include "recalculation_support.h"

using namespace cwbk;

namespace {

CellAddress at(uint32_t sheet, uint32_t column, uint32_t row) {
  return CellAddress::make(sheet, column, row);
}

// Records every call the model makes into the host.
struct RecordingHost : HostInterface {
  std::vector<CellAddress> reported;
  bool failCalculation = false;
  CalcValue calculated;
  CalcValue shown;
  int cellChanged(Cell& cell) override {
    reported.push_back(cell.address());
    return 1;
  }
  int readCell(CellAddress, CalcValue& value) override {
    value = shown;
    return 1;
  }
  int visitPrecedentAreas(Cell&, const std::function<void(const Area&)>&) override { return 0; }
  bool calculateAndReadCell(CellAddress, CalcValue& value) override {
    if (failCalculation) throw std::runtime_error("host failure");
    value = calculated;
    return true;
  }
  void collectSheetData(CompiledWorkbook&) override {}
  void openLinkedWorkbooks(CompiledWorkbook&) override {}
  void applyToSheets(CompiledWorkbook&) override {}
  void refreshQueryTables(CompiledWorkbook&) override {}
  bool uses1904Dates() override { return false; }
  bool suspendCalculation() override { return true; }
  bool resumeCalculation() override { return true; }
};

CalcValue row(std::initializer_list<double> xs) {
  CalcValue r;
  for (double x : xs)
    r.appendToArray(CalcValue::number(x));
  return r;
}

ArrayNode* arrayConstant(std::initializer_list<std::initializer_list<double>> rows) {
  auto* node = new ArrayNode();
  for (auto r : rows)
    node->appendRow(row(r));
  return node;
}

class WorkbookModelTest : public ::testing::Test {
protected:
  void SetUp() override {
    evaluationContext() = EvaluationContext{};
    workbook.addSheet(u"Sheet1");
    workbook.addSheet(u"Sheet2");
    workbook.state().host = &host;
  }
  void TearDown() override { evaluationContext() = EvaluationContext{}; }

  void put(CellAddress a, const CalcValue& v) { workbook.findOrCreateCell(a)->setValue(v); }
  // Returns a cell whose formula is the given template, reached by the current walk.
  Cell* formulaCell(CellAddress a, FormulaNode* root, uint32_t flags = 0) {
    workbook.formulaTemplates().push_back(root);
    Cell* cell = workbook.findOrCreateCell(a);
    cell->setTemplateIndex(static_cast<int32_t>(workbook.formulaTemplates().size() - 1));
    cell->setFlags(flags | CellReached);
    workbook.enterCell(*cell);
    return cell;
  }
  // Returns the master of an array formula over area (its top-left cell), with every member flagged.
  Cell* arrayFormula(const Area& area, FormulaNode* root) {
    Cell* master = formulaCell(area.first, root, CellArrayFormula | CellArrayMaster);
    master->setArrayArea(area);
    for (uint32_t r = area.first.rowIndex(); r <= area.second.rowIndex(); ++r)
      for (uint32_t c = area.first.column(); c <= area.second.column(); ++c) {
        Cell* m = workbook.findOrCreateCell(at(area.first.sheet(), c, r));
        if (m == master) continue;
        m->setFlags(CellArrayFormula);
        m->setArrayArea(area);
      }
    return master;
  }
  // Evaluates a cell afresh (clearing the pass mark) and returns whether it changed.
  bool evaluate(Cell* cell) {
    cell->clearFlags(CellEvaluated);
    return workbook.evaluateCell(*cell);
  }

  RecordingHost host;
  CompiledWorkbook workbook;
};

} // namespace

TEST_F(WorkbookModelTest, GridFindsCreatesAndGrowsBothWays) {
  EXPECT_EQ(workbook.findCell(at(0, 5, 70000)), nullptr);
  Cell* a = workbook.findOrCreateCell(at(0, 5, 70000));
  Cell* b = workbook.findOrCreateCell(at(0, 2, 3));           // a column to the left
  Cell* c = workbook.findOrCreateCell(at(0, 16383, 0xFFFFF)); // the last cell of the sheet
  Cell* d = workbook.findOrCreateCell(at(1, 0, 0));
  for (Cell* cell : {a, b, c, d})
    ASSERT_NE(cell, nullptr);
  EXPECT_EQ(workbook.findCell(at(0, 5, 70000)), a);
  EXPECT_EQ(workbook.findCell(at(0, 2, 3)), b);
  EXPECT_EQ(workbook.findCell(at(0, 16383, 0xFFFFF)), c);
  EXPECT_EQ(workbook.findOrCreateCell(at(1, 0, 0)), d);
  EXPECT_EQ(workbook.findCell(at(0, 5, 70001)), nullptr);
  EXPECT_EQ(workbook.allCells().size(), 4u);
  // Sheet 0xFFFF reads as 0xFFFE, which names no sheet.
  EXPECT_EQ(workbook.findOrCreateCell(CellAddress{0, 0xFFFF0000}), nullptr);
  EXPECT_EQ(workbook.findOrCreateCell(CellAddress::invalid()), nullptr);

  std::vector<CellAddress> order;
  workbook.forEachCell([&](Cell& cell) { order.push_back(cell.address()); });
  EXPECT_EQ(order,
            (std::vector<CellAddress>{at(0, 2, 3), at(0, 5, 70000), at(0, 16383, 0xFFFFF), at(1, 0, 0)}));
}

TEST_F(WorkbookModelTest, SpansAreSetOnceAndGrowWithCells) {
  Grid& grid = workbook.grid();
  size_t before = grid.indexBytes();
  // A span over a whole block builds no slots until cells arrive.
  EXPECT_TRUE(grid.setSpan(0, 1, 65536, 0xFFFFF)); // cut to its block
  EXPECT_LT(grid.indexBytes() - before, 1024u);
  EXPECT_TRUE(grid.setSpan(0, 1, 65540, 65541)); // the block has a span already
  workbook.findOrCreateCell(at(0, 1, 10));       // block 0 gets the span 10..10
  workbook.findOrCreateCell(at(0, 1, 200000));   // block 3
  std::vector<std::array<uint32_t, 4>> spans;
  grid.forEachSpan([&](uint32_t s, uint32_t c, uint32_t low, uint32_t high) {
    spans.push_back({s, c, low, high});
  });
  EXPECT_EQ(spans, (std::vector<std::array<uint32_t, 4>>{
                       {0, 1, 10, 10}, {0, 1, 65536, 131071}, {0, 1, 200000, 200000}}));
  EXPECT_FALSE(grid.setSpan(0xFFFE, 0, 0, 1));
  EXPECT_FALSE(grid.setSpan(0, 0, 5, 4));
}

TEST_F(WorkbookModelTest, FormulaResultRules) {
  put(at(0, 0, 0), CalcValue::number(10));     // A1
  put(at(0, 0, 2), CalcValue::text(u"third")); // A3
  auto intersection = [&](Area a, Area b) {
    auto* node = new IntersectionNode();
    node->addChild(new AreaRefNode(workbook, a.first, a.second));
    node->addChild(new AreaRefNode(workbook, b.first, b.second));
    return node;
  };
  auto* u = new UnionNode();
  u->addChild(new CellRefNode(workbook, at(0, 0, 0)));
  u->addChild(new CellRefNode(workbook, at(0, 0, 1)));
  struct Case {
    const char* what;
    FormulaNode* root;
    CellAddress cell;
    CalcValue expected;
  };
  Case cases[] = {
      {"an empty cell's value is 0", new CellRefNode(workbook, at(0, 5, 5)), at(0, 3, 0),
       CalcValue::number(0)},
      {"an array keeps its first element", arrayConstant({{1, 2}}), at(0, 3, 1), CalcValue::number(1)},
      {"a union is no value", u, at(0, 3, 2), CalcValue::error(ErrValue)},
      {"a single-cell reference is the cell's value",
       intersection({at(0, 0, 0), at(0, 0, 0)}, {at(0, 0, 0), at(0, 2, 2)}), at(0, 3, 3),
       CalcValue::number(10)},
      {"a column meets the current row", intersection({at(0, 0, 0), at(0, 0, 4)}, {at(0, 0, 0), at(0, 1, 4)}),
       at(0, 3, 2), CalcValue::text(u"third")},
      {"a column that misses the current row",
       intersection({at(0, 0, 0), at(0, 0, 4)}, {at(0, 0, 0), at(0, 1, 4)}), at(0, 3, 9),
       CalcValue::error(ErrValue)},
      {"a block on the own sheet", intersection({at(0, 0, 0), at(0, 1, 4)}, {at(0, 0, 0), at(0, 1, 4)}),
       at(0, 3, 4), CalcValue::error(ErrValue)},
  };
  for (const Case& c : cases) {
    Cell* cell = formulaCell(c.cell, c.root);
    evaluate(cell);
    ASSERT_NE(cell->value(), nullptr) << c.what;
    EXPECT_TRUE(cell->value()->sameAs(c.expected)) << c.what;
  }
  // A cell whose template index names no template computes 0.
  Cell* orphan = workbook.findOrCreateCell(at(0, 4, 0));
  orphan->setTemplateIndex(99);
  orphan->setFlags(CellReached);
  workbook.enterCell(*orphan);
  evaluate(orphan);
  EXPECT_TRUE(orphan->value()->sameAs(CalcValue::number(0)));
}

TEST_F(WorkbookModelTest, ArrayFormulaMastersAndMembers) {
  // Master C1 of the 2 x 2 array formula C1:D2; members D1, C2, D2.
  Cell* master = arrayFormula(Area{at(0, 2, 0), at(0, 3, 1)}, arrayConstant({{1, 2}, {3, 4}}));
  std::vector<Cell*> members;
  for (CellAddress a : {at(0, 3, 0), at(0, 2, 1), at(0, 3, 1)})
    members.push_back(workbook.findCell(a));
  evaluate(master);
  ASSERT_TRUE(master->value()->isArray());
  EXPECT_EQ(workbook.cellValue(*members[2]).integer(), 4);
  EXPECT_EQ(workbook.cellValue(*members[0]).integer(), 2);

  // A single row is read by every member row, a single column by every member column, and a 1 x 1
  // array fills the whole area.
  master->ensureValue() = row({7, 8});
  EXPECT_EQ(workbook.cellValue(*members[1]).integer(), 7);
  EXPECT_EQ(workbook.cellValue(*members[2]).integer(), 8);
  CalcValue column;
  column.appendToArray(row({1}));
  column.appendToArray(row({2}));
  master->ensureValue() = column;
  EXPECT_EQ(workbook.cellValue(*members[0]).integer(), 1);
  EXPECT_EQ(workbook.cellValue(*members[2]).integer(), 2);
  CalcValue single;
  single.appendToArray(CalcValue::number(5));
  master->ensureValue() = single;
  for (Cell* member : members)
    EXPECT_EQ(workbook.cellValue(*member).integer(), 5);
  master->clearValue();
  EXPECT_EQ(workbook.cellValue(*members[2]).errorCode(), ErrNA);
}

TEST_F(WorkbookModelTest, ChangedMasterReportsEveryCellOfItsAreaOnce) {
  Cell* master = arrayFormula(Area{at(0, 2, 0), at(0, 3, 1)}, arrayConstant({{1, 2}, {3, 4}}));
  master->ensureValue() = row({0, 0}); // a 2 x 1 old value: every position has an element
  master->ensureValue().appendToArray(row({0, 0}));
  EXPECT_TRUE(evaluate(master));
  EXPECT_EQ(host.reported, (std::vector<CellAddress>{at(0, 2, 0), at(0, 3, 0), at(0, 2, 1), at(0, 3, 1)}));
  // The members were given their elements before they were reported.
  EXPECT_EQ(workbook.findCell(at(0, 3, 1))->value()->integer(), 4);
}

TEST_F(WorkbookModelTest, ChangeDetectionIsExact) {
  Cell* source = workbook.findOrCreateCell(at(0, 0, 0));
  Cell* cell = formulaCell(at(0, 1, 0), new CellRefNode(workbook, at(0, 0, 0)));
  struct Step {
    CalcValue value;
    bool changed;
  };
  Step steps[] = {
      {CalcValue::text(u"abc"), true},
      {CalcValue::text(u"abc"), false},
      {CalcValue::text(u"ABC"), true}, // case alone is a change
      {CalcValue::number(1.0), true},
      {CalcValue::number(1.0 + 1e-15), true}, // equal to 15 digits, but not the same number
      {CalcValue::boolean(true), true},
      {CalcValue::number(1), true}, // TRUE and 1 are different kinds
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    const Step& s = steps[i];
    source->setValue(s.value);
    host.reported.clear();
    EXPECT_EQ(evaluate(cell), s.changed) << "step " << i;
    EXPECT_EQ(host.reported.size(), s.changed ? 1u : 0u);
  }
  // An unchanged cell with a pending hyperlink is reported all the same.
  cell->setFlags(CellHyperlinkPending);
  host.reported.clear();
  EXPECT_TRUE(evaluate(cell));
  EXPECT_EQ(host.reported.size(), 1u);
  // Suppressed reporting and deferred mode report nothing.
  cell->setFlags(CellSuppressReport);
  host.reported.clear();
  evaluate(cell);
  cell->clearFlags(CellSuppressReport);
  workbook.state().reporting = ReportingMode::Deferred;
  evaluate(cell);
  EXPECT_TRUE(host.reported.empty());
}

TEST_F(WorkbookModelTest, EvaluateCellRunsOncePerPassAndOnlyForReachedFormulas) {
  Cell* constant = workbook.findOrCreateCell(at(0, 0, 0));
  constant->setFlags(CellDirtyInput | CellValueChanged);
  EXPECT_TRUE(workbook.evaluateCell(*constant)); // no formula: its change bit answers
  Cell* cell = formulaCell(at(0, 1, 0), new NumberNode(3));
  cell->clearFlags(CellReached);
  EXPECT_FALSE(workbook.evaluateCell(*cell)); // not reached: not computed
  EXPECT_EQ(cell->value(), nullptr);
  cell->setFlags(CellReached);
  EXPECT_TRUE(workbook.evaluateCell(*cell));
  EXPECT_TRUE(workbook.evaluateCell(*cell)); // evaluated in this pass: answered, not recomputed
  EXPECT_EQ(host.reported.size(), 1u);
  EXPECT_EQ(evaluationContext().currentCell, nullptr);
}

TEST_F(WorkbookModelTest, HostComputedCells) {
  Cell* cell = workbook.findOrCreateCell(at(0, 0, 0));
  cell->setFlags(CellReached);
  workbook.setHostComputed(*cell);
  EXPECT_TRUE(workbook.calculatedCells().contains(cell));
  host.calculated = CalcValue::number(42);
  EXPECT_TRUE(evaluate(cell));
  EXPECT_EQ(cell->value()->integer(), 42);
  EXPECT_TRUE(host.reported.empty()); // the host computed it: nothing to write back
  // A failing host: the value it shows is taken, and that is no change.
  host.failCalculation = true;
  host.shown = CalcValue::text(u"shown");
  EXPECT_FALSE(evaluate(cell));
  EXPECT_EQ(cell->value()->textView(), u"shown");
}

TEST_F(WorkbookModelTest, ValueExtentsFollowTheCellsOfAnArea) {
  Area column{at(0, 0, 0), at(0, 0, 999)};         // A1:A1000
  put(at(0, 0, 1), CalcValue::number(1));          // A2
  put(at(0, 0, 4), CalcValue::number(2));          // A5
  workbook.findOrCreateCell(at(0, 0, 7));          // A8 exists but holds nothing
  EXPECT_EQ(workbook.valueExtent(column), column); // no formula reads it
  Cell* reader = formulaCell(at(0, 3, 0), new NumberNode(0));
  AreaEntry* entry = workbook.registerArea(*reader, column);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(workbook.valueExtent(column), (Area{at(0, 0, 1), at(0, 0, 4)}));
  EXPECT_TRUE(entry->noFormula);
  EXPECT_EQ(cwbk::testing::areasRead(*reader), std::vector<Area>{column});
  // A value typed later outside the extent widens it, so range walks see it.
  put(at(0, 0, 8), CalcValue::number(3));
  EXPECT_EQ(workbook.valueExtent(column), (Area{at(0, 0, 1), at(0, 0, 8)}));
  // So does a cell that gains a formula.
  Cell* formula = formulaCell(at(0, 0, 0), new NumberNode(1));
  EXPECT_EQ(workbook.valueExtent(column), (Area{at(0, 0, 0), at(0, 0, 8)}));
  EXPECT_FALSE(entry->noFormula);
  EXPECT_EQ(entry->formulaExtent, (Area{at(0, 0, 0), at(0, 0, 0)}));
  (void)formula;
}

TEST_F(WorkbookModelTest, CellsFindTheirOwnWorkbookWhileSeveralAreAlive) {
  Area column{at(0, 0, 0), at(0, 0, 999)}; // A1:A1000
  Cell* reader = formulaCell(at(0, 3, 0), new NumberNode(0));
  ASSERT_NE(workbook.registerArea(*reader, column), nullptr);
  Cell* mine = workbook.findOrCreateCell(at(0, 0, 1)); // A2
  {
    CompiledWorkbook other;
    other.addSheet(u"Sheet1");
    Cell* theirs = other.findOrCreateCell(at(0, 0, 1)); // A2 of the other workbook
    Cell* reader2 = other.findOrCreateCell(at(0, 3, 0));
    ASSERT_NE(other.registerArea(*reader2, column), nullptr);
    EXPECT_EQ(mine->workbook(), &workbook);
    EXPECT_EQ(theirs->workbook(), &other);
    EXPECT_EQ(reader->workbook(), &workbook);
    // A value widens the extents of its own workbook's areas only.
    theirs->setValue(CalcValue::number(1));
    EXPECT_EQ(workbook.valueExtent(column), column); // nothing in it yet
    EXPECT_EQ(other.valueExtent(column), (Area{at(0, 0, 1), at(0, 0, 1)}));
    workbook.findOrCreateCell(at(0, 0, 6))->setValue(CalcValue::number(2)); // A7
    EXPECT_EQ(workbook.valueExtent(column), (Area{at(0, 0, 6), at(0, 0, 6)}));
    EXPECT_EQ(other.valueExtent(column), (Area{at(0, 0, 1), at(0, 0, 1)}));
  }
  EXPECT_EQ(mine->workbook(), &workbook);
  mine->setValue(CalcValue::number(3));
  EXPECT_EQ(workbook.valueExtent(column), (Area{at(0, 0, 1), at(0, 0, 6)}));
}

TEST_F(WorkbookModelTest, AreasReadAndRarerRecordsOfACellKeepEachOther) {
  Area column{at(0, 0, 0), at(0, 0, 9)};
  Area block{at(0, 3, 0), at(0, 4, 1)};
  // Areas first, then the rest; and the rest first, then areas.
  for (bool areasFirst : {true, false}) {
    Cell* cell = formulaCell(at(0, 3, areasFirst ? 0 : 5), new NumberNode(1));
    if (areasFirst) ASSERT_NE(workbook.registerArea(*cell, column), nullptr);
    EXPECT_FALSE(cell->arrayArea().isValid());
    EXPECT_EQ(cell->hyperlink(), nullptr);
    cell->setArrayArea(block);
    cell->setArrayFormulaIndex(2);
    cell->setParkedTemplateIndex(4);
    cell->ensureHyperlink().address = u"x";
    if (!areasFirst) ASSERT_NE(workbook.registerArea(*cell, column), nullptr);
    EXPECT_EQ(cwbk::testing::areasRead(*cell), std::vector<Area>{column});
    EXPECT_EQ(cell->arrayArea(), block);
    EXPECT_EQ(cell->arrayFormulaIndex(), 2);
    EXPECT_EQ(cell->parkedTemplateIndex(), 4);
    ASSERT_NE(cell->hyperlink(), nullptr);
    EXPECT_EQ(cell->hyperlink()->address, u"x");
    EXPECT_TRUE(workbook.unregisterArea(*cell, column));
    EXPECT_EQ(cell->arrayArea(), block);
  }
}

TEST_F(WorkbookModelTest, DetachAndRestoreFormula) {
  Cell* cell = formulaCell(at(0, 0, 0), new NumberNode(1));
  EXPECT_FALSE(workbook.detachFormula(*cell)); // the workbook does not allow it
  workbook.setCellIndexMode(true);
  EXPECT_TRUE(workbook.detachFormula(*cell));
  EXPECT_EQ(cell->templateIndex(), -1);
  EXPECT_EQ(cell->parkedTemplateIndex(), 0);
  EXPECT_FALSE(workbook.calculatedCells().contains(cell));
  EXPECT_FALSE(workbook.detachFormula(*cell));
  EXPECT_TRUE(workbook.restoreFormula(*cell));
  EXPECT_EQ(cell->templateIndex(), 0);
  EXPECT_TRUE(workbook.calculatedCells().contains(cell));
}

TEST_F(WorkbookModelTest, WholeColumnsLoadWithTheSheetsUsedShape) {
  // Column A holds three values, column B one: as arrays, A:A and B:B still have one shape, so
  // that element-by-element functions over both (SUMPRODUCT(A:A,B:B)) line up as they do in Excel.
  for (uint32_t r = 0; r < 3; ++r)
    workbook.findOrCreateCell(at(0, 0, r))->setValue(CalcValue::number(r + 1));
  workbook.findOrCreateCell(at(0, 1, 0))->setValue(CalcValue::number(10));
  CalcValue a, b;
  workbook.loadArea(Area{at(0, 0, 0), at(0, 0, CellAddress::kRowMask)}, a);
  workbook.loadArea(Area{at(0, 1, 0), at(0, 1, CellAddress::kRowMask)}, b);
  ASSERT_TRUE(a.isArray() && b.isArray());
  EXPECT_EQ(a.arrayRows(), 3u);
  EXPECT_EQ(b.arrayRows(), 3u);
  EXPECT_EQ(b.element(0, 0)->integer(), 10);
  EXPECT_TRUE(b.element(0, 2)->isEmpty());
}
