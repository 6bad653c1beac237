// Financial functions: tables of formulas, each parsed, compiled and evaluated through the function
// table, with the value it must give (Excel's answers to within a relative 1e-14); the rules for the
// type argument, periods beyond the life, cash flows without an answer and sums that overflow.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>

#include "formula/function_table.h"
#include "formula_test_support.h"
#include "function_test_support.h"

using namespace cwbk;
using namespace cwbk::formula_testing;

namespace {

// A1:A6 cash flows with a text, a logical value and an empty cell among them (A4); B1:B2 an error and
// flows; C1:D2 flows in two rows and columns.
const char* const kInputs = R"(
Sheet1!A1: -70000
Sheet1!A2: 12000
Sheet1!A3: "note"
Sheet1!A5: TRUE
Sheet1!A6: 15000
Sheet1!A7: 18000
Sheet1!A8: 21000
Sheet1!A9: 26000
Sheet1!B1: -100
Sheet1!B2: #DIV/0!
Sheet1!B3: 120
Sheet1!C1: -100
Sheet1!D1: 30
Sheet1!C2: 40
Sheet1!D2: 50
)";

class FinancialFunctionsTest : public FormulaTest {
protected:
  FinancialFunctionsTest() : FormulaTest(kInputs) {}
};

} // namespace

TEST_F(FinancialFunctionsTest, EveryFunctionOfTheFamilyIsImplemented) {
  for (const char16_t* name : {u"CUMIPMT", u"CUMPRINC", u"DB", u"DDB", u"FV", u"IPMT", u"IRR", u"MIRR",
                               u"NPV", u"PMT", u"PPMT", u"PV", u"SLN", u"SYD"})
    EXPECT_NE(functionTable().lookupImpl(name), nullptr) << utf16ToUtf8(name);
}

TEST_F(FinancialFunctionsTest, Annuities) {
  check({
      {"=PMT(0.08/12,10,10000)", num(-1037.0320893591636)},
      {"=PMT(0.08/12,10,10000,0,1)", num(-1030.1643271779772)},
      {"=PMT(0,10,1000)", num(-100), true},
      {"=PMT(0,0,0)", err(ErrNum)},
      {"=PMT(0.1,0,1000)", err(ErrNum)},
      {"=PMT(-1,1,-100)", err(ErrNum)},
      {"=PMT(-1,1,-100,300,1)", err(ErrNum)},
      {"=PMT(-3,5,100,300,1)", err(ErrNum)},
      {"=PMT(\"x\",10,1000)", err(ErrValue)},
      {"=PMT(0.1,10,#N/A)", err(ErrNA)},
      {"=FV(0.06/12,10,-200,-500,1)", num(2581.4033740601362)},
      {"=FV(1,3,100,300,1)", num(-3800)},
      {"=FV(0,3,100,300,1)", num(-600)},
      {"=FV(-1,-2,1)", err(ErrDiv0)},  // 0 to a negative power
      {"=FV(-3,-3.5,1)", err(ErrNum)}, // a negative base to a fractional power
      {"=FV(1E+200,10,1)", err(ErrNum)},
      {"=PV(0.08/12,240,500)", num(-59777.14585118777)},
      {"=PV(1,3,100,10,1)", num(-176.25)},
      {"=PV(-1,3,100)", err(ErrDiv0)},
      {"=IPMT(0.1/12,1,36,8000)", num(-66.66666666666667)},
      {"=IPMT(0.1,3,3,8000,0,1)", num(-265.86102719033238)},
      {"=IPMT(0.01,1,36,8000,0,1)", num(0)},                        // nothing owed before the first payment
      {"=IPMT(0.01,1.0001,36,8000,0,1)", num(-79.207737829561907)}, // only period 1 itself is free
      {"=IPMT(0,1,36,8000)", num(0), true},
      {"=IPMT(0.1,0,36,8000)", err(ErrNum)},
      {"=IPMT(0.1,3,2,8000)", err(ErrNum)},
      {"=IPMT(0.1,3.9,3,8000,10,1)", num(-26.866364667656377)},
      {"=PPMT(0.1/12,1,24,2000)", num(-75.62318600836664)},
      {"=PPMT(0,1,10,1000)", num(-100), true},
      {"=PPMT(0.1,3,3,8000,0,1)", num(-2658.6102719033238)},
  });
}

