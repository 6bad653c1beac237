// Date and time functions: tables of formulas in the 1900 system and in the 1904 system, dates typed
// as text wherever a number is taken, and NOW held at the recalculation's time while TODAY is not.
// The clock is pinned to 15 June 2024, noon.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formula_test_support.h"
#include "values/date_serial.h"

using namespace cwbk;
using namespace cwbk::formula_testing;

namespace {

// A1 a date text, A2 a date serial, A3 TRUE, A4 missing, A5 an error, A6 a text that is no date,
// B1:B2 numbers (a reference to several cells).
const char* const kInputs = R"(
Sheet1!A1: "1/2/2024"
Sheet1!A2: 45293
Sheet1!A3: TRUE
Sheet1!A5: #N/A
Sheet1!A6: "abc"
Sheet1!B1: 1
Sheet1!B2: 2
)";

constexpr double kPinnedNow = 45458.5; // 2024-06-15 12:00 in the 1900 system

double pinnedClock(bool date1904) {
  return date1904 ? kPinnedNow - 1462 : kPinnedNow;
}

class DateTimeFunctionsTest : public FormulaTest {
protected:
  DateTimeFunctionsTest() : FormulaTest(kInputs) {}
  void SetUp() override {
    FormulaTest::SetUp();
    setDateTimeClock(pinnedClock);
  }
  void TearDown() override {
    setDateTimeClock(nullptr);
    FormulaTest::TearDown();
  }
  // Checks ordinary formulas with the workbook in the 1904 system.
  void check1904(const std::vector<FormulaCase>& cases) {
    for (const FormulaCase& c : cases) {
      if (!load(c.formula)) continue;
      workbook().state().date1904 = true;
      const CalcValue* got = workbook().formulaTemplate(formulaCell()->templateIndex())->evaluate();
      ASSERT_NE(got, nullptr) << c.formula;
      EXPECT_TRUE(matches(*got, c.expected, c.exact))
          << c.formula << "\n  expected " << describe(c.expected) << "\n  got      " << describe(*got);
    }
  }
};

TEST_F(DateTimeFunctionsTest, Date) {
  check({
      {"=DATE(1900,1,1)", num(1)},
      {"=DATE(1900,2,29)", num(60)}, // the 1900 system's own 29 February
      {"=DATE(1900,3,1)", num(61)},
      {"=DATE(2000,3,1)", num(36586)},
      {"=DATE(2026,12,9)", num(46365)},
      {"=DATE(2100,3,1)", num(73110)}, // 2100 is no leap year
      {"=DATE(9999,12,31)", num(2958465)},
      {"=DATE(99,1,1)", num(36161)},
      {"=DATE(2000,24,1)", num(37226)},
      {"=DATE(2000,0,1)", num(36495)},
      {"=DATE(2000,-1,1)", num(36465)},
      {"=DATE(2000,1,0)", num(36525)},
      {"=DATE(2000,1,40000)", num(36526 + 39999)},
      {"=DATE(2000.9,1.9,1.9)", num(36526)},
      {"=DATE(\"2000\",\"1\",TRUE)", num(36526)},
      {"=DATE(0,0,1)", err(ErrNum)},
      {"=DATE(-1,1,1)", err(ErrNum)},
      {"=DATE(10000,1,1)", err(ErrNum)},
      {"=DATE(9999,13,-1)", err(ErrNum)}, // the months carry the year past 9999
      {"=DATE(1E+300,1,1)", err(ErrNum)},
      {"=DATE(2000,-1E+300,1)", err(ErrNum)},
      {"=DATE(2000,1,1E+300)", err(ErrNum)},
      {"=DATE(\"x\",1,1)", err(ErrValue)},
      {"=DATE(A6,1,A5)", err(ErrNA)}, // errors first
      {"=DATE(B1:B2,1,1)", err(ErrValue)},
      // Element by element: an empty cell of an area counts as 0, a row past a shorter area is "#N/A".
      {"{=DATE(2000,B1:B3,B1:B2)}", array({{num(36526)}, {num(36558)}, {err(ErrNA)}})},
      {"{=DATE(2000,B1:B3,1)}", array({{num(36526)}, {num(36557)}, {num(36495)}})},
      {"{=DATE({2000;2001},B1:B3,1)}", array({{num(36526)}, {num(36923)}, {err(ErrNA)}})},
  });
}

