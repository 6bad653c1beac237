// Lookup and reference functions: tables of calls built as node trees over a small workbook and
// evaluated through the function table, the exact-match caches, and lookups in formula cells that a
// recalculation keeps up to date.
#include "formula/array_node.h"
#include "formula/call_node.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/constant_nodes.h"
#include "formula/host_services.h"
#include "formula/reference.h"
#include "formula/reference_nodes.h"
#include "formula/function_table.h"
#include "functions/lookup.h"
#include "values/conversions.h"

#include "function_test_support.h"
#include "recalculation_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

using namespace cwbk;
using namespace cwbk::function_testing;

namespace {

// An Array of rows.
CalcValue array(std::initializer_list<std::initializer_list<CalcValue>> rows) {
  CalcValue a;
  a.resizeArray(static_cast<uint32_t>(rows.begin()->size()), static_cast<uint32_t>(rows.size()));
  uint32_t r = 0;
  for (const auto& row : rows) {
    uint32_t c = 0;
    for (const CalcValue& v : row)
      *a.element(c++, r) = v;
    ++r;
  }
  return a;
}

// One case: a label in formula syntax, the tree and the expected value (compared by kind and payload).
struct Case {
  std::string formula;
  FormulaNode* tree;
  CalcValue expected;
};

class LookupFunctionsTest : public function_testing::FunctionTest {
protected:
  void SetUp() override {
    FunctionTest::SetUp();
    // A1:B3: keys and names.
    put(u"A1", num(1));
    put(u"A2", num(2));
    put(u"A3", num(3));
    put(u"B1", txt(u"one"));
    put(u"B2", txt(u"two"));
    put(u"B3", txt(u"three"));
    // C1:D4: texts and numbers.
    put(u"C1", txt(u"apple"));
    put(u"C2", txt(u"Banana"));
    put(u"C3", txt(u"blueberry"));
    put(u"C4", txt(u"cherry"));
    for (int i = 1; i <= 4; ++i)
      put(u"D" + std::u16string(1, char16_t(u'0' + i)), num(10 * i));
    // F1:H2: a table lying in rows.
    put(u"F1", num(1));
    put(u"G1", num(2));
    put(u"H1", num(3));
    put(u"F2", txt(u"x"));
    put(u"G2", txt(u"y"));
    put(u"H2", txt(u"z"));
    // J1:J4 descending.
    put(u"J1", num(40));
    put(u"J2", num(30));
    put(u"J3", num(20));
    put(u"J4", num(10));
    // K1:K6: a header text, a missing cell, an error and numbers: only the numbers take part.
    put(u"K1", txt(u"key"));
    put(u"K2", num(1));
    put(u"K4", num(3));
    put(u"K5", err(ErrNA));
    put(u"K6", num(5));
    put(u"L1", err(ErrDiv0));
    workbook.findOrCreateCell(CellAddress::make(1, 0, 0))->setValue(num(1000)); // Sheet2!A1
    workbook.definedNames().push_back(
        DefinedName{u"Keys", -1, new AreaRefNode(workbook, cell(u"A1"), cell(u"A3"))});
  }
  static CalcValue ref(std::u16string_view a, std::u16string_view b, uint32_t sheet = 0) {
    CalcValue v;
    v.setReference(cell(a, sheet), cell(b, sheet));
    return v;
  }

  void check(std::vector<Case> cases) {
    for (Case& c : cases) {
      CalcValue actual = evaluate(c.tree);
      EXPECT_TRUE(actual.sameAs(c.expected) || (actual.isNumber() && c.expected.isNumber() &&
                                                actual.numberValue() == c.expected.numberValue()))
          << c.formula << ": got kind " << actual.tag() << " '" << narrow(displayText(actual))
          << "', expected kind " << c.expected.tag() << " '" << narrow(displayText(c.expected)) << "'";
    }
  }
};

} // namespace

TEST_F(LookupFunctionsTest, EveryFunctionOfTheFamilyIsImplemented) {
  for (const char16_t* name :
       {u"ADDRESS", u"CHOOSE", u"COLUMN", u"COLUMNS", u"EVALUATE", u"GETPIVOTDATA", u"HLOOKUP", u"HYPERLINK",
        u"INDEX", u"INDIRECT", u"LOOKUP", u"MATCH", u"OFFSET", u"ROW", u"ROWS", u"TRANSPOSE", u"VLOOKUP"})
    EXPECT_NE(functionTable().lookupImpl(name), nullptr) << narrow(name);
}

