// Logical and information functions: tables of formulas over a small sheet of inputs, each parsed,
// compiled and evaluated through the function table, with the value it must give; CELL and INFO with
// and without the application's facts and the host.
#include <gtest/gtest.h>

#include <vector>

#include "formula/host_services.h"
#include "formula_test_support.h"
#include "functions/logical.h"

using namespace cwbk;
using namespace cwbk::formula_testing;

namespace {

// A1:A3 numbers; B1:B3 0, a missing cell, TRUE; C1:C3 a text, #N/A and the empty text; D1 -1.5,
// D2 the text TRUE; E1 #DIV/0!; F1:F2 a formula giving "" and 1; A100 1 (where a column meets the formula's row 100); B3 on Sheet2
// and on a sheet whose name holds a space and an apostrophe.
const char* const kInputs = R"(
Sheet1!A1: 1
Sheet1!A2: 2
Sheet1!A3: 3
Sheet1!B1: 0
Sheet1!B3: TRUE
Sheet1!C1: "x"
Sheet1!C2: #N/A
Sheet1!C3: ""
Sheet1!D1: -1.5
Sheet1!D2: "TRUE"
Sheet1!E1: #DIV/0!
Sheet1!F1: =""
Sheet1!F2: 1
Sheet1!A100: 1
Sheet2!B3: 7
[sheets]
It's here
[cells]
'It''s here'!B3: 5
)";

class LogicalFunctionsTest : public FormulaTest {
protected:
  LogicalFunctionsTest() : FormulaTest(kInputs) {}
  void TearDown() override {
    setApplicationInfo(std::nullopt);
    FormulaTest::TearDown();
  }
};

CalcValue empty() {
  return CalcValue();
}

// Answers every worksheet function with a text and keeps the numbers and argument limits it was asked.
class FunctionService : public HostEvaluationService {
public:
  std::vector<std::pair<int, int>> calls;
  void callWorksheetFunction(int number, const CalcValue* const*, int maxArgs, CalcValue& result) override {
    calls.emplace_back(number, maxArgs);
    result.setText(u"host");
  }
  void evaluateText(std::u16string_view, CalcValue&) override {}
  void callMacro(std::u16string_view, const CalcValue* const*, CalcValue&) override {}
  void evaluateCall(Cell*, const CallNode&, const CalcValue* const*, CalcValue&) override {}
};

} // namespace

TEST_F(LogicalFunctionsTest, If) {
  check({
      {"=IF(TRUE,1,2)", num(1)},
      {"=IF(0.5,1,2)", num(1)},
      {"=IF(\"true\",1,2)", num(1)},
      {"=IF(\"FALSE\",1,2)", num(2)},
      {"=IF(\"yes\",1,2)", err(ErrValue)},
      {"=IF(\"#N/A\",1,2)", err(ErrValue)}, // a text naming an error is a text
      {"=IF(E1,1,2)", err(ErrDiv0)},
      {"=IF(0,1)", boolean(false)},
      {"=IF(1,,2)", empty()},
      {"=IF(0,1/0,2)", num(2)}, // the branch not taken is never evaluated
      {"=IF(1,1/0,2)", err(ErrDiv0)},
      {"=IF(B2,1,2)", num(2)},
      {"=IF(D2,1,2)", num(1)},
      // A range as condition: the cell where it meets the formula's row, else #VALUE!.
      {"=IF(A99:A101,\"y\",\"n\")", txt(u"y")},
      {"=IF(A1:A3,\"y\",\"n\")", err(ErrValue)},
      // In an array formula the condition and the branches go element by element.
      {"{=IF(A1:A3>1,\"big\",\"small\")}", array({{txt(u"small")}, {txt(u"big")}, {txt(u"big")}})},
      {"{=IF({1,0},A1:A2*10,\"no\")}", array({{num(10), txt(u"no")}, {num(20), txt(u"no")}})},
      {"{=IF({1,0},1)}", array({{num(1), boolean(false)}})},
      {"{=IF(1,B2)}", num(0)}, // an empty result shows as 0 in an array formula
  });
}

TEST_F(LogicalFunctionsTest, Iferror) {
  check({
      {"=IFERROR(1/0,5)", num(5)},
      {"=IFERROR(4,5)", num(4)},
      {"=IFERROR(C2,\"none\")", txt(u"none")},
      {"=IFERROR(\"#N/A\",5)", txt(u"#N/A")},
      {"=IFERROR(A1:A3,5)", num(5)}, // no cell meets the formula's row: #VALUE!
      {"=IFERROR(A99:A101,5)", num(1)},
      {"{=IFERROR(1/{1,0,2},\"z\")}", array({{num(1), txt(u"z"), num(0.5)}})},
      // Past the end of a shorter fallback range an element is #N/A.
      {"{=IFERROR(A1:A3/0,A1:A2)}", array({{num(1)}, {num(2)}, {err(ErrNA)}})},
  });
}

