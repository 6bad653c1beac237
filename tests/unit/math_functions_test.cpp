// Math and trigonometry functions: tables of formulas over a small sheet of inputs, each parsed,
// compiled and evaluated through the function table, with the value it must give.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "formula_test_support.h"
#include "function_test_support.h"
#include "functions/arguments.h"
#include "formula/function_table.h"
#include "functions/math.h"

using namespace cwbk;
using namespace cwbk::formula_testing;

namespace {

// A1:A3 numbers; B1:B5 an error text, an error, a boolean and texts; C1:C5 texts with C4 missing and
// D1:D5 the numbers 1 to 5 (the SUMIF table); E1 a subtotal's result over E2:E3; Sheet2!A1 1000.
const char* const kInputs = R"(
Sheet1!A1: 10
Sheet1!A2: 20
Sheet1!A3: 30
Sheet1!B1: "#N/A"
Sheet1!B2: #DIV/0!
Sheet1!B3: TRUE
Sheet1!B4: "abc"
Sheet1!B5: "5"
Sheet1!C1: "apple"
Sheet1!C2: "banana"
Sheet1!C3: "Apple"
Sheet1!C5: 7
Sheet1!D1: 1
Sheet1!D2: 2
Sheet1!D3: 3
Sheet1!D4: 4
Sheet1!D5: 5
Sheet1!E1: 100
Sheet1!E2: 1
Sheet1!E3: 2
Sheet2!A1: 1000
[flags]
Sheet1!E1: subtotal
)";

class MathFunctionsTest : public FormulaTest {
protected:
  MathFunctionsTest() : FormulaTest(kInputs) {}
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
    EXPECT_NE(functionTable().lookupImpl(name), nullptr) << utf16ToUtf8(name);
}

TEST_F(MathFunctionsTest, ElementaryFunctions) {
  const double pi = 3.141592653589793;
  check({
      {"=ABS(-2.5)", num(2.5)},
      {"=ABS(\"-3\")", num(3)},
      {"=ABS(\"abc\")", err(ErrValue)},
      {"=ABS(TRUE)", num(1)},
      {"=ABS(B1)", err(ErrValue)}, // with the text #N/A
      {"=ABS(B2)", err(ErrDiv0)},  // with #DIV/0!
      {"=ABS(A1:B2)", err(ErrValue)},
      {"=SIN(0)", num(0)},
      {"=COS(0)", num(1)},
      {"=TAN(PI()/4)", num(0.9999999999999999)},
      {"=ASIN(2)", err(ErrNum)},
      {"=ACOS(-1)", num(pi)},
      {"=ATAN(1)", num(pi / 4)},
      {"=ATAN2(1,1)", num(pi / 4)},
      {"=ATAN2(-1,0)", num(pi)},
      {"=ATAN2(0,0)", err(ErrDiv0)},
      {"=SINH(1)", num(1.1752011936438014)},
      {"=COSH(0)", num(1)},
      {"=COSH(1000)", err(ErrNum)},
      {"=TANH(0.5)", num(0.46211715726000974)},
      {"=ASINH(-1e10)", num(-23.718998110500402)},
      {"=ACOSH(0.5)", err(ErrNum)},
      {"=ACOSH(1e200)", num(461.2101657793691)},
      {"=ATANH(1)", err(ErrNum)},
      {"=ATANH(0.5)", num(0.5493061443340549)},
      {"=DEGREES(PI())", num(180)},
      {"=RADIANS(180)", num(pi)},
      {"=EXP(1)", num(2.718281828459045)},
      {"=EXP(1000)", err(ErrNum)},
      {"=LN(0)", err(ErrNum)},
      {"=LN(\"x\")", err(ErrValue)},
      {"=LOG10(1000)", num(3), true},
      {"=LOG(100)", num(2), true},
      {"=LOG(1000,10)", num(3), true},
      {"=LOG(8,2)", num(3), true},
      {"=LOG(27,3)", num(3)},
      {"=LOG(8,1)", err(ErrDiv0)},
      {"=LOG(-1)", err(ErrNum)},
      {"=LOG(8,0)", err(ErrNum)},
      {"=SQRT(16)", num(4)},
      {"=SQRT(-1)", err(ErrNum)},
      {"=SQRTPI(1)", num(1.772453850905516)},
      {"=SQRTPI(TRUE)", err(ErrValue)},
      {"=SQRTPI(-1)", err(ErrNum)},
      {"=POWER(2,10)", num(1024)},
      {"=POWER(0,0)", err(ErrNum)},
      {"=POWER(0,-1)", err(ErrDiv0)},
      {"=POWER(0,-2)", err(ErrDiv0)},
      {"=POWER(-8,1/3)", err(ErrNum)},
      {"=POWER(10,400)", err(ErrNum)},
      {"=POWER(-2,3)", num(-8)},
      {"=SIGN(-3)", CalcValue::number(-1)},
      {"=SIGN(0)", CalcValue::number(0)},
  });
  CalcValue pi1 = evaluate("=PI()");
  EXPECT_EQ(pi1.kind(), CalcValue::Double);
  EXPECT_EQ(pi1.doubleValue(), pi);
}

