// Lookup and reference functions: tables of formulas over a small sheet of inputs, each parsed,
// compiled and evaluated through the function table, with the value it must give; the exact-match
// caches, and lookups in formula cells that a recalculation keeps up to date.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "compiler/text_workbook.h"
#include "compiler/workbook_calc.h"
#include "compiler/workbook_compiler.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/constant_nodes.h"
#include "formula/function_table.h"
#include "formula/reference_nodes.h"
#include "formula_test_support.h"
#include "function_test_support.h"
#include "functions/lookup.h"
#include "recalculation_support.h"

using namespace cwbk;
using namespace cwbk::formula_testing;
using function_testing::TextService;

namespace {

// A1:B3 keys and names; C1:D4 texts and numbers; F1:H2 a table lying in rows; J1:J4 descending; K1:K6
// a header text, a missing cell, an error and numbers (only the numbers take part); L1 an error;
// Sheet2!A1 1000; the names Keys for A1:A3 and Two for the number 2.
const char* const kInputs = R"(
Sheet1!A1: 1
Sheet1!A2: 2
Sheet1!A3: 3
Sheet1!B1: "one"
Sheet1!B2: "two"
Sheet1!B3: "three"
Sheet1!C1: "apple"
Sheet1!C2: "Banana"
Sheet1!C3: "blueberry"
Sheet1!C4: "cherry"
Sheet1!D1: 10
Sheet1!D2: 20
Sheet1!D3: 30
Sheet1!D4: 40
Sheet1!F1: 1
Sheet1!G1: 2
Sheet1!H1: 3
Sheet1!F2: "x"
Sheet1!G2: "y"
Sheet1!H2: "z"
Sheet1!J1: 40
Sheet1!J2: 30
Sheet1!J3: 20
Sheet1!J4: 10
Sheet1!K1: "key"
Sheet1!K2: 1
Sheet1!K4: 3
Sheet1!K5: #N/A
Sheet1!K6: 5
Sheet1!L1: #DIV/0!
Sheet2!A1: 1000
[names]
Keys = Sheet1!$A$1:$A$3
Two = 2
)";

class LookupFunctionsTest : public FormulaTest {
protected:
  LookupFunctionsTest() : FormulaTest(kInputs) {}
};

} // namespace

TEST_F(LookupFunctionsTest, EveryFunctionOfTheFamilyIsImplemented) {
  for (const char16_t* name :
       {u"ADDRESS", u"CHOOSE", u"COLUMN", u"COLUMNS", u"EVALUATE", u"GETPIVOTDATA", u"HLOOKUP", u"HYPERLINK",
        u"INDEX", u"INDIRECT", u"LOOKUP", u"MATCH", u"OFFSET", u"ROW", u"ROWS", u"TRANSPOSE", u"VLOOKUP"})
    EXPECT_NE(functionTable().lookupImpl(name), nullptr) << utf16ToUtf8(name);
}

