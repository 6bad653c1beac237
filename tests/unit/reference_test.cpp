// References: limits, area operations, the value an area yields for a cell, and A1/R1C1 texts.
#include "formula/reference.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

using namespace cwbk;

namespace {

// (sheet, column, row), all 0-based.
CellAddress at(uint32_t sheet, uint32_t column, uint32_t row) {
  return CellAddress::make(sheet, column, row);
}
Area area(CellAddress a, CellAddress b) {
  return Area{a, b};
}
const CellAddress kInvalid = CellAddress::invalid();

std::string narrow(const std::u16string& s) {
  return std::string(s.begin(), s.end());
}

// Restores the full grid after every test, whatever the test switched to.
class ReferenceTest : public ::testing::Test {
protected:
  void TearDown() override { setReducedLimits(false); }
};

} // namespace

TEST_F(ReferenceTest, LimitsFollowTheHostAndTheFileFormat) {
  EXPECT_EQ(addressLimits().lastRow, 0xFFFFFu);
  EXPECT_EQ(addressLimits().lastColumn, 0x3FFFu);
  setReducedLimits(true);
  EXPECT_EQ(addressLimits().lastRow, 0xFFFFu);
  EXPECT_EQ(addressLimits().lastColumn, 0xFFu);
  EXPECT_FALSE(isWithinLimits(at(0, 256, 0)));
  EXPECT_FALSE(isWithinLimits(at(0, 0, 65536)));
  EXPECT_TRUE(isWithinLimits(at(0, 255, 65535)));
  EXPECT_FALSE(isWithinLimits(kInvalid));

  EXPECT_TRUE(reducedLimitsApply(11, 51));
  EXPECT_TRUE(reducedLimitsApply(16, 56));
  EXPECT_FALSE(reducedLimitsApply(12, 51));
}

TEST_F(ReferenceTest, NormalizeOrdersCorners) {
  struct Case {
    CellAddress first, second, wantFirst, wantSecond;
  };
  const Case cases[] = {
      {at(0, 1, 2), at(0, 0, 0), at(0, 0, 0), at(0, 1, 2)}, // (B3, A1) -> A1:B3
      {at(0, 0, 2), at(0, 1, 0), at(0, 0, 0), at(0, 1, 2)}, // (A3, B1) -> A1:B3
      {at(0, 1, 0), at(0, 0, 2), at(0, 0, 0), at(0, 1, 2)}, // (B1, A3) -> A1:B3
      {at(0, 0, 0), kInvalid, at(0, 0, 0), kInvalid},       // left alone
  };
  for (const Case& c : cases) {
    CellAddress a = c.first, b = c.second;
    normalize(a, b);
    EXPECT_EQ(a, c.wantFirst);
    EXPECT_EQ(b, c.wantSecond);
  }
}