TEST_F(LookupFunctionsTest, VlookupAndHlookup) {
  check({
      {"VLOOKUP(2,A1:B3,2,FALSE)", call(u"VLOOKUP", {n(2), area(u"A1", u"B3"), n(2), b(false)}), txt(u"two")},
      {"VLOOKUP(5,A1:B3,2,FALSE)", call(u"VLOOKUP", {n(5), area(u"A1", u"B3"), n(2), b(false)}), err(ErrNA)},
      {"VLOOKUP(2,A1:B3,3,FALSE)", call(u"VLOOKUP", {n(2), area(u"A1", u"B3"), n(3), b(false)}), err(ErrRef)},
      {"VLOOKUP(2,A1:B3,0,FALSE)", call(u"VLOOKUP", {n(2), area(u"A1", u"B3"), n(0), b(false)}),
       err(ErrValue)},
      {"VLOOKUP(2.5,A1:B3,2)", call(u"VLOOKUP", {n(2.5), area(u"A1", u"B3"), n(2)}), txt(u"two")},
      {"VLOOKUP(99,A1:B3,2)", call(u"VLOOKUP", {n(99), area(u"A1", u"B3"), n(2)}), txt(u"three")},
      {"VLOOKUP(0.5,A1:B3,2)", call(u"VLOOKUP", {n(0.5), area(u"A1", u"B3"), n(2)}), err(ErrNA)},
      {"VLOOKUP(2,A1:B3,\"2\",0)", call(u"VLOOKUP", {n(2), area(u"A1", u"B3"), t(u"2"), n(0)}), txt(u"two")},
      {"VLOOKUP(2,A1:B3,2,\"x\")", call(u"VLOOKUP", {n(2), area(u"A1", u"B3"), n(2), t(u"x")}),
       err(ErrValue)},
      {"VLOOKUP(\"b*\",C1:D4,2,FALSE)", call(u"VLOOKUP", {t(u"b*"), area(u"C1", u"D4"), n(2), b(false)}),
       num(20)},
      {"VLOOKUP(\"BL?EBERRY\",C1:D4,2,FALSE)",
       call(u"VLOOKUP", {t(u"BL?EBERRY"), area(u"C1", u"D4"), n(2), b(false)}), num(30)},
      {"VLOOKUP(\"CHERRY\",C1:D4,2,FALSE)",
       call(u"VLOOKUP", {t(u"CHERRY"), area(u"C1", u"D4"), n(2), b(false)}), num(40)},
      {"VLOOKUP(\"2\",A1:B3,2,FALSE) a text is no number",
       call(u"VLOOKUP", {t(u"2"), area(u"A1", u"B3"), n(2), b(false)}), err(ErrNA)},
      {"VLOOKUP(4,K1:K6,1) skips the header, the gap and the error",
       call(u"VLOOKUP", {n(4), area(u"K1", u"K6"), n(1)}), num(3)},
      {"VLOOKUP(9,K1:K6,1)", call(u"VLOOKUP", {n(9), area(u"K1", u"K6"), n(1)}), num(5)},
      {"VLOOKUP(2,A:B,2) whole columns", call(u"VLOOKUP", {n(2), area(u"A1", u"B1048576"), n(2)}),
       txt(u"two")},
      {"VLOOKUP(2,A1,1,FALSE)", call(u"VLOOKUP", {n(2), area(u"A2", u"A2"), n(1), b(false)}), num(2)},
      {"VLOOKUP(#DIV/0!,A1:B3,2)", call(u"VLOOKUP", {e(ErrDiv0), area(u"A1", u"B3"), n(2)}), err(ErrDiv0)},
      {"VLOOKUP(2,\"abc\",1)", call(u"VLOOKUP", {n(2), t(u"abc"), n(1)}), err(ErrValue)},
      {"VLOOKUP(2,\"5\",1)", call(u"VLOOKUP", {n(2), t(u"5"), n(1)}), err(ErrNA)},
      {"VLOOKUP(2,{1,\"a\";2,\"b\"},2,FALSE)",
       call(u"VLOOKUP", {n(2), arr({{num(1), txt(u"a")}, {num(2), txt(u"b")}}), n(2), b(false)}), txt(u"b")},
      {"VLOOKUP(2.5,{1,\"a\";2,\"b\";3,\"c\"},2)",
       call(u"VLOOKUP", {n(2.5), arr({{num(1), txt(u"a")}, {num(2), txt(u"b")}, {num(3), txt(u"c")}}), n(2)}),
       txt(u"b")},
      {"VLOOKUP(2,{1,\"a\"},3)", call(u"VLOOKUP", {n(2), arr({{num(1), txt(u"a")}}), n(3)}), err(ErrRef)},
      {"VLOOKUP({1,3},A1:B3,2,FALSE)",
       call(u"VLOOKUP", {arr({{num(1), num(3)}}), area(u"A1", u"B3"), n(2), b(false)}),
       array({{txt(u"one"), txt(u"three")}})},
      {"HLOOKUP(2,F1:H2,2,FALSE)", call(u"HLOOKUP", {n(2), area(u"F1", u"H2"), n(2), b(false)}), txt(u"y")},
      {"HLOOKUP(2.5,F1:H2,2)", call(u"HLOOKUP", {n(2.5), area(u"F1", u"H2"), n(2)}), txt(u"y")},
      {"HLOOKUP(2,F1:H2,3)", call(u"HLOOKUP", {n(2), area(u"F1", u"H2"), n(3)}), err(ErrRef)},
      {"HLOOKUP(3,{1,2,3;\"x\",\"y\",\"z\"},2)",
       call(u"HLOOKUP", {n(3), arr({{num(1), num(2), num(3)}, {txt(u"x"), txt(u"y"), txt(u"z")}}), n(2)}),
       txt(u"z")},
  });
}

