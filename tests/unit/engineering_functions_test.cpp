// Engineering functions: HEX2DEC and DEC2HEX over formulas with the values they must give, with the
// ten-digit two's complement of negative numbers and the round trip between the two.
#include <gtest/gtest.h>

#include <string>

#include "formula/function_table.h"
#include "formula_test_support.h"
#include "function_test_support.h"

using namespace cwbk;
using namespace cwbk::formula_testing;

namespace {

// A1 a hexadecimal text, A2 a number written with decimal digits, A3 an error, A4 TRUE, A5 empty.
const char* const kInputs = R"(
Sheet1!A1: "1F"
Sheet1!A2: 8000000000
Sheet1!A3: #N/A
Sheet1!A4: TRUE
Sheet1!B1: 4
)";

class EngineeringFunctionsTest : public FormulaTest {
protected:
  EngineeringFunctionsTest() : FormulaTest(kInputs) {}
};

} // namespace

TEST_F(EngineeringFunctionsTest, Hex2Dec) {
  check({
      {"=HEX2DEC(\"FF\")", num(255), true},
      {"=HEX2DEC(\"ff\")", num(255), true},
      {"=HEX2DEC(\"\")", num(0), true},
      {"=HEX2DEC(A1)", num(31), true},
      {"=HEX2DEC(A5)", num(0), true},
      {"=HEX2DEC(\"7FFFFFFFFF\")", num(549755813887), true},
      {"=HEX2DEC(\"FFFFFFFFF\")", num(68719476735), true},
      // ten digits from 8 on are negative in two's complement
      {"=HEX2DEC(\"FFFFFFFFFF\")", num(-1), true},
      {"=HEX2DEC(\"FFFFFFFFFE\")", num(-2), true},
      {"=HEX2DEC(\"8000000000\")", num(-549755813888), true},
      // a number stands for its decimal digits, also above 2^31
      {"=HEX2DEC(10)", num(16), true},
      {"=HEX2DEC(123)", num(291), true},
      {"=HEX2DEC(1234567890)", num(78187493520), true},
      {"=HEX2DEC(A2)", num(-549755813888), true},
      {"=HEX2DEC(9999999999)", num(-439804651111), true},
      {"=HEX2DEC(12345678901)", err(ErrNum)},
      {"=HEX2DEC(1.5)", err(ErrNum)},
      {"=HEX2DEC(-1)", err(ErrNum)},
      {"=HEX2DEC(\"G1\")", err(ErrNum)},
      {"=HEX2DEC(\"-1\")", err(ErrNum)},
      {"=HEX2DEC(\"FFFFFFFFFFF\")", err(ErrNum)},
      {"=HEX2DEC(TRUE)", err(ErrValue)},
      {"=HEX2DEC(A4)", err(ErrValue)},
      {"=HEX2DEC(A1:A2)", err(ErrValue)},
      {"=HEX2DEC(A3)", err(ErrNA)},
      {"=HEX2DEC(#DIV/0!)", err(ErrDiv0)},
  });
}

TEST_F(EngineeringFunctionsTest, Dec2Hex) {
  check({
      {"=DEC2HEX(255)", txt(u"FF")},
      {"=DEC2HEX(255,4)", txt(u"00FF")},
      {"=DEC2HEX(255,B1)", txt(u"00FF")},
      {"=DEC2HEX(255,4.9)", txt(u"00FF")},
      {"=DEC2HEX(255,10)", txt(u"00000000FF")},
      {"=DEC2HEX(255,1)", err(ErrNum)},
      {"=DEC2HEX(255,11)", err(ErrNum)},
      {"=DEC2HEX(255,-1)", err(ErrNum)},
      {"=DEC2HEX(0,0)", err(ErrNum)},
      {"=DEC2HEX(255,TRUE)", err(ErrValue)},
      {"=DEC2HEX(0)", txt(u"0")},
      {"=DEC2HEX(3.9)", txt(u"3")},
      {"=DEC2HEX(-512.8)", txt(u"FFFFFFFE00")},
      {"=DEC2HEX(\"12\")", txt(u"C")}, // a number text counts as its number
      {"=DEC2HEX(-1)", txt(u"FFFFFFFFFF")},
      {"=DEC2HEX(-1,1)", txt(u"FFFFFFFFFF")}, // places do not shorten a negative number
      {"=DEC2HEX(-1,0)", err(ErrNum)},        // but must lie within 1 to 10
      {"=DEC2HEX(-25,11)", err(ErrNum)},
      {"=DEC2HEX(\"E\",0)", err(ErrNum)}, // the places are judged first
      {"=DEC2HEX(-99999999999)", txt(u"E8B7891801")},
      {"=DEC2HEX(99999999999)", txt(u"174876E7FF")},
      {"=DEC2HEX(100000000000)", txt(u"174876E800")},
      {"=DEC2HEX(549755813887)", txt(u"7FFFFFFFFF")},
      {"=DEC2HEX(-549755813888)", txt(u"8000000000")},
      {"=DEC2HEX(549755813888)", err(ErrNum)},
      {"=DEC2HEX(-549755813889)", err(ErrNum)},
      {"=DEC2HEX(\"x\")", err(ErrValue)},
      {"=DEC2HEX(\"\")", err(ErrValue)},
      {"=DEC2HEX(TRUE)", err(ErrValue)},
      {"=DEC2HEX(A3)", err(ErrNA)},
      {"=DEC2HEX(A1:A2)", err(ErrValue)},
  });
}

TEST_F(EngineeringFunctionsTest, RoundTrips) {
  check({
      {"=HEX2DEC(DEC2HEX(-12345))", num(-12345), true},
      {"=HEX2DEC(DEC2HEX(-549755813888))", num(-549755813888), true},
      {"=HEX2DEC(DEC2HEX(549755813887))", num(549755813887), true},
      {"=HEX2DEC(DEC2HEX(2147483648))", num(2147483648), true},
      {"=DEC2HEX(HEX2DEC(\"8000000000\"))", txt(u"8000000000")},
      {"=DEC2HEX(HEX2DEC(\"00ff\"),4)", txt(u"00FF")},
  });
}