TEST_F(LookupFunctionsTest, VlookupAndHlookup) {
  check({
      {"=VLOOKUP(2,A1:B3,2,FALSE)", txt(u"two")},
      {"=VLOOKUP(5,A1:B3,2,FALSE)", err(ErrNA)},
      {"=VLOOKUP(2,A1:B3,3,FALSE)", err(ErrRef)},
      {"=VLOOKUP(2,A1:B3,0,FALSE)", err(ErrValue)},
      {"=VLOOKUP(2.5,A1:B3,2)", txt(u"two")},
      {"=VLOOKUP(99,A1:B3,2)", txt(u"three")},
      {"=VLOOKUP(0.5,A1:B3,2)", err(ErrNA)},
      {"=VLOOKUP(2,A1:B3,\"2\",0)", txt(u"two")},
      {"=VLOOKUP(2,A1:B3,2,\"x\")", err(ErrValue)},
      {"=VLOOKUP(\"b*\",C1:D4,2,FALSE)", num(20)},
      {"=VLOOKUP(\"BL?EBERRY\",C1:D4,2,FALSE)", num(30)},
      {"=VLOOKUP(\"CHERRY\",C1:D4,2,FALSE)", num(40)},
      {"=VLOOKUP(\"2\",A1:B3,2,FALSE)", err(ErrNA)}, // a text is no number
      {"=VLOOKUP(4,K1:K6,1)", num(3)},               // skips the header, the gap and the error
      {"=VLOOKUP(9,K1:K6,1)", num(5)},
      {"=VLOOKUP(2,A:B,2)", txt(u"two")}, // whole columns
      {"=VLOOKUP(2,A2,1,FALSE)", num(2)},
      {"=VLOOKUP(Two,A1:B3,2,FALSE)", txt(u"two")}, // a name that stands for a constant
      {"=VLOOKUP(Two,Keys,1)", num(2)},
      {"=VLOOKUP(#DIV/0!,A1:B3,2)", err(ErrDiv0)},
      {"=VLOOKUP(2,\"abc\",1)", err(ErrValue)},
      {"=VLOOKUP(2,\"5\",1)", err(ErrNA)},
      {"=VLOOKUP(2,{1,\"a\";2,\"b\"},2,FALSE)", txt(u"b")},
      {"=VLOOKUP(2.5,{1,\"a\";2,\"b\";3,\"c\"},2)", txt(u"b")},
      {"=VLOOKUP(2,{1,\"a\"},3)", err(ErrRef)},
      {"=VLOOKUP({1,3},A1:B3,2,FALSE)", array({{txt(u"one"), txt(u"three")}})},
      {"=HLOOKUP(2,F1:H2,2,FALSE)", txt(u"y")},
      {"=HLOOKUP(2.5,F1:H2,2)", txt(u"y")},
      {"=HLOOKUP(2,F1:H2,3)", err(ErrRef)},
      {"=HLOOKUP(3,{1,2,3;\"x\",\"y\",\"z\"},2)", txt(u"z")},
  });
}

TEST_F(LookupFunctionsTest, Match) {
  check({
      {"=MATCH(3,{1,3,5},0)", num(2)},
      {"=MATCH(4,{1,3,5})", num(2)},
      {"=MATCH(0,{1,3,5})", err(ErrNA)},
      {"=MATCH(2,{1,2,2,2,3})", num(4)}, // finds the last of equal values
      {"=MATCH(2,A1:A3,0)", num(2)},
      {"=MATCH(2,F1:H1,0)", num(2)},
      {"=MATCH(2,A1:B3,0)", err(ErrNA)}, // needs a row or column
      {"=MATCH(25,J1:J4,-1)", num(2)},
      {"=MATCH(45,J1:J4,-1)", err(ErrNA)},
      {"=MATCH(5,J1:J4,-1)", num(4)},
      {"=MATCH(1.5,A1:A3,-1)", err(ErrNA)}, // not descending
      {"=MATCH(\"b*\",C1:C4,0)", num(2)},
      {"=MATCH(\"~b*\",C1:C4,0)", num(2)}, // has wildcards
      {"=MATCH(\"c\",C1:C4)", num(3)},
      {"=MATCH(2,A1:A3,\"x\")", err(ErrValue)},
      {"=MATCH(2.5,A1:A3,7)", num(2)}, // counts as 1
      {"=MATCH(2,\"x\")", err(ErrValue)},
      {"=MATCH(#N/A,A1:A3)", err(ErrNA)},
      {"=MATCH({1,3,9},A1:A3,0)", array({{num(1), num(3), err(ErrNA)}})},
  });
}

TEST_F(LookupFunctionsTest, Lookup) {
  check({
      {"=LOOKUP(2.5,A1:A3,B1:B3)", txt(u"two")},
      {"=LOOKUP(0,A1:A3,B1:B3)", err(ErrNA)},
      {"=LOOKUP(3,A1:A3,D1:D2)", num(30)},     // reads on past the result's end
      {"=LOOKUP(2,A1:B3)", txt(u"two")},       // a tall table
      {"=LOOKUP(2,F1:H2)", txt(u"y")},         // a wide table
      {"=LOOKUP(2,A1:B3,B1:B3)", txt(u"two")}, // searches the table's first column
      {"=LOOKUP(2,A1:B3,C1:D3)", err(ErrNA)},  // a result table
      {"=LOOKUP(2,{1,2,3},{\"a\",\"b\",\"c\"})", txt(u"b")},
      {"=LOOKUP(1,1)", num(1)},
      {"=LOOKUP(2,1)", err(ErrValue)},
      {"=LOOKUP(2,\"a\")", err(ErrValue)},
      {"=LOOKUP(#REF!,A1:A3)", err(ErrRef)},
      {"=LOOKUP(L1,K1:K6)", err(ErrDiv0)}, // an error in the value's cell
      {"=LOOKUP(1,L1)", err(ErrDiv0)},
  });
}