// Any type other than 0 means payments at the start of each period: a type of 2 or -1 weighs the rate
// once, as 1 does.
TEST_F(FinancialFunctionsTest, EveryNonzeroTypeMeansPaymentsAtTheStart) {
  check({
      {"=FV(0.06/12,10,-200,-500,2)", num(2581.4033740601362)},
      {"=FV(0.06/12,10,-200,-500,-1)", num(2581.4033740601362)},
      {"=FV(-0.9,3,100,300,TRUE)", num(-11.399999999999995)},
      {"=PMT(0.08/12,10,10000,0,2)", num(-1030.1643271779772)},
      {"=PMT(0.08/12,10,10000,0,-1)", num(-1030.1643271779772)},
      {"=PV(1,3,100,10,-3)", num(-176.25)},
      {"=IPMT(0.01,1,36,8000,0,2)", num(0)},
      {"=PPMT(0.1,3,3,8000,0,-1)", num(-2658.6102719033238)},
  });
}

TEST_F(FinancialFunctionsTest, CumulativeInterestAndPrincipal) {
  check({
      {"=CUMIPMT(0.09/12,360,125000,13,24,0)", num(-11135.232130750845)},
      {"=CUMPRINC(0.09/12,360,125000,13,24,0)", num(-934.1071234208781)},
      {"=CUMIPMT(0.09/12,360,125000,1,1,0)", num(-937.5)},
      {"=CUMIPMT(0.0083,36,8000,1,10,1)", num(-520.11811910213851)},
      {"=CUMPRINC(0.0083,36,8000,1,10,1)", num(-2038.518055313885)},
      {"=CUMIPMT(0.1,10,345,2,2,1)", num(-29.395712615048502)},
      {"=CUMPRINC(0.1,10,345,2,2,1)", num(-21.647161234466502)},
      // a fractional start counts from the next period, a fractional end to the one before
      {"=CUMIPMT(0.01,36,8000,1.2,8.53,1)", num(-501.92756475693704)},
      {"=CUMPRINC(0.01,36,8000,1.2,8.53,1)", num(-1339.6579298169904)},
      {"=CUMIPMT(0.8,36,18000,2.7,9.667,1)", num(-55999.998775825748)},
      {"=CUMPRINC(0.1,36,8000,1.5,10,1)", num(-363.17646344205588)},
      {"=CUMPRINC(0.1,36,8000,1.5,1.7,1)", num(0), true},
      {"=CUMIPMT(7,36,8000,3,\"10\",\"1\")", num(-56000)},
      {"=CUMIPMT(0.01,36,8000,3,10,0.7)", err(ErrNum)}, // the type is 0 or 1 exactly
      {"=CUMPRINC(0.09/12,360,125000,13,24,0.5)", err(ErrNum)},
      {"=CUMIPMT(0.3,12,8000,5.1,5,1)", err(ErrNum)}, // start after end
      {"=CUMIPMT(0,9,300,3,10,1)", err(ErrNum)},
      {"=CUMIPMT(0.1,2,8000,1,10,1)", err(ErrNum)},
      {"=CUMIPMT(0.01,36,8000,TRUE,10,0)", err(ErrValue)}, // logical values are refused
      {"=CUMPRINC(0.0083,36,8000,3,10,TRUE)", err(ErrValue)},
  });
}

// Over every period the principal repaid is the whole loan, whether the periods are summed one by one
// or, beyond a million of them, taken from the balances at both ends.
TEST_F(FinancialFunctionsTest, CumulativePrincipalOverTheWholeTermIsTheLoan) {
  for (const char* formula :
       {"=CUMPRINC(0.01,360,8000,1,360,0)", "=CUMPRINC(0.01,360,8000,1,360,1)",
        "=CUMPRINC(0.000001,3000000,8000,1,3000000,0)", "=CUMPRINC(0.000001,3000000,8000,1,3000000,1)"}) {
    CalcValue v = evaluate(formula);
    ASSERT_TRUE(v.isNumber()) << formula;
    EXPECT_NEAR(v.numberValue(), -8000, 1e-6) << formula;
  }
  CalcValue loop = evaluate("=CUMIPMT(1E-7,3000000,8000,2,900001,1)");
  CalcValue closed = evaluate("=CUMIPMT(1E-7,3000000,8000,2,2000001,1)");
  CalcValue tail = evaluate("=CUMIPMT(1E-7,3000000,8000,900002,2000001,1)");
  ASSERT_TRUE(loop.isNumber() && closed.isNumber() && tail.isNumber());
  EXPECT_NEAR(loop.numberValue() + tail.numberValue(), closed.numberValue(), 1e-8 * -closed.numberValue());
}

