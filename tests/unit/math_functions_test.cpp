// Math and trigonometry functions: tables of calls built as node trees over a small workbook and
// evaluated through the function table, with the expected value of each.
#include "formula/array_node.h"
#include "formula/call_node.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/constant_nodes.h"
#include "formula/host_services.h"
#include "formula/reference.h"
#include "formula/reference_nodes.h"
#include "functions/arguments.h"
#include "formula/function_table.h"
#include "functions/math.h"
#include "values/conversions.h"

#include <gtest/gtest.h>

#include "function_test_support.h"

#include <cmath>
#include <memory>
#include <string>
#include <vector>

using namespace cwbk;
using namespace cwbk::function_testing;

namespace {

// One case: a label in formula syntax, the tree and the expected value. Numbers compare within a
// relative 1e-14 unless exact is set; everything else compares kind and payload.
struct Case {
  std::string formula;
  FormulaNode* tree;
  CalcValue expected;
  bool exact = false;
};

class MathFunctionsTest : public function_testing::FunctionTest {
protected:
  void SetUp() override {
    FunctionTest::SetUp();
    put(u"A1", num(10));
    put(u"A2", num(20));
    put(u"A3", num(30));
    put(u"B1", CalcValue::text(u"#N/A"));
    put(u"B2", err(ErrDiv0));
    put(u"B3", CalcValue::boolean(true));
    put(u"B4", CalcValue::text(u"abc"));
    put(u"B5", CalcValue::text(u"5"));
    put(u"C1", CalcValue::text(u"apple"));
    put(u"C2", CalcValue::text(u"banana"));
    put(u"C3", CalcValue::text(u"Apple"));
    put(u"C5", num(7)); // C4 does not exist
    for (int i = 1; i <= 5; ++i)
      put(u"D" + std::u16string(1, char16_t(u'0' + i)), num(i));
    put(u"E1", num(100));
    workbook.findCell(cell(u"E1"))->setFlags(CellSubtotal);
    put(u"E2", num(1));
    put(u"E3", num(2));
    workbook.findOrCreateCell(CellAddress::make(1, 0, 0))->setValue(num(1000)); // Sheet2!A1
  }
  void check(std::vector<Case> cases) {
    for (Case& c : cases) {
      CalcValue actual = evaluate(c.tree);
      SCOPED_TRACE(c.formula);
      if (c.expected.isNumber() && actual.isNumber() && !c.exact) {
        double x = actual.numberValue(), y = c.expected.numberValue();
        EXPECT_LE(std::fabs(x - y), 1e-14 * std::max(1.0, std::fabs(y)))
            << c.formula << ": got " << narrow(displayText(actual)) << " (" << x << ")";
      } else if (c.expected.isNumber() && actual.isNumber()) {
        EXPECT_EQ(actual.numberValue(), c.expected.numberValue()) << c.formula;
      } else {
        EXPECT_TRUE(actual.sameAs(c.expected))
            << c.formula << ": got kind " << actual.tag() << " '" << narrow(displayText(actual))
            << "', expected '" << narrow(displayText(c.expected)) << "'";
      }
    }
  }
};

} // namespace

TEST_F(MathFunctionsTest, EveryFunctionOfTheFamilyIsImplemented) {
  for (const char16_t* name :
       {u"ABS",     u"ACOS",    u"ACOSH",   u"ASIN",   u"ASINH",    u"ATAN",      u"ATAN2",   u"ATANH",
        u"CEILING", u"COMBIN",  u"COS",     u"COSH",   u"DEGREES",  u"EVEN",      u"EXP",     u"FACT",
        u"FLOOR",   u"INT",     u"LN",      u"LOG",    u"LOG10",    u"MOD",       u"ODD",     u"PI",
        u"POWER",   u"PRODUCT", u"RADIANS", u"RAND",   u"ROUND",    u"ROUNDDOWN", u"ROUNDUP", u"SIGN",
        u"SIN",     u"SINH",    u"SQRT",    u"SQRTPI", u"SUBTOTAL", u"SUM",       u"SUMIF",   u"SUMPRODUCT",
        u"TAN",     u"TANH",    u"TRUNC"})
    EXPECT_NE(functionTable().lookupImpl(name), nullptr) << narrow(name);
}