TEST_F(ReferenceTest, IntersectAndIsLine) {
  struct Case {
    const char* name;
    Area a, b, want;
  };
  const Area none = Area::invalid();
  const Case cases[] = {
      {"overlap", area(at(0, 0, 0), at(0, 2, 2)), area(at(0, 1, 1), at(0, 3, 3)),
       area(at(0, 1, 1), at(0, 2, 2))},
      {"disjoint columns", area(at(0, 0, 0), at(0, 0, 1)), area(at(0, 2, 0), at(0, 2, 1)), none},
      {"disjoint rows", area(at(0, 0, 0), at(0, 3, 0)), area(at(0, 0, 2), at(0, 3, 4)), none},
      {"touching corner", area(at(0, 0, 0), at(0, 1, 1)), area(at(0, 1, 1), at(0, 2, 2)),
       area(at(0, 1, 1), at(0, 1, 1))},
      {"corners given backwards", area(at(0, 2, 2), at(0, 0, 0)), area(at(0, 3, 3), at(0, 1, 1)),
       area(at(0, 1, 1), at(0, 2, 2))},
      {"other sheet", area(at(0, 0, 0), at(0, 2, 2)), area(at(1, 0, 0), at(1, 2, 2)), none},
      {"second corner invalid reads as one cell", area(at(3, 1, 1), kInvalid), area(at(3, 0, 0), at(3, 5, 5)),
       area(at(3, 1, 1), at(3, 1, 1))},
      {"invalid first corner", area(kInvalid, at(0, 1, 1)), area(at(0, 0, 0), at(0, 5, 5)), none},
      // The high 12 bits of a row word are not part of the address.
      {"row high bits ignored", area(CellAddress{0xFFF00001, 0}, at(0, 0, 9)), area(at(0, 0, 0), at(0, 0, 3)),
       area(at(0, 0, 1), at(0, 0, 3))},
  };
  for (const Case& c : cases)
    EXPECT_EQ(intersect(c.a, c.b), c.want) << c.name;

  EXPECT_TRUE(isLine(area(at(0, 1, 0), at(0, 1, 9))));
  EXPECT_TRUE(isLine(area(at(0, 0, 2), at(0, 5, 2))));
  EXPECT_TRUE(isLine(area(at(0, 0, 2), kInvalid)));
  EXPECT_FALSE(isLine(area(at(0, 0, 0), at(0, 1, 1))));
  EXPECT_FALSE(isLine(area(at(0, 1, 0), at(1, 1, 9))));
  EXPECT_FALSE(isLine(Area::invalid()));
}

TEST_F(ReferenceTest, ImplicitIntersection) {
  const CellAddress d5 = at(0, 3, 4);
  struct Case {
    const char* name;
    Area area;
    CellAddress current, want;
  };
  const Case cases[] = {
      {"column B1:B10 at D5", area(at(0, 1, 0), at(0, 1, 9)), d5, at(0, 1, 4)},
      {"row A3:F3 at D5", area(at(0, 0, 2), at(0, 5, 2)), d5, at(0, 3, 2)},
      {"block A1:B2", area(at(0, 0, 0), at(0, 1, 1)), d5, kInvalid},
      {"column outside the rows", area(at(0, 1, 0), at(0, 1, 2)), d5, kInvalid},
      {"row outside the columns", area(at(0, 0, 2), at(0, 2, 2)), d5, kInvalid},
      {"area on another sheet", area(at(2, 1, 0), at(2, 1, 9)), d5, at(2, 1, 4)},
      {"invalid current cell", area(at(0, 1, 0), at(0, 1, 9)), kInvalid, kInvalid},
      {"two sheets", area(at(0, 1, 0), at(1, 1, 9)), d5, kInvalid},
  };
  for (const Case& c : cases)
    EXPECT_EQ(implicitIntersection(c.area, c.current), c.want) << c.name;
}

TEST_F(ReferenceTest, ValueForCell) {
  std::map<CellAddress, CalcValue> cells;
  cells[at(0, 1, 4)] = CalcValue::number(15);    // Sheet 0 B5
  cells[at(0, 3, 2)] = CalcValue::text(u"d3");   // Sheet 0 D3
  cells[at(1, 3, 4)] = CalcValue::number(7);     // Sheet 1 D5
  cells[at(0, 0, 0)] = CalcValue::boolean(true); // Sheet 0 A1
  CellValueLookup lookup = [&](CellAddress a) -> const CalcValue* {
    auto it = cells.find(a);
    return it == cells.end() ? nullptr : &it->second;
  };
  const CellAddress d5 = at(0, 3, 4);
  struct Case {
    const char* name;
    Area area;
    CellAddress current;
    CalcValue want;
  };
  const Case cases[] = {
      {"single cell", area(at(0, 0, 0), at(0, 0, 0)), d5, CalcValue::boolean(true)},
      {"single cell by its first corner", area(at(0, 0, 0), kInvalid), d5, CalcValue::boolean(true)},
      {"column line", area(at(0, 1, 0), at(0, 1, 9)), d5, CalcValue::number(15)},
      {"row line", area(at(0, 0, 2), at(0, 5, 2)), d5, CalcValue::text(u"d3")},
      {"line missing the current cell", area(at(0, 1, 0), at(0, 1, 2)), d5, CalcValue::error(ErrValue)},
      {"block on another sheet", area(at(1, 0, 0), at(1, 5, 9)), d5, CalcValue::number(7)},
      {"block on the own sheet", area(at(0, 0, 0), at(0, 5, 9)), d5, CalcValue::error(ErrValue)},
      {"block missing the current cell", area(at(1, 5, 5), at(1, 6, 9)), d5, CalcValue::error(ErrValue)},
      {"cell that does not exist", area(at(0, 7, 7), at(0, 7, 7)), d5, CalcValue()},
      {"invalid current cell", area(at(0, 0, 0), at(0, 0, 0)), kInvalid, CalcValue::error(ErrValue)},
      {"invalid area", Area::invalid(), d5, CalcValue::error(ErrValue)},
  };
  for (const Case& c : cases) {
    CalcValue result = CalcValue::text(u"stale value");
    valueForCell(c.area, c.current, lookup, result);
    EXPECT_TRUE(result.sameAs(c.want)) << c.name << ": tag " << result.tag();
  }
}

