// Tests of the area index: the search for the areas that contain a cell against a test of every area,
// and the extents of an area that grows from a smaller one against those of a full walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "recalculation_support.h"

using namespace cwbk;
using namespace cwbk::testing;

namespace {

const auto noWalk = [](const Area&, const std::function<void(Cell&)>&) {};

std::vector<const AreaEntry*> containingBySearch(AreaIndex& index, CellAddress a) {
  std::vector<const AreaEntry*> found;
  index.forEachContaining(a, [&](AreaEntry& e) { found.push_back(&e); });
  std::sort(found.begin(), found.end());
  return found;
}

std::vector<const AreaEntry*> containingByScan(AreaIndex& index, CellAddress a) {
  std::vector<const AreaEntry*> found;
  index.forEach([&](AreaEntry& e) {
    if (areaContains(e.area, a)) found.push_back(&e);
  });
  std::sort(found.begin(), found.end());
  return found;
}

// Areas of every shape the search keeps apart (single cells, short and tall columns, blocks a few
// columns wide, wide rows, overlapping and nested), on two sheets.
TEST(AreaIndexTest, FindsTheAreasThatContainACellAsATestOfEveryAreaDoes) {
  AreaIndex index;
  std::mt19937 random(20261211);
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  for (int i = 0; i < 600; ++i) {
    uint32_t sheet = pick(2), c0 = pick(30), r0 = pick(300);
    uint32_t width = 0, height = 0;
    switch (pick(5)) {
    case 0:
      break; // one cell
    case 1:
      height = pick(64);
      break; // short column
    case 2:
      height = 64 + pick(200);
      break; // tall column
    case 3:
      width = pick(8), height = pick(100);
      break; // narrow block
    default:
      width = 8 + pick(20), height = pick(10);
      break; // wide
    }
    index.enter(Area{at(c0, r0, sheet), at(c0 + width, r0 + height, sheet)}, noWalk);
  }
  // Prefixes of one column, as running totals read them.
  for (uint32_t r = 0; r < 200; ++r)
    index.enter(Area{at(3, 0), at(3, r)}, noWalk);
  for (uint32_t sheet = 0; sheet < 3; ++sheet)
    for (uint32_t c = 0; c < 60; ++c)
      for (uint32_t r = 0; r < 600; r += (c % 3 == 0 ? 1 : 7)) {
        CellAddress a = at(c, r, sheet);
        ASSERT_EQ(containingBySearch(index, a), containingByScan(index, a)) << "column " << c << " row " << r;
      }
}

// One step of building a workbook: a value or formula given to a cell, or an area entered.
struct Step {
  enum Kind { Value, Formula, Clear, Enter } kind;
  Area area;
};

// The areas grow down, to the right and with gaps, and cells gain values and formulas between the
// steps (the smaller area's extents must follow, since the larger one starts from them). Some grown
// parts hold a cell only in their first row or column, where a walk that starts one too far would
// miss it.
TEST(AreaIndexTest, AnAreaGrownFromASmallerOneHasTheExtentsOfAFullWalk) {
  auto cellAt = [](uint32_t c, uint32_t r) { return Area{at(c, r), at(c, r)}; };
  auto area = [](uint32_t c0, uint32_t r0, uint32_t c1, uint32_t r1) { return Area{at(c0, r0), at(c1, r1)}; };
  std::vector<Step> steps = {
      {Step::Value, cellAt(0, 2)},      {Step::Enter, area(0, 0, 0, 0)}, {Step::Enter, area(0, 0, 0, 1)},
      {Step::Enter, area(0, 0, 0, 4)},  {Step::Formula, cellAt(0, 1)},   {Step::Value, cellAt(0, 5)},
      {Step::Enter, area(0, 0, 0, 9)},  {Step::Value, cellAt(0, 7)},     {Step::Formula, cellAt(0, 10)},
      {Step::Enter, area(0, 0, 0, 30)}, {Step::Formula, cellAt(0, 25)},  {Step::Enter, area(0, 0, 0, 31)},
      {Step::Clear, cellAt(0, 2)},      {Step::Enter, area(0, 0, 1, 0)}, {Step::Value, cellAt(2, 0)},
      {Step::Enter, area(0, 0, 2, 0)},  {Step::Formula, cellAt(3, 0)},   {Step::Enter, area(0, 0, 5, 0)},
      {Step::Enter, area(2, 3, 3, 3)},  {Step::Value, cellAt(3, 6)},     {Step::Enter, area(2, 3, 3, 8)},
      {Step::Enter, area(2, 3, 4, 8)},  {Step::Formula, cellAt(5, 9)},   {Step::Enter, area(2, 3, 5, 9)},
      {Step::Enter, area(6, 0, 6, 2)},  {Step::Value, cellAt(6, 3)},     {Step::Enter, area(6, 0, 6, 40)},
  };
  // Grown: the steps in order. Fresh: every cell first, then the areas largest first, so that
  // none grows from another and each is walked whole.
  auto build = [&](CompiledWorkbook& workbook, bool grown) {
    workbook.addSheet(u"Sheet1");
    TreeBuilder t{workbook};
    auto apply = [&](const Step& s) {
      switch (s.kind) {
      case Step::Value:
        t.input(s.area.first, 1);
        break;
      case Step::Formula:
        t.formula(s.area.first, t.num(2));
        break;
      case Step::Clear:
        workbook.findOrCreateCell(s.area.first)->setValue(CalcValue{});
        break;
      case Step::Enter:
        workbook.registerArea(*workbook.findOrCreateCell(at(20, 0)), s.area);
        break;
      }
    };
    if (grown) {
      for (const Step& s : steps)
        apply(s);
      return;
    }
    for (const Step& s : steps)
      if (s.kind != Step::Enter) apply(s);
    for (auto it = steps.rbegin(); it != steps.rend(); ++it)
      if (it->kind == Step::Enter) apply(*it);
  };
  CompiledWorkbook grown, fresh;
  build(grown, true);
  build(fresh, false);
  for (const Step& s : steps) {
    if (s.kind != Step::Enter) continue;
    const AreaEntry* g = grown.areaIndex().find(s.area);
    const AreaEntry* f = fresh.areaIndex().find(s.area);
    ASSERT_TRUE(g && f);
    SCOPED_TRACE(::testing::Message()
                 << "area to column " << s.area.second.column() << " row " << s.area.second.rowIndex());
    // Extents only grow: the cleared cell may keep a grown area's extent larger, never smaller.
    auto covers = [](const Area& outer, const Area& inner) {
      return !inner.isValid() || (areaContains(outer, inner.first) && areaContains(outer, inner.second));
    };
    EXPECT_TRUE(covers(g->valueExtent, f->valueExtent));
    EXPECT_EQ(g->formulaExtent, f->formulaExtent);
    EXPECT_EQ(g->noFormula, f->noFormula);
  }
}

TEST(AreaIndexTest, AGrownAreaClearsTheOutsideMarkOfTheCellsItAdds) {
  CompiledWorkbook workbook;
  workbook.addSheet(u"Sheet1");
  TreeBuilder t{workbook};
  Cell* reader = t.formula(at(3, 0), t.num(0));
  workbook.registerArea(*reader, Area{at(0, 0), at(0, 4)});
  std::vector<Cell*> added;
  for (uint32_t r = 5; r < 10; ++r) {
    added.push_back(t.input(at(0, r), 1));
    added.back()->setFlags(CellOutsideAreas);
  }
  workbook.registerArea(*reader, Area{at(0, 0), at(0, 9)});
  for (Cell* cell : added)
    EXPECT_FALSE(cell->hasFlag(CellOutsideAreas)) << "row " << cell->address().rowIndex();
}

} // namespace