TEST_F(MathFunctionsTest, ElementaryFunctions) {
  const double pi = 3.141592653589793;
  check({
      {"ABS(-2.5)", call(u"ABS", {n(-2.5)}), num(2.5)},
      {"ABS(\"-3\")", call(u"ABS", {t(u"-3")}), num(3)},
      {"ABS(\"abc\")", call(u"ABS", {t(u"abc")}), err(ErrValue)},
      {"ABS(TRUE)", call(u"ABS", {b(true)}), num(1)},
      {"ABS(B1) with the text #N/A", call(u"ABS", {cellNode(u"B1")}), err(ErrValue)},
      {"ABS(B2) with #DIV/0!", call(u"ABS", {cellNode(u"B2")}), err(ErrDiv0)},
      {"ABS(A1:B2)", call(u"ABS", {area(u"A1", u"B2")}), err(ErrValue)},
      {"SIN(0)", call(u"SIN", {n(0)}), num(0)},
      {"COS(0)", call(u"COS", {n(0)}), num(1)},
      {"TAN(PI()/4)", call(u"TAN", {n(pi / 4)}), num(0.9999999999999999)},
      {"ASIN(2)", call(u"ASIN", {n(2)}), err(ErrNum)},
      {"ACOS(-1)", call(u"ACOS", {n(-1)}), num(pi)},
      {"ATAN(1)", call(u"ATAN", {n(1)}), num(pi / 4)},
      {"ATAN2(1,1)", call(u"ATAN2", {n(1), n(1)}), num(pi / 4)},
      {"ATAN2(-1,0)", call(u"ATAN2", {n(-1), n(0)}), num(pi)},
      {"ATAN2(0,0)", call(u"ATAN2", {n(0), n(0)}), err(ErrDiv0)},
      {"SINH(1)", call(u"SINH", {n(1)}), num(1.1752011936438014)},
      {"COSH(0)", call(u"COSH", {n(0)}), num(1)},
      {"COSH(1000)", call(u"COSH", {n(1000)}), err(ErrNum)},
      {"TANH(0.5)", call(u"TANH", {n(0.5)}), num(0.46211715726000974)},
      {"ASINH(-1e10)", call(u"ASINH", {n(-1e10)}), num(-23.718998110500402)},
      {"ACOSH(0.5)", call(u"ACOSH", {n(0.5)}), err(ErrNum)},
      {"ACOSH(1e200)", call(u"ACOSH", {n(1e200)}), num(461.2101657793691)},
      {"ATANH(1)", call(u"ATANH", {n(1)}), err(ErrNum)},
      {"ATANH(0.5)", call(u"ATANH", {n(0.5)}), num(0.5493061443340549)},
      {"DEGREES(PI())", call(u"DEGREES", {call(u"PI", {})}), num(180)},
      {"RADIANS(180)", call(u"RADIANS", {n(180)}), num(pi)},
      {"EXP(1)", call(u"EXP", {n(1)}), num(2.718281828459045)},
      {"EXP(1000)", call(u"EXP", {n(1000)}), err(ErrNum)},
      {"LN(0)", call(u"LN", {n(0)}), err(ErrNum)},
      {"LN(\"x\")", call(u"LN", {t(u"x")}), err(ErrValue)},
      {"LOG10(1000)", call(u"LOG10", {n(1000)}), num(3), true},
      {"LOG(100)", call(u"LOG", {n(100)}), num(2), true},
      {"LOG(1000,10)", call(u"LOG", {n(1000), n(10)}), num(3), true},
      {"LOG(8,2)", call(u"LOG", {n(8), n(2)}), num(3), true},
      {"LOG(27,3)", call(u"LOG", {n(27), n(3)}), num(3)},
      {"LOG(8,1)", call(u"LOG", {n(8), n(1)}), err(ErrDiv0)},
      {"LOG(-1)", call(u"LOG", {n(-1)}), err(ErrNum)},
      {"LOG(8,0)", call(u"LOG", {n(8), n(0)}), err(ErrNum)},
      {"SQRT(16)", call(u"SQRT", {n(16)}), num(4)},
      {"SQRT(-1)", call(u"SQRT", {n(-1)}), err(ErrNum)},
      {"SQRTPI(1)", call(u"SQRTPI", {n(1)}), num(1.772453850905516)},
      {"SQRTPI(TRUE)", call(u"SQRTPI", {b(true)}), err(ErrValue)},
      {"SQRTPI(-1)", call(u"SQRTPI", {n(-1)}), err(ErrNum)},
      {"POWER(2,10)", call(u"POWER", {n(2), n(10)}), num(1024)},
      {"POWER(0,0)", call(u"POWER", {n(0), n(0)}), err(ErrNum)},
      {"POWER(0,-1)", call(u"POWER", {n(0), n(-1)}), err(ErrDiv0)},
      {"POWER(0,-2)", call(u"POWER", {n(0), n(-2)}), err(ErrDiv0)},
      {"POWER(-8,1/3)", call(u"POWER", {n(-8), n(1.0 / 3)}), err(ErrNum)},
      {"POWER(10,400)", call(u"POWER", {n(10), n(400)}), err(ErrNum)},
      {"POWER(-2,3)", call(u"POWER", {n(-2), n(3)}), num(-8)},
      {"SIGN(-3)", call(u"SIGN", {n(-3)}), CalcValue::number(-1)},
      {"SIGN(0)", call(u"SIGN", {n(0)}), CalcValue::number(0)},
  });
  CalcValue pi1 = evaluate(call(u"PI", {}));
  EXPECT_EQ(pi1.kind(), CalcValue::Double);
  EXPECT_EQ(pi1.doubleValue(), pi);
}

