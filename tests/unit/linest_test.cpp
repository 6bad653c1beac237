// LINEST through the stand-in host: coefficients and the statistics block for one and several
// variables, with and without the intercept, dropped collinear variables, exact fits, and the errors of
// bad shapes and values. Expected values are the exact least-squares solutions, rounded once.
#include <gtest/gtest.h>

#include "compiler/stand_in_host.h"
#include "formula_test_support.h"

using namespace cwbk;
using namespace cwbk::formula_testing;

namespace {

// A1:A5 y; B1:B5 x1, C1:C5 x2 (one variable per column); D1:D5 constant; E1:E5 twice x1. The same y,
// x1 and x2 laid out in rows J1:N3. G and H hold a text and an error among numbers; P1:Q3 fit exactly.
const char* const kInputs = R"(
Sheet1!A1: 0.2
Sheet1!A2: 0.41
Sheet1!A3: 0.62
Sheet1!A4: 0.8
Sheet1!A5: 1.1
Sheet1!B1: 1.1
Sheet1!B2: 1.9
Sheet1!B3: 3.1
Sheet1!B4: 4.05
Sheet1!B5: 5
Sheet1!C1: 3
Sheet1!C2: -1
Sheet1!C3: 4
Sheet1!C4: 1
Sheet1!C5: 5
Sheet1!D1: 2
Sheet1!D2: 2
Sheet1!D3: 2
Sheet1!D4: 2
Sheet1!D5: 2
Sheet1!E1: 2.2
Sheet1!E2: 3.8
Sheet1!E3: 6.2
Sheet1!E4: 8.1
Sheet1!E5: 10
Sheet1!G1: 1
Sheet1!G2: 2
Sheet1!G3: "x"
Sheet1!G4: 4
Sheet1!G5: 5
Sheet1!H1: 1
Sheet1!H2: 2
Sheet1!H3: #N/A
Sheet1!H4: 4
Sheet1!H5: 5
Sheet1!J1: 0.2
Sheet1!K1: 0.41
Sheet1!L1: 0.62
Sheet1!M1: 0.8
Sheet1!N1: 1.1
Sheet1!J2: 1.1
Sheet1!K2: 1.9
Sheet1!L2: 3.1
Sheet1!M2: 4.05
Sheet1!N2: 5
Sheet1!J3: 3
Sheet1!K3: -1
Sheet1!L3: 4
Sheet1!M3: 1
Sheet1!N3: 5
Sheet1!P1: 1
Sheet1!P2: 2
Sheet1!P3: 3
Sheet1!Q1: 2
Sheet1!Q2: 3
Sheet1!Q3: 4
)";

class LinestTest : public FormulaTest {
protected:
  LinestTest() : FormulaTest(kInputs) {}
  void SetUp() override {
    FormulaTest::SetUp();
    compiler::useStandInHost();
  }
};

const CalcValue na = err(ErrNA);

TEST_F(LinestTest, OneVariable) {
  check({
      {"{=LINEST(A1:A5,B1:B5)}", array({{num(0.2192888799355359), num(-0.03844530620467371)}})},
      {"{=LINEST(J1:N1,J2:N2)}", array({{num(0.2192888799355359), num(-0.03844530620467371)}})},
      {"{=LINEST(A1:A5)}", array({{num(0.21900000000000003), num(-0.031000000000000045)}})}, // x 1..5
      {"{=LINEST(A1:A5,B1:B5,FALSE)}", array({{num(0.20885684860968076), num(0)}})},
      {"{=LINEST(A1:A5,B1:B5,TRUE,TRUE)}", array({{num(0.2192888799355359), num(-0.03844530620467371)},
                                                  {num(0.013841437712295459), num(0.04625298202423788)},
                                                  {num(0.9881888982191901), num(0.043612610914523654)},
                                                  {num(250.99831918087875), num(3)},
                                                  {num(0.47741382050765524), num(0.005706179492344883)}})},
      // Without the intercept its standard error is not available, and r2 and F measure the fit
      // against zero rather than against the mean.
      {"{=LINEST(A1:A5,B1:B5,FALSE,TRUE)}", array({{num(0.20885684860968076), num(0)},
                                                   {num(0.005606656416207745), na},
                                                   {num(0.9971257775383775), num(0.04189358054199019)},
                                                   {num(1387.6807252776264), num(4)},
                                                   {num(2.4354797116374876), num(0.007020288362512877)}})},
      {"=INDEX(LINEST(A1:A5,B1:B5,TRUE,TRUE),3,1)", num(0.9881888982191901)},
      {"=INDEX(LINEST(A1:A5,B1:B5),1,2)", num(-0.03844530620467371)},
  });
}

