// Tests of running a workbook with the tool's helpers: the example loan calculates and follows a
// changed input, the cache check counts and lists as it should, and input values and JSON read right.
#include "compiler/workbook_calc.h"

#include <cmath>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "compiler/text_workbook.h"

namespace cwbk::compiler {
namespace {

double numberAt(CompiledWorkbook& wb, const char* name) {
  std::optional<CellAddress> address = parseCellName(wb, name);
  if (!address) throw std::runtime_error(std::string("no cell ") + name);
  Cell* cell = wb.findCell(*address);
  if (!cell) throw std::runtime_error(std::string("no cell ") + name);
  const CalcValue& v = wb.cellValue(*cell);
  if (!v.isNumber()) throw std::runtime_error(std::string("not a number at ") + name);
  return v.numberValue();
}

TEST(WorkbookCalc, TheExampleLoanCalculatesAndFollowsAChangedInput) {
  CompileOptions options;
  options.storeFormulaValues = false;
  LoadedWorkbook loaded = loadAnyWorkbook(CWBK_SOURCE_DIR "/examples/loan.txt", options);
  CompiledWorkbook& wb = *loaded.workbook;
  calculateAll(wb);
  // The annuity payment of 25000 over 60 months at 0.5% a month.
  double payment = 25000 * 0.005 / (1 - std::pow(1.005, -60));
  EXPECT_NEAR(numberAt(wb, "Loan!B7"), payment, 1e-9);
  EXPECT_NEAR(numberAt(wb, "Loan!B9"), payment * 60 - 25000, 1e-6);
  EXPECT_NEAR(numberAt(wb, "Schedule!E2"), 25000 - (payment - 125), 1e-9);
  EXPECT_EQ(numberAt(wb, "Schedule!A13"), 12);

  applyChanges(wb, {{*parseCellName(wb, "Loan!B1"), CalcValue::number(30000)}});
  EXPECT_NEAR(numberAt(wb, "Loan!B7"), payment * 1.2, 1e-9);
  EXPECT_NEAR(numberAt(wb, "Schedule!B3"), 30000 - (payment * 1.2 - 150), 1e-9);

  EXPECT_THROW(applyChanges(wb, {{*parseCellName(wb, "Loan!B7"), CalcValue::number(1)}}), SourceError);
}

TEST(WorkbookCalc, CheckCountsPassesFailuresAndSkippedCells) {
  SourceWorkbook source = readTextWorkbook(R"([cells]
Sheet1!A1: 2
Sheet1!B1: =A1*3
Sheet1!B2: =A1+1
Sheet1!B3: =MYMACRO(A1)
Sheet1!B4: =B3+1
Sheet1!B5: =A1&"x"
Sheet1!B6: =1/0
Sheet1!B7: =A1*1.00000001
Sheet1!B8: =RAND()+A1
Sheet1!C1:C2: {=A1:A2*2}
[cached]
Sheet1!B1: 6
Sheet1!B2: 5
Sheet1!B3: 1
Sheet1!B4: 2
Sheet1!B5: "2x"
Sheet1!B6: #DIV/0!
Sheet1!B7: 2
Sheet1!B8: 2.5
Sheet1!C1: 4
Sheet1!C2: 0
)");
  CompileOptions options;
  options.storeFormulaValues = false;
  options.lenient = true;
  std::vector<uint8_t> bytes = compileToStream(source, options);
  CompiledWorkbook wb;
  loadStreamBytes(bytes, wb);
  calculateAll(wb);

  CheckResult strict = checkAgainstCache(source, wb);
  EXPECT_EQ(strict.passed, 5u);
  EXPECT_EQ(strict.failed, 2u);
  // Skipped: MYMACRO has no implementation, B4 reads it, and RAND gives a new value every time.
  EXPECT_EQ(strict.skipped, 3u);
  ASSERT_EQ(strict.mismatches.size(), 2u);
  EXPECT_EQ(strict.mismatches[0].cell, "Sheet1!B2");
  EXPECT_EQ(strict.mismatches[0].formula, "=A1+1");
  EXPECT_EQ(strict.mismatches[0].expected, "5");
  EXPECT_EQ(strict.mismatches[0].got, "3");
  EXPECT_EQ(strict.mismatches[1].cell, "Sheet1!B7");

  CheckOptions loose;
  loose.tolerance = 1e-6;
  EXPECT_EQ(checkAgainstCache(source, wb, loose).failed, 1u);
}

// operators.xlsx holds operators, references and names only, with the results a second spreadsheet
// computed and cached (tests/fixtures/operators_xlsx.py says how it was made).
TEST(WorkbookCalc, OperatorsAgreeWithASecondSpreadsheet) {
  CompileOptions options;
  options.storeFormulaValues = false;
  options.lenient = true;
  LoadedWorkbook loaded = loadAnyWorkbook(CWBK_SOURCE_DIR "/tests/fixtures/operators.xlsx", options);
  calculateAll(*loaded.workbook);
  CheckResult result = checkAgainstCache(*loaded.source, *loaded.workbook);
  // Where the two spreadsheets part, Excel's answer is the one to give: the second one takes TRUE as
  // the number 1 in a comparison, Excel compares a number and a logical value by their kinds.
  const std::map<std::string, std::string> excelDiffers = {{"Sheet1!B22", "FALSE"}};
  for (const CheckMismatch& m : result.mismatches) {
    auto known = excelDiffers.find(m.cell);
    if (known != excelDiffers.end() && m.got == known->second) continue;
    ADD_FAILURE() << m.cell << " " << m.formula << " expected " << m.expected << " got " << m.got;
  }
  EXPECT_GE(result.passed, 50u);
}

// tables.xlsx holds a table with a calculated column, a totals row and escaped column names, and a
// sheet that looks into it; its cached values were worked out by hand (tests/fixtures/tables_xlsx.py).
TEST(WorkbookCalc, StructuredReferencesReachTheirTables) {
  CompileOptions options;
  options.storeFormulaValues = false;
  options.lenient = true;
  LoadedWorkbook loaded = loadAnyWorkbook(CWBK_SOURCE_DIR "/tests/fixtures/tables.xlsx", options);
  calculateAll(*loaded.workbook);
  CheckResult result = checkAgainstCache(*loaded.source, *loaded.workbook);
  for (const CheckMismatch& m : result.mismatches)
    ADD_FAILURE() << m.cell << " " << m.formula << " expected " << m.expected << " got " << m.got;
  EXPECT_EQ(result.passed, 21u);
  EXPECT_EQ(loaded.report.hostComputed, std::vector<std::string>{"Report!B11: unknown table 'Nope'"});
}

// Cells that read members of an array formula, singly or through another array formula's range, are
// evaluated after its master, also when they come first in the workbook.
TEST(WorkbookCalc, ReadersOfArrayMembersFollowTheirMaster) {
  SourceWorkbook source = readTextWorkbook(R"([sheets]
Sheet1

[cells]
Sheet1!A1: 1
Sheet1!A2: 2
Sheet1!B1:C2: {=H1:I2}
Sheet1!B5: =H2*10
Sheet1!H1:I2: {=A1:A2*{1,2}+C9}
Sheet1!C9: 0
)");
  CompileOptions options;
  options.storeFormulaValues = false;
  CompiledWorkbook wb;
  loadStreamBytes(compileToStream(source, options), wb);
  calculateAll(wb);
  EXPECT_EQ(numberAt(wb, "Sheet1!B5"), 20);
  EXPECT_EQ(numberAt(wb, "Sheet1!C2"), 4);
  applyChanges(wb, {{*parseCellName(wb, "Sheet1!C9"), CalcValue::number(5)}});
  EXPECT_EQ(numberAt(wb, "Sheet1!B5"), 70);
  EXPECT_EQ(numberAt(wb, "Sheet1!C2"), 9);
}

// A reference across a range of sheets reads as one argument per sheet and follows each sheet's cells;
// elsewhere it leaves the cell to the host.
TEST(WorkbookCalc, ReferencesAcrossSheetsFollowEverySheet) {
  SourceWorkbook source = readTextWorkbook(R"([sheets]
Jan
Feb
Mar 2
Sum

[cells]
Jan!A1: 1
Jan!B2: 10
Feb!A1: 2
Mar 2!A1: 4
Mar 2!B2: text
Sum!A1: =SUM('Jan:Mar 2'!A1:B2)
Sum!A2: =COUNTA('Feb:Mar 2'!A1:B2)+MAX(Jan:Feb!A1)
Sum!A3: =Jan:Feb!A1*2
)");
  CompileOptions options;
  options.storeFormulaValues = false;
  options.lenient = true;
  CompileReport report;
  CompiledWorkbook wb;
  loadStreamBytes(compileToStream(source, options, &report), wb);
  calculateAll(wb);
  EXPECT_EQ(numberAt(wb, "Sum!A1"), 17);
  EXPECT_EQ(numberAt(wb, "Sum!A2"), 5);
  applyChanges(wb, {{*parseCellName(wb, "Feb!A1"), CalcValue::number(20)}});
  EXPECT_EQ(numberAt(wb, "Sum!A1"), 35);
  EXPECT_EQ(numberAt(wb, "Sum!A2"), 23);
  EXPECT_EQ(report.hostComputed,
            std::vector<std::string>{"Sum!A3: 3D references are supported only as whole arguments of SUM, "
                                     "AVERAGE, COUNT, MAX, MIN, PRODUCT and their kin"});
}

// A defined name that is a reference across sheets serves SUM and its kin as the reference would; a
// name whose formula reaches across sheets inside SUM is an ordinary name. Any other use of such a name,
// and of a name that uses it, leaves the cell to the host with the reason; unused, it stops nothing.
TEST(WorkbookCalc, NamesThatReachAcrossSheets) {
  const char* const text = R"([sheets]
Jan
Feb
Mar
Sum

[names]
Quarter = Jan:Mar!$A$1:$B$2
Total = SUM(Jan:Feb!$A$1)
Doubled = Quarter*2
Sum!Local = 'Feb:Mar'!$A$1

[cells]
Jan!A1: 1
Jan!B2: 10
Feb!A1: 2
Mar!A1: 4
Sum!A1: =SUM(Quarter)
Sum!A2: =Total+COUNT(Quarter,Local,5)
Sum!A3: =MAX(Sum!Local)
Sum!A4: =Quarter+1
Sum!A5: =Doubled
)";
  SourceWorkbook source = readTextWorkbook(text);
  CompileOptions options;
  options.storeFormulaValues = false;
  options.lenient = true;
  CompileReport report;
  CompiledWorkbook wb;
  loadStreamBytes(compileToStream(source, options, &report), wb);
  calculateAll(wb);
  EXPECT_EQ(numberAt(wb, "Sum!A1"), 17);
  EXPECT_EQ(numberAt(wb, "Sum!A2"), 3 + 4 + 2 + 1);
  EXPECT_EQ(numberAt(wb, "Sum!A3"), 4);
  applyChanges(wb, {{*parseCellName(wb, "Feb!A1"), CalcValue::number(20)}});
  EXPECT_EQ(numberAt(wb, "Sum!A1"), 35);
  EXPECT_EQ(numberAt(wb, "Sum!A2"), 21 + 7);
  EXPECT_EQ(numberAt(wb, "Sum!A3"), 20);
  const std::string acrossSheets =
      "3D references are supported only as whole arguments of SUM, AVERAGE, COUNT, MAX, MIN, PRODUCT and "
      "their kin";
  const std::string usesQuarter = "it uses the name Quarter, which is left to the host";
  EXPECT_EQ(report.hostComputed,
            (std::vector<std::string>{"name Quarter: " + acrossSheets, "name Doubled: " + usesQuarter,
                                      "name Local: " + acrossSheets,
                                      "Sum!A4: the name Quarter is left to the host: " + acrossSheets,
                                      "Sum!A5: the name Doubled is left to the host: " + usesQuarter}));