TEST_F(MathFunctionsTest, IntegerFunctions) {
  check({
      {"INT(2.999999999999)", call(u"INT", {n(2.999999999999)}), num(2)},
      {"INT(-1.5)", call(u"INT", {n(-1.5)}), num(-2)},
      {"INT(-0.0000000000001)", call(u"INT", {n(-1e-13)}), num(-1)},
      {"INT(3e9)", call(u"INT", {n(3e9 + 0.5)}), num(3e9), true},
      {"INT(-3e9-0.5)", call(u"INT", {n(-3e9 - 0.5)}), num(-3e9 - 1), true},
      {"EVEN(3)", call(u"EVEN", {n(3)}), num(4)},
      {"EVEN(-0.5)", call(u"EVEN", {n(-0.5)}), num(-2)},
      {"EVEN(0)", call(u"EVEN", {n(0)}), num(0)},
      {"EVEN(5e9+0.5)", call(u"EVEN", {n(5e9 + 0.5)}), num(5000000002.0), true},
      {"ODD(-2.1)", call(u"ODD", {n(-2.1)}), num(-3)},
      {"ODD(0)", call(u"ODD", {n(0)}), num(1)},
      {"ODD(3)", call(u"ODD", {n(3)}), num(3)},
      {"MOD(-7,3)", call(u"MOD", {n(-7), n(3)}), num(2)},
      {"MOD(7,-3)", call(u"MOD", {n(7), n(-3)}), num(-2)},
      {"MOD(-7,-3)", call(u"MOD", {n(-7), n(-3)}), num(-1)},
      {"MOD(5,0)", call(u"MOD", {n(5), n(0)}), err(ErrDiv0)},
      {"MOD(6,3)", call(u"MOD", {n(6), n(3)}), num(0)},
      {"MOD(5.5,2)", call(u"MOD", {n(5.5), n(2)}), num(1.5)},
      {"MOD(1e10,3)", call(u"MOD", {n(1e10), n(3)}), num(1), true},
      {"MOD(-1e10,7)", call(u"MOD", {n(-1e10), n(7)}), num(3), true},
      {"TRUNC(0.29,2)", call(u"TRUNC", {n(0.29), n(2)}), num(0.29), true},
      {"TRUNC(-3.7)", call(u"TRUNC", {n(-3.7)}), num(-3)},
      {"TRUNC(1234.5,-2)", call(u"TRUNC", {n(1234.5), n(-2)}), num(1200)},
      {"TRUNC(8.9,\"x\")", call(u"TRUNC", {n(8.9), t(u"x")}), err(ErrValue)},
      {"TRUNC(8.9,B2)", call(u"TRUNC", {n(8.9), cellNode(u"B2")}), err(ErrDiv0)},
  });
}