TEST_F(DateTimeFunctionsTest, DateValueAndTimeValue) {
  check({
      {"=DATEVALUE(\"1/2/2024\")", num(45293)},
      {"=DATEVALUE(A1)", num(45293)},
      {"=DATEVALUE(\"1/2/2024 18:00\")", num(45293)},
      {"=DATEVALUE(\"January 5, 2000\")", num(36530)},
      {"=DATEVALUE(\"2/29/1900\")", num(60)},
      {"=DATEVALUE(\"1/2\")", num(45293)}, // the current year
      {"=DATEVALUE(\"abc\")", err(ErrValue)},
      {"=DATEVALUE(45293)", err(ErrValue)},
      {"=DATEVALUE(A2)", err(ErrValue)},
      {"=DATEVALUE(A4)", err(ErrValue)},
      {"=DATEVALUE(A5)", err(ErrNA)},
      {"=TIMEVALUE(\"12:00\")", num(0.5)},
      {"=TIMEVALUE(\"12:30 PM\")", num(12.5 / 24)},
      {"=TIMEVALUE(\"12:30 AM\")", num(0.5 / 24)},
      {"=TIMEVALUE(\"1/2/2024 18:00\")", num(0.75)},
      {"=TIMEVALUE(\"25:00\")", num(1.0 / 24)},
      {"=TIMEVALUE(\"1/2/2024\")", num(0)},
      {"=TIMEVALUE(\"10000:00\")", err(ErrValue)},
      {"=TIMEVALUE(0.5)", err(ErrValue)},
      {"=TIMEVALUE(\"abc\")", err(ErrValue)},
  });
}

TEST_F(DateTimeFunctionsTest, DayMonthYear) {
  check({
      {"=DAY(1)", num(1)},
      {"=MONTH(1)", num(1)},
      {"=YEAR(1)", num(1900)},
      {"=DAY(0)", num(0)},
      {"=MONTH(0)", num(1)},
      {"=YEAR(0)", num(1900)},
      {"=DAY(DATE(1900,2,15))", num(15)},
      {"=DAY(59)", num(28)},
      {"=DAY(60)", num(29)},
      {"=MONTH(60)", num(2)},
      {"=DAY(61)", num(1)},
      {"=MONTH(61)", num(3)},
      {"=DAY(73110)", num(1)},
      {"=MONTH(73110)", num(3)},
      {"=YEAR(73110)", num(2100)},
      {"=YEAR(2958465.9)", num(9999)},
      {"=DAY(0.99999999)", num(1)}, // the time rounds to the next day
      {"=DAY(A1)", num(2)},
      {"=MONTH(\"1/2/2024\")", num(1)},
      {"=YEAR(A3)", num(1900)},
      {"=DAY(\"45293\")", num(2)},
      {"=DAY(2958466)", err(ErrNum)},
      {"=DAY(-1)", err(ErrNum)},
      {"=MONTH(-0.5)", err(ErrNum)},
      {"=YEAR(A6)", err(ErrValue)},
      {"=DAY(B1:B2)", err(ErrValue)},
      {"=MONTH(A5)", err(ErrNA)},
  });
}

TEST_F(DateTimeFunctionsTest, Weekday) {
  check({
      {"=WEEKDAY(1)", num(1)}, // Sunday
      {"=WEEKDAY(1,2)", num(7)},
      {"=WEEKDAY(1,3)", num(6)},
      {"=WEEKDAY(0)", num(7)},
      {"=WEEKDAY(61)", num(5)},    // 1 March 1900, a Thursday
      {"=WEEKDAY(45293)", num(3)}, // 2 January 2024, a Tuesday
      {"=WEEKDAY(45293.9,2)", num(2)},
      {"=WEEKDAY(45293,3)", num(1)},
      {"=WEEKDAY(45293,11)", num(2)},
      {"=WEEKDAY(45293,12)", num(1)},
      {"=WEEKDAY(45293,16)", num(4)},
      {"=WEEKDAY(45293,17)", num(3)},
      {"=WEEKDAY(A1)", num(3)},
      {"=WEEKDAY(1,4)", err(ErrNum)},
      {"=WEEKDAY(1,0)", err(ErrNum)},
      {"=WEEKDAY(1,18)", err(ErrNum)},
      {"=WEEKDAY(-1)", err(ErrNum)},
      {"=WEEKDAY(A6)", err(ErrValue)},
      {"=WEEKDAY(1,\"x\")", err(ErrValue)},
  });
}

TEST_F(DateTimeFunctionsTest, EdateAndEomonth) {
  check({
      {"=EDATE(DATE(2000,1,31),1)", num(36585)},
      {"=EDATE(DATE(2000,12,15),12)", num(37240)},
      {"=EDATE(DATE(2000,3,31),-1)", num(36585)},
      {"=EDATE(DATE(2000,1,15),-13)", num(36144)},
      {"=EDATE(DATE(2000,1,31)+0.75,1.9)", num(36585)},
      {"=EDATE(A1,1)", num(45324)},
      {"=EDATE(60,12)", num(425)}, // 29 February 1900 plus a year: 28 February 1901
      {"=EDATE(TRUE,1)", err(ErrValue)},
      {"=EDATE(1,TRUE)", err(ErrValue)},
      {"=EDATE(A6,1)", err(ErrValue)},
      {"=EDATE(-1,1)", err(ErrNum)},
      {"=EDATE(1,-1)", err(ErrNum)},
      {"=EDATE(1,1E+300)", err(ErrNum)},
      {"=EDATE(DATE(9999,12,1),1)", err(ErrNum)},
      {"=EDATE(A5,1)", err(ErrNA)},
      {"=EOMONTH(DATE(2000,1,31),1)", num(36585)},
      {"=EOMONTH(DATE(2000,1,15),0)", num(36556)},
      {"=EOMONTH(DATE(2000,1,15),-1)", num(36525)},
      {"=EOMONTH(A2,0)", num(45322)},
      {"=EOMONTH(0,0)", num(31)},
      {"=EOMONTH(B1:B2,0)", err(ErrValue)},
      {"=EOMONTH(A3,0)", err(ErrValue)},
      {"=EOMONTH(1,A5)", err(ErrNA)},
      {"=EOMONTH(DATE(9999,12,1),0)", num(2958465)},
      {"=EOMONTH(DATE(9999,12,1),1)", err(ErrNum)},
  });
}