TEST_F(LookupFunctionsTest, IndexChooseAndOffset) {
  check({
      {"=INDEX(A1:C3,2,3)", ref(u"C2:C2")},
      {"=INDEX(A1:C3,4,1)", err(ErrRef)},
      {"=INDEX(A1:C1,2)", ref(u"B1:B1")},
      {"=INDEX(A1:A3,2)", ref(u"A2:A2")},
      {"=INDEX(A1:C3,0,2)", ref(u"B1:B3")},
      {"=INDEX(A1:C3,2,0)", ref(u"A2:C2")},
      {"=INDEX(A1:C3,-1,1)", err(ErrValue)},
      {"=INDEX(A1:C3,\"x\",1)", err(ErrValue)},
      {"=INDEX({1,2;3,4},2,1)", num(3)},
      {"=INDEX({1,2,3},2)", num(2)},
      {"=INDEX({1,2;3,4},2)", array({{num(3), num(4)}})}, // the whole row
      {"=INDEX({1,2;3,4},0,2)", array({{num(2)}, {num(4)}})},
      {"=INDEX({1,2;3,4},3,1)", err(ErrRef)},
      {"=INDEX(5,1)", err(ErrValue)},
      {"=CHOOSE(2,\"a\",\"b\")", txt(u"b")},
      {"=CHOOSE(3,\"a\",\"b\")", err(ErrValue)},
      {"=CHOOSE(0,\"a\")", err(ErrValue)},
      {"=CHOOSE(2.9,\"a\",\"b\")", txt(u"b")},
      {"=CHOOSE(\"2\",\"a\",\"b\")", txt(u"b")},
      {"=CHOOSE(TRUE,\"a\")", txt(u"a")},
      {"=CHOOSE(#N/A,\"a\")", err(ErrNA)},
      {"=CHOOSE(1,B1:B3)", ref(u"B1:B3")}, // keeps the reference
      {"=OFFSET(A1,-1,0)", err(ErrRef)},
      {"=OFFSET(A1,1,1,2,2)", ref(u"B2:C3")},
      {"=OFFSET(A1:B2,1,1)", ref(u"B2:C3")},
      {"=OFFSET(C3,0,0,-2,-2)", ref(u"B2:C3")},
      {"=OFFSET(A1,1.9,1.9)", ref(u"B2:B2")},
      {"=OFFSET(A1,0,0,0,1)", err(ErrRef)},
      {"=OFFSET(A1,0,0,0.5,1)", ref(u"A1:A1")}, // a part of a cell is one cell
      {"=OFFSET(A1,0,0,3)", ref(u"A1:A3")},     // keeps the width
      {"=OFFSET(A1,0,16384)", err(ErrRef)},
      {"=OFFSET(A1,0,0,1048577,1)", err(ErrRef)},
      {"=OFFSET(A1,\"x\",0)", err(ErrValue)},
      {"=OFFSET(5,0,0)", err(ErrValue)},
  });
}