TEST_F(MathFunctionsTest, RoundingWorksOnTheFifteenDigitValue) {
  check({
      {"ROUND(2.675,2)", call(u"ROUND", {n(2.675), n(2)}), num(2.68), true},
      {"ROUND(1.005,2)", call(u"ROUND", {n(1.005), n(2)}), num(1.01), true},
      {"ROUND(0.285,2)", call(u"ROUND", {n(0.285), n(2)}), num(0.29), true},
      {"ROUND(1234.5678,-2)", call(u"ROUND", {n(1234.5678), n(-2)}), num(1200), true},
      {"ROUND(-2.5,0)", call(u"ROUND", {n(-2.5), n(0)}), num(-3), true},
      {"ROUND(2.5)", call(u"ROUND", {n(2.5)}), num(3), true},
      {"ROUND(-0.4,0)", call(u"ROUND", {n(-0.4), n(0)}), CalcValue::number(0)},
      {"ROUND(1.26,1.9)", call(u"ROUND", {n(1.26), n(1.9)}), num(1.3), true},
      {"ROUND(123.456,309)", call(u"ROUND", {n(123.456), n(309)}), num(123.456), true},
      {"ROUND(5,1e10)", call(u"ROUND", {n(5.25), n(1e10)}), num(5.25), true},
      {"ROUND(1,-309)", call(u"ROUND", {n(1), n(-309)}), num(0)},
      {"ROUND(450,-3)", call(u"ROUND", {n(450), n(-3)}), num(0)},
      {"ROUND(550,-3)", call(u"ROUND", {n(550), n(-3)}), num(1000)},
      {"ROUND(\"2.5\",0)", call(u"ROUND", {t(u"2.5"), n(0)}), num(3)},
      {"ROUND(#N/A,0)", call(u"ROUND", {e(ErrNA), n(0)}), err(ErrNA)},
      {"ROUND(1,\"x\")", call(u"ROUND", {n(1), t(u"x")}), err(ErrValue)},
      {"ROUND(1e308*1.7,-308)", call(u"ROUND", {n(1.7e308), n(-308)}), err(ErrNum)},
      {"ROUNDDOWN(0.29,2)", call(u"ROUNDDOWN", {n(0.29), n(2)}), num(0.29), true},
      {"ROUNDDOWN(-3.7,0)", call(u"ROUNDDOWN", {n(-3.7), n(0)}), num(-3)},
      {"ROUNDDOWN(3.14159,3)", call(u"ROUNDDOWN", {n(3.14159), n(3)}), num(3.141), true},
      {"ROUNDDOWN(31415.92654,-2)", call(u"ROUNDDOWN", {n(31415.92654), n(-2)}), num(31400)},
      {"ROUNDDOWN(1,-309)", call(u"ROUNDDOWN", {n(1), n(-309)}), num(0)},
      {"ROUNDUP(3.2,0)", call(u"ROUNDUP", {n(3.2), n(0)}), num(4)},
      {"ROUNDUP(-3.2,0)", call(u"ROUNDUP", {n(-3.2), n(0)}), num(-4)},
      {"ROUNDUP(3,0)", call(u"ROUNDUP", {n(3), n(0)}), num(3)},
      {"ROUNDUP(0.30000000000000004,1)", call(u"ROUNDUP", {n(0.1 + 0.2), n(1)}), num(0.3), true},
      {"ROUNDUP(31415.92654,-2)", call(u"ROUNDUP", {n(31415.92654), n(-2)}), num(31500)},
      {"ROUNDUP(-1e-20,-2)", call(u"ROUNDUP", {n(-1e-20), n(-2)}), num(-100)},
      {"ROUNDUP(1e-20,2)", call(u"ROUNDUP", {n(1e-20), n(2)}), num(0.01), true},
      {"ROUNDUP(1,-309)", call(u"ROUNDUP", {n(1), n(-309)}), err(ErrNum)},
  });
}