TEST_F(MathFunctionsTest, IntegerFunctions) {
  check({
      {"=INT(2.999999999999)", num(2)},
      {"=INT(-1.5)", num(-2)},
      {"=INT(-0.0000000000001)", num(-1)},
      {"=INT(3e9+0.5)", num(3e9), true},
      {"=INT(-3e9-0.5)", num(-3e9 - 1), true},
      {"=EVEN(3)", num(4)},
      {"=EVEN(-0.5)", num(-2)},
      {"=EVEN(0)", num(0)},
      {"=EVEN(5e9+0.5)", num(5000000002.0), true},
      {"=ODD(-2.1)", num(-3)},
      {"=ODD(0)", num(1)},
      {"=ODD(3)", num(3)},
      {"=MOD(-7,3)", num(2)},
      {"=MOD(7,-3)", num(-2)},
      {"=MOD(-7,-3)", num(-1)},
      {"=MOD(5,0)", err(ErrDiv0)},
      {"=MOD(6,3)", num(0)},
      {"=MOD(5.5,2)", num(1.5)},
      {"=MOD(1e10,3)", num(1), true},
      {"=MOD(-1e10,7)", num(3), true},
      {"=TRUNC(0.29,2)", num(0.29), true},
      {"=TRUNC(-3.7)", num(-3)},
      {"=TRUNC(1234.5,-2)", num(1200)},
      {"=TRUNC(8.9,\"x\")", err(ErrValue)},
      {"=TRUNC(8.9,B2)", err(ErrDiv0)},
  });
}

TEST_F(MathFunctionsTest, RoundingWorksOnTheFifteenDigitValue) {
  check({
      {"=ROUND(2.675,2)", num(2.68), true},
      {"=ROUND(1.005,2)", num(1.01), true},
      {"=ROUND(0.285,2)", num(0.29), true},
      {"=ROUND(1234.5678,-2)", num(1200), true},
      {"=ROUND(-2.5,0)", num(-3), true},
      {"=ROUND(2.5)", num(3), true},
      {"=ROUND(-0.4,0)", CalcValue::number(0)},
      {"=ROUND(1.26,1.9)", num(1.3), true},
      {"=ROUND(123.456,309)", num(123.456), true},
      {"=ROUND(5.25,1e10)", num(5.25), true},
      {"=ROUND(1,-309)", num(0)},
      {"=ROUND(450,-3)", num(0)},
      {"=ROUND(550,-3)", num(1000)},
      {"=ROUND(\"2.5\",0)", num(3)},
      {"=ROUND(#N/A,0)", err(ErrNA)},
      {"=ROUND(1,\"x\")", err(ErrValue)},
      {"=ROUND(1.7E308,-308)", err(ErrNum)},
      {"=ROUNDDOWN(0.29,2)", num(0.29), true},
      {"=ROUNDDOWN(-3.7,0)", num(-3)},
      {"=ROUNDDOWN(3.14159,3)", num(3.141), true},
      {"=ROUNDDOWN(31415.92654,-2)", num(31400)},
      {"=ROUNDDOWN(1,-309)", num(0)},
      {"=ROUNDUP(3.2,0)", num(4)},
      {"=ROUNDUP(-3.2,0)", num(-4)},
      {"=ROUNDUP(3,0)", num(3)},
      {"=ROUNDUP(0.30000000000000004,1)", num(0.3), true},
      {"=ROUNDUP(31415.92654,-2)", num(31500)},
      {"=ROUNDUP(-1e-20,-2)", num(-100)},
      {"=ROUNDUP(1e-20,2)", num(0.01), true},
      {"=ROUNDUP(1,-309)", err(ErrNum)},
  });
}

