// Statistical functions: tables of formulas over a small sheet of inputs, each parsed, compiled and
// evaluated through the function table, with the value it must give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formula/host_services.h"
#include "formula_test_support.h"
#include "function_test_support.h"
#include "functions/arguments.h"

using namespace cwbk;
using namespace cwbk::formula_testing;

namespace {

// A1:A6 the numbers 1 to 4, the text "5" and TRUE (A7 missing, A8 "x"); B1:B3 10, "abc" and TRUE;
// D1:D6 a COUNTIF column with D4 missing; E1:E5 the RANK data 3, 1, 3, 2, 5; F1 a subtotal's result
// over F2:F3; G1:G3 1, #DIV/0! and 3; column H is empty; J1 and J2 rank 3 among E1:E5 descending and
// ascending in the same calculation.
const char* const kInputs = R"(
Sheet1!A1: 1
Sheet1!A2: 2
Sheet1!A3: 3
Sheet1!A4: 4
Sheet1!A5: "5"
Sheet1!A6: TRUE
Sheet1!A8: "x"
Sheet1!B1: 10
Sheet1!B2: "abc"
Sheet1!B3: TRUE
Sheet1!D1: 1
Sheet1!D2: "2"
Sheet1!D3: "apple"
Sheet1!D5: "Apple"
Sheet1!D6: 2
Sheet1!E1: 3
Sheet1!E2: 1
Sheet1!E3: 3
Sheet1!E4: 2
Sheet1!E5: 5
Sheet1!F1: 100
Sheet1!F2: 1
Sheet1!F3: 2
Sheet1!G1: 1
Sheet1!G2: #DIV/0!
Sheet1!G3: 3
Sheet1!J1: =RANK(3,E1:E5)
Sheet1!J2: =RANK(3,E1:E5,1)
[flags]
Sheet1!F1: subtotal
)";

class StatisticalFunctionsTest : public FormulaTest {
protected:
  StatisticalFunctionsTest() : FormulaTest(kInputs) {}
};

// Records the worksheet functions handed to the host and answers each with 7.
class RecordingService : public HostEvaluationService {
public:
  int number = -1;
  int maxArgs = 0;
  std::vector<CalcValue> arguments;
  void callWorksheetFunction(int n, const CalcValue* const* args, int max, CalcValue& result) override {
    number = n;
    maxArgs = max;
    for (const CalcValue* const* a = args; *a; ++a)
      arguments.push_back(**a);
    result.setNumber(7);
  }
  void evaluateText(std::u16string_view, CalcValue&) override {}
  void callMacro(std::u16string_view, const CalcValue* const*, CalcValue&) override {}
  void evaluateCall(Cell*, const CallNode&, const CalcValue* const*, CalcValue&) override {}
};

} // namespace

TEST_F(StatisticalFunctionsTest, EveryFunctionOfTheFamilyIsImplemented) {
  for (const char16_t* name :
       {u"AVERAGE",   u"COUNT", u"COUNTA", u"COUNTIF", u"COUNTIFS", u"_XLFN.COUNTIFS", u"LARGE",
        u"LINEST",    u"MAX",   u"MAXA",   u"MEDIAN",  u"MIN",      u"MINA",           u"MODE",
        u"NORMSDIST", u"RANK",  u"SMALL",  u"STDEV",   u"STDEVA",   u"STDEVP",         u"STDEVPA",
        u"VAR",       u"VARA",  u"VARP",   u"VARPA"})
    EXPECT_NE(functionTable().lookupImpl(name), nullptr) << utf16ToUtf8(name);
}