TEST_F(MathFunctionsTest, CeilingAndFloor) {
  check({
      {"CEILING(2.5,1)", call(u"CEILING", {n(2.5), n(1)}), num(3)},
      {"CEILING(4.0000000000000009,1)", call(u"CEILING", {n(4.0000000000000009), n(1)}), num(4)},
      {"CEILING(1.1,0.1)", call(u"CEILING", {n(1.1), n(0.1)}), num(1.1)},
      {"CEILING(2,-1)", call(u"CEILING", {n(2), n(-1)}), err(ErrNum)},
      {"CEILING(-4,2)", call(u"CEILING", {n(-4), n(2)}), num(-4)},
      {"CEILING(-2.5,2)", call(u"CEILING", {n(-2.5), n(2)}), num(-2)},
      {"CEILING(-2.5,-2)", call(u"CEILING", {n(-2.5), n(-2)}), num(-4)},
      {"CEILING(-1,3)", call(u"CEILING", {n(-1), n(3)}), num(0)},
      {"CEILING(0,5)", call(u"CEILING", {n(0), n(5)}), num(0)},
      {"CEILING(5,0)", call(u"CEILING", {n(5), n(0)}), num(0)},
      {"CEILING(1e-20,1)", call(u"CEILING", {n(1e-20), n(1)}), num(1)},
      {"CEILING(#N/A,1)", call(u"CEILING", {e(ErrNA), n(1)}), err(ErrNA)},
      {"FLOOR(2.9999999999999996,1)", call(u"FLOOR", {n(2.9999999999999996), n(1)}), num(3)},
      {"FLOOR(2.5,1)", call(u"FLOOR", {n(2.5), n(1)}), num(2)},
      {"FLOOR(1.1,0.1)", call(u"FLOOR", {n(1.1), n(0.1)}), num(1.1)},
      {"FLOOR(5,0)", call(u"FLOOR", {n(5), n(0)}), err(ErrDiv0)},
      {"FLOOR(0,0)", call(u"FLOOR", {n(0), n(0)}), num(0)},
      {"FLOOR(-2.5,2)", call(u"FLOOR", {n(-2.5), n(2)}), num(-4)},
      {"FLOOR(-2.5,-2)", call(u"FLOOR", {n(-2.5), n(-2)}), num(-2)},
      {"FLOOR(-4,2)", call(u"FLOOR", {n(-4), n(2)}), num(-4)},
      {"FLOOR(2.5,-2)", call(u"FLOOR", {n(2.5), n(-2)}), err(ErrNum)},
  });
}

TEST_F(MathFunctionsTest, FactorialsAndCombinations) {
  check({
      {"FACT(0)", call(u"FACT", {n(0)}), num(1), true},
      {"FACT(5.9)", call(u"FACT", {n(5.9)}), num(120), true},
      {"FACT(20)", call(u"FACT", {n(20)}), num(2432902008176640000.0), true},
      {"FACT(33)", call(u"FACT", {n(33)}), num(8.683317618811886e36), true},
      {"FACT(170.5)", call(u"FACT", {n(170.5)}), num(7.257415615307994e306)},
      {"FACT(171)", call(u"FACT", {n(171)}), err(ErrNum)},
      {"FACT(-1)", call(u"FACT", {n(-1)}), err(ErrNum)},
      {"COMBIN(5,0)", call(u"COMBIN", {n(5), n(0)}), CalcValue::number(1)},
      {"COMBIN(3,5)", call(u"COMBIN", {n(3), n(5)}), err(ErrNum)},
      {"COMBIN(-1,0)", call(u"COMBIN", {n(-1), n(0)}), err(ErrNum)},
      {"COMBIN(40,2)", call(u"COMBIN", {n(40), n(2)}), num(780), true},
      {"COMBIN(40,20)", call(u"COMBIN", {n(40), n(20)}), num(137846528820.0), true},
      {"COMBIN(1000,1)", call(u"COMBIN", {n(1000), n(1)}), num(1000), true},
      {"COMBIN(5.5,2.7)", call(u"COMBIN", {n(5.5), n(2.7)}), num(10), true},
      {"COMBIN(60,30)", call(u"COMBIN", {n(60), n(30)}), num(118264581564861424.0), true},
      {"COMBIN(1030,515)", call(u"COMBIN", {n(1030), n(515)}), err(ErrNum)},
      {"COMBIN(1e300,1)", call(u"COMBIN", {n(1e300), n(1)}), num(1e300)},
  });
}