TEST_F(MathFunctionsTest, CeilingAndFloor) {
  check({
      {"=CEILING(2.5,1)", num(3)},
      {"=CEILING(4.0000000000000009,1)", num(4)},
      {"=CEILING(1.1,0.1)", num(1.1)},
      {"=CEILING(2,-1)", err(ErrNum)},
      {"=CEILING(-4,2)", num(-4)},
      {"=CEILING(-2.5,2)", num(-2)},
      {"=CEILING(-2.5,-2)", num(-4)},
      {"=CEILING(-1,3)", num(0)},
      {"=CEILING(0,5)", num(0)},
      {"=CEILING(5,0)", num(0)},
      {"=CEILING(1e-20,1)", num(1)},
      {"=CEILING(#N/A,1)", err(ErrNA)},
      {"=FLOOR(2.9999999999999996,1)", num(3)},
      {"=FLOOR(2.5,1)", num(2)},
      {"=FLOOR(1.1,0.1)", num(1.1)},
      {"=FLOOR(5,0)", err(ErrDiv0)},
      {"=FLOOR(0,0)", num(0)},
      {"=FLOOR(-2.5,2)", num(-4)},
      {"=FLOOR(-2.5,-2)", num(-2)},
      {"=FLOOR(-4,2)", num(-4)},
      {"=FLOOR(2.5,-2)", err(ErrNum)},
  });
}

TEST_F(MathFunctionsTest, FactorialsAndCombinations) {
  check({
      {"=FACT(0)", num(1), true},
      {"=FACT(5.9)", num(120), true},
      {"=FACT(20)", num(2432902008176640000.0), true},
      {"=FACT(33)", num(8.683317618811886e36), true},
      {"=FACT(170.5)", num(7.257415615307994e306)},
      {"=FACT(171)", err(ErrNum)},
      {"=FACT(-1)", err(ErrNum)},
      {"=COMBIN(5,0)", CalcValue::number(1)},
      {"=COMBIN(3,5)", err(ErrNum)},
      {"=COMBIN(-1,0)", err(ErrNum)},
      {"=COMBIN(40,2)", num(780), true},
      {"=COMBIN(40,20)", num(137846528820.0), true},
      {"=COMBIN(1000,1)", num(1000), true},
      {"=COMBIN(5.5,2.7)", num(10), true},
      {"=COMBIN(60,30)", num(118264581564861424.0), true},
      {"=COMBIN(1030,515)", err(ErrNum)},
      {"=COMBIN(1e300,1)", num(1e300)},
  });
}

TEST_F(MathFunctionsTest, RandStaysBelowOne) {
  double low = 1, high = 0;
  for (int i = 0; i < 2000; ++i) {
    CalcValue v = evaluate("=RAND()");
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
      {"=SUM(A1:A3)", num(60)},
      {"=SUM(A1:A3,Sheet2!A1)", num(1060)},
      {"=SUM(A1:B5)", err(ErrDiv0)}, // with #DIV/0! in B2
      {"=SUM(B3:B5)", num(0)},       // texts and booleans in cells
      {"=SUM(A1:B1)", num(10)},      // error text in a cell is skipped
      {"=SUM(B1)", num(0)},          // single cell with an error text
      {"=SUM(B2)", err(ErrDiv0)},    // single cell with an error
      {"=SUM(\"3\")", num(3)},
      {"=SUM(\"abc\")", err(ErrValue)},
      {"=SUM(\"#N/A\")", err(ErrValue)},
      {"=SUM(TRUE,2)", num(3)},
      {"=SUM(#NUM!,1)", err(ErrNum)},
      {"=SUM({1,\"x\",TRUE,2})", num(3)},
      {"=SUM({1,#N/A})", err(ErrNA)},
      {"=SUM(Sheet1!A1:Sheet2!B2)", err(ErrRef)},
      {"=SUM()", num(0)},
      {"=PRODUCT(A1:A2)", num(200)},
      {"=PRODUCT(A1:A2,\"3\",TRUE)", num(600)},
      {"=PRODUCT(,4)", num(4)},
      {"=PRODUCT(B3:B5)", num(0)},
      {"=PRODUCT(\"x\")", err(ErrValue)},
      {"=PRODUCT(A1:B2)", err(ErrDiv0)},
      {"=PRODUCT(Sheet1!A1:Sheet2!A2)", err(ErrRef)},
      {"=PRODUCT({2,3;4,\"x\"})", num(24)},
  });
}