TEST_F(ReferenceTest, ParseCell) {
  struct Case {
    const char16_t* text;
    CellAddress want;
  };
  const Case cases[] = {
      {u"$B$3", at(4, 1, 2)},
      {u"b3", at(4, 1, 2)},
      {u"B$3", at(4, 1, 2)},
      {u"$B3", at(4, 1, 2)},
      {u"A1", at(4, 0, 0)},
      {u"A01", at(4, 0, 0)},
      {u"XFD1048576", at(4, 16383, 0xFFFFF)},
      {u"xfd1", at(4, 16383, 0)},
      // A row beyond the last row reads as the last row; huge numbers never wrap to a small row.
      {u"A1048577", at(4, 0, 0xFFFFF)},
      {u"A4294967297", at(4, 0, 0xFFFFF)},
      {u"A99999999999999999999999", at(4, 0, 0xFFFFF)},
      // Junk gives the invalid address.
      {u"", kInvalid},
      {u"A", kInvalid},
      {u"$", kInvalid},
      {u"12", kInvalid},
      {u"3B", kInvalid},
      {u"ABCD1", kInvalid},
      {u"XFE1", kInvalid},
      {u"ZZZ1", kInvalid},
      {u"A0", kInvalid},
      {u"A00", kInvalid},
      {u"A1B", kInvalid},
      {u"A1 ", kInvalid},
      {u" A1", kInvalid},
      {u"A-1", kInvalid},
      {u"A1.5", kInvalid},
      {u"$$A1", kInvalid},
      {u"A$$1", kInvalid},
      {u"A1$", kInvalid},
      {u"A$", kInvalid},
      {u"$A$B1", kInvalid},
      {u"A:1", kInvalid},
      {u"Sheet1!A1", kInvalid},
      {u"\u00C41", kInvalid}, // a letter outside A-Z
      {u"\uFF211", kInvalid}, // fullwidth A
      {u"[1", kInvalid},
  };
  for (const Case& c : cases)
    EXPECT_EQ(parseCell(c.text, 4), c.want) << narrow(c.text);

  setReducedLimits(true);
  EXPECT_EQ(parseCell(u"IV65536", 0), at(0, 255, 0xFFFF));
  EXPECT_EQ(parseCell(u"IW1", 0), kInvalid);
  EXPECT_EQ(parseCell(u"A65537", 0), at(0, 0, 0xFFFF));
}

