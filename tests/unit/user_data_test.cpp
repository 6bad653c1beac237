// The user data file's records: address/value records of every writer generation applied to the
// workbook model as input, with change reporting and the handling of cut and misplaced records.
#include "app/user_data.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "recalculation_support.h"

using namespace cwbk;

namespace {

using Bytes = std::vector<uint8_t>;
void put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

CellAddress at(uint32_t sheet, uint32_t column, uint32_t row) {
  return CellAddress::make(sheet, column, row);
}

// A workbook of two sheets whose host mirrors every reported change.
class UserDataTest : public ::testing::Test {
protected:
  UserDataTest() {
    workbook.addSheet(u"Sheet1");
    workbook.addSheet(u"Sheet2");
    workbook.state().host = &host;
  }

  cwbk::testing::MirrorHost host;
  CompiledWorkbook workbook;
};

} // namespace

TEST_F(UserDataTest, RecordsOfEveryWriterGenerationApply) {
  // Current writer: 8-byte addresses, packed values.
  Bytes current;
  put32(current, 4);            // row 5
  put32(current, 1u << 16 | 2); // sheet 1, column C
  CalcValue::text(u"Hello").pack(current);
  put32(current, 0);
  put32(current, 0);
  CalcValue::number(2.5).pack(current);
  std::vector<Cell*> changed;
  EXPECT_TRUE(applyUserValues(workbook, current.data(), current.size(), 0x0109060B, changed));
  ASSERT_EQ(changed.size(), 2u);
  EXPECT_EQ(changed[0]->address(), at(1, 2, 4));
  EXPECT_EQ(changed[0]->value()->textView(), u"Hello");
  EXPECT_EQ(host.order.size(), 2u);

  // Before 1.9.6.6: one address word and tags one less; before 1.2.8.0 single-byte texts.
  Bytes old;
  put32(old, 0u << 24 | 1u << 16 | 7); // sheet 0, column B, row 8
  old.push_back(1);                    // tag 2 (Double) stored as 1
  double x = 4.25;
  old.insert(old.end(), reinterpret_cast<uint8_t*>(&x), reinterpret_cast<uint8_t*>(&x) + 8);
  put32(old, 0u << 24 | 0u << 16 | 0);
  old.push_back(2); // tag 3 stored as 2
  for (char c : std::string("ab"))
    old.push_back(static_cast<uint8_t>(c));
  old.push_back(0);
  old.push_back(0xEE); // the extra byte after the terminator
  changed.clear();
  EXPECT_TRUE(applyUserValues(workbook, old.data(), old.size(), 0x01010000, changed));
  ASSERT_EQ(changed.size(), 2u);
  EXPECT_EQ(changed[0]->address(), at(0, 1, 7));
  EXPECT_EQ(changed[0]->value()->doubleValue(), 4.25);
  EXPECT_EQ(changed[1]->value()->textView(), u"ab");

  // A truncated record fails after applying the complete ones; an unchanged value is not reported.
  host.clearCounts();
  Bytes cut(current.begin(), current.end() - 3);
  changed.clear();
  EXPECT_FALSE(applyUserValues(workbook, cut.data(), cut.size(), 0x0109060B, changed));
  EXPECT_EQ(changed.size(), 1u);
  EXPECT_TRUE(host.order.empty());
  // A record for no sheet fails.
  Bytes nowhere;
  put32(nowhere, 0);
  put32(nowhere, 0xFFFF0000);
  nowhere.push_back(0);
  EXPECT_FALSE(applyUserValues(workbook, nowhere.data(), nowhere.size(), 0x0109060B, changed));
}

TEST_F(UserDataTest, CutRecordsApplyOnlyTheWholeOnesBefore) {
  // Four records: a text, a Reference, a Double and a Boolean. Every cut of the bytes applies exactly
  // the records that end before the cut and reads nothing beyond it.
  Bytes all;
  std::vector<size_t> ends;
  auto record = [&](CellAddress a, const CalcValue& v) {
    put32(all, a.row);
    put32(all, a.sheetColumn);
    v.pack(all);
    ends.push_back(all.size());
  };
  CalcValue reference;
  reference.setReference(at(0, 5, 5), at(0, 6, 6));
  record(at(0, 0, 0), CalcValue::text(u"abc"));
  record(at(0, 1, 0), reference);
  record(at(0, 2, 0), CalcValue::number(0.5));
  record(at(0, 3, 0), CalcValue::boolean(true));
  for (size_t cut = 0; cut <= all.size(); ++cut) {
    SCOPED_TRACE(cut);
    CompiledWorkbook fresh;
    fresh.addSheet(u"Sheet1");
    Bytes part(all.begin(), all.begin() + cut); // its own buffer, so a read past the cut is caught
    std::vector<Cell*> changed;
    size_t whole = 0;
    while (whole < ends.size() && ends[whole] <= cut)
      ++whole;
    bool exact = cut == 0 || (whole > 0 && ends[whole - 1] == cut);
    EXPECT_EQ(applyUserValues(fresh, part.data(), part.size(), 0x0109060B, changed), exact);
    EXPECT_EQ(changed.size(), whole);
  }
}