TEST_F(MathFunctionsTest, RandStaysBelowOne) {
  double low = 1, high = 0;
  for (int i = 0; i < 2000; ++i) {
    CalcValue v = evaluate(call(u"RAND", {}));
    ASSERT_TRUE(v.isNumber());
    double x = v.numberValue();
    ASSERT_GE(x, 0.0);
    ASSERT_LT(x, 1.0);
    low = std::min(low, x);
    high = std::max(high, x);
  }
  EXPECT_LT(low, 0.01);
  EXPECT_GT(high, 0.99);
}

TEST_F(MathFunctionsTest, SumAndProductFollowTheContextRules) {
  check({
      {"SUM(A1:A3)", call(u"SUM", {area(u"A1", u"A3")}), num(60)},
      {"SUM(A1:A3,Sheet2!A1)", call(u"SUM", {area(u"A1", u"A3"), new CellRefNode(workbook, cell(u"A1", 1))}),
       num(1060)},
      {"SUM(A1:B5) with #DIV/0! in B2", call(u"SUM", {area(u"A1", u"B5")}), err(ErrDiv0)},
      {"SUM(B3:B5) texts and booleans in cells", call(u"SUM", {area(u"B3", u"B5")}), num(0)},
      {"SUM(A1:B1) error text in a cell is skipped", call(u"SUM", {area(u"A1", u"B1")}), num(10)},
      {"SUM(B1) single cell with an error text", call(u"SUM", {cellNode(u"B1")}), num(0)},
      {"SUM(B2) single cell with an error", call(u"SUM", {cellNode(u"B2")}), err(ErrDiv0)},
      {"SUM(\"3\")", call(u"SUM", {t(u"3")}), num(3)},
      {"SUM(\"abc\")", call(u"SUM", {t(u"abc")}), err(ErrValue)},
      {"SUM(\"#N/A\")", call(u"SUM", {t(u"#N/A")}), err(ErrValue)},
      {"SUM(TRUE,2)", call(u"SUM", {b(true), n(2)}), num(3)},
      {"SUM(#NUM!,1)", call(u"SUM", {e(ErrNum), n(1)}), err(ErrNum)},
      {"SUM({1,\"x\",TRUE,2})",
       call(u"SUM", {arr({{num(1), CalcValue::text(u"x"), CalcValue::boolean(true), num(2)}})}), num(3)},
      {"SUM({1,#N/A})", call(u"SUM", {arr({{num(1), err(ErrNA)}})}), err(ErrNA)},
      {"SUM(Sheet1!A1:Sheet2!B2)", call(u"SUM", {area(u"A1", u"B2", 1)}), err(ErrRef)},
      {"SUM()", call(u"SUM", {}), num(0)},
      {"PRODUCT(A1:A2)", call(u"PRODUCT", {area(u"A1", u"A2")}), num(200)},
      {"PRODUCT(A1:A2,\"3\",TRUE)", call(u"PRODUCT", {area(u"A1", u"A2"), t(u"3"), b(true)}), num(600)},
      {"PRODUCT(,4)", call(u"PRODUCT", {missing(), n(4)}), num(4)},
      {"PRODUCT(B3:B5)", call(u"PRODUCT", {area(u"B3", u"B5")}), num(0)},
      {"PRODUCT(\"x\")", call(u"PRODUCT", {t(u"x")}), err(ErrValue)},
      {"PRODUCT(A1:B2)", call(u"PRODUCT", {area(u"A1", u"B2")}), err(ErrDiv0)},
      {"PRODUCT(Sheet1!A1:Sheet2!A2)", call(u"PRODUCT", {area(u"A1", u"A2", 1)}), err(ErrRef)},
      {"PRODUCT({2,3;4,\"x\"})", call(u"PRODUCT", {arr({{num(2), num(3)}, {num(4), CalcValue::text(u"x")}})}),
       num(24)},
  });
}