TEST_F(LookupFunctionsTest, Match) {
  check({
      {"MATCH(3,{1,3,5},0)", call(u"MATCH", {n(3), arr({{num(1), num(3), num(5)}}), n(0)}), num(2)},
      {"MATCH(4,{1,3,5})", call(u"MATCH", {n(4), arr({{num(1), num(3), num(5)}})}), num(2)},
      {"MATCH(0,{1,3,5})", call(u"MATCH", {n(0), arr({{num(1), num(3), num(5)}})}), err(ErrNA)},
      {"MATCH(2,{1,2,2,2,3}) finds the last of equal values",
       call(u"MATCH", {n(2), arr({{num(1), num(2), num(2), num(2), num(3)}})}), num(4)},
      {"MATCH(2,A1:A3,0)", call(u"MATCH", {n(2), area(u"A1", u"A3"), n(0)}), num(2)},
      {"MATCH(2,F1:H1,0)", call(u"MATCH", {n(2), area(u"F1", u"H1"), n(0)}), num(2)},
      {"MATCH(2,A1:B3,0) needs a row or column", call(u"MATCH", {n(2), area(u"A1", u"B3"), n(0)}),
       err(ErrNA)},
      {"MATCH(25,J1:J4,-1)", call(u"MATCH", {n(25), area(u"J1", u"J4"), n(-1)}), num(2)},
      {"MATCH(45,J1:J4,-1)", call(u"MATCH", {n(45), area(u"J1", u"J4"), n(-1)}), err(ErrNA)},
      {"MATCH(5,J1:J4,-1)", call(u"MATCH", {n(5), area(u"J1", u"J4"), n(-1)}), num(4)},
      {"MATCH(1.5,A1:A3,-1) not descending", call(u"MATCH", {n(1.5), area(u"A1", u"A3"), n(-1)}), err(ErrNA)},
      {"MATCH(\"b*\",C1:C4,0)", call(u"MATCH", {t(u"b*"), area(u"C1", u"C4"), n(0)}), num(2)},
      {"MATCH(\"~b*\",C1:C4,0) has wildcards", call(u"MATCH", {t(u"~b*"), area(u"C1", u"C4"), n(0)}), num(2)},
      {"MATCH(\"c\",C1:C4)", call(u"MATCH", {t(u"c"), area(u"C1", u"C4")}), num(3)},
      {"MATCH(2,A1:A3,\"x\")", call(u"MATCH", {n(2), area(u"A1", u"A3"), t(u"x")}), err(ErrValue)},
      {"MATCH(2,A1:A3,7) counts as 1", call(u"MATCH", {n(2.5), area(u"A1", u"A3"), n(7)}), num(2)},
      {"MATCH(2,\"x\")", call(u"MATCH", {n(2), t(u"x")}), err(ErrValue)},
      {"MATCH(#N/A,A1:A3)", call(u"MATCH", {e(ErrNA), area(u"A1", u"A3")}), err(ErrNA)},
      {"MATCH({1,3,9},A1:A3,0)", call(u"MATCH", {arr({{num(1), num(3), num(9)}}), area(u"A1", u"A3"), n(0)}),
       array({{num(1), num(3), err(ErrNA)}})},
  });
}