TEST_F(LookupFunctionsTest, AddressAndIndirect) {
  check({
      {"=ADDRESS(2,3)", txt(u"$C$2")},
      {"=ADDRESS(1,3,1,TRUE,\"\")", txt(u"!$C$1")}, // an empty sheet text keeps its "!"
      {"=ADDRESS(2,3,2)", txt(u"C$2")},
      {"=ADDRESS(2,3,3)", txt(u"$C2")},
      {"=ADDRESS(2,3,4)", txt(u"C2")},
      {"=ADDRESS(2,3,1,FALSE)", txt(u"R2C3")},
      {"=ADDRESS(2,3,4,FALSE)", txt(u"R[2]C[3]")},
      {"=ADDRESS(1,16384)", txt(u"$XFD$1")},
      {"=ADDRESS(1,1,1,TRUE,\"My Sheet\")", txt(u"'My Sheet'!$A$1")},
      {"=ADDRESS(1,1,1,TRUE,\"It's\")", txt(u"'It''s'!$A$1")},
      {"=ADDRESS(1,1,1,TRUE,\"Data_1\")", txt(u"Data_1!$A$1")},
      {"=ADDRESS(1,1,1,TRUE,\"2024\")", txt(u"'2024'!$A$1")},
      {"=ADDRESS(0,1)", err(ErrValue)},
      {"=ADDRESS(1,16385)", err(ErrValue)},
      {"=ADDRESS(1,1,5)", err(ErrValue)},
      {"=ADDRESS(1,1,1,\"x\")", err(ErrValue)},
      {"=INDIRECT(\"\")", err(ErrRef)},
      {"=INDIRECT(\"B2\")", ref(u"B2:B2")},
      {"=INDIRECT(\"$b$2:a1\")", ref(u"A1:B2")},
      {"=INDIRECT(\"Sheet2!A1:B2\")", ref(u"A1:B2", 1)},
      {"=INDIRECT(\"'sheet2'!A1\")", ref(u"A1:A1", 1)},
      {"=INDIRECT(\"D:D\")", ref(u"D1:D1048576")},
      {"=INDIRECT(\"R1C1\",FALSE)", ref(u"A1:A1")},
      {"=INDIRECT(\"R[1]C[-1]\",FALSE)", ref(u"Y101:Y101")}, // from Z100
      {"=INDIRECT(\"R2C1:R3C2\",0)", ref(u"A2:B3")},
      {"=INDIRECT(\"keys\")", ref(u"A1:A3")}, // a defined name
      {"=INDIRECT(\"nosuch\")", err(ErrRef)},
      {"=INDIRECT(\"A1+1\")", err(ErrRef)},
      {"=INDIRECT(\"A0\")", err(ErrRef)},
      {"=INDIRECT(\"A1048577\")", err(ErrRef)},
      {"=INDIRECT(\"A1048576\")", ref(u"A1048576:A1048576")},
      {"=INDIRECT(\"#DIV/0!\")", err(ErrDiv0)},
      {"=INDIRECT(\"Nosheet!A1\")", err(ErrRef)},
      {"=INDIRECT(\"[Other.xlsx]Sheet1!A1\")", err(ErrRef)}, // without a host
      {"=INDIRECT(5)", err(ErrRef)},
      {"=INDIRECT(A1:A2)", err(ErrValue)},
      {"=SUM(INDIRECT(\"A1:A3\"))", num(6)},
  });
}

TEST_F(LookupFunctionsTest, GeometryAndTranspose) {
  check({
      {"=ROW()", num(100)},
      {"=COLUMN()", num(26)},
      {"=ROW(B3)", num(3)},
      {"=COLUMN(B3)", num(2)},
      {"=ROW(A2:B4)", array({{num(2)}, {num(3)}, {num(4)}})},
      {"=COLUMN(B1:D1)", array({{num(2), num(3), num(4)}})},
      {"=ROWS(A1:C5)", num(5)},
      {"=COLUMNS(A1:C5)", num(3)},
      {"=ROWS({1,2;3,4;5,6})", num(3)},
      {"=COLUMNS({1,2;3,4;5,6})", num(2)},
      {"=ROWS(5)", num(1)},
      {"=ROWS(#N/A)", err(ErrNA)},
      {"=ROWS(Sheet1!A1:Sheet2!A2)", err(ErrRef)},
      {"=TRANSPOSE(A1:B2)", err(ErrValue)}, // outside an array formula
      // Entered as array formulas over as many cells as the result has.
      {"{=TRANSPOSE({1,2,3})}", array({{num(1)}, {num(2)}, {num(3)}})},
      {"{=TRANSPOSE(A2:B3)}", array({{num(2), num(3)}, {txt(u"two"), txt(u"three")}})},
      {"=TRANSPOSE(PI())", num(3.141592653589793)}, // a single value is its own transpose
      {"{=TRANSPOSE(A2)}", num(2)},
  });
}