TEST_F(MathFunctionsTest, SumIf) {
  check({
      {"SUMIF(C1:C5,\"apple\",D1:D5)", call(u"SUMIF", {area(u"C1", u"C5"), t(u"apple"), area(u"D1", u"D5")}),
       num(4)},
      {"SUMIF(C1:C5,\"<>apple\",D1:D5)",
       call(u"SUMIF", {area(u"C1", u"C5"), t(u"<>apple"), area(u"D1", u"D5")}), num(11)},
      {"SUMIF(C1:C5,\"<>*an*\",D1:D5)",
       call(u"SUMIF", {area(u"C1", u"C5"), t(u"<>*an*"), area(u"D1", u"D5")}), num(13)},
      {"SUMIF(C1:C5,\"\",D1:D5)", call(u"SUMIF", {area(u"C1", u"C5"), t(u""), area(u"D1", u"D5")}), num(4)},
      {"SUMIF(D1:D5,\">2\")", call(u"SUMIF", {area(u"D1", u"D5"), t(u">2")}), num(12)},
      {"SUMIF(D1:D5,3)", call(u"SUMIF", {area(u"D1", u"D5"), n(3)}), num(3)},
      {"SUMIF(C1:C2,\"apple\",D1:D5) sums over range's shape",
       call(u"SUMIF", {area(u"C1", u"C2"), t(u"apple"), area(u"D1", u"D5")}), num(1)},
      {"SUMIF(C1:C5,\"a*\",D1) extends sum_range",
       call(u"SUMIF", {area(u"C1", u"C5"), t(u"a*"), cellNode(u"D1")}), num(4)},
      {"SUMIF(C1:C5,\"apple\",B1:B5) texts and booleans add nothing",
       call(u"SUMIF", {area(u"C1", u"C5"), t(u"apple"), area(u"B1", u"B5")}), num(0)},
      {"SUMIF(C1:C5,\"banana\",B1:B5) error in a summed cell",
       call(u"SUMIF", {area(u"C1", u"C5"), t(u"banana"), area(u"B1", u"B5")}), err(ErrDiv0)},
      {"SUMIF(C1:C5,\"cherry\",B1:B5) error in a cell not summed",
       call(u"SUMIF", {area(u"C1", u"C5"), t(u"cherry"), area(u"B1", u"B5")}), num(0)},
      {"SUMIF(B1:B5,\"#DIV/0!\",D1:D5)",
       call(u"SUMIF", {area(u"B1", u"B5"), t(u"#DIV/0!"), area(u"D1", u"D5")}), num(2)},
      {"SUMIF({1,2,3},\">1\")", call(u"SUMIF", {arr({{num(1), num(2), num(3)}}), t(u">1")}), num(5)},
      {"SUMIF(C1:C5,{\"apple\";\"banana\"},D1:D5)",
       call(u"SUMIF", {area(u"C1", u"C5"), arr({{CalcValue::text(u"apple")}, {CalcValue::text(u"banana")}}),
                       area(u"D1", u"D5")}),
       [] {
         CalcValue sums;
         sums.resizeArray(1, 2);
         *sums.element(0, 0) = CalcValue::number(4);
         *sums.element(0, 1) = CalcValue::number(2);
         return sums;
       }()},
      {"SUMIF(Sheet1!A1:Sheet2!A3,1)", call(u"SUMIF", {area(u"A1", u"A3", 1), n(1)}), err(ErrRef)},
  });
}