TEST_F(ReferenceTest, ParseArea) {
  struct Case {
    const char16_t* text;
    bool reduced;
    CellAddress first, second;
    int kind;
  };
  const Case cases[] = {
      {u"B3", false, at(2, 1, 2), at(2, 1, 2), 0},
      {u"A1:B3", false, at(2, 0, 0), at(2, 1, 2), 0},
      {u"$B$3:$A$1", false, at(2, 0, 0), at(2, 1, 2), 0},
      {u"B:D", false, at(2, 1, 0), at(2, 3, 0xFFFFF), 2},
      {u"$D:$b", false, at(2, 1, 0), at(2, 3, 0xFFFFF), 2},
      {u"B:D", true, at(2, 1, 0), at(2, 3, 0xFFFF), 2},
      {u"3:5", true, at(2, 0, 2), at(2, 255, 4), 1},
      {u"$3:$5", false, at(2, 0, 2), at(2, 16383, 4), 1},
      // Several ':' chain like the range operator: the area spanning every part.
      {u"A1:B2:C3", false, at(2, 0, 0), at(2, 2, 2), 0},
      {u"C3:A1:B2", false, at(2, 0, 0), at(2, 2, 2), 0},
      {u"B:D:A", false, at(2, 0, 0), at(2, 3, 0xFFFFF), 2},
      // Unreadable parts or mixed forms leave both corners invalid.
      {u"", false, kInvalid, kInvalid, 0},
      {u":", false, kInvalid, kInvalid, 0},
      {u"A1:", false, kInvalid, kInvalid, 0},
      {u":A1", false, kInvalid, kInvalid, 0},
      {u"A1::B2", false, kInvalid, kInvalid, 0},
      {u"A1:junk", false, kInvalid, kInvalid, 0},
      {u"B", false, kInvalid, kInvalid, 0},
      {u"3", false, kInvalid, kInvalid, 0},
      {u"B:D5", false, kInvalid, kInvalid, 0},
      {u"A1:B", false, kInvalid, kInvalid, 0},
      {u"3:C", false, kInvalid, kInvalid, 0},
      {u"0:5", false, kInvalid, kInvalid, 0},
      {u"B:XFE", false, kInvalid, kInvalid, 0},
      {u"A:IW", true, kInvalid, kInvalid, 0},
  };
  for (const Case& c : cases) {
    setReducedLimits(c.reduced);
    ParsedArea p = parseArea(c.text, 2);
    EXPECT_EQ(p.first, c.first) << narrow(c.text);
    EXPECT_EQ(p.second, c.second) << narrow(c.text);
    EXPECT_EQ(p.kind, c.kind) << narrow(c.text);
  }
}

TEST_F(ReferenceTest, ParseR1C1) {
  struct Case {
    const char16_t* text;
    CellAddress want;
  };
  const Case cases[] = {
      {u"R2C3", at(1, 2, 1)},
      {u"r2c3", at(1, 2, 1)},
      {u"R1048576C16384", at(1, 16383, 0xFFFFF)},
      {u"", kInvalid},
      {u"R", kInvalid},
      {u"RC", kInvalid},
      {u"R2C", kInvalid},
      {u"RC3", kInvalid},
      {u"C3R2", kInvalid},
      {u"R0C1", kInvalid},
      {u"R1C0", kInvalid},
      {u"R-1C1", kInvalid},
      {u"R1C-1", kInvalid},
      {u"R[1]C[1]", kInvalid},
      {u"R1048577C1", kInvalid},
      {u"R1C16385", kInvalid},
      {u"R4294967297C1", kInvalid},
      {u"R1C99999999999999999999", kInvalid},
      {u"R2C3x", kInvalid},
      {u" R2C3", kInvalid},
      {u"R+2C3", kInvalid},
      {u"A1", kInvalid},
  };
  for (const Case& c : cases)
    EXPECT_EQ(parseCellR1C1(c.text, 1), c.want) << narrow(c.text);

  ParsedArea p = parseAreaR1C1(u"R3C2:R1C1", 1);
  EXPECT_EQ(p.first, at(1, 0, 0));
  EXPECT_EQ(p.second, at(1, 1, 2));
  p = parseAreaR1C1(u"R3C2", 1);
  EXPECT_EQ(p.first, at(1, 1, 2));
  EXPECT_EQ(p.second, at(1, 1, 2));
  for (const char16_t* bad : {u"R1C1:", u"R1C1:x", u"R1C1:R2C2:R3C3", u"R1C1:A1"}) {
    p = parseAreaR1C1(bad, 1);
    EXPECT_FALSE(p.first.isValid()) << narrow(bad);
    EXPECT_FALSE(p.second.isValid()) << narrow(bad);
  }

  setReducedLimits(true);
  EXPECT_EQ(parseCellR1C1(u"R65536C256", 0), at(0, 255, 0xFFFF));
  EXPECT_EQ(parseCellR1C1(u"R65537C1", 0), kInvalid);
  EXPECT_EQ(parseCellR1C1(u"R1C257", 0), kInvalid);
}