// In an array formula (or given an array) the lookups take their lookup value, positions and flags
// element by element and their tables and vectors whole.
TEST_F(LookupFunctionsTest, ArrayFormulasGoElementByElement) {
  check({
      {"{=LOOKUP(A1:A3,{1,2,3},{\"a\",\"b\",\"c\"})}", array({{txt(u"a")}, {txt(u"b")}, {txt(u"c")}})},
      {"{=LOOKUP(2,A1:A3,B1:B3)}", txt(u"two")},
      {"{=VLOOKUP(A1:A3,A1:B3,2,FALSE)}", array({{txt(u"one")}, {txt(u"two")}, {txt(u"three")}})},
      {"{=VLOOKUP(1,A1:B3,{1,2},FALSE)}", array({{num(1), txt(u"one")}})},
      {"{=HLOOKUP({1,3},F1:H2,2,FALSE)}", array({{txt(u"x"), txt(u"z")}})},
      {"{=MATCH(A1:A3*10,D1:D4,0)}", array({{num(1)}, {num(2)}, {num(3)}})},
      {"{=MATCH(25,D1:D4,{1,0})}", array({{num(2), err(ErrNA)}})},
      {"{=CHOOSE(A1:A3,\"x\",\"y\",\"z\")}", array({{txt(u"x")}, {txt(u"y")}, {txt(u"z")}})},
      {"{=CHOOSE({1,2},A1:A3,B1:B3)}",
       array({{num(1), txt(u"one")}, {num(2), txt(u"two")}, {num(3), txt(u"three")}})},
      {"{=INDEX(A1:B3,A1:A3,2)}", array({{txt(u"one")}, {txt(u"two")}, {txt(u"three")}})},
      {"{=INDEX({1,2;3,4},{2,1},2)}", array({{num(4), num(2)}})},
      {"=INDEX(INDEX({1,2;3,4},{2,1},2),1,1)", num(4)},
      {"{=INDEX(INDEX({1,2;3,4},{2,1},2),1,1)}", num(4)},
      {"{=SUM(CHOOSE(2,A1:A3,D1:D3))}", num(60)},
      // A range shorter than the result gives #N/A past its end.
      {"{=A1:A2+0}", array({{num(1)}, {num(2)}, {err(ErrNA)}})},
  });
}

TEST_F(LookupFunctionsTest, HostHandOffs) {
  check({
      {"=EVALUATE(\"1+2\")", CalcValue()},               // without a host
      {"=GETPIVOTDATA(\"x\",A1)", txt(u"GETPIVOTDATA")}, // without a host
      {"=GETPIVOTDATA(\"x\",5)", err(ErrRef)},
      {"=GETPIVOTDATA(#N/A,A1)", err(ErrNA)},
  });
  TextService host;
  evaluationContext().functionService = &host;
  check({
      {"=EVALUATE(\"1+2\")", num(42)},
      {"=GETPIVOTDATA(\"x\",A1)", num(42)},
      {"=INDIRECT(\"[Other.xlsx]Sheet1!A1\")", num(42)},
  });
  EXPECT_EQ(host.texts, (std::vector<std::u16string>{u"1+2", u"=GETPIVOTDATA(\"x\",'Sheet1'!A1:A1)",
                                                     u"=[Other.xlsx]Sheet1!A1"}));
  // A text that the host gives back for a range is evaluated once more.
  host.texts.clear();
  host.answer = txt(u"=A1*2");
  evaluate("=EVALUATE(A1:B2)");
  EXPECT_EQ(host.texts, (std::vector<std::u16string>{u"'Sheet1'!A1:B2", u"=A1*2"}));
}