TEST_F(StatisticalFunctionsTest, AveragesAndExtremes) {
  check({
      {"=AVERAGE(A1:A4)", num(2.5)},
      {"=AVERAGE(A1:A8)", num(2.5)},            // text and Boolean cells are passed over
      {"=AVERAGE(1,\"3\",TRUE)", num(5.0 / 3)}, // typed as arguments they count
      {"=AVERAGE({1,\"2\",TRUE})", num(1)},     // in an array they do not
      {"=AVERAGE(G1:G3)", err(ErrDiv0)},        // an error cell is the result
      {"=AVERAGE(B2)", err(ErrDiv0)},
      {"=AVERAGE(\"x\")", err(ErrValue)},
      {"=AVERAGE(\"x\",NA())", err(ErrNA)}, // errors among the arguments come first
      {"=MAX(A1:A8)", num(4)},
      {"=MAX(\"7\",3)", num(7)},
      {"=MAX(\"abc\")", err(ErrValue)},
      {"=MAX(TRUE,-5)", num(1)},
      {"=MAX(-3,-2)", num(-2)},
      {"=MIN(H1:H9)", num(0)},
      {"=MIN(-1E+308)", num(-1e308)},
      {"=MAX(G1:G3)", err(ErrDiv0)},
      {"=MINA(B1:B3)", num(0)}, // a text cell is 0
      {"=MAXA(B2:B3)", num(1)}, // TRUE is 1
      {"=MINA(4,\"-1\",TRUE)", num(-1)},
      {"=MINA(1,\"Hola\")", err(ErrValue)},
      {"=MAXA({TRUE,-1})", num(-1)},
      {"=MEDIAN(1,2,3,4)", num(2.5)},
      {"=MEDIAN(3,1,2)", num(2)},
      {"=MEDIAN(5)", num(5)},
      {"=MEDIAN(A1:A8)", num(2.5)},
      {"=MEDIAN(1E+308,1.6E+308)", num(1.3e308)},
      {"=MEDIAN(B2)", err(ErrNum)},
      {"=MEDIAN(1,\"a\")", err(ErrValue)},
      {"=MODE(1,2,2,3)", num(2)},
      {"=MODE(1,2,3)", err(ErrNA)},
      {"=MODE(3,1,1,3)", num(3)}, // of equally frequent numbers, the first met
      {"=MODE(E1:E5)", num(3)},
      {"=MODE({1,2,2})", num(2)},
      {"=MODE(G1:G3)", err(ErrDiv0)},
  });
}

TEST_F(StatisticalFunctionsTest, Counts) {
  check({
      {"=COUNT(A1:A8)", num(4)},
      {"=COUNT(1,\"2\",TRUE,\"x\",#N/A)", num(3)}, // typed numbers, numeric texts and Booleans
      {"=COUNT({1,\"2\",TRUE})", num(1)},
      {"=COUNT(G1:G3)", num(2)},
      {"=COUNTA(A1:A8)", num(7)},
      {"=COUNTA(G1:G3)", num(3)},
      {"=COUNTA(1,\"\",#N/A)", num(3)},
      {"=COUNTA(H:H)", num(0)},
      {"=COUNTA((A1:A2,B1:B3))", num(5)}, // a union counts its cells
      {"=COUNT((A1:A2,B1:B3),#REF!)", num(3)},
  });
}

TEST_F(StatisticalFunctionsTest, CountIfMatchesByTheCriteria) {
  check({
      {"=COUNTIF(A1:A4,\">1\")", num(3)},
      {"=COUNTIF(D1:D6,\"apple\")", num(2)},
      {"=COUNTIF(D1:D6,\"a*\")", num(2)},
      {"=COUNTIF(D1:D6,\"2\")", num(2)}, // a number-like criterion takes the number and the text
      {"=COUNTIF(D1:D6,2)", num(2)},
      {"=COUNTIF(D1:D6,\">1\")", num(1)}, // orderings compare numbers with numbers only
      {"=COUNTIF(D1:D10,\"\")", num(5)},  // D4 and the rows below the last value
      {"=COUNTIF(D:D,\"\")", num(1048576 - 5)},
      {"=COUNTIF(D:D,\"<>\")", num(5)},
      {"=COUNTIF(D:D,\"<>2\")", num(1048576 - 1)}, // the text 2 stays: a number excludes numbers
      {"=COUNTIF(G1:G3,#DIV/0!)", num(1)},         // an error criterion counts that error
      {"=COUNTIF(A1:A6,TRUE)", num(1)},
      {"=COUNTIF({1,2,3},\">1\")", num(2)},
      {"=COUNTIF(A1:A4,A1:A2)", num(0)}, // an area as criterion outside an array formula
      {"{=COUNTIF(D1:D6,{\"apple\",2})}", array({{num(2), num(2)}})},
      {"=COUNTIFS(A1:A4,\">1\",E1:E4,\">1\")", num(2)},
      {"=COUNTIFS(A1:A4,\">1\")", num(3)},
      {"=_xlfn.COUNTIFS(D1:D10,\"\",H1:H10,\"\")", num(5)},
      {"=COUNTIFS(D1:D10,\"<>\",A1:A10,\"<>\")", num(5)},
      {"{=COUNTIFS(D1:D6,{\"apple\",2},A1:A6,\"<>\")}", array({{num(2), num(2)}})},
      {"{=COUNTIFS(A1:A4,{\">1\";\">2\"},E1:E4,{\">1\",\">2\"})}",
       array({{num(2), num(1)}, {num(2), num(1)}})},
      {"=SUMPRODUCT(COUNTIFS(A1:A4,{1,2,3}))", num(3)},
      {"=COUNTIFS(A1:A4,A1:A2)", num(0)},                 // an area as criterion outside an array formula
      {"=COUNTIFS(A1:A4,\">1\",E1:E5,1)", err(ErrValue)}, // ranges of different sizes
      {"=COUNTIFS(A1:A4,\">1\",E1:E4)", err(ErrValue)},
  });
}