TEST_F(MathFunctionsTest, SumIf) {
  check({
      {"=SUMIF(C1:C5,\"apple\",D1:D5)", num(4)},
      {"=SUMIF(C1:C5,\"<>apple\",D1:D5)", num(11)},
      {"=SUMIF(C1:C5,\"<>*an*\",D1:D5)", num(13)},
      {"=SUMIF(C1:C5,\"\",D1:D5)", num(4)},
      {"=SUMIF(D1:D5,\">2\")", num(12)},
      {"=SUMIF(D1:D5,3)", num(3)},
      {"=SUMIF(C1:C2,\"apple\",D1:D5)", num(1)},        // sums over range's shape
      {"=SUMIF(C1:C5,\"a*\",D1)", num(4)},              // extends sum_range
      {"=SUMIF(C1:C5,\"apple\",B1:B5)", num(0)},        // texts and booleans add nothing
      {"=SUMIF(C1:C5,\"banana\",B1:B5)", err(ErrDiv0)}, // error in a summed cell
      {"=SUMIF(C1:C5,\"cherry\",B1:B5)", num(0)},       // error in a cell not summed
      {"=SUMIF(B1:B5,\"#DIV/0!\",D1:D5)", num(2)},
      {"=SUMIF({1,2,3},\">1\")", num(5)},
      {"=SUMIF(C1:C5,{\"apple\";\"banana\"},D1:D5)", array({{num(4)}, {num(2)}})},
      {"=SUMIF(Sheet1!A1:Sheet2!A3,1)", err(ErrRef)},
  });
}

TEST_F(MathFunctionsTest, SumProduct) {
  check({
      {"=SUMPRODUCT(A1:A3,D1:D3)", num(140)},
      {"=SUMPRODUCT({1,2},{3,4})", num(11)},
      {"=SUMPRODUCT(A1:A3)", num(60)},
      {"=SUMPRODUCT(A1:A2,A1:B1)", err(ErrValue)},
      {"=SUMPRODUCT(B3:B5,D3:D5)", num(0)},       // non-numbers count 0
      {"=SUMPRODUCT(D1:D5,B1:B5)", err(ErrDiv0)}, // error anywhere
      {"=SUMPRODUCT(TRUE)", err(ErrValue)},
      {"=SUMPRODUCT(3,4)", num(12)},
  });
}

TEST_F(MathFunctionsTest, SubtotalSkipsNestedSubtotalsAndRestoresTheFlag) {
  check({
      {"=SUM(E1:E3)", num(103)},
      {"=SUBTOTAL(9,E1:E3)", num(3)},
      {"=SUBTOTAL(9.7,E1:E3,A1)", num(13)},
      {"=SUBTOTAL(6,A1:A2,E1:E3)", num(400)},
      {"=SUBTOTAL(109,E1:E3)", num(3)}, // without a host
      {"=SUBTOTAL(12,A1)", err(ErrValue)},
      {"=SUBTOTAL(0,A1)", err(ErrValue)},
      {"=SUBTOTAL(\"x\",A1)", err(ErrValue)},
      {"=SUBTOTAL(B2,A1)", err(ErrDiv0)},
  });
  EXPECT_FALSE(insideSubtotal());

  function_testing::TextService host;
  evaluationContext().functionService = &host;
  check({{"=SUBTOTAL(109,E1:E3)", num(42)}}); // with a host
  EXPECT_EQ(utf16ToUtf8(host.texts.back()), "=SUBTOTAL(109,'Sheet1'!E1:E3)");
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