TEST_F(LookupFunctionsTest, HyperlinkMarksTheCallingCell) {
  check({{"=HYPERLINK(\"https://example.com\",\"go\")", txt(u"go")}});
  const HyperlinkRecord* link = formulaCell()->hyperlink();
  ASSERT_NE(link, nullptr);
  EXPECT_TRUE(formulaCell()->hasFlag(CellHyperlinkPending));
  EXPECT_EQ(link->kind, HyperlinkRecord::Web);
  EXPECT_EQ(utf16ToUtf8(link->address), "https://example.com");

  check({{"=HYPERLINK(\"#Sheet2!A1\")", txt(u"#Sheet2!A1")}});
  link = formulaCell()->hyperlink();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->kind, HyperlinkRecord::Location);
  EXPECT_EQ(utf16ToUtf8(link->subAddress), "Sheet2!A1");
  check({{"=HYPERLINK(#DIV/0!)", err(ErrDiv0)}});
}

// The exact-match caches remember each search for the rest of a recalculation; a remembered cell
// that no longer matches is searched again, and a remembered miss lasts until the caches are emptied.
// The trees are built by hand so that they are evaluated again and again over one workbook.
class LookupCacheTest : public function_testing::FunctionTest {
protected:
  void SetUp() override {
    FunctionTest::SetUp();
    put(u"A1", num(1));
    put(u"A2", num(2));
    put(u"A3", num(3));
    put(u"B1", txt(u"one"));
    put(u"B2", txt(u"two"));
    put(u"B3", txt(u"three"));
  }
};

TEST_F(LookupCacheTest, ExactCachesRememberOutcomesUntilCleared) {
  auto vlookup = [&](double key) {
    return evaluate(call(u"VLOOKUP", {n(key), area(u"A1", u"B3"), n(2), b(false)}));
  };
  auto match = [&](double key) { return evaluate(call(u"MATCH", {n(key), area(u"A1", u"A3"), n(0)})); };
  EXPECT_TRUE(vlookup(2).sameAs(txt(u"two")));
  EXPECT_TRUE(vlookup(7).sameAs(err(ErrNA)));
  EXPECT_TRUE(match(3).sameAs(num(3)));
  EXPECT_NE(workbook.state().cache(CacheKind::VLookup), nullptr);
  EXPECT_NE(workbook.state().cache(CacheKind::Match), nullptr);
  EXPECT_EQ(workbook.state().cache(CacheKind::HLookup), nullptr);

  put(u"A2", num(20));
  put(u"A3", num(7));
  EXPECT_TRUE(vlookup(2).sameAs(err(ErrNA))) << "the remembered A2 is checked again";
  EXPECT_TRUE(vlookup(7).sameAs(err(ErrNA))) << "the remembered miss stands";
  EXPECT_TRUE(match(3).sameAs(err(ErrNA)));
  workbook.state().clearCaches();
  EXPECT_TRUE(vlookup(7).sameAs(txt(u"three")));
  EXPECT_TRUE(match(7).sameAs(num(3)));
}

