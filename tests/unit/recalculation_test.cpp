// Tests of dependency tracking and recalculation: links from formulas, level order, cycles and sweeps,
// deferred reporting, dynamic references, data tables, the recalculation time, failures that end a
// recalculation and failures contained in one cell, and a very long chain.
#include <gtest/gtest.h>

#include <cmath>
#include <new>
#include <stdexcept>

#include "recalculation_support.h"

using namespace cwbk;
using namespace cwbk::testing;

namespace {

class RecalculationTest : public ::testing::Test {
protected:
  void SetUp() override {
    evaluationContext() = EvaluationContext{};
    workbook.addSheet(u"Sheet1");
    workbook.state().host = &host;
    tracedCells().clear();
  }
  void TearDown() override {
    evaluationContext() = EvaluationContext{};
    setDateTimeClock(nullptr);
  }

  double number(CellAddress a) {
    Cell* c = workbook.findCell(a);
    return c && c->value() && c->value()->isNumber() ? c->value()->numberValue() : NAN;
  }
  void set(CellAddress a, double x) { workbook.findOrCreateCell(a)->setValue(CalcValue::number(x)); }
  void recalc(std::initializer_list<CellAddress> changed, bool refresh = false) {
    std::vector<Cell*> cells;
    for (CellAddress a : changed)
      cells.push_back(workbook.findOrCreateCell(a));
    workbook.recalculate(cells, refresh);
  }
  size_t tracedCount(const Cell* cell) {
    return static_cast<size_t>(std::count(tracedCells().begin(), tracedCells().end(), cell));
  }