TEST_F(LookupFunctionsTest, Lookup) {
  check({
      {"LOOKUP(2.5,A1:A3,B1:B3)", call(u"LOOKUP", {n(2.5), area(u"A1", u"A3"), area(u"B1", u"B3")}),
       txt(u"two")},
      {"LOOKUP(0,A1:A3,B1:B3)", call(u"LOOKUP", {n(0), area(u"A1", u"A3"), area(u"B1", u"B3")}), err(ErrNA)},
      {"LOOKUP(3,A1:A3,D1:D2) reads on past the result's end",
       call(u"LOOKUP", {n(3), area(u"A1", u"A3"), area(u"D1", u"D2")}), num(30)},
      {"LOOKUP(2,A1:B3) a tall table", call(u"LOOKUP", {n(2), area(u"A1", u"B3")}), txt(u"two")},
      {"LOOKUP(2,F1:H2) a wide table", call(u"LOOKUP", {n(2), area(u"F1", u"H2")}), txt(u"y")},
      {"LOOKUP(2,A1:B3,B1:B3) searches the table's first column",
       call(u"LOOKUP", {n(2), area(u"A1", u"B3"), area(u"B1", u"B3")}), txt(u"two")},
      {"LOOKUP(2,A1:B3,C1:D3) a result table",
       call(u"LOOKUP", {n(2), area(u"A1", u"B3"), area(u"C1", u"D3")}), err(ErrNA)},
      {"LOOKUP(2,{1,2,3},{\"a\",\"b\",\"c\"})",
       call(u"LOOKUP", {n(2), arr({{num(1), num(2), num(3)}}), arr({{txt(u"a"), txt(u"b"), txt(u"c")}})}),
       txt(u"b")},
      {"LOOKUP(1,1)", call(u"LOOKUP", {n(1), n(1)}), num(1)},
      {"LOOKUP(2,1)", call(u"LOOKUP", {n(2), n(1)}), err(ErrValue)},
      {"LOOKUP(2,\"a\")", call(u"LOOKUP", {n(2), t(u"a")}), err(ErrValue)},
      {"LOOKUP(#REF!,A1:A3)", call(u"LOOKUP", {e(ErrRef), area(u"A1", u"A3")}), err(ErrRef)},
      {"LOOKUP(L1,K1:K6) an error in the value's cell",
       call(u"LOOKUP", {cellNode(u"L1"), area(u"K1", u"K6")}), err(ErrDiv0)},
      {"LOOKUP(1,L1)", call(u"LOOKUP", {n(1), cellNode(u"L1")}), err(ErrDiv0)},
  });
}