// Several variables come out in reverse order: the last x column's coefficient first, the intercept last.
TEST_F(LinestTest, SeveralVariables) {
  const CalcValue twoWithStats = array({
      {num(0.0018364907191188492), num(0.21808835366971382), num(-0.03921528934511813)},
      {num(0.012198908148685189), num(0.01864807767609932), num(0.05656155884649886)},
      {num(0.9883212416021055), num(0.05311422482344438), na},
      {num(84.62554048384843), num(2), na},
      {num(0.4774777582428093), num(0.00564224175719079), na},
  });
  check({
      {"{=LINEST(A1:A5,B1:C5,,TRUE)}", twoWithStats},
      {"{=LINEST(J1:N1,J2:N3,TRUE,TRUE)}", twoWithStats},
      {"{=LINEST(A1:A5,B1:C5,FALSE)}",
       array({{num(0.0010716921195594825), num(0.20803435262037123), num(0)}})},
      {"=INDEX(LINEST(A1:A5,B1:C5,TRUE,TRUE),2,3)", num(0.05656155884649886)},
      {"=INDEX(LINEST(A1:A5,B1:C5,TRUE,TRUE),5,3)", na},
  });
}

// A constant variable (with the intercept) and one that repeats an earlier one are dropped: coefficient
// and standard error 0, and each gives the residuals a degree of freedom back.
TEST_F(LinestTest, CollinearVariablesAreDropped) {
  check({
      {"{=LINEST(A1:A5,D1:E5)}", array({{num(0.2192888799355359 / 2), num(0), num(-0.03844530620467371)}})},
      {"{=LINEST(A1:A5,B1:E5,TRUE,TRUE)}",
       array({
           {num(0), num(0), num(0.0018364907191188492), num(0.21808835366971382), num(-0.03921528934511813)},
           {num(0), num(0), num(0.012198908148685189), num(0.01864807767609932), num(0.05656155884649886)},
           {num(0.9883212416021055), num(0.05311422482344438), na, na, na},
           {num(84.62554048384843), num(2), na, na, na},
           {num(0.4774777582428093), num(0.00564224175719079), na, na, na},
       })},
      // Nothing left to fit: the mean, reported as an exact fit without degrees of freedom.
      {"{=LINEST(P1:P3,D1:D3,TRUE,TRUE)}",
       array(
           {{num(0), num(2)}, {num(0), num(0)}, {num(1), num(0)}, {err(ErrNum), num(0)}, {num(2), num(0)}})},
  });
}

TEST_F(LinestTest, ExactFitHasNoFStatistic) {
  check({{"{=LINEST(P1:P3,Q1:Q3,TRUE,TRUE)}", array({{num(1), num(-1)},
                                                     {num(0), num(0)},
                                                     {num(1), num(0)},
                                                     {err(ErrNum), num(1)},
                                                     {num(2), num(0)}})}});
}

TEST_F(LinestTest, ShapesAndValuesThatDoNotFit) {
  check({
      {"=LINEST(A1:A5,B1:B4)", err(ErrRef)},                                // lengths differ
      {"=LINEST(A1:A5,J2:N2)", err(ErrRef)},                                // a column against a row
      {"=LINEST(A1:B5,J1:N3)", err(ErrRef)},                                // a block against another shape
      {"=LINEST(A1:A6,B1:B6)", err(ErrValue)},                              // empty cells
      {"=LINEST(A1:A5,G1:G5)", err(ErrValue)},                              // a text among the numbers
      {"=LINEST(A1:A5,H1:H5)", err(ErrNA)},                                 // an error among the numbers
      {"=LINEST(A1:A5,B1:B5,\"x\")", err(ErrValue)},                        // const is no Boolean
      {"{=LINEST(A1:A5,B1:B4*1)}", err(ErrRef)},                            // arrays pair up like ranges
      {"=INDEX(LINEST(A1:A5,B1:B5^{1,2}),1,1)", num(0.011854369396852044)}, // x and x squared
      {"=LINEST(A1:A5000,B1:AAA5000)", err(ErrNum)}, // 702 variables: too large to fit in moments
  });
}

} // namespace