TEST_F(FinancialFunctionsTest, NetPresentValue) {
  check({
      {"=NPV(0.1,-10000,3000,4200,6800)", num(1188.4434123352216)},
      {"=NPV(1,1)", num(0.5)},
      {"=NPV(-1,5)", err(ErrDiv0)},
      {"=NPV(0.1,\"2\",TRUE)", num(2 / 1.1 + 1 / 1.21)},
      {"=NPV(0.1,\"x\")", err(ErrValue)},
      {"=NPV(0.1,,10)", num(10 / 1.21)},                     // an omitted value takes a period
      {"=NPV(0.1,A1:A3)", num(-70000 / 1.1 + 12000 / 1.21)}, // only numbers of a range count
      {"=NPV(0.1,{1,\"a\",2})", num(1 / 1.1 + 2 / 1.21)},
      {"=NPV(1,C1:D2)", num(-100 / 2.0 + 30 / 4.0 + 40 / 8.0 + 50 / 16.0)}, // row by row
      {"=NPV(0.1,(C1:C2,D1))", num(-100 / 1.1 + 40 / 1.21 + 30 / 1.331)},
      {"=NPV(0.1,B1:B3)", err(ErrDiv0)},
      {"=NPV(#N/A,1)", err(ErrNA)},
  });
}

TEST_F(FinancialFunctionsTest, InternalRateOfReturn) {
  check({
      {"=IRR({-70000,12000,15000,18000,21000,26000})", num(0.08663094803653162)},
      {"=IRR({-70000,12000,15000,18000,21000})", num(-0.02124484827341096)},
      {"=IRR(A1:A9)", num(0.08663094803653162)}, // the text, logical value and gap are passed over
      {"=IRR({-70000,12000,15000,18000,21000,26000},-0.5)", num(0.08663094803653162)},
      {"=IRR({-2,5})", num(1.5)},
      // steps that would reach -1 or beyond go halfway there instead
      {"=IRR({-70,12,15})", num(30 / (std::sqrt(4344.0) - 12) - 1)}, // Excel stops 4e-13 short of it
      {"=IRR({-5,1})", num(-0.8)},
      {"=IRR({-400,1,1,1,1,1})", num(-0.67373667518084046)},
      {"=IRR({-30,-20,-10,5,5,5})", num(-0.33903735073070584)},
      {"=IRR(C1:D2)", num(0.0889633946933498)}, // row by row: -100, 30, 40, 50
      {"=IRR(5)", err(ErrNum)},
      {"=IRR(A1)", err(ErrNum)},
      {"=IRR({1,2})", err(ErrNum)},   // no negative flow
      {"=IRR({-1,-2})", err(ErrNum)}, // no positive flow
      {"=IRR(A1:A9,-1)", err(ErrValue)},
      {"=IRR(A1:A9,\"x\")", err(ErrValue)},
      {"=IRR(B1:B3)", err(ErrDiv0)},
  });
}