TEST_F(ReferenceTest, ColumnLetters) {
  const std::pair<uint32_t, const char16_t*> cases[] = {
      {0, u"A"},     {25, u"Z"},     {26, u"AA"},     {51, u"AZ"},  {52, u"BA"},  {701, u"ZZ"},
      {702, u"AAA"}, {1378, u"BAA"}, {16383, u"XFD"}, {16384, u""}, {18277, u""}, {0xFFFFFFFF, u""},
  };
  for (const auto& [column, want] : cases)
    EXPECT_EQ(columnLetters(column), want) << column;
  // Letters and parsing agree over the whole grid.
  for (uint32_t c = 0; c <= 16383; ++c)
    ASSERT_EQ(parseCell(columnLetters(c) + u"1", 0), at(0, c, 0)) << c;
}

TEST_F(ReferenceTest, CellTexts) {
  EXPECT_EQ(cellText(at(0, 1, 2)), u"B3");
  EXPECT_EQ(absoluteCellText(at(0, 1, 2)), u"$B$3");
  EXPECT_EQ(cellText(at(0, 16383, 0xFFFFF)), u"XFD1048576");
  EXPECT_EQ(cellText(CellAddress{0xFFF00004, 2}), u"C5"); // high row bits are not part of the row
  EXPECT_EQ(cellText(kInvalid), u"#REF!");
  EXPECT_EQ(absoluteCellText(kInvalid), u"#REF!");

  setReducedLimits(true);
  EXPECT_EQ(cellText(at(0, 0, 100000)), u"A65536");
  EXPECT_EQ(absoluteCellText(at(0, 0, 100000)), u"$A$65536");
}