TEST_F(DateTimeFunctionsTest, Datedif) {
  check({
      {"=DATEDIF(DATE(2000,1,1),DATE(2000,3,1),\"M\")", num(2)},
      {"=DATEDIF(DATE(2000,1,1),DATE(2000,3,1),\"D\")", num(60)},
      {"=DATEDIF(DATE(2000,1,1),DATE(2000,3,1),\"d\")", num(60)},
      {"=DATEDIF(DATE(2000,1,31),DATE(2000,2,29),\"M\")", num(0)},
      {"=DATEDIF(DATE(2000,2,29),DATE(2004,2,28),\"Y\")", num(3)},
      {"=DATEDIF(DATE(2000,2,29),DATE(2004,2,29),\"Y\")", num(4)},
      {"=DATEDIF(DATE(2000,1,31),DATE(2001,3,1),\"YM\")", num(1)},
      {"=DATEDIF(DATE(2001,1,15),DATE(2001,3,10),\"MD\")", num(23)},
      {"=DATEDIF(DATE(2000,12,30),DATE(2001,1,2),\"YD\")", num(3)},
      {"=DATEDIF(DATE(2000,1,15),DATE(2001,3,20),\"yd\")", num(64)},
      {"=DATEDIF(A1,\"1/2/2025\",\"Y\")", num(1)},
      {"=DATEDIF(1,2,\"X\")", err(ErrNum)},
      {"=DATEDIF(2,1,\"D\")", err(ErrNum)},
      {"=DATEDIF(A6,2,\"D\")", err(ErrValue)},
      {"=DATEDIF(1,A5,\"D\")", err(ErrNA)},
  });
}

TEST_F(DateTimeFunctionsTest, DateTextsWhereNumbersAreTaken) {
  check({
      {"=\"1/2/2024\"+0", num(45293)},
      {"=A1+1", num(45294)},
      {"=\"12:30\"*24", num(12.5)},
      {"=\"2024-01-10\"-DATE(2024,1,1)", num(9)},
      {"=\" 2024-01-10 \"+0", err(ErrValue)},
      {"=\"abc\"+0", err(ErrValue)},
      {"=VALUE(\"1/2/2024\")", num(45293)},
      {"=VALUE(\"12:30 PM\")", num(12.5 / 24)},
      {"=VALUE(\"January 5, 2000\")", num(36530)},
      {"=VALUE(\"-5\")", num(-5)},
      {"=VALUE(\"2000\")", num(2000)},
      {"=VALUE(\"abc\")", err(ErrValue)},
      {"=SUM(\"1/2/2024\",1)", num(45294)},
  });
}

TEST_F(DateTimeFunctionsTest, The1904System) {
  check1904({
      {"=DATE(1904,1,1)", num(0)},
      {"=DATE(2000,3,1)", num(36586 - 1462)},
      {"=DATE(1903,12,31)", err(ErrNum)},
      {"=WEEKDAY(0)", num(6)}, // 1 January 1904, a Friday
      {"=WEEKDAY(0,2)", num(5)},
      {"=DAY(0)", num(1)},
      {"=MONTH(0)", num(1)},
      {"=YEAR(0)", num(1904)},
      {"=YEAR(2957003)", num(9999)},
      {"=DAY(2957004)", err(ErrNum)},
      {"=DATEVALUE(\"1/1/1904\")", num(0)},
      {"=DATEVALUE(\"1/2/2024\")", num(45293 - 1462)},
      {"=\"1/2/2024\"+0", num(45293 - 1462)},
      {"=EOMONTH(0,0)", num(30)},
      {"=EDATE(0,-1)", err(ErrNum)},
      {"=TODAY()", num(45458 - 1462)},
  });
}

// Advances one day at every reading.
double advancingClock(bool) {
  static double now = 45000.25;
  return now += 1;
}

TEST_F(DateTimeFunctionsTest, NowIsHeldForTheRecalculationAndTodayIsNot) {
  check({
      {"=NOW()", num(kPinnedNow)},
      {"=TODAY()", num(45458)},
  });
  setDateTimeClock(advancingClock);
  check({
      {"{=NOW()-NOW()}", num(0)},
      {"{=NOW()-INT(NOW())}", num(0.25)},
  });
  CalcValue got = evaluateArray("{=TODAY()-TODAY()}", 1, 1);
  EXPECT_NE(got.element(0, 0)->numberValue(), 0);
}

} // namespace