// Lookups in formula cells over tables whose keys are formulas too, through preparation and a
// recalculation after an input changes.
TEST(LookupInWorkbook, FormulaCellsFollowChangedTables) {
  using namespace cwbk::testing;
  evaluationContext() = EvaluationContext{};
  CompiledWorkbook workbook;
  workbook.addSheet(u"Sheet1");
  TreeBuilder t{workbook};
  auto impl = [](const char16_t* name) { return functionTable().lookupImpl(name); };
  // A1 is the step; A2:A1000 = A(n-1) + step, B(n) = n * 10 for the rows 1 to 1000.
  Cell* step = t.input(at(0, 0), 2);
  for (uint32_t r = 1; r < 1000; ++r)
    t.formula(at(0, r), t.add(t.ref(at(0, r - 1)), t.ref(at(0, 0))));
  for (uint32_t r = 0; r < 1000; ++r)
    t.input(at(1, r), (r + 1) * 10.0);
  // D1:D200 look up keys 0, 5, 10, ... approximately in A1:A1000 (the whole column A for the odd
  // rows); E1:E200 look up the same keys exactly with MATCH.
  for (uint32_t r = 0; r < 200; ++r) {
    FormulaNode* table = r % 2 ? t.range(at(0, 0), at(1, 1048575)) : t.range(at(0, 0), at(1, 999));
    t.formula(at(3, r), t.call(u"VLOOKUP", impl(u"VLOOKUP"), {t.num(r * 5.0), table, t.num(2)}));
    t.formula(at(4, r),
              t.call(u"MATCH", impl(u"MATCH"), {t.num(r * 5.0), t.range(at(0, 0), at(0, 999)), t.num(0)}));
  }
  workbook.prepareAfterLoad();
  workbook.recalculate(workbook.calculatedCells().cells(), false);
  // Keys are 2, 4, ..., 2000: key k is in row k / 2.
  auto expectFor = [&](double stepValue) {
    for (uint32_t r = 0; r < 200; ++r) {
      double key = r * 5.0;
      const CalcValue* v = workbook.findCell(at(3, r))->value();
      const CalcValue* m = workbook.findCell(at(4, r))->value();
      ASSERT_NE(v, nullptr);
      ASSERT_NE(m, nullptr);
      double row = std::floor(key / stepValue); // 1-based row of the largest key not above
      if (row < 1)
        EXPECT_TRUE(v->sameAs(err(ErrNA))) << "D" << r + 1;
      else
        EXPECT_EQ(v->numberValue(), std::min(row, 1000.0) * 10) << "D" << r + 1;
      bool exact = std::fmod(key, stepValue) == 0 && key > 0 && key / stepValue <= 1000;
      if (exact)
        EXPECT_EQ(m->numberValue(), key / stepValue) << "E" << r + 1;
      else
        EXPECT_TRUE(m->sameAs(err(ErrNA))) << "E" << r + 1;
    }
  };
  expectFor(2);
  step->setValue(CalcValue::number(5));
  workbook.recalculate({step}, false);
  expectFor(5);
  evaluationContext() = EvaluationContext{};
}

// Searches down a column read its cells block by block (65536 rows each): a table across the edge of
// two blocks, and one lying in the second block with gaps (a text, an error, missing rows).
TEST(LookupInWorkbook, TablesAcrossAndBeyondTheFirstRowBlock) {
  using namespace cwbk::testing;
  evaluationContext() = EvaluationContext{};
  CompiledWorkbook workbook;
  workbook.addSheet(u"Sheet1");
  TreeBuilder t{workbook};
  auto impl = [](const char16_t* name) { return functionTable().lookupImpl(name); };
  // A65531:A65542 = 1..12 (the edge lies after row 65536); B holds ten times the key.
  for (uint32_t r = 65530; r < 65542; ++r) {
    t.input(at(0, r), r - 65529.0);
    t.input(at(1, r), (r - 65529.0) * 10);
  }
  // C70001:C70010 = 2, 4, "x", 8, #N/A, (missing), 14, 16, 18, 20.
  for (uint32_t r = 70000; r < 70010; ++r)
    if (r != 70005) t.input(at(2, r), (r - 69999.0) * 2);
  workbook.findCell(at(2, 70002))->setValue(CalcValue::text(u"x"));
  workbook.findCell(at(2, 70004))->setValue(CalcValue::error(ErrNA));
  struct Case {
    double key;
    bool approximate;
    Area table;
    CalcValue expected;
  };
  Area across{at(0, 65530), at(1, 65541)}, beyond{at(2, 70000), at(2, 70009)};
  const Case cases[] = {
      {6, false, across, CalcValue::number(60)},   {7, false, across, CalcValue::number(70)},
      {12, false, across, CalcValue::number(120)}, {7.5, true, across, CalcValue::number(70)},
      {99, true, across, CalcValue::number(120)},  {0.5, true, across, CalcValue::error(ErrNA)},
      {9, true, beyond, CalcValue::number(8)},     {13, true, beyond, CalcValue::number(8)},
      {14, false, beyond, CalcValue::number(14)},  {1, true, beyond, CalcValue::error(ErrNA)},
      {25, true, beyond, CalcValue::number(20)},   {6, false, beyond, CalcValue::error(ErrNA)},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    uint32_t column = c.table.first == across.first ? 2 : 1;
    t.formula(at(5, i), t.call(u"VLOOKUP", impl(u"VLOOKUP"),
                               {t.num(c.key), t.range(c.table.first, c.table.second), t.num(column),
                                new BooleanNode(c.approximate)}));
  }
  workbook.prepareAfterLoad();
  workbook.recalculate(workbook.calculatedCells().cells(), false);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const CalcValue* v = workbook.findCell(at(5, i))->value();
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(v->sameAs(cases[i].expected)) << "case " << i << " key " << cases[i].key;
  }
  evaluationContext() = EvaluationContext{};
}