TEST_F(LookupFunctionsTest, IndexChooseAndOffset) {
  check({
      {"INDEX(A1:C3,2,3)", call(u"INDEX", {area(u"A1", u"C3"), n(2), n(3)}), ref(u"C2", u"C2")},
      {"INDEX(A1:C3,4,1)", call(u"INDEX", {area(u"A1", u"C3"), n(4), n(1)}), err(ErrRef)},
      {"INDEX(A1:C1,2)", call(u"INDEX", {area(u"A1", u"C1"), n(2)}), ref(u"B1", u"B1")},
      {"INDEX(A1:A3,2)", call(u"INDEX", {area(u"A1", u"A3"), n(2)}), ref(u"A2", u"A2")},
      {"INDEX(A1:C3,0,2)", call(u"INDEX", {area(u"A1", u"C3"), n(0), n(2)}), ref(u"B1", u"B3")},
      {"INDEX(A1:C3,2,0)", call(u"INDEX", {area(u"A1", u"C3"), n(2), n(0)}), ref(u"A2", u"C2")},
      {"INDEX(A1:C3,-1,1)", call(u"INDEX", {area(u"A1", u"C3"), n(-1), n(1)}), err(ErrValue)},
      {"INDEX(A1:C3,\"x\",1)", call(u"INDEX", {area(u"A1", u"C3"), t(u"x"), n(1)}), err(ErrValue)},
      {"INDEX({1,2;3,4},2,1)", call(u"INDEX", {arr({{num(1), num(2)}, {num(3), num(4)}}), n(2), n(1)}),
       num(3)},
      {"INDEX({1,2,3},2)", call(u"INDEX", {arr({{num(1), num(2), num(3)}}), n(2)}), num(2)},
      {"INDEX({1,2;3,4},2) the whole row", call(u"INDEX", {arr({{num(1), num(2)}, {num(3), num(4)}}), n(2)}),
       array({{num(3), num(4)}})},
      {"INDEX({1,2;3,4},0,2)", call(u"INDEX", {arr({{num(1), num(2)}, {num(3), num(4)}}), n(0), n(2)}),
       array({{num(2)}, {num(4)}})},
      {"INDEX({1,2;3,4},3,1)", call(u"INDEX", {arr({{num(1), num(2)}, {num(3), num(4)}}), n(3), n(1)}),
       err(ErrRef)},
      {"INDEX(5,1)", call(u"INDEX", {n(5), n(1)}), err(ErrValue)},

      {"CHOOSE(2,\"a\",\"b\")", call(u"CHOOSE", {n(2), t(u"a"), t(u"b")}), txt(u"b")},
      {"CHOOSE(3,\"a\",\"b\")", call(u"CHOOSE", {n(3), t(u"a"), t(u"b")}), err(ErrValue)},
      {"CHOOSE(0,\"a\")", call(u"CHOOSE", {n(0), t(u"a")}), err(ErrValue)},
      {"CHOOSE(2.9,\"a\",\"b\")", call(u"CHOOSE", {n(2.9), t(u"a"), t(u"b")}), txt(u"b")},
      {"CHOOSE(\"2\",\"a\",\"b\")", call(u"CHOOSE", {t(u"2"), t(u"a"), t(u"b")}), txt(u"b")},
      {"CHOOSE(TRUE,\"a\")", call(u"CHOOSE", {b(true), t(u"a")}), txt(u"a")},
      {"CHOOSE(#N/A,\"a\")", call(u"CHOOSE", {e(ErrNA), t(u"a")}), err(ErrNA)},
      {"CHOOSE(1,B1:B3) keeps the reference", call(u"CHOOSE", {n(1), area(u"B1", u"B3")}), ref(u"B1", u"B3")},

      {"OFFSET(A1,-1,0)", call(u"OFFSET", {cellNode(u"A1"), n(-1), n(0)}), err(ErrRef)},
      {"OFFSET(A1,1,1,2,2)", call(u"OFFSET", {cellNode(u"A1"), n(1), n(1), n(2), n(2)}), ref(u"B2", u"C3")},
      {"OFFSET(A1:B2,1,1)", call(u"OFFSET", {area(u"A1", u"B2"), n(1), n(1)}), ref(u"B2", u"C3")},
      {"OFFSET(C3,0,0,-2,-2)", call(u"OFFSET", {cellNode(u"C3"), n(0), n(0), n(-2), n(-2)}),
       ref(u"B2", u"C3")},
      {"OFFSET(A1,1.9,1.9)", call(u"OFFSET", {cellNode(u"A1"), n(1.9), n(1.9)}), ref(u"B2", u"B2")},
      {"OFFSET(A1,0,0,0,1)", call(u"OFFSET", {cellNode(u"A1"), n(0), n(0), n(0), n(1)}), err(ErrRef)},
      {"OFFSET(A1,0,0,0.5,1) a part of a cell is one cell",
       call(u"OFFSET", {cellNode(u"A1"), n(0), n(0), n(0.5), n(1)}), ref(u"A1", u"A1")},
      {"OFFSET(A1,0,0,3) keeps the width", call(u"OFFSET", {cellNode(u"A1"), n(0), n(0), n(3)}),
       ref(u"A1", u"A3")},
      {"OFFSET(A1,0,16384)", call(u"OFFSET", {cellNode(u"A1"), n(0), n(16384)}), err(ErrRef)},
      {"OFFSET(A1,0,0,1048577,1)", call(u"OFFSET", {cellNode(u"A1"), n(0), n(0), n(1048577), n(1)}),
       err(ErrRef)},
      {"OFFSET(A1,\"x\",0)", call(u"OFFSET", {cellNode(u"A1"), t(u"x"), n(0)}), err(ErrValue)},
      {"OFFSET(5,0,0)", call(u"OFFSET", {n(5), n(0), n(0)}), err(ErrValue)},
  });
}