TEST_F(LogicalFunctionsTest, AndOrNot) {
  check({
      {"=AND(1,TRUE)", boolean(true)},
      {"=AND(1,0)", boolean(false)},
      {"=OR(0,FALSE)", boolean(false)},
      {"=OR(0,-0.1)", boolean(true)},
      {"=AND(\"TRUE\",1)", boolean(true)},
      {"=AND(\"x\")", err(ErrValue)},
      {"=OR(\"1\")", err(ErrValue)},
      {"=AND(\"\",TRUE)", boolean(true)}, // the empty text is passed over
      {"=OR(\"\")", err(ErrValue)},
      {"=AND(FALSE,1/0)", err(ErrDiv0)},
      // Ranges: texts and empty cells are passed over, an error cell is the result.
      {"=OR(B1:B3)", boolean(true)},
      {"=AND(B1:B3)", boolean(false)},
      {"=OR(B1:C1)", boolean(false)},
      {"=AND(C1)", err(ErrValue)},
      {"=AND(G1:H5)", err(ErrValue)},
      {"=AND(G1:H5,TRUE)", boolean(true)},
      {"=OR(C1:C2)", err(ErrNA)},
      {"=OR((B1,B3))", boolean(true)},
      {"=AND({1,\"x\",TRUE})", boolean(true)},
      {"{=AND(A1:A3>0)}", boolean(true)},
      {"{=OR(A1:A3>5)}", boolean(false)},
      {"=NOT(0.5)", boolean(false)},
      {"=NOT(0)", boolean(true)},
      {"=NOT(\"false\")", boolean(true)},
      {"=NOT(\"a\")", err(ErrValue)},
      {"=NOT(B2)", boolean(true)},
      {"=NOT(E1)", err(ErrDiv0)},
      {"{=NOT({1,0})}", array({{boolean(false), boolean(true)}})},
      {"=TRUE()", boolean(true)},
      {"=FALSE()", boolean(false)},
  });
}

TEST_F(LogicalFunctionsTest, InformationTests) {
  check({
      {"=ISBLANK(B2)", boolean(true)},
      {"=ISBLANK(C3)", boolean(false)},
      {"=ISBLANK(B1)", boolean(false)},
      {"=ISERR(E1)", boolean(true)},
      {"=ISERR(C2)", boolean(false)},
      {"=ISERROR(C2)", boolean(true)},
      {"=ISERROR(\"#DIV/0!\")", boolean(false)},
      {"=ISERROR(A1:A3)", boolean(true)}, // no cell meets the formula's row: #VALUE!
      {"=ISNA(C2)", boolean(true)},
      {"=ISNA(\"#N/A\")", boolean(false)},
      {"=ISLOGICAL(B3)", boolean(true)},
      {"=ISLOGICAL(D2)", boolean(false)},
      {"=ISNUMBER(A1)", boolean(true)},
      {"=ISNUMBER(\"1\")", boolean(false)},
      {"=ISTEXT(C3)", boolean(true)},
      {"=ISNONTEXT(B2)", boolean(true)},
      {"=ISNONTEXT(C1)", boolean(false)},
      {"=ISREF(A1)", boolean(true)},
      {"=ISREF(A1:A3)", boolean(true)},
      {"=ISREF((A1,B2))", boolean(true)},
      {"=ISREF(INDIRECT(\"A1\"))", boolean(true)},
      {"=ISREF(\"A1\")", boolean(false)},
      {"{=ISNUMBER(A1:C1)}", array({{boolean(true), boolean(true), boolean(false)}})},
      // ISEVEN and ISODD truncate toward zero: -1.5 reads -1.
      {"=ISEVEN(-1.5)", boolean(false)},
      {"=ISODD(D1)", boolean(true)},
      {"=ISEVEN(2.9)", boolean(true)},
      {"=ISEVEN(B2)", boolean(true)},
      {"=ISEVEN(\"4\")", boolean(true)},
      {"=ISODD(TRUE)", err(ErrValue)},
      {"=ISODD(B3)", err(ErrValue)},
      {"=ISEVEN(\"x\")", err(ErrValue)},
      {"=ISODD(E1)", err(ErrDiv0)},
      {"{=ISODD({1,2,3})}", array({{boolean(true), boolean(false), boolean(true)}})},
      {"{=ISEVEN(A1:A3)}", array({{boolean(false)}, {boolean(true)}, {boolean(false)}})},
  });
}