// A table held by array formulas: each member of the table is read as its element of the master's
// current value, also after an input changed and the masters were calculated again.
TEST(LookupInWorkbook, TablesHeldByArrayFormulasFollowTheirMasters) {
  evaluationContext() = EvaluationContext{};
  // A1:A4 = C * 10 and B1:B4 = C * 100 as two array formulas over the inputs C1:C4 = 1..4; the row
  // A5:B5 closes the table with plain values, and E6 reads the table of array members alone, whose
  // members below the masters hold no value of their own before the first calculation.
  const char* const text = R"([sheets]
Sheet1

[cells]
Sheet1!C1: 1
Sheet1!C2: 2
Sheet1!C3: 3
Sheet1!C4: 4
Sheet1!A1:A4: {=C1:C4*10}
Sheet1!B1:B4: {=C1:C4*100}
Sheet1!A5: 1000
Sheet1!B5: "end"
Sheet1!E1: =VLOOKUP(25,A1:B5,1)
Sheet1!E2: =VLOOKUP(55,A1:B5,2)
Sheet1!E3: =MATCH(30,A1:A5,0)
Sheet1!E4: =VLOOKUP(60,A1:A5,1,FALSE)
Sheet1!E5: =HLOOKUP(450,A4:B4,1)
Sheet1!E6: =VLOOKUP(55,A1:B4,2)
)";
  compiler::CompileOptions options;
  options.storeFormulaValues = false;
  CompiledWorkbook workbook;
  compiler::loadStreamBytes(compiler::compileToStream(compiler::readTextWorkbook(text, "tables"), options),
                            workbook);
  compiler::calculateAll(workbook);
  auto expect = [&](const char* when, std::initializer_list<CalcValue> values) {
    uint32_t row = 0;
    for (const CalcValue& expected : values) {
      const CalcValue* v = workbook.findCell(CellAddress::make(0, 4, row))->value();
      ASSERT_NE(v, nullptr);
      EXPECT_TRUE(v->sameAs(expected)) << when << ": E" << row + 1 << " is " << describe(*v);
      ++row;
    }
  };
  expect("first calculation", {num(20), num(400), num(3), err(ErrNA), num(400), num(400)});
  // C1:C4 = 3..6: A1:A4 = 30..60, B1:B4 = 300..600.
  compiler::applyChanges(workbook, {{CellAddress::make(0, 2, 0), CalcValue::number(3)},
                                    {CellAddress::make(0, 2, 1), CalcValue::number(4)},
                                    {CellAddress::make(0, 2, 2), CalcValue::number(5)},
                                    {CellAddress::make(0, 2, 3), CalcValue::number(6)}});
  expect("after the change", {err(ErrNA), num(500), num(1), num(60), num(60), num(500)});
  evaluationContext() = EvaluationContext{};
}

// INDEX called directly with an area number, as the call passes an array source with four arguments.
TEST_F(LookupFunctionsTest, IndexOfAnArrayTakesOnlyTheFirstArea) {
  CalcValue source = array({{num(1), num(2), num(3)}});
  CalcValue one = num(1), zero = num(0), two = num(2);
  auto index = [&](const CalcValue& area) {
    const CalcValue* args[] = {&source, &one, &zero, &area, nullptr};
    CalcValue result;
    indexFunction(evaluationContext(), args, result);
    return result;
  };
  EXPECT_TRUE(index(one).sameAs(source));
  EXPECT_TRUE(index(two).sameAs(err(ErrRef)));
}