  MirrorHost host;
  CompiledWorkbook workbook;
  TreeBuilder b{workbook};
};

// ---------------------------------------------------------------- links

TEST(RecalculationLinks, FormulaReferencesByPosition) {
  const CellAddress A1 = at(0, 0), A2 = at(0, 1), A3 = at(0, 2), C1 = at(2, 0), C2 = at(2, 1);
  struct Case {
    const char* name;
    FormulaNode* (*build)(TreeBuilder&);
    uint32_t flags;
    std::vector<CellAddress> cells;
    std::vector<Area> areas;
  };
  const Area a1a3{A1, A3};
  std::vector<Case> cases = {
      {"SUM reads its range",
       [](TreeBuilder& t) { return t.sum({t.range(at(0, 0), at(0, 2))}); },
       0,
       {},
       {a1a3}},
      {"a range alone meets the row",
       [](TreeBuilder& t) { return t.range(at(0, 0), at(0, 2)); },
       0,
       {A2},
       {}},
      {"a range under an operator meets the row",
       [](TreeBuilder& t) { return t.add(t.range(at(0, 0), at(0, 2)), t.num(1)); },
       0,
       {A2},
       {}},
      {"a row range meets the column",
       [](TreeBuilder& t) { return t.range(at(0, 0), at(2, 0)); },
       0,
       {C1},
       {}},
      {"a range that meets nothing is read whole",
       [](TreeBuilder& t) { return t.range(at(0, 4), at(0, 6)); },
       0,
       {},
       {Area{at(0, 4), at(0, 6)}}},
      {"ROWS reads nothing",
       [](TreeBuilder& t) { return t.call(u"ROWS", nullptr, {t.range(at(0, 0), at(0, 2))}); },
       0,
       {},
       {}},
      {"OFFSET reads its row argument only",
       [](TreeBuilder& t) {
         return t.call(u"OFFSET", nullptr, {t.ref(at(0, 0)), t.ref(at(0, 2)), t.num(0)});
       },
       0,
       {A3},
       {}},
      {"INDEX reads the area its result lies in",
       [](TreeBuilder& t) {
         return t.call(u"INDEX", nullptr, {t.range(at(0, 4), at(2, 6)), t.ref(at(0, 2)), t.num(1)});
       },
       0,
       {A3},
       {Area{at(0, 4), at(2, 6)}}},
      {"an IF branch meets the row",
       [](TreeBuilder& t) {
         return t.call(u"IF", &ifImpl(),
                       {t.greater(t.ref(at(0, 0)), t.num(0)), t.range(at(0, 0), at(0, 2)), t.num(0)});
       },
       0,
       {A1, A2},
       {}},
      {"an array formula reads the range whole",
       [](TreeBuilder& t) { return t.range(at(0, 0), at(0, 2)); },
       CellArrayFormula | CellArrayMaster,
       {},
       {a1a3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    evaluationContext() = EvaluationContext{};
    CompiledWorkbook workbook;
    workbook.addSheet(u"Sheet1");
    TreeBuilder t{workbook};
    for (uint32_t r = 0; r < 7; ++r)
      t.input(at(0, r), r);
    Cell* cell = t.formula(C2, c.build(t), c.flags);
    workbook.prepareAfterLoad();
    std::vector<CellAddress> cells;
    for (Cell* p : cell->precedentCells())
      cells.push_back(p->address());
    std::sort(cells.begin(), cells.end(),
              [](CellAddress x, CellAddress y) { return addressKey(x) < addressKey(y); });
    std::vector<CellAddress> expected = c.cells;
    std::sort(expected.begin(), expected.end(),
              [](CellAddress x, CellAddress y) { return addressKey(x) < addressKey(y); });
    EXPECT_EQ(cells, expected);
    EXPECT_EQ(areasRead(*cell), c.areas);
    for (const Area& area : c.areas) {
      const AreaEntry* entry = workbook.areaIndex().find(area);
      ASSERT_NE(entry, nullptr);
      EXPECT_TRUE(containsByIdentity(entry->readers, cell));
    }
  }
}

TEST_F(RecalculationTest, NewAreaClearsTheOutsideMarkOfItsCells) {
  Cell* a1 = b.input(at(0, 0), 1);
  Cell* reader = b.formula(at(3, 0), b.num(0));
  a1->setFlags(CellOutsideAreas);
  workbook.registerArea(*reader, Area{at(0, 0), at(0, 4)});
  EXPECT_FALSE(a1->hasFlag(CellOutsideAreas));
  // A change of A1 now reaches the area's reader.
  workbook.recalculationList().clear();
  workbook.recalculator().dependentsWalk(*a1);
  EXPECT_TRUE(reader->hasFlag(CellReached));
  workbook.recalculator().clearRecalculationList();
}

// The host's own formulas: their links come from the areas the host reports, and replace earlier ones.
struct PrecedentHost : MirrorHost {
  std::vector<Area> areas;
  std::vector<std::string> calls;
  int visitPrecedentAreas(Cell&, const std::function<void(const Area&)>& visitor) override {
    for (const Area& a : areas)
      visitor(a);
    return 0;
  }
  bool calculateAndReadCell(CellAddress, CalcValue& value) override {
    calls.push_back("calculate");
    value = CalcValue::number(42);
    return true;
  }
  void collectSheetData(CompiledWorkbook&) override { calls.push_back("collectSheetData"); }
  void openLinkedWorkbooks(CompiledWorkbook&) override { calls.push_back("openLinkedWorkbooks"); }
  void applyToSheets(CompiledWorkbook&) override { calls.push_back("applyToSheets"); }
  void refreshQueryTables(CompiledWorkbook&) override { calls.push_back("refreshQueryTables"); }
  bool uses1904Dates() override { return calls.push_back("uses1904Dates"), true; }
};

TEST(RecalculationPreparation, HostSetUpOrderAndHostComputedLinks) {
  evaluationContext() = EvaluationContext{};
  PrecedentHost host;
  CompiledWorkbook workbook;
  workbook.addSheet(u"Sheet1");
  workbook.state().host = &host;
  TreeBuilder t{workbook};
  Cell* a1 = t.input(at(0, 0), 1);
  t.input(at(0, 5), 1);
  Cell* old = t.input(at(0, 9), 1);
  Cell* hosted = workbook.findOrCreateCell(at(2, 0));
  workbook.setHostComputed(*hosted);
  workbook.link(*hosted, *old); // replaced by what the host reports
  // A hyperlink that waits is reported at preparation and stays pending.
  Cell* linked = t.formula(at(3, 0), t.num(1), CellHyperlinkPending);
  host.areas = {Area{at(0, 0), at(0, 0)}, Area{at(0, 4), at(0, 6)}};
  workbook.prepareAfterLoad();
  EXPECT_EQ(host.calls, (std::vector<std::string>{"collectSheetData", "openLinkedWorkbooks", "applyToSheets",
                                                  "refreshQueryTables", "uses1904Dates"}));
  EXPECT_TRUE(workbook.state().date1904);
  EXPECT_EQ(std::vector<Cell*>(hosted->precedentCells().begin(), hosted->precedentCells().end()),
            std::vector<Cell*>{a1});
  EXPECT_EQ(areasRead(*hosted), (std::vector<Area>{Area{at(0, 4), at(0, 6)}}));
  EXPECT_TRUE(old->dependents().empty());
  EXPECT_GE(host.reportsOf(linked->address()), 1);
  EXPECT_TRUE(linked->hasFlag(CellHyperlinkPending));

  // A change inside the reported area reaches the host-computed cell, which the host computes.
  host.calls.clear();
  workbook.recalculate({workbook.findCell(at(0, 5))}, false);
  EXPECT_EQ(host.calls, std::vector<std::string>{"calculate"});
  EXPECT_EQ(workbook.findCell(at(2, 0))->value()->numberValue(), 42);
  evaluationContext() = EvaluationContext{};
}

// ---------------------------------------------------------------- order

TEST_F(RecalculationTest, DependentsEvaluatedOnceInLevelOrder) {
  // C1 is created first so that identity order and dependency order are likely to differ.
  Cell* c1 = b.formula(at(2, 0), b.trace(b.add(b.ref(at(1, 0)), b.ref(at(0, 0)))));
  Cell* b1 = b.formula(at(1, 0), b.trace(b.add(b.ref(at(0, 0)), b.num(1))));
  // D1 reads both formula cells through a range only.
  Cell* d1 = b.formula(at(3, 0), b.trace(b.sum({b.range(at(1, 0), at(2, 0))})));
  b.input(at(0, 0), 1);
  workbook.prepareAfterLoad();
  EXPECT_GT(c1->level(), b1->level());
  EXPECT_GT(d1->level(), c1->level());

  set(at(0, 0), 5);
  tracedCells().clear();
  recalc({at(0, 0)});
  EXPECT_EQ(tracedCells(), (std::vector<Cell*>{b1, c1, d1}));
  EXPECT_EQ(number(at(1, 0)), 6);
  EXPECT_EQ(number(at(2, 0)), 11);
  EXPECT_EQ(number(at(3, 0)), 17);
  EXPECT_EQ(host.reportsOf(at(3, 0)), 1);
  EXPECT_EQ(host.suspended, 1);
  EXPECT_EQ(host.resumed, 1);
}

TEST_F(RecalculationTest, ArrayMembersFollowTheirMaster) {
  const Area area{at(1, 0), at(1, 2)};
  for (uint32_t r = 0; r < 3; ++r)
    b.input(at(0, r), r + 1);
  // Only the master reads the range; the members show its elements.
  int32_t t = b.addTemplate(b.op(ArithmeticNode::Multiply, b.range(at(0, 0), at(0, 2)), b.num(2)));
  int32_t placeholder = b.addTemplate(b.num(0));
  for (uint32_t r = 0; r < 3; ++r)
    b.formulaCell(at(1, r), r == 0 ? t : placeholder,
                  CellArrayFormula | (r == 0 ? uint32_t(CellArrayMaster) : 0u))
        ->setArrayArea(area);
  Cell* reader = b.formula(at(2, 2), b.add(b.ref(at(1, 2)), b.num(0)));
  workbook.prepareAfterLoad();
  recalc({at(0, 0)});
  EXPECT_EQ(number(at(2, 2)), 6);
  set(at(0, 2), 10);
  recalc({at(0, 2)});
  EXPECT_EQ(number(at(1, 2)), 20);
  EXPECT_EQ(number(at(2, 2)), 20);
  EXPECT_GT(reader->level(), workbook.findCell(at(1, 2))->level());
}

// ---------------------------------------------------------------- cycles and sweeps

class CycleTest : public RecalculationTest {
protected:
  // A1 = B1 / 2 + 1 (traced) and B1 = A1: the values settle at 2.
  void buildNumericCycle() {
    a1 = b.formula(at(0, 0),
                   b.trace(b.add(b.op(ArithmeticNode::Divide, b.ref(at(1, 0)), b.num(2)), b.num(1))));
    b1 = b.formula(at(1, 0), b.add(b.ref(at(0, 0)), b.num(0)));
    workbook.prepareAfterLoad();
    tracedCells().clear();
  }
  Cell* a1 = nullptr;
  Cell* b1 = nullptr;
};

TEST_F(CycleTest, EveryCellOfACycleIsMarkedAndOrderedOnce) {
  Cell* c1 = b.formula(at(2, 0), b.add(b.ref(at(1, 0)), b.num(1))); // reads the cycle, not part of it
  buildNumericCycle();
  EXPECT_TRUE(workbook.state().circular);
  EXPECT_TRUE(a1->hasFlag(CellInCycle));
  EXPECT_TRUE(b1->hasFlag(CellInCycle));
  EXPECT_FALSE(c1->hasFlag(CellInCycle));
  std::vector<Cell*> order;
  workbook.recalculator().orderCells(&order);
  EXPECT_EQ(std::count(order.begin(), order.end(), a1), 1);
  EXPECT_EQ(std::count(order.begin(), order.end(), b1), 1);
  EXPECT_GT(c1->level(), b1->level());
}

TEST_F(CycleTest, SweepsRunUntilConvergedOrTheLimit) {
  buildNumericCycle();
  workbook.state().iteration = IterationSettings{false, 0.001, 100};
  recalc({}); // no changed cells: every cycle cell is computed
  EXPECT_NEAR(number(at(0, 0)), 2, 0.002);
  size_t runs = tracedCount(a1);
  EXPECT_GT(runs, 5u);
  EXPECT_LT(runs, 100u);

  // A change too small to count leaves one sweep only; the limit 0 still runs one sweep.
  for (int32_t limit : {0, 2}) {
    SCOPED_TRACE(limit);
    workbook.state().iteration = IterationSettings{false, 1e9, limit};
    tracedCells().clear();
    recalc({});
    EXPECT_EQ(tracedCount(a1), 2u); // the first pass and one sweep
  }
  // A tiny maximum change and a limit of 4: the first pass and three sweeps.
  workbook.state().iteration = IterationSettings{false, 1e-12, 4};
  tracedCells().clear();
  recalc({});
  EXPECT_EQ(tracedCount(a1), 4u);
}

TEST_F(CycleTest, TextThatChangesToTextConverges) {
  a1 = b.formula(at(0, 0), b.trace(b.op(ArithmeticNode::Concatenate, b.ref(at(1, 0)), b.text(u"x"))));
  b1 = b.formula(at(1, 0), b.ref(at(0, 0)));
  workbook.prepareAfterLoad();
  workbook.state().iteration = IterationSettings{true, 0.001, 100};
  recalc({});
  tracedCells().clear();
  recalc({});
  EXPECT_EQ(tracedCount(a1), 2u);
}

TEST_F(CycleTest, DeferredReportingWritesEachCellOnce) {
  buildNumericCycle();
  workbook.state().iteration = IterationSettings{true, 0.0001, 100};
  host.clearCounts();
  recalc({});
  EXPECT_GT(tracedCount(a1), 5u);
  // Once by the first pass (immediate), once for all the sweeps together.
  EXPECT_EQ(host.reportsOf(at(0, 0)), 2);
  EXPECT_EQ(host.reportsOf(at(1, 0)), 2);
  EXPECT_TRUE(host.shown[addressKey(at(0, 0))].sameAs(*a1->value()));
  EXPECT_TRUE(host.shown[addressKey(at(1, 0))].sameAs(*b1->value()));
  EXPECT_EQ(workbook.state().reporting, ReportingMode::Immediate);
}

// ---------------------------------------------------------------- dynamic references

TEST_F(RecalculationTest, DynamicReferencesAreCollectedAndNewCyclesMarked) {
  // B2 = OFFSET(B1, B5) with dynamic references; B3 = B2 + 1.
  b.input(at(1, 0), 5);
  b.input(at(1, 4), 0);
  Cell* b2 =
      b.formula(at(1, 1), b.call(u"OFFSET", &offsetImpl(), {b.ref(at(1, 0)), b.ref(at(1, 4)), b.num(0)}),
                CellDynamicReferences);
  Cell* b3 = b.formula(at(1, 2), b.add(b.ref(at(1, 1)), b.num(1)));
  workbook.prepareAfterLoad();
  EXPECT_EQ(number(at(1, 1)), 5);
  EXPECT_TRUE(containsByIdentity(b2->precedentCells(), workbook.findCell(at(1, 0))));

  set(at(1, 0), 7);
  recalc({at(1, 0)});
  EXPECT_EQ(number(at(1, 1)), 7);
  EXPECT_EQ(number(at(1, 2)), 8);

  // Pointing at B3 closes a cycle B2 -> B3 -> B2: both cells are marked and recalculation ends.
  set(at(1, 4), 2);
  recalc({at(1, 4)});
  EXPECT_TRUE(workbook.state().circular);
  EXPECT_TRUE(b2->hasFlag(CellInCycle));
  EXPECT_TRUE(b3->hasFlag(CellInCycle));
  EXPECT_TRUE(workbook.state().precedentsChanged);
  workbook.state().iteration = IterationSettings{false, 0.001, 10};
  recalc({at(1, 4)});
  EXPECT_FALSE(containsByIdentity(b2->precedentCells(), workbook.findCell(at(1, 0))));

  // Pointing back breaks the cycle again.
  set(at(1, 4), 0);
  recalc({at(1, 4)});
  EXPECT_FALSE(workbook.state().circular);
  EXPECT_FALSE(b2->hasFlag(CellInCycle));
  EXPECT_EQ(number(at(1, 2)), 8);
}

TEST_F(RecalculationTest, DynamicTargetThatIsComputedLaterIsNotStale) {
  // B1 = OFFSET(A1, A5) + 0 sits below its new target in level order after the move.
  b.input(at(0, 0), 1);
  b.input(at(0, 4), 0);
  b.input(at(3, 0), 10);
  b.formula(at(0, 2), b.add(b.ref(at(3, 0)), b.num(1))); // A3 = D1 + 1
  b.formula(at(1, 0),
            b.add(b.call(u"OFFSET", &offsetImpl(), {b.ref(at(0, 0)), b.ref(at(0, 4)), b.num(0)}), b.num(0)),
            CellDynamicReferences);
  workbook.prepareAfterLoad();
  EXPECT_EQ(number(at(1, 0)), 1);
  set(at(0, 4), 2);
  set(at(3, 0), 20);
  recalc({at(0, 4), at(3, 0)});
  EXPECT_EQ(number(at(1, 0)), 21);
  EXPECT_EQ(host.shown[addressKey(at(1, 0))].numberValue(), 21);
}

// ---------------------------------------------------------------- data tables

TEST_F(RecalculationTest, OneInputDataTableTakesEachColumnsTopRowResult) {
  // K = A1. Table B1:D4: left column B2:B4 = 1, 2, 3; top row C1 = K * 10, D1 = K + 100.
  b.input(at(0, 0), 7);
  for (uint32_t r = 1; r <= 3; ++r)
    b.input(at(1, r), r);
  b.formula(at(2, 0), b.op(ArithmeticNode::Multiply, b.ref(at(0, 0)), b.num(10)));
  b.formula(at(3, 0), b.add(b.ref(at(0, 0)), b.num(100)));
  const Area table{at(1, 0), at(3, 3)};
  workbook.addToAreaSet(table);
  auto* tableCall = new CallNode(u"TABLE", 0, nullptr);
  tableCall->addChild(new OperandRefNode(0));
  tableCall->addChild(new OperandRefNode(1));
  int32_t t = b.addTemplate(tableCall);
  Cell* first = nullptr;
  for (uint32_t c = 2; c <= 3; ++c)
    for (uint32_t r = 1; r <= 3; ++r) {
      Cell* body = b.formulaCell(at(c, r), t, CellArrayMaster);
      body->setArrayArea(table);
      if (!first) first = body;
    }
  first->operandRoots().push_back(new EmptyNode());
  first->operandRoots().push_back(b.ref(at(0, 0)));
  workbook.prepareAfterLoad();

  set(at(0, 0), 8);
  host.clearCounts();
  recalc({at(0, 0)}, true);
  for (uint32_t r = 1; r <= 3; ++r) {
    EXPECT_EQ(number(at(2, r)), r * 10.0);
    EXPECT_EQ(number(at(3, r)), r + 100.0);
    EXPECT_EQ(host.shown[addressKey(at(2, r))].numberValue(), r * 10.0);
  }
  // The input and the results get their own values back, and the host sees them.
  EXPECT_EQ(number(at(0, 0)), 8);
  EXPECT_EQ(number(at(2, 0)), 80);
  EXPECT_EQ(host.shown[addressKey(at(0, 0))].numberValue(), 8);
  EXPECT_EQ(host.shown[addressKey(at(2, 0))].numberValue(), 80);

  // A change of a header value alone recomputes the table; plans are replayed.
  set(at(1, 2), 5);
  recalc({at(1, 2)}, true);
  EXPECT_EQ(number(at(2, 2)), 50);
  EXPECT_EQ(number(at(3, 2)), 105);
  EXPECT_EQ(workbook.recalculator().dataTables().begin()->second.plans.size(), 2u);
}

TEST_F(RecalculationTest, TwoInputDataTableComputesEveryBodyCell) {
  // R = A1, K = A2; corner F1 = R * K + A3. Top row G1:H1 = 2, 3; left column F2:F4 = 10, 20, 30.
  b.input(at(0, 0), 1);
  b.input(at(0, 1), 1);
  b.input(at(0, 2), 0.5);
  b.formula(at(5, 0),
            b.add(b.op(ArithmeticNode::Multiply, b.ref(at(0, 0)), b.ref(at(0, 1))), b.ref(at(0, 2))));
  b.input(at(6, 0), 2);
  b.input(at(7, 0), 3);
  for (uint32_t r = 1; r <= 3; ++r)
    b.input(at(5, r), r * 10);
  const Area table{at(5, 0), at(7, 3)};
  workbook.addToAreaSet(table);
  auto* tableCall = new CallNode(u"TABLE", 0, nullptr);
  tableCall->addChild(new OperandRefNode(0));
  tableCall->addChild(new OperandRefNode(1));
  Cell* first = b.formula(at(6, 1), tableCall, CellArrayMaster);
  first->setArrayArea(table);
  first->operandRoots().push_back(b.ref(at(0, 0)));
  first->operandRoots().push_back(b.ref(at(0, 1)));
  for (uint32_t c = 6; c <= 7; ++c)
    for (uint32_t r = 1; r <= 3; ++r)
      if (c != 6 || r != 1) {
        Cell* body = workbook.findOrCreateCell(at(c, r));
        body->setFlags(CellArrayMaster);
        body->setArrayArea(table);
      }
  workbook.prepareAfterLoad();

  set(at(0, 2), 0.25);
  recalc({at(0, 2)}, true);
  for (uint32_t c = 6; c <= 7; ++c)
    for (uint32_t r = 1; r <= 3; ++r) {
      double expected = (c == 6 ? 2.0 : 3.0) * (r * 10.0) + 0.25;
      EXPECT_EQ(number(at(c, r)), expected) << c << "," << r;
      EXPECT_EQ(host.shown[addressKey(at(c, r))].numberValue(), expected);
    }
  EXPECT_EQ(number(at(5, 0)), 1.25);
  EXPECT_EQ(number(at(0, 0)), 1);
  EXPECT_EQ(number(at(0, 1)), 1);

  // Without the refresh flag the table waits.
  set(at(0, 2), 0);
  recalc({at(0, 2)}, false);
  EXPECT_EQ(number(at(6, 1)), 20.25);
  recalc({}, true);
  EXPECT_EQ(number(at(6, 1)), 20);
}

TEST_F(RecalculationTest, OversizedDataTableIsLeftAlone) {
  // A table over whole columns (as a damaged stream might give) is not substituted cell by cell.
  b.input(at(0, 0), 1);
  const Area table{at(1, 0), at(200, CellAddress::kRowMask)};
  workbook.addToAreaSet(table);
  Cell* first =
      b.formula(at(2, 1), b.call(u"TABLE", nullptr, {new EmptyNode(), b.ref(at(0, 0))}), CellArrayMaster);
  first->setArrayArea(table);
  workbook.prepareAfterLoad();
  size_t cells = workbook.cellCount();
  recalc({at(0, 0)}, true);
  EXPECT_EQ(workbook.cellCount(), cells);
  EXPECT_EQ(number(at(0, 0)), 1);
}

// ---------------------------------------------------------------- time

double steppingClock(bool) {
  static double t = 45000;
  return t += 0.25;
}

TEST_F(RecalculationTest, NowIsOneTimePerRecalculation) {
  setDateTimeClock(steppingClock);
  Cell* n1 = b.formula(at(0, 0), b.call(u"NOW", &nowImpl(), {}), CellVolatile);
  Cell* n2 = b.formula(at(0, 5), b.add(b.call(u"NOW", &nowImpl(), {}), b.num(0)), CellVolatile);
  workbook.prepareAfterLoad();
  std::vector<Cell*> changed = workbook.volatileCells().cells();
  ASSERT_EQ(changed.size(), 2u);
  workbook.recalculate(changed, false);
  EXPECT_EQ(number(n1->address()), number(n2->address()));
  double first = number(n1->address());
  workbook.recalculate(changed, false);
  EXPECT_GT(number(n1->address()), first);
  EXPECT_EQ(number(n1->address()), number(n2->address()));
  EXPECT_EQ(workbook.state().recalculationTime, 0);
}

TEST(RecalculationClock, SerialsOfBothDateSystems) {
  double s1900 = currentDateTimeSerial(false);
  double s1904 = currentDateTimeSerial(true);
  EXPECT_GT(s1900, 40000); // after 2009
  EXPECT_NEAR(s1900 - s1904, 1462, 0.01);
}

// ---------------------------------------------------------------- failures

// A host that fails once where it is told to: reporting one cell, or collecting the sheets' data.
struct FaultyHost : MirrorHost {
  std::optional<CellAddress> failReporting;
  bool failCollecting = false;
  int cellChanged(Cell& cell) override {
    if (failReporting == cell.address()) {
      failReporting.reset();
      throw std::runtime_error("the host went away");
    }
    return MirrorHost::cellChanged(cell);
  }
  void collectSheetData(CompiledWorkbook&) override {
    if (std::exchange(failCollecting, false)) throw std::runtime_error("the host went away");
  }
};

// A1 is the input; B1 = A1 + 1, C1 = B1 + 10, D1 = C1 + A1.
void buildChain(CompiledWorkbook& workbook, double a1) {
  TreeBuilder b{workbook};
  b.input(at(0, 0), a1);
  b.formula(at(1, 0), b.add(b.ref(at(0, 0)), b.num(1)));
  b.formula(at(2, 0), b.add(b.ref(at(1, 0)), b.num(10)));
  b.formula(at(3, 0), b.add(b.ref(at(2, 0)), b.ref(at(0, 0))));
}

TEST(RecalculationFailure, EscapesAndTheNextRecalculationCatchesUp) {
  enum class Fault { ReportWhileRecalculating, ReportWhileIterating, HostWhilePreparing };
  // What a fresh load with A1 = 5 computes, and what its host is shown.
  CompiledWorkbook fresh;
  FaultyHost freshHost;
  fresh.addSheet(u"Sheet1");
  fresh.state().host = &freshHost;
  buildChain(fresh, 5);
  fresh.prepareAfterLoad();
  fresh.recalculate(fresh.calculatedCells().cells(), false);

  for (Fault fault :
       {Fault::ReportWhileRecalculating, Fault::ReportWhileIterating, Fault::HostWhilePreparing}) {
    SCOPED_TRACE(static_cast<int>(fault));
    evaluationContext() = EvaluationContext{};
    CompiledWorkbook workbook;
    FaultyHost host;
    workbook.addSheet(u"Sheet1");
    workbook.state().host = &host;
    workbook.state().iteration.enabled = fault == Fault::ReportWhileIterating;
    if (fault == Fault::HostWhilePreparing) {
      buildChain(workbook, 5);
      host.failCollecting = true;
      EXPECT_THROW(workbook.prepareAfterLoad(), std::runtime_error);
    } else {
      buildChain(workbook, 1);
      workbook.prepareAfterLoad();
      workbook.recalculate(workbook.calculatedCells().cells(), false);
      workbook.findCell(at(0, 0))->setValue(CalcValue::number(5));
      host.failReporting = at(2, 0);
      EXPECT_THROW(workbook.recalculate({workbook.findCell(at(0, 0))}, false), std::runtime_error);
      EXPECT_EQ(host.suspended, host.resumed);
    }
    // Nothing of the failed pass stays behind.
    const CalculationState& state = workbook.state();
    EXPECT_EQ(state.reporting, ReportingMode::Immediate);
    EXPECT_EQ(state.recalculationTime, 0);
    EXPECT_TRUE(workbook.recalculationList().empty());
    EXPECT_EQ(evaluationContext().currentCell, nullptr);
    EXPECT_EQ(evaluationContext().nestingDepth, 0u);
    workbook.forEachCell([](Cell& c) { EXPECT_FALSE(c.hasFlag(CellOnStack | CellEvaluated | CellReached)); });

    // With the fault gone (and a failed preparation repeated), a recalculation without changes brings
    // values and host up to date.
    if (fault == Fault::HostWhilePreparing) workbook.prepareAfterLoad();
    workbook.recalculate({}, false);
    for (uint32_t column = 1; column <= 3; ++column) {
      const CellAddress a = at(column, 0);
      ASSERT_TRUE(workbook.findCell(a)->value()) << column;
      EXPECT_TRUE(workbook.findCell(a)->value()->sameAs(*fresh.findCell(a)->value())) << column;
      EXPECT_TRUE(host.shown[addressKey(a)].sameAs(freshHost.shown[addressKey(a)])) << column;
    }
    EXPECT_EQ(state.failedCells, 0u);
  }
}

// Throws while the fault is on; otherwise gives its argument.
bool gRoutineFails = false;
void faultyRoutine(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  if (gRoutineFails) throw std::bad_alloc();
  result.copyFrom(*args[0]);
}

// A host whose evaluation of host-computed cells fails.
struct FailingEvaluationHost : MirrorHost {
  bool calculateAndReadCell(CellAddress, CalcValue&) override { throw std::runtime_error("no answer"); }
};

TEST_F(RecalculationTest, ContainedCellFailuresAreCounted) {
  FailingEvaluationHost failing;
  workbook.state().host = &failing;
  static FunctionImpl faulty(faultyRoutine);
  gRoutineFails = true;
  b.input(at(0, 0), 1);
  Cell* b1 = b.formula(at(1, 0), b.call(u"FAULTY", &faulty, {b.ref(at(0, 0))}));
  b.formula(at(2, 0), b.add(b.ref(at(1, 0)), b.num(1)));
  b.formula(at(3, 0), b.add(b.ref(at(0, 0)), b.ref(at(0, 0))));
  Cell* e1 = b.formula(at(4, 0), b.num(0), CellHostComputed);
  workbook.prepareAfterLoad();
  workbook.recalculate(workbook.calculatedCells().cells(), false);
  // The cells around the failures are computed; each failed cell counts once, however often it fails.
  EXPECT_EQ(number(at(2, 0)), 1);
  EXPECT_EQ(number(at(3, 0)), 2);
  EXPECT_TRUE(b1->hasFlag(CellEvaluationFailed));
  EXPECT_TRUE(e1->hasFlag(CellEvaluationFailed));
  EXPECT_EQ(workbook.state().failedCells, 2u);
  set(at(0, 0), 3);
  recalc({at(0, 0)});
  EXPECT_EQ(workbook.state().failedCells, 2u);
  EXPECT_EQ(number(at(3, 0)), 6);

  gRoutineFails = false;
  recalc({at(0, 0)});
  EXPECT_EQ(number(at(1, 0)), 3);
  EXPECT_EQ(number(at(2, 0)), 4);
  EXPECT_FALSE(b1->hasFlag(CellEvaluationFailed));
  EXPECT_EQ(workbook.state().failedCells, 1u);
}

// ---------------------------------------------------------------- scale

TEST_F(RecalculationTest, MillionCellChainRecalculatesWithoutRecursion) {
  constexpr uint32_t kCells = 1000000;
  CountingHost counter;
  workbook.state().host = &counter;
  // Every cell shares the template @0 + 1; its operand is the cell above.
  auto* root = new ArithmeticNode(ArithmeticNode::Add);
  root->addChild(new OperandRefNode(0));
  root->addChild(new NumberNode(1));
  int32_t t = b.addTemplate(root);
  b.input(at(0, 0), 0);
  for (uint32_t r = 1; r < kCells; ++r) {
    Cell* cell = b.formulaCell(at(0, r), t);
    cell->operandRoots().push_back(new CellRefNode(workbook, at(0, r - 1)));
  }
  workbook.prepareAfterLoad();
  EXPECT_EQ(workbook.findCell(at(0, kCells - 1))->level(), kCells - 1);
  set(at(0, 0), 3);
  recalc({at(0, 0)});
  EXPECT_EQ(number(at(0, kCells - 1)), kCells - 1 + 3.0);
  EXPECT_EQ(counter.count, size_t(kCells - 1));
}

} // namespace