TEST_F(ReferenceTest, SheetNamesAndReferenceTexts) {
  EXPECT_EQ(quotedSheetName(u"It's"), u"'It''s'");
  EXPECT_EQ(quotedSheetName(u""), u"''");
  EXPECT_EQ(quotedSheetName(u"''"), u"''''''");

  const std::u16string q = quotedSheetName(u"It's");
  EXPECT_EQ(referenceText(at(0, 0, 0), q), u"'It''s'!A1");
  EXPECT_EQ(referenceText(at(0, 0, 0), u""), u"A1");
  EXPECT_EQ(referenceText(kInvalid, q), u"#REF!");

  struct Case {
    Area area;
    bool bothCorners;
    const char16_t* want;
  };
  const Case cases[] = {
      {area(at(0, 0, 0), at(0, 1, 2)), false, u"'It''s'!A1:B3"},
      {area(at(0, 0, 0), at(0, 0, 0)), false, u"'It''s'!A1"},
      {area(at(0, 0, 0), at(0, 0, 0)), true, u"'It''s'!A1:A1"},
      {area(at(0, 0, 0), kInvalid), false, u"'It''s'!A1"},
      {area(kInvalid, at(0, 0, 0)), false, u"#REF!"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(referenceText(c.area, q, c.bothCorners), c.want) << narrow(c.want);

  // Under the old grid a second corner beyond the last row prints as "#REF!".
  setReducedLimits(true);
  EXPECT_EQ(referenceText(area(at(0, 0, 0), at(0, 1, 70000)), q), u"'It''s'!A1:#REF!");
  EXPECT_EQ(secondCornerText(at(0, 0, 65535)), u"A65536");
  EXPECT_EQ(secondCornerText(kInvalid), u"#REF!");
}

TEST_F(ReferenceTest, SheetNamesNeedQuotesWhereAFormulaCouldMisreadThem) {
  struct Case {
    const char16_t* name;
    bool quotes;
  };
  const Case cases[] = {
      {u"Sheet1", false},   {u"Data_1", false},  {u"data.2024", false}, {u"_x", false},  {u"SheetABC", false},
      {u"ABCD1", false},    {u"RC1x", false},    {u"", true},           {u"2024", true}, {u"1Sheet", true},
      {u".hidden", true},   {u"My Sheet", true}, {u"It's", true},       {u"a-b", true},  {u"Q1!", true},
      {u"Caf\u00e9", true}, {u"A1", true},       {u"xfd1048576", true}, {u"AB12", true}, {u"R", true},
      {u"c", true},         {u"RC", true},       {u"R1C1", true},       {u"r2", true},   {u"C30", true},
      {u"R[1]C", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(sheetNameNeedsQuotes(c.name), c.quotes) << narrow(c.name);
}

TEST_F(ReferenceTest, SheetPrefixesSplitOffReferenceTexts) {
  struct Case {
    const char16_t* text;
    bool readable;
    bool hasSheet;
    bool otherWorkbook;
    const char16_t* sheet;
    const char16_t* address;
  };
  const Case cases[] = {
      {u"B3", true, false, false, u"", u"B3"},
      {u"Sheet2!A1:B5", true, true, false, u"Sheet2", u"A1:B5"},
      {u"'It''s'!A1", true, true, false, u"It's", u"A1"},
      {u"'a!b'!C2", true, true, false, u"a!b", u"C2"},
      {u"x!y!A1", true, true, false, u"x!y", u"A1"}, // unquoted: everything before the last '!'
      {u"[1]Sheet1!A1", true, true, true, u"[1]Sheet1", u"A1"},
      {u"!A1", true, true, false, u"", u"A1"},
      {u"'open", false, false, false, u"", u""},
      {u"'closed'A1", false, false, false, u"", u""},
      {u"'closed'", false, false, false, u"", u""},
      {u"[1Sheet1!A1", false, false, false, u"", u""},
  };
  for (const Case& c : cases) {
    SheetPrefix prefix;
    bool readable = splitSheetPrefix(c.text, prefix);
    EXPECT_EQ(readable, c.readable) << narrow(c.text);
    if (!readable || !c.readable) continue;
    EXPECT_EQ(prefix.hasSheet, c.hasSheet) << narrow(c.text);
    EXPECT_EQ(prefix.otherWorkbook, c.otherWorkbook) << narrow(c.text);
    EXPECT_EQ(prefix.sheet, c.sheet) << narrow(c.text);
    EXPECT_EQ(prefix.address, std::u16string_view(c.address)) << narrow(c.text);
  }

  // Row numbers must lie on the sheet, and only letters, digits, '$' and ':' make an address.
  for (const char16_t* text : {u"A1", u"$B$3:C1048576", u"3:5", u"B:D"})
    EXPECT_TRUE(rowNumbersOnSheet(text)) << narrow(text);
  for (const char16_t* text : {u"A0", u"A1048577", u"A1:B0", u"A 1", u"A1.5", u"A99999999999999"})
    EXPECT_FALSE(rowNumbersOnSheet(text)) << narrow(text);
  setReducedLimits(true);
  EXPECT_FALSE(rowNumbersOnSheet(u"A65537"));
}

TEST_F(ReferenceTest, VolatileFunctionNames) {
  for (const char16_t* name :
       {u"INDIRECT", u"offset", u"Now", u"TODAY", u"rand", u"RandBetween", u"CELL", u"info"})
    EXPECT_TRUE(isVolatileFunctionName(name)) << narrow(name);
  for (const char16_t* name : {u"", u"SUM", u"RAN", u"RANDS", u"NOW ", u"INDIRECT2"})
    EXPECT_FALSE(isVolatileFunctionName(name)) << narrow(name);
}
