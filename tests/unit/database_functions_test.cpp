// Database functions: DSUM, DMIN and DGET over a small table with plain and computed criteria, and
// what a computed criterion leaves behind: nothing (the cells it borrowed, the criteria cell and the
// lookup caches are as they were, also when its formula fails).
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "formula/function_table.h"
#include "formula/host_services.h"
#include "formula/reference.h"
#include "formula_test_support.h"
#include "function_test_support.h"
#include "recalculation_support.h"

using namespace cwbk;
using namespace cwbk::formula_testing;
using cwbk::testing::addressKey;
using cwbk::testing::MirrorHost;

namespace {

// The table A1:C6 (A1:C4 without the last two records), and criteria tables from column E on, each a
// header row over one or two criteria rows.
const char* const kInputs = R"(
Sheet1!A1: "Name"
Sheet1!B1: "Age"
Sheet1!C1: "Pay"
Sheet1!A2: "Ann"
Sheet1!B2: 25
Sheet1!C2: 1000
Sheet1!A3: "Bob"
Sheet1!B3: 35
Sheet1!C3: 2000
Sheet1!A4: "Carl"
Sheet1!B4: 45
Sheet1!C4: 3000
Sheet1!A5: "Bobby"
Sheet1!B5: 30
Sheet1!C5: "3"
Sheet1!A6: "Dee"
Sheet1!B6: 50
Sheet1!C6: #N/A
Sheet1!E1: "Age"
Sheet1!E2: ">30"
Sheet1!F1: "Name"
Sheet1!F2: "Bob"
Sheet1!G1: "name"
Sheet1!G2: "=Bob"
Sheet1!H1: "Name"
Sheet1!I1: "Age"
Sheet1!H2: "Ann"
Sheet1!I3: ">40"
Sheet1!J1: "Name"
Sheet1!K1: "Older"
Sheet1!K2: =B2>30
Sheet1!L1: "Anything"
Sheet1!L2: 1
Sheet1!M1: "Constant"
Sheet1!M2: =1+1
Sheet1!N1: "Age"
Sheet1!N2: ">100"
Sheet1!O1: "Name"
Sheet1!O2: "Dee"
Sheet1!P1: "Next"
Sheet1!P2: =B3>B2
Sheet1!Q1: "Check"
Sheet1!Q2: =A2<>VLOOKUP("Ann",A2:A4,1,FALSE)
Sheet1!R1: "Fails"
Sheet1!R2: =AND(B2>30,NORMDIST(1,0,1,TRUE)>0)
)";

class DatabaseFunctionsTest : public FormulaTest {
protected:
  DatabaseFunctionsTest() : FormulaTest(kInputs) {}
};

// A host whose every service fails, as a host that lost its connection does.
class FailingService : public HostEvaluationService {
public:
  void callWorksheetFunction(int, const CalcValue* const*, int, CalcValue&) override { fail(); }
  void evaluateText(std::u16string_view, CalcValue&) override { fail(); }
  void callMacro(std::u16string_view, const CalcValue* const*, CalcValue&) override { fail(); }
  void evaluateCall(Cell*, const CallNode&, const CalcValue* const*, CalcValue&) override { fail(); }

private:
  [[noreturn]] static void fail() { throw std::runtime_error("the host is gone"); }
};

} // namespace

TEST_F(DatabaseFunctionsTest, EveryFunctionOfTheFamilyIsImplemented) {
  for (const char16_t* name : {u"DGET", u"DMIN", u"DSUM"})
    EXPECT_NE(functionTable().lookupImpl(name), nullptr) << utf16ToUtf8(name);
}

TEST_F(DatabaseFunctionsTest, FieldsAndTables) {
  check({
      {"=DSUM(A1:C4,\"pay\",E1:E2)", num(5000)}, // field names match without regard to case
      {"=DSUM(A1:C4,3,E1:E2)", num(5000)},
      {"=DSUM(A1:C4,3.9,E1:E2)", num(5000)},
      {"=DSUM(A1:C4,C1,E1:E2)", num(5000)},
      {"=DSUM(A1:C4,0,E1:E2)", err(ErrValue)},
      {"=DSUM(A1:C4,FALSE,E1:E2)", err(ErrValue)},
      {"=DSUM(A1:C4,4,E1:E2)", err(ErrValue)}, // beyond the database's width
      {"=DSUM(A1:C4,\"Salary\",E1:E2)", err(ErrValue)},
      {"=DSUM(A1:C4,B1:C1,E1:E2)", err(ErrValue)},
      {"=DSUM(A1:C4,#N/A,E1:E2)", err(ErrNA)},
      {"=DSUM(A1:C1,3,E1:E2)", err(ErrValue)}, // a database of one row
      {"=DSUM(A1:C4,3,E1)", err(ErrValue)},
      {"=DSUM(A2:C4,\"Pay\",E1:E2)", err(ErrValue)}, // no header row
      {"=DSUM({1,2;3,4},1,E1:E2)", err(ErrValue)},
      // whole columns: the records end with the last row that holds one, and the empty criteria rows
      // under E2 are met by every record
      {"=DSUM(A:C,\"Pay\",E1:E2)", num(5000)},
      {"=DSUM(A:C,\"Pay\",E:E)", num(6000)},
  });
}