TEST_F(StatisticalFunctionsTest, OrderStatistics) {
  check({
      {"=SMALL({3,1,2},2)", num(2)},
      {"=LARGE({3,1,2},1)", num(3)},
      {"=LARGE(E1:E5,2)", num(3)},
      {"=SMALL(A1:A8,4)", num(4)},
      {"=SMALL({1,2},3)", err(ErrNum)},
      {"=SMALL({1,2},1.5)", num(2)}, // k is rounded up
      {"=SMALL({1,2},0)", err(ErrNum)},
      {"=SMALL(\"3.4\",1)", num(3.4)},
      {"=SMALL(TRUE,1)", num(1)},
      {"=SMALL(\"Hello\",1)", err(ErrValue)},
      {"=SMALL(B2,1)", err(ErrNum)}, // a text cell holds no number
      {"=SMALL(G1:G3,1)", err(ErrDiv0)},
      {"=RANK(2,E1:E5)", num(4)},
      {"=RANK(2,E1:E5,1)", num(2)},
      {"=RANK(3,E1:E5)", num(2)},
      {"=RANK(3,E1:E5,TRUE)", num(3)},
      {"=RANK(5,E1:E5,0)", num(1)},
      {"=RANK(4,E1:E5)", err(ErrNA)},
      {"=RANK(TRUE,E1:E5)", err(ErrNA)},
      {"=RANK(2,{1,2,3})", num(2)},
      {"=RANK(1,G1:G3)", err(ErrDiv0)},
      // J1 and J2 rank 3 in both orders over one range in the same calculation.
      {"{=J1*10+J2}", num(23)},
  });
}

TEST_F(StatisticalFunctionsTest, Deviations) {
  check({
      {"=VAR(1,2,3,4)", num(1.6666666666666667)},
      {"=VARP(1,2,3,4)", num(1.25)},
      {"=STDEV(A1:A8)", num(1.2909944487358056)},
      {"=STDEVP(5)", num(0)},
      {"=STDEV(5)", err(ErrDiv0)},
      {"=VAR(B2:B3)", err(ErrDiv0)},
      {"=VARP(B2)", err(ErrDiv0)},
      {"=STDEV(1,\"2\",TRUE)", num(0.5773502691896257)},
      {"=STDEV(G1:G3)", err(ErrDiv0)},
      {"=STDEVA(B1:B3)", num(5.507570547286102)}, // "abc" counts 0 and TRUE 1
      {"=STDEVPA(B1:B3)", num(4.4969125210773475)},
      {"=VARA(B1:B3)", num(30.333333333333332)},
      {"=VARPA(B1:B3)", num(20.222222222222221)},
      {"=VAR(1000000001,1000000002,1000000003)", num(1), true}, // far from 0, no cancellation
      {"=VAR(1E+200,-1E+200)", err(ErrNum)},
  });
}