// Flows whose net present value is never 0 end in "#NUM!" after a bounded search, with and without a
// guess (which adds the tries from starts above and below it).
TEST_F(FinancialFunctionsTest, IrrWithoutASolutionEndsInBoundedTime) {
  auto start = std::chrono::steady_clock::now();
  check({
      {"=IRR({-1,3,-3})", err(ErrNum)},
      {"=IRR({-1,3,-3},0.5)", err(ErrNum)},
      {"=IRR({-1,3,-3},-0.9)", err(ErrNum)},
  });
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(FinancialFunctionsTest, ModifiedInternalRateOfReturn) {
  check({
      {"=MIRR({-120000,39000,30000,21000,37000,46000},0.1,0.12)", num(0.1260941303659051)},
      {"=MIRR({-5,1,4},0.1,0.2)", num(1.9803902718557032E-2)},
      {"=MIRR({-5,4},0.1,0.2)", num(-0.19999999999999996)},
      {"=MIRR({-5,2,4},-1,0.2)", num(0.13137084989847603)},
      {"=MIRR({-5,-3},0.1,0.2)", num(-1)},    // no positive flow
      {"=MIRR({5,6},0.1,0.2)", err(ErrDiv0)}, // no negative flow
      {"=MIRR({-5},0.1,0.2)", err(ErrDiv0)},
      {"=MIRR({-5,4},0.1,-1)", err(ErrDiv0)},
      {"=MIRR({4,-5},-1,0.2)", err(ErrDiv0)}, // a negative flow discounted by 0
      {"=MIRR(5,0.1,0.2)", err(ErrDiv0)},
      {"=MIRR(B1:B3,0.1,0.2)", err(ErrDiv0)},
      {"=MIRR(A1:A9,0.1,\"x\")", err(ErrValue)},
      // sums and powers beyond the doubles
      {"=MIRR({-1,1E+300,1E+300},0.1,1E+200)", err(ErrNum)},
      {"=MIRR({-1,1E+308,1E+308},0.1,-0.99)", err(ErrNum)},
  });
}

TEST_F(FinancialFunctionsTest, StraightLineAndSumOfYears) {
  check({
      {"=SLN(30000,7500,10)", num(2250), true},
      {"=SLN(1,2,3)", num(-1.0 / 3)},
      {"=SLN(100,2,0)", err(ErrDiv0)},
      {"=SYD(30000,7500,10,1)", num(4090.909090909091)},
      {"=SYD(100,5,5.5,5.4)", num(5.8461538461538449)},
      {"=SYD(-100,23,25,12)", num(-5.2984615384615381)},
      {"=SYD(1200,12,30,35)", err(ErrNum)}, // beyond the life
      {"=SYD(100,5,5,5.4)", err(ErrNum)},
      {"=SYD(100,-1,5,1)", err(ErrNum)},
      {"=SYD(100,5,5,0)", err(ErrNum)},
  });
}

TEST_F(FinancialFunctionsTest, DoubleDecliningBalance) {
  check({
      {"=DDB(2400,300,3650,1)", num(1.3150684931506849)},
      {"=DDB(2400,300,10,1,2)", num(480), true},
      {"=DDB(100,10,5,3,1)", num(12.800000000000004)},
      {"=DDB(100,10,4,3,2.7)", num(0.56249999999999645)}, // no lower than the salvage
      {"=DDB(100,10,4,3,40.777)", num(0)},                // a rate above 1 counts as 1
      {"=DDB(100,10,4,1,40.777)", num(90)},
      {"=DDB(100,10.233,4.2312,3.2,1.5)", num(13.532735530775124)},
      {"=DDB(100,0,4,0.5)", num(50)}, // a first period shorter than 1 counts as 1
      {"=DDB(100,10,0.5,0.5)", num(90)},
      {"=DDB(10,10,4,1)", num(0), true},
      {"=DDB(2400,300,10,11)", err(ErrNum)},
      {"=DDB(100,10,4,3,0)", err(ErrNum)},
      {"=DDB(-1,10,4,3)", err(ErrNum)},
  });
}

TEST_F(FinancialFunctionsTest, FixedDecliningBalance) {
  check({
      {"=DB(1000000,100000,6,1,7)", num(186083.33333333334)},
      {"=DB(1000000,100000,6,2,7)", num(259639.41666666666)},
      {"=DB(1000000,100000,6,3,7)", num(176814.44275000002)},
      {"=DB(1000000,100000,6,4,7)", num(120410.63551274998)},
      {"=DB(1000000,100000,6,5,7)", num(81999.64278418274)},
      {"=DB(1000000,100000,6,6,7)", num(55841.75673602846)},
      {"=DB(1000000,100000,6,7,7)", num(15845.098473848071)}, // the five months left
      {"=DB(1000000,100000,6,8,7)", err(ErrNum)},
      {"=DB(1000000,100000,6,7)", err(ErrNum)}, // a full first year leaves no period after the life
      {"=DB(100,10,5,3,1)", num(22.567920075)},
      {"=DB(45,10,4,2,12.7)", num(9.6763949999999994)},
      {"=DB(12,10,4,4.5,2)", num(0.48879979875000001)},
      {"=DB(23,10,4,5,2)", num(1.8687313963962309)},
      {"=DB(1,10,4,4,2)", num(-2.7783913894426671)}, // a salvage above the cost
      {"=DB(0,10,4,1,2)", num(0), true},
      {"=DB(100,0,4,3,2)", num(0), true},
      {"=DB(100,10,4,3,13)", err(ErrNum)},
      {"=DB(100,10,4,3,0)", err(ErrNum)},
      {"=DB(-120,10,4,1,2)", err(ErrNum)},
      {"=DB(100,10,0,1)", err(ErrNum)},
  });
}

// A life of 10^15 periods: the value left stops changing, or leaves the doubles, long before the walk
// would end, and the answer comes at once.
TEST_F(FinancialFunctionsTest, DecliningBalanceOverHugeLivesAnswersAtOnce) {
  auto start = std::chrono::steady_clock::now();
  check({
      {"=DB(1,0,1E+15,1E+15)", num(0), true},
      {"=DB(1000,1,1E+15,1E+15)", num(0), true}, // a rate that rounds to 0
      {"=DB(1000,500,1000,1000)", num(0.3680634882592234)},
      {"=DB(1,1E+300,1E+6,1E+6)", err(ErrNum)}, // the value left overflows
      {"=SYD(1000,1,1E+15,1E+15)", num(999 * 2 / (1e15 * (1e15 + 1)))},
  });
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}
