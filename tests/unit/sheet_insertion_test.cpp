// A sheet inserted between others: the model renumbered in place must calculate, recalculate and write
// back exactly as a model loaded with the sheet already there.
#include <gtest/gtest.h>

#include <string>

#include "compiler/text_workbook.h"
#include "compiler/workbook_calc.h"
#include "compiler/workbook_compiler.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/workbook_stream.h"

using namespace cwbk;

namespace {

// Cross-sheet cells, ranges and a range over sheets, names of both scopes, references by text and by
// offset, an array formula, a lookup and a data table; `inserted` holds the sheet New at index 1.
std::string workbookText(bool inserted) {
  return std::string("[sheets]\nS1\n") + (inserted ? "New\n" : "") + R"(S2
S3 = Code3

[cells]
S1!A1: 1
S1!A2: 2
S2!A1: 10
S2!A2: 20
S3!A1: 100
S1!B1: =S2!A1+S3!A1
S2!B1: =SUM(S1!A1:A2)+A1
S3!B1: =SUM(S1:S3!A1)
S3!B2: =INDIRECT("S2!A1")*2
S3!B3: =OFFSET(S2!A1,S1!A2-1,0)+Local
S2!C1:C2: {=S1!A1:A2*2}
S3!C1: =VLOOKUP(10,S2!A1:B1,2,FALSE)
S3!C2: =Rate*S2!A1
S2!D2: 1
S2!D3: 2
S2!E1: =S2!A2*3

[tables]
S2!E2:E3: column=A2

[names]
Rate = S1!$A$2
S3!Local = S2!$A$1
)";
}

std::unique_ptr<CompiledWorkbook> load(bool inserted) {
  auto workbook = std::make_unique<CompiledWorkbook>();
  compiler::loadStreamBytes(compiler::compileToStream(compiler::readTextWorkbook(workbookText(inserted))),
                            *workbook);
  workbook->prepareAfterLoad();
  return workbook;
}

// Every cell of either model has its twin, with the same value, in the other.
void expectSameCells(const CompiledWorkbook& got, const CompiledWorkbook& expected, const std::string& when) {
  EXPECT_EQ(got.cellCount(), expected.cellCount()) << when;
  expected.forEachCell([&](Cell& cell) {
    const std::string name = compiler::addressName(expected, cell.address());
    const Cell* twin = got.findCell(cell.address());
    ASSERT_NE(twin, nullptr) << when << ": " << name;
    EXPECT_EQ(compiler::valueText(twin->value() ? *twin->value() : CalcValue()),
              compiler::valueText(cell.value() ? *cell.value() : CalcValue()))
        << when << ": " << name;
  });
}

TEST(SheetInsertion, TheRenumberedModelBehavesAsOneLoadedWithTheSheet) {
  auto renumbered = load(false);
  auto expected = load(true);
  SheetInfo info;
  info.name = u"New";
  ASSERT_TRUE(renumbered->insertSheet(1, info));
  EXPECT_EQ(renumbered->sheetIndex(u"S3"), 3);
  EXPECT_EQ(renumbered->sheet(3)->codeName, u"Code3");
  EXPECT_EQ(renumbered->definedNames()[renumbered->findDefinedName(u"Local")].scope, 3);
  expectSameCells(*renumbered, *expected, "after the insertion");

  // Edits on every sheet, the new one among them (the range over sheets now spans it), reach the same
  // values in both.
  const std::vector<std::pair<CellAddress, CalcValue>> edits[] = {
      {{CellAddress::make(0, 0, 0), CalcValue::number(5)}},
      {{CellAddress::make(2, 0, 0), CalcValue::number(7)}},
      {{CellAddress::make(1, 0, 0), CalcValue::number(1000)}},
      {{CellAddress::make(0, 0, 1), CalcValue::number(1)},
       {CellAddress::make(2, 0, 1), CalcValue::number(4)}},
      {{CellAddress::make(3, 0, 0), CalcValue::number(-1)}},
  };
  for (const auto& edit : edits) {
    compiler::applyChanges(*renumbered, edit);
    compiler::applyChanges(*expected, edit);
    expectSameCells(*renumbered, *expected,
                    "after editing " + compiler::addressName(*expected, edit[0].first));
  }

  // What the model writes back (the save into the application) is the same stream.
  std::vector<uint8_t> written, reference;
  ASSERT_TRUE(writeWorkbook(*renumbered, written).ok);
  ASSERT_TRUE(writeWorkbook(*expected, reference).ok);
  EXPECT_EQ(written, reference);
}

TEST(SheetInsertion, RefusesWhatWouldBreakTheSheetTable) {
  auto workbook = load(false);
  SheetInfo taken, far, last;
  taken.name = u"s2";
  far.name = u"Far";
  last.name = u"Last";
  EXPECT_FALSE(workbook->insertSheet(0, taken)); // names compare without regard to case
  EXPECT_FALSE(workbook->insertSheet(4, far));   // past one after the last sheet
  EXPECT_EQ(workbook->sheets().size(), 3u);
  EXPECT_EQ(workbook->sheetIndex(u"S2"), 1);
  EXPECT_TRUE(workbook->insertSheet(3, last)); // after the last: nothing moves
  EXPECT_EQ(workbook->sheetIndex(u"Last"), 3);
  EXPECT_EQ(workbook->sheetIndex(u"S3"), 2);
}

} // namespace