TEST_F(LookupFunctionsTest, AddressAndIndirect) {
  check({
      {"ADDRESS(2,3)", call(u"ADDRESS", {n(2), n(3)}), txt(u"$C$2")},
      {"ADDRESS(2,3,2)", call(u"ADDRESS", {n(2), n(3), n(2)}), txt(u"C$2")},
      {"ADDRESS(2,3,3)", call(u"ADDRESS", {n(2), n(3), n(3)}), txt(u"$C2")},
      {"ADDRESS(2,3,4)", call(u"ADDRESS", {n(2), n(3), n(4)}), txt(u"C2")},
      {"ADDRESS(2,3,1,FALSE)", call(u"ADDRESS", {n(2), n(3), n(1), b(false)}), txt(u"R2C3")},
      {"ADDRESS(2,3,4,FALSE)", call(u"ADDRESS", {n(2), n(3), n(4), b(false)}), txt(u"R[2]C[3]")},
      {"ADDRESS(1,16384)", call(u"ADDRESS", {n(1), n(16384)}), txt(u"$XFD$1")},
      {"ADDRESS(1,1,1,TRUE,\"My Sheet\")", call(u"ADDRESS", {n(1), n(1), n(1), b(true), t(u"My Sheet")}),
       txt(u"'My Sheet'!$A$1")},
      {"ADDRESS(1,1,1,TRUE,\"It's\")", call(u"ADDRESS", {n(1), n(1), n(1), b(true), t(u"It's")}),
       txt(u"'It''s'!$A$1")},
      {"ADDRESS(1,1,1,TRUE,\"Data_1\")", call(u"ADDRESS", {n(1), n(1), n(1), b(true), t(u"Data_1")}),
       txt(u"Data_1!$A$1")},
      {"ADDRESS(1,1,1,TRUE,\"2024\")", call(u"ADDRESS", {n(1), n(1), n(1), b(true), t(u"2024")}),
       txt(u"'2024'!$A$1")},
      {"ADDRESS(0,1)", call(u"ADDRESS", {n(0), n(1)}), err(ErrValue)},
      {"ADDRESS(1,16385)", call(u"ADDRESS", {n(1), n(16385)}), err(ErrValue)},
      {"ADDRESS(1,1,5)", call(u"ADDRESS", {n(1), n(1), n(5)}), err(ErrValue)},
      {"ADDRESS(1,1,1,\"x\")", call(u"ADDRESS", {n(1), n(1), n(1), t(u"x")}), err(ErrValue)},

      {"INDIRECT(\"\")", call(u"INDIRECT", {t(u"")}), err(ErrRef)},
      {"INDIRECT(\"B2\")", call(u"INDIRECT", {t(u"B2")}), ref(u"B2", u"B2")},
      {"INDIRECT(\"$b$2:a1\")", call(u"INDIRECT", {t(u"$b$2:a1")}), ref(u"A1", u"B2")},
      {"INDIRECT(\"Sheet2!A1:B2\")", call(u"INDIRECT", {t(u"Sheet2!A1:B2")}), ref(u"A1", u"B2", 1)},
      {"INDIRECT(\"'sheet2'!A1\")", call(u"INDIRECT", {t(u"'sheet2'!A1")}), ref(u"A1", u"A1", 1)},
      {"INDIRECT(\"D:D\")", call(u"INDIRECT", {t(u"D:D")}), ref(u"D1", u"D1048576")},
      {"INDIRECT(\"R1C1\",FALSE)", call(u"INDIRECT", {t(u"R1C1"), b(false)}), ref(u"A1", u"A1")},
      {"INDIRECT(\"R[1]C[-1]\",FALSE) from Z100", call(u"INDIRECT", {t(u"R[1]C[-1]"), b(false)}),
       ref(u"Y101", u"Y101")},
      {"INDIRECT(\"R2C1:R3C2\",0)", call(u"INDIRECT", {t(u"R2C1:R3C2"), n(0)}), ref(u"A2", u"B3")},
      {"INDIRECT(\"keys\") a defined name", call(u"INDIRECT", {t(u"keys")}), ref(u"A1", u"A3")},
      {"INDIRECT(\"nosuch\")", call(u"INDIRECT", {t(u"nosuch")}), err(ErrRef)},
      {"INDIRECT(\"A1+1\")", call(u"INDIRECT", {t(u"A1+1")}), err(ErrRef)},
      {"INDIRECT(\"A0\")", call(u"INDIRECT", {t(u"A0")}), err(ErrRef)},
      {"INDIRECT(\"A1048577\")", call(u"INDIRECT", {t(u"A1048577")}), err(ErrRef)},
      {"INDIRECT(\"A1048576\")", call(u"INDIRECT", {t(u"A1048576")}), ref(u"A1048576", u"A1048576")},
      {"INDIRECT(\"#DIV/0!\")", call(u"INDIRECT", {t(u"#DIV/0!")}), err(ErrDiv0)},
      {"INDIRECT(\"Nosheet!A1\")", call(u"INDIRECT", {t(u"Nosheet!A1")}), err(ErrRef)},
      {"INDIRECT(\"[Other.xlsx]Sheet1!A1\") without a host", call(u"INDIRECT", {t(u"[Other.xlsx]Sheet1!A1")}),
       err(ErrRef)},
      {"INDIRECT(5)", call(u"INDIRECT", {n(5)}), err(ErrRef)},
      {"INDIRECT(A1:A2)", call(u"INDIRECT", {area(u"A1", u"A2")}), err(ErrValue)},
      {"SUM(INDIRECT(\"A1:A3\"))", call(u"SUM", {call(u"INDIRECT", {t(u"A1:A3")})}), num(6)},
  });
}