  // Compiled strictly, a name that cannot be compiled fails only the formula that uses it.
  SourceWorkbook unused = readTextWorkbook(
      "[sheets]\nJan\nFeb\n[names]\nBoth = Jan:Feb!A1\n[cells]\nJan!A1: 1\nJan!B1: =SUM(Both)\n");
  EXPECT_NO_THROW(compileToStream(unused));
  unused.cells.back().formula = u"Both";
  try {
    compileToStream(unused);
    ADD_FAILURE() << "compiled";
  } catch (const CompileError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Jan!B1: the name Both is left to the host: " + acrossSheets + " at 1 in =Both");
  }
}

TEST(WorkbookCalc, InputValuesAndJsonTexts) {
  struct Case {
    const char* input;
    const char* json;
  } cases[] = {
      {"5", "5"},
      {"-0.25", "-0.25"},
      {"1e3", "1000"},
      {"true", "true"},
      {"FALSE", "false"},
      {"#N/A", "{\"error\": \"#N/A\"}"},
      {"\"12\"", "\"12\""},
      {"\"say \"\"hi\"\"\"", "\"say \\\"hi\\\"\""},
      {"plain words", "\"plain words\""},
      {"nan", "\"nan\""},
      {"", "null"},
      {"0.1", "0.1"},
      {"123456789012", "123456789012"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(valueJson(parseInputValue(c.input)), c.json);
  }
}

TEST(WorkbookCalc, CellNamesResolveAgainstTheSheets) {
  SourceWorkbook source = readTextWorkbook("[sheets]\nFirst\n'Two words'\n[cells]\nFirst!A1: 1\n");
  CompiledWorkbook wb;
  loadStreamBytes(compileToStream(source), wb);
  EXPECT_EQ(parseCellName(wb, "B3"), CellAddress::make(0, 1, 2));
  EXPECT_EQ(parseCellName(wb, "'Two words'!C1"), CellAddress::make(1, 2, 0));
  EXPECT_EQ(parseCellName(wb, "Missing!A1"), std::nullopt);
  EXPECT_EQ(parseCellName(wb, "A1:B2"), std::nullopt);
  EXPECT_EQ(addressName(wb, CellAddress::make(1, 2, 0)), "'Two words'!C1");
  std::optional<Area> area = parseAreaName(wb, "First!B2:A1");
  ASSERT_TRUE(area);
  EXPECT_EQ(area->first, CellAddress::make(0, 0, 0));
  EXPECT_EQ(area->second, CellAddress::make(0, 1, 1));
}

} // namespace
} // namespace cwbk::compiler
