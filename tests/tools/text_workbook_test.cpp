// Tests of the plain-text workbook reader: the sample fixture, the value grammar, and faults with lines.
#include "compiler/text_workbook.h"

#include <gtest/gtest.h>

namespace cwbk::compiler {
namespace {

std::string u8(std::u16string_view text) {
  return utf16ToUtf8(text);
}

const SourceCell& cellAt(const SourceWorkbook& workbook, uint32_t sheet, uint32_t row, uint32_t column) {
  const SourceCell* cell = workbook.findCell(sheet, row, column);
  if (cell == nullptr) throw std::runtime_error("no cell at " + cellName(row, column));
  return *cell;
}

TEST(TextWorkbook, ReadsTheSampleFixture) {
  SourceWorkbook wb = readTextWorkbookFile(CWBK_SOURCE_DIR "/tests/fixtures/text_workbook_sample.txt");
  EXPECT_TRUE(wb.date1904);
  ASSERT_EQ(wb.sheets.size(), 2u);
  EXPECT_EQ(u8(wb.sheets[0].name), "Inputs");
  EXPECT_EQ(u8(wb.sheets[0].codeName), "InputsCode");
  EXPECT_EQ(u8(wb.sheets[1].name), "Loan plan");
  EXPECT_TRUE(wb.sheets[1].codeName.empty());

  EXPECT_EQ(cellAt(wb, 0, 0, 0).value, SourceValue::ofText(u"Principal"));
  EXPECT_EQ(cellAt(wb, 0, 0, 1).value, SourceValue::ofNumber(10000));
  EXPECT_EQ(cellAt(wb, 0, 2, 1).value, SourceValue::ofBoolean(true));
  EXPECT_EQ(cellAt(wb, 0, 3, 1).value, SourceValue::ofError(ErrNA));
  EXPECT_EQ(cellAt(wb, 0, 4, 1).value, SourceValue::ofText(u"plain text"));
  EXPECT_EQ(cellAt(wb, 0, 5, 1).value, SourceValue::ofText(u"  #not an error \"quoted\"  "));
  EXPECT_EQ(cellAt(wb, 0, 6, 1).value, SourceValue::ofNumber(-1500));

  const SourceCell& formula = cellAt(wb, 1, 0, 0);
  EXPECT_EQ(formula.kind, CellKind::Formula);
  EXPECT_EQ(u8(formula.formula), "Inputs!B1*(1+Inputs!B2)");
  EXPECT_EQ(formula.cached, SourceValue::ofNumber(10500));
  EXPECT_EQ(formula.flags, kFlagVolatile | kFlagHostComputed);
  EXPECT_EQ(compiledFlags(formula), kFlagVolatile | kFlagHostComputed);

  // The array formula C1:C3: master with the text, members without; C2's value is its cached value.
  SourceRange array{0, 2, 2, 2};
  const SourceCell& master = cellAt(wb, 1, 0, 2);
  EXPECT_EQ(master.kind, CellKind::ArrayFormula);
  EXPECT_TRUE(master.master);
  EXPECT_EQ(master.range, array);
  EXPECT_EQ(u8(master.formula), "Inputs!B1:B3*2");
  EXPECT_EQ(master.cached, SourceValue::ofNumber(20000));
  EXPECT_EQ(compiledFlags(master), kFlagArrayFormula | kFlagArrayMaster);
  for (uint32_t row : {1u, 2u}) {
    const SourceCell& member = cellAt(wb, 1, row, 2);
    EXPECT_EQ(member.kind, CellKind::ArrayFormula);
    EXPECT_FALSE(member.master);
    EXPECT_EQ(member.range, array);
    EXPECT_TRUE(member.formula.empty());
    EXPECT_TRUE(member.value.isNone());
    EXPECT_EQ(compiledFlags(member), kFlagArrayFormula);
  }
  EXPECT_EQ(cellAt(wb, 1, 1, 2).cached, SourceValue::ofNumber(0.1));

  // The two-variable data table E2:F4 covers six cells.
  ASSERT_EQ(wb.dataTables.size(), 1u);
  const SourceDataTable& table = wb.dataTables[0];
  EXPECT_EQ(table.sheet, 1u);
  EXPECT_EQ(table.range, (SourceRange{1, 4, 3, 5}));
  EXPECT_TRUE(table.twoDimensional);
  EXPECT_EQ(u8(table.rowInputCell), "D1");
  EXPECT_EQ(u8(table.columnInputCell), "D2");
  for (uint32_t row = 1; row <= 3; ++row) {
    for (uint32_t column = 4; column <= 5; ++column) {
      const SourceCell& cell = cellAt(wb, 1, row, column);
      EXPECT_EQ(cell.kind, CellKind::DataTable);
      EXPECT_EQ(cell.dataTable, 0);
      EXPECT_EQ(cell.master, row == 1 && column == 4);
      EXPECT_EQ(compiledFlags(cell), kFlagArrayMaster);
    }
  }
  EXPECT_EQ(cellAt(wb, 1, 3, 5).cached, SourceValue::ofError(ErrDiv0));

  ASSERT_EQ(wb.names.size(), 2u);
  EXPECT_EQ(u8(wb.names[0].name), "Rate");
  EXPECT_EQ(wb.names[0].scope, -1);
  EXPECT_EQ(u8(wb.names[0].formula), "Inputs!$B$2");
  EXPECT_EQ(u8(wb.names[1].name), "Local");
  EXPECT_EQ(wb.names[1].scope, 1);
  EXPECT_EQ(u8(wb.names[1].formula), "'Loan plan'!$A$1");

  EXPECT_EQ(u8(cellAt(wb, 0, 0, 0).hyperlink), "#'Loan plan'!A1");
  const SourceCell& linkOnly = cellAt(wb, 0, 8, 0); // an empty cell made for its hyperlink
  EXPECT_TRUE(linkOnly.value.isNone());
  EXPECT_EQ(u8(linkOnly.hyperlink), "https://example.com/a b");

  // Cells come sorted by sheet, row and column.
  for (size_t i = 1; i < wb.cells.size(); ++i) {
    const SourceCell& a = wb.cells[i - 1];
    const SourceCell& b = wb.cells[i];
    EXPECT_LT(std::tie(a.sheet, a.row, a.column), std::tie(b.sheet, b.row, b.column));
  }
}

TEST(TextWorkbook, ParsesValuesAndFormulas) {
  struct Case {
    const char* content;
    SourceValue value;
    const char* formula; // non-null: a formula cell with this text
  };
  const Case cases[] = {
      {"42", SourceValue::ofNumber(42), nullptr},
      {"+4.5E2", SourceValue::ofNumber(450), nullptr},
      {".5", SourceValue::ofNumber(0.5), nullptr},
      {"1e", SourceValue::ofText(u"1e"), nullptr},
      {"1-2", SourceValue::ofText(u"1-2"), nullptr},
      {"inf", SourceValue::ofText(u"inf"), nullptr},
      {"nan", SourceValue::ofText(u"nan"), nullptr},
      {"false", SourceValue::ofBoolean(false), nullptr},
      {"#DIV/0!", SourceValue::ofError(ErrDiv0), nullptr},
      {"#NAME?", SourceValue::ofError(ErrName), nullptr},
      {"\"\"", SourceValue::ofText(u""), nullptr},
      {"\"42\"", SourceValue::ofText(u"42"), nullptr},
      {"  spaced words  ", SourceValue::ofText(u"spaced words"), nullptr},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", SourceValue::ofText(u"caf\u00E9 \U0001F600"), nullptr},
      {"", SourceValue(), nullptr},
      {"=1+2  ", SourceValue(), "1+2"},
      {"= SUM(A1:A3) ", SourceValue(), "SUM(A1:A3)"},
      {"=\"a # b\"&A1", SourceValue(), "\"a # b\"&A1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    SourceWorkbook wb = readTextWorkbook(std::string("Sheet1!B2: ") + c.content);
    ASSERT_EQ(wb.cells.size(), 1u);
    const SourceCell& cell = wb.cells[0];
    EXPECT_EQ(cell.row, 1u);
    EXPECT_EQ(cell.column, 1u);
    EXPECT_EQ(cell.value, c.value);
    if (c.formula != nullptr) {
      EXPECT_EQ(cell.kind, CellKind::Formula);
      EXPECT_EQ(u8(cell.formula), c.formula);
    } else {
      EXPECT_EQ(cell.kind, CellKind::Constant);
    }
  }
}

TEST(TextWorkbook, CommentsSheetsAndAddresses) {
  SourceWorkbook wb = readTextWorkbook("\xEF\xBB\xBF# comment\r\n"
                                       "   # indented comment\r\n"
                                       "\r\n"
                                       "'It''s'!$XFD$1048576: #REF!\r\n"
                                       "sheet2!A1: 1\r\n"
                                       "SHEET2!B1: =A1\r\n"
                                       "'a!b'!C3: x\n");
  ASSERT_EQ(wb.sheets.size(), 3u);
  EXPECT_EQ(u8(wb.sheets[0].name), "It's");
  EXPECT_EQ(u8(wb.sheets[1].name), "sheet2"); // names compare without regard to case
  EXPECT_EQ(u8(wb.sheets[2].name), "a!b");
  const SourceCell* corner = wb.findCell(0, kMaxRows - 1, kMaxColumns - 1);
  ASSERT_NE(corner, nullptr);
  EXPECT_EQ(corner->value, SourceValue::ofError(ErrRef));
  EXPECT_NE(wb.findCell(1, 0, 1), nullptr);
  EXPECT_NE(wb.findCell(2, 2, 2), nullptr);
}

TEST(TextWorkbook, ReportsFaultsWithTheirLine) {
  struct Case {
    const char* text;
    const char* expected; // start of the message, after "<text>:"
  };
  const Case cases[] = {
      {"Sheet1!A1 5", "1: expected ': ' after the cell name"},
      {"Sheet1!A1:5", "1: expected ': ' after the cell name"},
      {"A1: 5", "1: expected 'Sheet!A1: ' at the start"},
      {"Sheet1!A0: 5", "1: expected a cell name"},
      {"Sheet1!XFE1: 5", "1: expected a cell name"},
      {"Sheet1!A1048577: 5", "1: expected a cell name"},
      {"'Sheet1!A1: 5", "1: a quoted sheet name has no closing quote"},
      {"!A1: 5", "1: a sheet name is empty"},
      {"Sheet1!B2:A1: {=1}", "1: a range must name its top-left cell first"},
      {"Sheet1!A1: #OOPS", "1: unknown error literal"},
      {"Sheet1!A1: \"open", "1: quoted text has no closing"},
      {"Sheet1!A1: \"a\"b", "1: unexpected characters after the closing"},
      {"Sheet1!A1: 1e999", "1: the number '1e999' is out of range"},
      {"Sheet1!A1: =", "1: the formula is empty"},
      {"Sheet1!A1: {=}", "1: the array formula is empty"},
      {"Sheet1!A1: {A1}", "1: an array formula is written"},
      {"Sheet1!A1:B2: =A1", "1: a range takes an array formula"},
      {"\n\nSheet1!A1: 1\nSheet1!$A$1: 2", "4: cell A1 was already given on line 3"},
      {"[nope]", "1: unknown section [nope]"},
      {"[cells", "1: a section header must end with ']'"},
      {"[names]\nTotal", "2: expected 'Name = formula'"},
      {"[names]\nA1 = 5", "2: 'A1' is not a valid defined name"},
      {"[names]\n1x = 5", "2: '1x' is not a valid defined name"},
      {"[names]\nx =", "2: the name has no formula"},
      {"[names]\nx = 1\nX = 2", "3: the name 'X' is defined twice"},
      {"[sheets]\nA\na", "3: sheet 'a' is listed twice"},
      {"Late!A1: 1\n[sheets]\nLate", "3: sheet 'Late' is listed after a line used it"},
      {"[sheets]\nA = ", "2: the code name is empty"},
      {"[flags]\nSheet1!A1: fast", "2: unknown cell flag 'fast'"},
      {"[flags]\nSheet1!A1:", "2: no cell flag given"},
      {"[flags]\nSheet1!A1:A2: volatile", "2: this section takes one cell"},
      {"[cached]\nSheet1!A1: 5", "2: a cached value needs a formula"},
      {"Sheet1!A1: =1\n[cached]\nSheet1!A1: 5\nSheet1!A1: 6", "4: the cell already has a cached value"},
      {"[tables]\nSheet1!B2:B3: col=A1", "2: unknown data table input 'col'"},
      {"[tables]\nSheet1!B2:B3:", "2: a data table needs"},
      {"[tables]\nSheet1!B2:B3: row=A1 row=A2", "2: the input 'row' is given twice"},
      {"[tables]\nSheet1!B2:B3: row=ZZZZ1", "2: expected row=CELL"},
      {"[workbook]\ndate1904 = maybe", "2: date1904 takes true or false"},
      {"[workbook]\ncolor = red", "2: unknown workbook setting"},
      {"Sheet1!A1: \xC3\x28", "1: the line is not valid UTF-8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      readTextWorkbook(c.text);
      ADD_FAILURE() << "no error";
    } catch (const SourceError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(std::string("<text>:") + c.expected, 0), 0u) << e.what();
    }
  }
}

TEST(TextWorkbook, RefusesOverlapsOfArraysAndTables) {
  const char* cases[] = {
      "Sheet1!A1:A3: {=1}\nSheet1!A2: =5",
      "Sheet1!A1:A3: {=1}\nSheet1!A2:B2: {=2}",
      "Sheet1!A1:A3: {=1}\n[tables]\nSheet1!A3:A4: row=C1",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    EXPECT_THROW(readTextWorkbook(text), SourceError);
  }
  EXPECT_THROW(readTextWorkbookFile(CWBK_SOURCE_DIR "/tests/fixtures/no_such_file.txt"), SourceError);
}

TEST(TextWorkbook, ChoosesTheReaderByContent) {
  SourceWorkbook wb = readSourceWorkbook(CWBK_SOURCE_DIR "/tests/fixtures/text_workbook_sample.txt");
  EXPECT_EQ(wb.sheets.size(), 2u);
  EXPECT_EQ(wb.formulaCount(), 2u);
}

} // namespace
} // namespace cwbk::compiler