TEST_F(MathFunctionsTest, SumProduct) {
  check({
      {"SUMPRODUCT(A1:A3,D1:D3)", call(u"SUMPRODUCT", {area(u"A1", u"A3"), area(u"D1", u"D3")}), num(140)},
      {"SUMPRODUCT({1,2},{3,4})", call(u"SUMPRODUCT", {arr({{num(1), num(2)}}), arr({{num(3), num(4)}})}),
       num(11)},
      {"SUMPRODUCT(A1:A3)", call(u"SUMPRODUCT", {area(u"A1", u"A3")}), num(60)},
      {"SUMPRODUCT(A1:A2,A1:B1)", call(u"SUMPRODUCT", {area(u"A1", u"A2"), area(u"A1", u"B1")}),
       err(ErrValue)},
      {"SUMPRODUCT(B3:B5,D3:D5) non-numbers count 0",
       call(u"SUMPRODUCT", {area(u"B3", u"B5"), area(u"D3", u"D5")}), num(0)},
      {"SUMPRODUCT(D1:D5,B1:B5) error anywhere",
       call(u"SUMPRODUCT", {area(u"D1", u"D5"), area(u"B1", u"B5")}), err(ErrDiv0)},
      {"SUMPRODUCT(TRUE)", call(u"SUMPRODUCT", {b(true)}), err(ErrValue)},
      {"SUMPRODUCT(3,4)", call(u"SUMPRODUCT", {n(3), n(4)}), num(12)},
  });
}

TEST_F(MathFunctionsTest, SubtotalSkipsNestedSubtotalsAndRestoresTheFlag) {
  check({
      {"SUM(E1:E3)", call(u"SUM", {area(u"E1", u"E3")}), num(103)},
      {"SUBTOTAL(9,E1:E3)", call(u"SUBTOTAL", {n(9), area(u"E1", u"E3")}), num(3)},
      {"SUBTOTAL(9.7,E1:E3,A1)", call(u"SUBTOTAL", {n(9.7), area(u"E1", u"E3"), cellNode(u"A1")}), num(13)},
      {"SUBTOTAL(6,A1:A2,E1:E3)", call(u"SUBTOTAL", {n(6), area(u"A1", u"A2"), area(u"E1", u"E3")}),
       num(400)},
      {"SUBTOTAL(109,E1:E3) without a host", call(u"SUBTOTAL", {n(109), area(u"E1", u"E3")}), num(3)},
      {"SUBTOTAL(12,A1)", call(u"SUBTOTAL", {n(12), cellNode(u"A1")}), err(ErrValue)},
      {"SUBTOTAL(0,A1)", call(u"SUBTOTAL", {n(0), cellNode(u"A1")}), err(ErrValue)},
      {"SUBTOTAL(\"x\",A1)", call(u"SUBTOTAL", {t(u"x"), cellNode(u"A1")}), err(ErrValue)},
      {"SUBTOTAL(B2,A1)", call(u"SUBTOTAL", {cellNode(u"B2"), cellNode(u"A1")}), err(ErrDiv0)},
  });
  EXPECT_FALSE(insideSubtotal());

  TextService host;
  evaluationContext().functionService = &host;
  check({{"SUBTOTAL(109,E1:E3) with a host", call(u"SUBTOTAL", {n(109), area(u"E1", u"E3")}), num(42)}});
  EXPECT_EQ(narrow(host.texts.back()), "=SUBTOTAL(109,'Sheet1'!E1:E3)");
}

TEST(DecimalRound, RoundsTheShownDigits) {
  EXPECT_EQ(decimalRound(2.675, 2, DecimalRounding::HalfAwayFromZero), 2.68);
  EXPECT_EQ(decimalRound(-2.675, 2, DecimalRounding::HalfAwayFromZero), -2.68);
  EXPECT_EQ(decimalRound(9.995, 2, DecimalRounding::HalfAwayFromZero), 10.0);
  EXPECT_EQ(decimalRound(0.0000123456, 7, DecimalRounding::HalfAwayFromZero), 0.0000123);
  EXPECT_EQ(decimalRound(1e300, 2, DecimalRounding::TowardZero), 1e300);
  EXPECT_EQ(decimalRound(5e-324, 2, DecimalRounding::AwayFromZero), 0.01);
  EXPECT_TRUE(std::isinf(decimalRound(1, -309, DecimalRounding::AwayFromZero)));
}
