// The intake of typed values: which changes matter, which cells join the next recalculation, the
// formula set aside in cell-index mode, an array formula defended against typing, and the undo list.
#include "app/change_intake.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiler/text_workbook.h"
#include "compiler/workbook_compiler.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"

using namespace cwbk;

namespace {

CellAddress at(uint32_t column, uint32_t row) {
  return CellAddress::make(0, column, row);
}

// A1 and A2 feed B1 and a SUM over A1:A3; C1 is read by nobody; D1:D2 hold an array formula.
class ChangeIntakeTest : public ::testing::Test {
protected:
  void SetUp() override {
    compiler::loadStreamBytes(compiler::compileToStream(compiler::readTextWorkbook(R"([sheets]
S

[cells]
S!A1: 1
S!A2: 2
S!B1: =A1*10
S!B2: =SUM(A1:A3)
S!C1: 5
S!C2: abc
S!D1:D2: {={7;8}}
)")),
                              workbook);
    workbook.prepareAfterLoad();
  }

  bool matters(CellAddress address, const CalcValue& value) {
    return changeMatters(workbook, address, value, [&](Cell& master) { writtenBack.push_back(&master); });
  }

  CompiledWorkbook workbook;
  std::vector<Cell*> pending;
  std::vector<Cell*> writtenBack;
};

TEST_F(ChangeIntakeTest, WhichChangesMatter) {
  struct Case {
    const char* what;
    CellAddress address;
    CalcValue value;
    bool matters;
  } cases[] = {
      {"same number", at(0, 0), CalcValue::number(1), false},
      {"other number", at(0, 0), CalcValue::number(3), true},
      {"number typed as text", at(0, 0), CalcValue::text(u"1"), true},
      {"same text", at(2, 1), CalcValue::text(u"abc"), false},
      {"text in another case", at(2, 1), CalcValue::text(u"ABC"), true},
      {"cleared", at(2, 1), CalcValue(), true},
      {"empty into an empty cell", at(5, 5), CalcValue(), false},
      {"empty into a missing cell", at(9, 90), CalcValue(), false},
      {"a value into a missing cell", at(9, 90), CalcValue::number(1), true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(matters(c.address, c.value), c.matters) << c.what;
  EXPECT_TRUE(writtenBack.empty());
}

TEST_F(ChangeIntakeTest, TypingOverAnArrayMasterWritesItsValueBack) {
  Cell* master = workbook.findCell(at(3, 0));
  ASSERT_NE(master, nullptr);
  EXPECT_FALSE(matters(at(3, 0), CalcValue::number(99)));
  ASSERT_EQ(writtenBack.size(), 1u);
  EXPECT_EQ(writtenBack[0], master);
}

TEST_F(ChangeIntakeTest, TakenValuesJoinWhenFormulasReadThem) {
  EXPECT_TRUE(takeValue(workbook, at(0, 0), CalcValue::number(4), pending));  // read by B1 and the SUM
  EXPECT_TRUE(takeValue(workbook, at(0, 2), CalcValue::number(4), pending));  // inside A1:A3
  EXPECT_FALSE(takeValue(workbook, at(2, 0), CalcValue::number(6), pending)); // read by nobody
  ASSERT_EQ(pending.size(), 2u);
  for (CellAddress address : {at(0, 0), at(0, 2), at(2, 0)}) {
    const Cell* cell = workbook.findCell(address);
    ASSERT_NE(cell, nullptr);
    EXPECT_TRUE(cell->hasFlag(CellChangedByUser | CellDirtyInput));
  }
  workbook.recalculate(pending, false);
  EXPECT_EQ(workbook.findCell(at(1, 0))->value()->numberValue(), 40);
  EXPECT_EQ(workbook.findCell(at(1, 1))->value()->numberValue(), 10);

  // A typed value over a formula replaces it only in cell-index mode; otherwise the cell keeps its
  // formula and joins so that it is computed again.
  pending.clear();
  EXPECT_TRUE(takeValue(workbook, at(1, 0), CalcValue::number(0), pending));
  EXPECT_GE(workbook.findCell(at(1, 0))->templateIndex(), 0);
  workbook.setCellIndexMode(true);
  EXPECT_TRUE(takeValue(workbook, at(1, 0), CalcValue::number(0), pending));
  EXPECT_LT(workbook.findCell(at(1, 0))->templateIndex(), 0);
}

TEST_F(ChangeIntakeTest, RangeValuesJoinOnlyWhenTheyDiffer) {
  EXPECT_FALSE(takeRangeValue(workbook, at(0, 0), CalcValue::number(1), pending));
  EXPECT_TRUE(takeRangeValue(workbook, at(0, 0), CalcValue::number(2), pending));
  EXPECT_FALSE(takeRangeValue(workbook, at(8, 8), CalcValue(), pending));
  EXPECT_EQ(workbook.findCell(at(8, 8)), nullptr);
  EXPECT_TRUE(takeRangeValue(workbook, at(8, 8), CalcValue::text(u"x"), pending));
  EXPECT_EQ(pending.size(), 2u);
}

TEST(UndoList, KeepsTheNewestHundred) {
  UndoList undo;
  EXPECT_FALSE(undo.pop());
  for (uint32_t i = 0; i < 105; ++i)
    undo.push({CellAddress::make(0, 0, i), CalcValue::number(i), -1});
  EXPECT_EQ(undo.size(), UndoList::kCapacity);
  EXPECT_EQ(undo.pop()->address.rowIndex(), 104u);
  uint32_t oldest = 0;
  while (auto entry = undo.pop())
    oldest = entry->address.rowIndex();
  EXPECT_EQ(oldest, 5u);
}

} // namespace