TEST_F(LookupFunctionsTest, GeometryAndTranspose) {
  check({
      {"ROW()", call(u"ROW", {}), num(100)},
      {"COLUMN()", call(u"COLUMN", {}), num(26)},
      {"ROW(B3)", call(u"ROW", {cellNode(u"B3")}), num(3)},
      {"COLUMN(B3)", call(u"COLUMN", {cellNode(u"B3")}), num(2)},
      {"ROW(A2:B4)", call(u"ROW", {area(u"A2", u"B4")}), array({{num(2)}, {num(3)}, {num(4)}})},
      {"COLUMN(B1:D1)", call(u"COLUMN", {area(u"B1", u"D1")}), array({{num(2), num(3), num(4)}})},
      {"ROWS(A1:C5)", call(u"ROWS", {area(u"A1", u"C5")}), num(5)},
      {"COLUMNS(A1:C5)", call(u"COLUMNS", {area(u"A1", u"C5")}), num(3)},
      {"ROWS({1,2;3,4;5,6})", call(u"ROWS", {arr({{num(1), num(2)}, {num(3), num(4)}, {num(5), num(6)}})}),
       num(3)},
      {"COLUMNS({1,2;3,4;5,6})",
       call(u"COLUMNS", {arr({{num(1), num(2)}, {num(3), num(4)}, {num(5), num(6)}})}), num(2)},
      {"ROWS(5)", call(u"ROWS", {n(5)}), num(1)},
      {"ROWS(#N/A)", call(u"ROWS", {e(ErrNA)}), err(ErrNA)},
      {"ROWS(Sheet1!A1:Sheet2!A2)", call(u"ROWS", {area(u"A1", u"A2", 1)}), err(ErrRef)},
      {"TRANSPOSE(A1:B2) outside an array formula", call(u"TRANSPOSE", {area(u"A1", u"B2")}), err(ErrValue)},
  });
  evaluationContext().arrayFormulaMode = true;
  check({
      {"{TRANSPOSE({1,2,3})}", call(u"TRANSPOSE", {arr({{num(1), num(2), num(3)}})}),
       array({{num(1)}, {num(2)}, {num(3)}})},
      {"{TRANSPOSE(A2:B3)}", call(u"TRANSPOSE", {area(u"A2", u"B3")}),
       array({{num(2), num(3)}, {txt(u"two"), txt(u"three")}})},
  });
}