TEST_F(DatabaseFunctionsTest, PlainCriteria) {
  check({
      {"=DSUM(A1:C6,\"Age\",F1:F2)", num(65)},   // a bare text selects the texts that begin with it
      {"=DSUM(A1:C6,\"Age\",G1:G2)", num(35)},   // "=text" selects that text alone
      {"=DSUM(A1:C4,\"Pay\",H1:I3)", num(4000)}, // either row; within a row every condition
      {"=DSUM(A1:C4,\"Pay\",J1:J2)", num(6000)}, // a row without conditions selects every record
      {"=DSUM(A1:C4,\"Pay\",N1:N2)", num(0)},
      {"=DSUM(A1:C6,\"Pay\",E1:E2)", num(5000)}, // the text "3" and the error are passed over
  });
}

TEST_F(DatabaseFunctionsTest, ComputedCriteria) {
  check({
      {"=DSUM(A1:C4,\"Pay\",K1:K2)", num(5000)}, // =B2>30 for each record's row
      {"=DSUM(A1:C4,\"Pay\",P1:P2)", num(3000)}, // =B3>B2: the next row's age above the record's
      {"=DSUM(A1:C4,\"Pay\",L1:L2)", num(6000)}, // a true constant
      {"=DSUM(A1:C4,\"Pay\",M1:M2)", num(0)},    // a formula that reads nothing of the table
      {"=DSUM(A1:C4,\"Pay\",E1:F2)", num(2000)}, // E2 and F2 together
  });
}

TEST_F(DatabaseFunctionsTest, MinimumAndSingleRecord) {
  check({
      {"=DMIN(A1:C4,\"Age\",E1:E2)", num(35)},
      {"=DMIN(A1:C4,\"Age\",N1:N2)", num(0)}, // nothing selected
      {"=DMIN(A1:C6,\"Pay\",F1:F2)", num(3)}, // a number text counts as its number
      {"=DMIN(A1:C6,\"Pay\",O1:O2)", err(ErrNA)},
      {"=DMIN(A1:C6,\"Name\",F1:F2)", num(0)},
      {"=DGET(A1:C4,\"Pay\",G1:G2)", num(2000)},
      {"=DGET(A1:C4,\"Name\",K1:K2)", err(ErrNum)},  // two records
      {"=DGET(A1:C4,\"Pay\",N1:N2)", err(ErrValue)}, // none
      {"=DGET(A1:C6,\"Pay\",O1:O2)", err(ErrNA)},
  });
}

// After a computed criterion the table and the criteria cell hold what they held, and a lookup made
// over borrowed values does not answer a later lookup of the same formula.
TEST_F(DatabaseFunctionsTest, ComputedCriteriaLeaveNoTrace) {
  CalcValue v = evaluate("=DSUM(A1:C4,\"Pay\",Q1:Q2)+VLOOKUP(\"Ann\",A2:B4,2,FALSE)");
  EXPECT_TRUE(matches(v, num(25), false)) << describe(v);
  Cell* a2 = workbook().findCell(parseCell(u"A2", 0));
  ASSERT_NE(a2, nullptr);
  EXPECT_TRUE(a2->value() && a2->value()->sameAs(txt(u"Ann")));
  EXPECT_EQ(workbook().findCell(parseCell(u"Q2", 0))->value(), nullptr);

  v = evaluate("=DSUM(A1:C4,\"Pay\",K1:K2)");
  EXPECT_TRUE(matches(v, num(5000), false)) << describe(v);
  EXPECT_TRUE(workbook().findCell(parseCell(u"B2", 0))->value()->sameAs(num(25)));
  EXPECT_EQ(workbook().findCell(parseCell(u"K2", 0))->value(), nullptr);
  EXPECT_EQ(evaluationContext().currentCell, formulaCell());
}

TEST_F(DatabaseFunctionsTest, FailingComputedCriterionRestoresWhatItBorrowed) {
  FailingService service;
  evaluationContext().functionService = &service;
  CalcValue v = evaluate("=DSUM(A1:C4,\"Pay\",R1:R2)");
  evaluationContext().functionService = nullptr;
  EXPECT_TRUE(matches(v, num(6000), false)) << describe(v); // R2 keeps no value: the condition holds
  for (auto [cell, value] : {std::pair{u"B2", num(25)}, std::pair{u"B3", num(35)}, std::pair{u"B4", num(45)}})
    EXPECT_TRUE(workbook().findCell(parseCell(cell, 0))->value()->sameAs(value)) << utf16ToUtf8(cell);
  EXPECT_EQ(workbook().findCell(parseCell(u"R2", 0))->value(), nullptr);
  EXPECT_EQ(evaluationContext().currentCell, formulaCell());
}

// A recalculation reports the cells whose own values changed: the values a criteria cell took for each
// record never reach the host.
TEST_F(DatabaseFunctionsTest, ComputedCriteriaReportNothingToTheHost) {
  ASSERT_TRUE(load("=DSUM(A1:C4,\"Pay\",K1:K2)"));
  workbook().prepareAfterLoad();
  workbook().recalculate(workbook().calculatedCells().cells(), true);
  MirrorHost host;
  workbook().state().host = &host;
  Cell* b3 = workbook().findCell(parseCell(u"B3", 0));
  b3->setValue(num(20)); // Bob is no longer older than 30
  workbook().recalculate({b3}, false);
  workbook().state().host = nullptr;
  CellAddress k2 = parseCell(u"K2", 0), z100 = parseCell(u"Z100", 0);
  EXPECT_EQ(host.reportsOf(k2), 0);
  EXPECT_EQ(host.reportsOf(parseCell(u"B2", 0)), 0);
  EXPECT_EQ(host.reportsOf(z100), 1);
  EXPECT_TRUE(host.shown[addressKey(z100)].sameAs(num(3000)));
  ASSERT_NE(workbook().findCell(k2)->value(), nullptr); // its own value, not the last record's
  EXPECT_TRUE(workbook().findCell(k2)->value()->sameAs(boolean(false)));
}