TEST_F(LogicalFunctionsTest, NTypeAndErrorType) {
  check({
      {"=N(\"7\")", num(0)},
      {"=N(TRUE)", num(1)},
      {"=N(A2)", num(2)},
      {"=N(A2:A3)", num(2)},
      {"=N({5,6})", num(5)},
      {"=N(E1)", err(ErrDiv0)},
      {"=NA()", err(ErrNA)},
      {"=TYPE({1,2})", num(64)},
      {"=TYPE(\"a\")", num(2)},
      {"=TYPE(1/0)", num(16)},
      {"=TYPE(C2)", num(16)},
      {"=TYPE(TRUE)", num(4)},
      {"=TYPE(B2)", num(1)},
      {"{=TYPE(A1:A3)}", num(64)},
      {"=ERROR.TYPE(#NULL!)", num(1)},
      {"=ERROR.TYPE(1/0)", num(2)},
      {"=ERROR.TYPE(#VALUE!)", num(3)},
      {"=ERROR.TYPE(#REF!)", num(4)},
      {"=ERROR.TYPE(#NAME?)", num(5)},
      {"=ERROR.TYPE(#NUM!)", num(6)},
      {"=ERROR.TYPE(NA())", num(7)},
      {"=ERROR.TYPE(\"#N/A\")", err(ErrNA)},
      {"=ERROR.TYPE(5)", err(ErrNA)},
      {"{=ERROR.TYPE({1,#NUM!})}", array({{err(ErrNA), num(6)}})},
  });
}

TEST_F(LogicalFunctionsTest, Countblank) {
  check({
      {"=COUNTBLANK(B1:B3)", num(1)},
      {"=COUNTBLANK(C1:C3)", num(1)}, // the empty text counts as blank
      {"=COUNTBLANK(A1:A3)", num(0)},
      {"{=COUNTBLANK(F1:F2)}", num(1)}, // so does a formula's "", once calculated
      {"=COUNTBLANK(Sheet2!A:XFD)", num(17179869184.0 - 1)},
      {"=COUNTBLANK(Sheet1!1:3)", num(3 * 16384 - 11)},
      {"=COUNTBLANK(Sheet2!C:C)", num(1048576)},
  });
}

TEST_F(LogicalFunctionsTest, CellAndInfo) {
  check({
      {"=CELL(\"address\",B3)", txt(u"$B$3")},
      {"=CELL(\"ADDRESS\",Sheet2!B3)", txt(u"Sheet2!$B$3")},
      {"=CELL(\"address\",'It''s here'!B3:C4)", txt(u"'It''s here'!$B$3")},
      {"=CELL(\"type\",A1)", txt(u"v")},
      {"=CELL(\"type\",C1)", txt(u"l")},
      {"=CELL(\"type\",B2)", txt(u"b")},
      {"=CELL(\"type\")", txt(u"b")}, // the formula's own cell, not yet calculated
      {"=CELL(\"row\",B3)", num(3)},
      {"=CELL(\"col\",B3)", num(2)},
      {"=CELL(\"contents\",A2)", num(2)},
      {"=CELL(1,A1)", err(ErrValue)},
      {"=CELL(1/0,A1)", err(ErrDiv0)},
      {"=CELL(\"format\",A1)", err(ErrValue)}, // the host's question, and there is no host
      {"=CELL(\"filename\",A1)", err(ErrValue)},
      {"=INFO(\"ISEXE\")", boolean(true)},
      {"=INFO(\"appname\")", err(ErrValue)},
      {"=INFO(\"system\")", err(ErrValue)},
      {"=INFO(1/0)", err(ErrDiv0)},
      {"=INFO(1)", err(ErrValue)},
  });
  setApplicationInfo(ApplicationInfo{u"Planner", u"", u"C:\\work\\", u"Book1.xlsx"});
  check({
      {"=CELL(\"address\",Sheet2!B3)", txt(u"[Book1.xlsx]Sheet2!$B$3")},
      {"=CELL(\"address\",'It''s here'!B3)", txt(u"'[Book1.xlsx]It''s here'!$B$3")},
      {"=CELL(\"filename\",A1)", txt(u"C:\\work\\[Book1.xlsx]Sheet1")},
      {"=CELL(\"filename\",'It''s here'!A1)", txt(u"C:\\work\\[Book1.xlsx]It's here")},
      {"=INFO(\"AppName\")", txt(u"Planner")},
      {"=INFO(\"appver\")", empty()},
  });
  setApplicationInfo(ApplicationInfo{u"Planner", u"2.1", u"", u"My Book.xlsx"});
  check({
      {"=CELL(\"address\",Sheet2!B3)", txt(u"'[My Book.xlsx]Sheet2'!$B$3")},
      {"=INFO(\"appver\")", txt(u"2.1")},
  });
}

TEST_F(LogicalFunctionsTest, CellAndInfoHandOtherTypesToTheHost) {
  FunctionService service;
  for (const char* formula : {"=CELL(\"format\",A1)", "=INFO(\"system\")"}) {
    ASSERT_TRUE(load(formula));
    evaluationContext().functionService = &service;
    const CalcValue* v = workbook().formulaTemplate(formulaCell()->templateIndex())->evaluate();
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(v->sameAs(txt(u"host"))) << formula;
  }
  EXPECT_EQ(service.calls, (std::vector<std::pair<int, int>>{{125, 2}, {244, 1}}));
}