TEST_F(LookupFunctionsTest, HostHandOffs) {
  check({
      {"EVALUATE(\"1+2\") without a host", call(u"EVALUATE", {t(u"1+2")}), CalcValue()},
      {"GETPIVOTDATA(\"x\",A1) without a host", call(u"GETPIVOTDATA", {t(u"x"), cellNode(u"A1")}),
       txt(u"GETPIVOTDATA")},
      {"GETPIVOTDATA(\"x\",5)", call(u"GETPIVOTDATA", {t(u"x"), n(5)}), err(ErrRef)},
      {"GETPIVOTDATA(#N/A,A1)", call(u"GETPIVOTDATA", {e(ErrNA), cellNode(u"A1")}), err(ErrNA)},
  });
  TextService host;
  evaluationContext().functionService = &host;
  check({
      {"EVALUATE(\"1+2\")", call(u"EVALUATE", {t(u"1+2")}), num(42)},
      {"GETPIVOTDATA(\"x\",A1)", call(u"GETPIVOTDATA", {t(u"x"), cellNode(u"A1")}), num(42)},
      {"INDIRECT(\"[Other.xlsx]Sheet1!A1\")", call(u"INDIRECT", {t(u"[Other.xlsx]Sheet1!A1")}), num(42)},
  });
  EXPECT_EQ(host.texts, (std::vector<std::u16string>{u"1+2", u"=GETPIVOTDATA(\"x\",'Sheet1'!A1:A1)",
                                                     u"=[Other.xlsx]Sheet1!A1"}));
  // A text that the host gives back for a range is evaluated once more.
  host.texts.clear();
  host.answer = txt(u"=A1*2");
  evaluate(call(u"EVALUATE", {area(u"A1", u"B2")}));
  EXPECT_EQ(host.texts, (std::vector<std::u16string>{u"'Sheet1'!A1:B2", u"=A1*2"}));
}

TEST_F(LookupFunctionsTest, HyperlinkMarksTheCallingCell) {
  Cell* current = evaluationContext().currentCell;
  check({{"HYPERLINK(\"https://example.com\",\"go\")",
          call(u"HYPERLINK", {t(u"https://example.com"), t(u"go")}), txt(u"go")}});
  ASSERT_NE(current->hyperlink(), nullptr);
  EXPECT_TRUE(current->hasFlag(CellHyperlinkPending));
  EXPECT_EQ(current->hyperlink()->kind, HyperlinkRecord::Web);
  EXPECT_EQ(narrow(current->hyperlink()->address), "https://example.com");

  check({{"HYPERLINK(\"#Sheet2!A1\")", call(u"HYPERLINK", {t(u"#Sheet2!A1")}), txt(u"#Sheet2!A1")},
         {"HYPERLINK(#DIV/0!)", call(u"HYPERLINK", {e(ErrDiv0)}), err(ErrDiv0)}});
  EXPECT_EQ(current->hyperlink()->kind, HyperlinkRecord::Location);
  EXPECT_EQ(narrow(current->hyperlink()->subAddress), "Sheet2!A1");
}

// The exact-match caches remember each search for the rest of a recalculation; a remembered cell
// that no longer matches is searched again, and a remembered miss lasts until the caches are emptied.
TEST_F(LookupFunctionsTest, ExactCachesRememberOutcomesUntilCleared) {
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