TEST_F(StatisticalFunctionsTest, NormalDistributionKeepsItsTails) {
  check({
      {"=NORMSDIST(0)", num(0.5)},
      {"=NORMSDIST(1.96)", num(0.9750021048517795)},
      {"=NORMSDIST(-1)", num(0.15865525393145707)},
      {"=NORMSDIST(-6)", num(9.8658764503770119e-10)},
      {"=NORMSDIST(-9)", num(1.1285884059538422e-19)},
      {"=NORMSDIST(-20)", num(2.7536241186063314e-89)},
      {"=NORMSDIST(-40)", num(0)},
      {"=NORMSDIST(40)", num(1)},
      {"=NORMSDIST(\"x\")", err(ErrValue)},
      {"{=NORMSDIST({0,40})}", array({{num(0.5), num(1)}})},
  });
}

TEST_F(StatisticalFunctionsTest, SubtotalComputesItsAggregatesWithoutNestedSubtotals) {
  check({
      {"=SUBTOTAL(1,F1:F3)", num(1.5)},
      {"=SUBTOTAL(2,F1:F3)", num(2)},
      {"=SUBTOTAL(3,F1:F3,B1:B3)", num(5)},
      {"=SUBTOTAL(4,F1:F3)", num(2)},
      {"=SUBTOTAL(5,F1:F3)", num(1)},
      {"=SUBTOTAL(7,F1:F3)", num(0.70710678118654757)},
      {"=SUBTOTAL(8,F1:F3)", num(0.5)},
      {"=SUBTOTAL(10,F1:F3)", num(0.5)},
      {"=SUBTOTAL(11,F1:F3)", num(0.25)},
      {"=SUBTOTAL(104,F1:F3)", num(2)}, // without a host
      {"=SUBTOTAL(1,G1:G3)", err(ErrDiv0)},
  });
  EXPECT_FALSE(insideSubtotal());
}

TEST_F(StatisticalFunctionsTest, LinestIsComputedByTheHost) {
  RecordingService host;
  evaluationContext().functionService = &host;
  check({{"=LINEST(A1:A4,E1:E4)", num(7)}});
  EXPECT_EQ(host.number, 49);
  EXPECT_EQ(host.maxArgs, 4);
  ASSERT_EQ(host.arguments.size(), 4u);
  EXPECT_TRUE(host.arguments[2].sameAs(CalcValue::boolean(true)));  // const left out
  EXPECT_TRUE(host.arguments[3].sameAs(CalcValue::boolean(false))); // stats left out

  host.arguments.clear();
  check({{"=LINEST(A1:A4,,FALSE,TRUE)", num(7)}, {"=LINEST(A1:A4,E1:E4,NA())", err(ErrNA)}});
  ASSERT_EQ(host.arguments.size(), 4u);
  EXPECT_TRUE(host.arguments[2].sameAs(CalcValue::boolean(false)));
  EXPECT_TRUE(host.arguments[3].sameAs(CalcValue::boolean(true)));
}

namespace {

// A one-variable data table over RANK: K1 takes 0 and then 1 from M2:M3, which moves K2 inside the
// ranked range K2:K4, and N2:N3 show RANK(K3, K2:K4) for each.
const char* const kRankTableInputs = R"(
Sheet1!K1: 1
Sheet1!K2: =K1*10
Sheet1!K3: 5
Sheet1!K4: 15
Sheet1!M2: 0
Sheet1!M3: 1
Sheet1!N1: =RANK(K3,K2:K4)
[tables]
Sheet1!N2:N3: column=K1
)";

class RankTableTest : public FormulaTest {
protected:
  RankTableTest() : FormulaTest(kRankTableInputs) {}
};

} // namespace

TEST_F(RankTableTest, EachDataTableInputRanksItsOwnNumbers) {
  // With K1 = 0, K2 is 0 and 5 is second; with K1 = 1, K2 is 10 and 5 is third. The ranking of the
  // calculation before the table (K1 = 1) must not answer for K1 = 0.
  ASSERT_TRUE(load("=0"));
  workbook().prepareAfterLoad();
  workbook().recalculate(workbook().calculatedCells().cells(), true);
  auto rank = [&](std::u16string_view a1) {
    Cell* cell = workbook().findCell(parseCell(a1, 0));
    return cell ? workbook().cellValue(*cell).numberValue() : -1.0;
  };
  EXPECT_EQ(rank(u"N1"), 3);
  EXPECT_EQ(rank(u"N2"), 2);
  EXPECT_EQ(rank(u"N3"), 3);
}
