// Text functions: tables of formulas over a small sheet of inputs, each parsed, compiled and evaluated
// through the function table, with the value it must give; and the routines fed texts that no formula
// types (unpaired surrogates, NULs, the longest cell texts).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formula/function_table.h"
#include "formula/host_services.h"
#include "formula_test_support.h"
#include "function_test_support.h"
#include "functions/text.h"

using namespace cwbk;
using namespace cwbk::formula_testing;

namespace {

// A1 a text, A2 a number, A3 a Boolean, A4 missing (empty), A5 an error, A6 a text naming an error,
// B1:B3 texts (a reference to several cells).
const char* const kInputs = R"(
Sheet1!A1: "abc"
Sheet1!A2: 12.5
Sheet1!A3: TRUE
Sheet1!A5: #N/A
Sheet1!A6: "#DIV/0!"
Sheet1!B1: "x"
Sheet1!B2: "y"
Sheet1!B3: "z"
)";

class TextFunctionsTest : public FormulaTest {
protected:
  TextFunctionsTest() : FormulaTest(kInputs) {}
};

CalcValue empty() {
  return CalcValue();
}

// Calls a routine of the table directly with argument values no formula can type.
CalcValue call(std::u16string_view name, std::vector<CalcValue> values) {
  std::vector<const CalcValue*> args;
  for (const CalcValue& v : values)
    args.push_back(&v);
  args.push_back(nullptr);
  CalcValue result;
  const FunctionImpl* impl = functionTable().lookupImpl(name);
  EXPECT_NE(impl, nullptr) << utf16ToUtf8(name);
  if (impl) impl->invoke(evaluationContext(), args.data(), result);
  return result;
}

// A host that answers every worksheet function with a text and keeps what it was asked.
class FormattingHost : public function_testing::TextService {
public:
  int number = -1, maxArgs = -1;
  size_t argumentCount = 0;
  void callWorksheetFunction(int n, const CalcValue* const* arguments, int most, CalcValue& result) override {
    number = n;
    maxArgs = most;
    argumentCount = 0;
    for (const CalcValue* const* a = arguments; *a; ++a)
      ++argumentCount;
    result.setText(u"formatted");
  }
};

} // namespace

TEST_F(TextFunctionsTest, LengthAndCase) {
  check({
      {"=LEN(\"abc\")", num(3)},
      {"=LEN(\"\")", num(0)},
      {"=LEN(12.5)", num(4)},
      {"=LEN(TRUE)", num(4)},
      {"=LEN(A4)", num(0)},
      {"=LEN(A5)", err(ErrNA)},
      {"=LEN(A6)", err(ErrDiv0)}, // a text naming an error is that error
      {"=LEN(B1:B3)", err(ErrValue)},
      {"=UPPER(\"aBc1\")", txt(u"ABC1")},
      {"=LOWER(\"ÀBC\")", txt(u"àbc")},
      {"=LOWER(TRUE)", txt(u"true")},
      {"=UPPER(A4)", txt(u"")},
      {"=UPPER(A5)", err(ErrNA)},
      {"=LOWER(B1:B3)", err(ErrValue)},
      {"=PROPER(\"hello wORLD-x\")", txt(u"Hello World-X")},
      {"=PROPER(\"2nd don't\")", txt(u"2Nd Don'T")}, // digits and apostrophes end a word
      {"=PROPER(\"élan ÉTÉ\")", txt(u"Élan Été")},
      {"=PROPER(A4)", txt(u"")},
      {"=PROPER(A6)", err(ErrDiv0)},
  });
}

TEST_F(TextFunctionsTest, TrimAndClean) {
  check({
      {"=TRIM(\"  a   b  \")", txt(u"a b")},
      {"=TRIM(\"   \")", txt(u"")},
      {"=TRIM(CHAR(160)&\" a  \")", txt(u"\u00a0 a")}, // a non-breaking space is no space
      {"=TRIM(A4)", txt(u"")},
      {"=TRIM(A5)", err(ErrNA)},
      {"=CLEAN(CHAR(9)&\"a\"&CHAR(10)&\"b\"&CHAR(127))", txt(u"ab\x7f")},
      {"=CLEAN(A5)", err(ErrNA)},
  });
}

TEST_F(TextFunctionsTest, LeftAndRight) {
  check({
      {"=LEFT(\"abc\")", txt(u"a")},
      {"=RIGHT(\"abc\")", txt(u"c")},
      {"=LEFT(\"abc\",0)", txt(u"")},
      {"=LEFT(\"abc\",-1)", err(ErrValue)},
      {"=RIGHT(\"abc\",-1)", err(ErrValue)},
      {"=RIGHT(\"abc\",5)", txt(u"abc")},
      {"=LEFT(\"abc\",2.9)", txt(u"ab")},
      {"=LEFT(\"abc\",\"2\")", txt(u"ab")},
      {"=LEFT(\"abc\",\"x\")", err(ErrValue)},
      {"=LEFT(\"abc\",TRUE)", txt(u"a")},
      {"=LEFT(12.5,2)", txt(u"12")},
      {"=RIGHT(TRUE,2)", txt(u"UE")},
      {"=LEFT(A1,2)", txt(u"ab")},
      {"=LEFT(A4,2)", txt(u"")},
      {"=LEFT(A4,-1)", err(ErrValue)},
      {"=RIGHT(A4,-2)", err(ErrValue)},
      {"=LEFT(\"abc\",A4)", txt(u"")},
      {"=LEFT(A5,1)", err(ErrNA)},
      {"=RIGHT(\"abc\",A5)", err(ErrNA)},
      {"=LEFT(B1:B3,1)", err(ErrValue)},
      {"=RIGHT(\"abc\",1E+300)", txt(u"abc")},
  });
}

TEST_F(TextFunctionsTest, MidAndT) {
  check({
      {"=MID(\"abcdef\",3,2)", txt(u"cd")},
      {"=MID(\"abc\",5,1)", txt(u"")},
      {"=MID(\"abc\",3,1E+10)", txt(u"c")},
      {"=MID(\"abc\",0,1)", err(ErrValue)},
      {"=MID(\"abc\",1,-1)", err(ErrValue)},
      {"=MID(\"abc\",\"2x\",1)", err(ErrValue)},
      {"=MID(\"abc\",\" 2 \",\"1e0\")", txt(u"b")},
      {"=MID(\"abc\",2.7,1)", txt(u"b")},
      {"=MID(\"abc\",A4,1)", err(ErrValue)}, // an empty start before anything else
      {"=MID(A4,1,1)", txt(u"")},
      {"=MID(A4,0,1)", err(ErrValue)},
      {"=MID(\"abc\",1,A4)", txt(u"")},
      {"=MID(A5,0,1)", err(ErrNA)},
      {"=MID(\"abc\",A5,A6)", err(ErrNA)},
      {"=MID(B1:B3,1,1)", err(ErrValue)},
      {"=MID(12.5,2,2)", txt(u"2.")},
      {"=T(\"a\")", txt(u"a")},
      {"=T(A1)", txt(u"abc")},
      {"=T(A2)", txt(u"")},
      {"=T(A4)", txt(u"")},
      {"=T(A5)", err(ErrNA)},
      {"=T(1)", txt(u"")},
      {"=T(TRUE)", txt(u"")},
  });
}

TEST_F(TextFunctionsTest, Find) {
  check({
      {"=FIND(\"b\",\"abcb\",3)", num(4)},
      {"=FIND(\"B\",\"abc\")", err(ErrValue)},
      {"=FIND(\"a?\",\"xa?\")", num(2)}, // no wildcards
      {"=FIND(\"\",\"abc\")", num(1)},
      {"=FIND(\"\",\"abc\",4)", num(4)},
      {"=FIND(\"\",\"abc\",5)", err(ErrValue)},
      {"=FIND(\"\",\"abc\",0)", err(ErrValue)},
      {"=FIND(\"a\",\"abc\",0)", err(ErrValue)},
      {"=FIND(\"c\",\"abc\",4)", err(ErrValue)},
      {"=FIND(\"b\",\"abc\",\"2\")", num(2)},
      {"=FIND(\"b\",\"abc\",FALSE)", err(ErrValue)},
      {"=FIND(\"5\",12.5)", num(4)},
      {"=FIND(\"a\",A4)", err(ErrValue)},
      {"=FIND(A4,A4)", num(1)},
      {"=FIND(A5,\"a\")", err(ErrNA)},
      {"=FIND(\"a\",A6)", err(ErrDiv0)},
      {"=FIND(\"a\",\"abc\",A5)", err(ErrNA)},
      {"=FIND(B1:B3,\"x\")", err(ErrValue)},
  });
}

TEST_F(TextFunctionsTest, SearchWithWildcards) {
  check({
      {"=SEARCH(\"B\",\"abc\")", num(2)},
      {"=SEARCH(\"z\",\"abc\")", err(ErrValue)},
      {"=SEARCH(\"b\",\"abcb\",3)", num(4)},
      {"=SEARCH(\"é\",\"CAFÉ\")", num(4)},
      {"=SEARCH(\"a?c\",\"xxabc\")", num(3)},
      {"=SEARCH(\"b*d\",\"abcxd\")", num(2)},
      {"=SEARCH(\"*c\",\"abc\")", num(1)},
      {"=SEARCH(\"*\",\"abc\",2)", num(2)},
      {"=SEARCH(\"a*\",\"a\")", num(1)}, // a pattern longer than the text
      {"=SEARCH(\"a?\",\"a\")", err(ErrValue)},
      {"=SEARCH(\"x*y\",\"xaaxa\")", err(ErrValue)},
      {"=SEARCH(\"b*c*e\",\"abxcxbce\")", num(2)},
      {"=SEARCH(\"~*\",\"a*b\")", num(2)},
      {"=SEARCH(\"~?\",\"ab?\")", num(3)},
      {"=SEARCH(\"~A\",\"aA\")", num(2)}, // an escaped character keeps its case
      {"=SEARCH(\"a~\",\"xA\")", num(2)}, // a closing '~' matches nothing
      {"=SEARCH(\"~\",\"Hello\")", num(1)},
      {"=SEARCH(\"\",\"abc\")", num(1)},
      {"=SEARCH(\"\",\"abc\",4)", num(4)},
      {"=SEARCH(\"a\",\"abc\",0)", err(ErrValue)},
      {"=SEARCH(\"a\",\"abc\",4)", err(ErrValue)},
      {"=SEARCH(\"b\",\"abc\",\"2\")", num(2)},
      {"=SEARCH(\"b\",\"abc\",\"x\")", err(ErrValue)},
      {"=SEARCH(\"?\",A4)", err(ErrValue)},
      {"=SEARCH(A5,\"a\")", err(ErrNA)},
      {"=SEARCH(\"a\",\"abc\",A5)", err(ErrNA)},
  });
}

TEST_F(TextFunctionsTest, Exact) {
  check({
      {"=EXACT(1,1.0)", boolean(true)},
      {"=EXACT(\"a\",\"A\")", boolean(false)},
      {"=EXACT(\"abc\",A1)", boolean(true)},
      {"=EXACT(A4,\"\")", boolean(true)},
      {"=EXACT(TRUE,\"TRUE\")", boolean(true)},
      {"=EXACT(12.5,\"12.5\")", boolean(true)},
      {"=EXACT(A5,A6)", err(ErrNA)},
      {"=EXACT(\"x\",A6)", err(ErrDiv0)},
      {"=EXACT(B1:B3,\"x\")", err(ErrValue)},
  });
}

TEST_F(TextFunctionsTest, ConcatenateAndRept) {
  std::string manyArguments = "\"a\"";
  for (int i = 1; i < 255; ++i)
    manyArguments += ",\"a\"";
  check({
      {"=CONCATENATE(\"a\",1,TRUE)", txt(u"a1TRUE")},
      {"=CONCATENATE(A1,A4,A2,A3)", txt(u"abc12.5TRUE")},
      {"=CONCATENATE(\"a\",A5)", err(ErrNA)},
      {"=CONCATENATE(\"a\",A6)", err(ErrDiv0)},
      {"=CONCATENATE(\"a\",B1:B3)", err(ErrValue)},
      {"=CONCATENATE(REPT(\"a\",20000),REPT(\"b\",20000))", err(ErrValue)},
      {"=LEN(CONCATENATE(" + manyArguments + "))", num(255)}, // the most a call takes
      {"=REPT(\"ab\",3)", txt(u"ababab")},
      {"=REPT(1.5,2)", txt(u"1.51.5")},
      {"=REPT(\"a\",2.9)", txt(u"aa")},
      {"=REPT(\"a\",\"2\")", txt(u"aa")},
      {"=REPT(\"a\",0)", txt(u"")},
      {"=REPT(\"a\",-1)", err(ErrValue)},
      {"=REPT(\"a\",32768)", err(ErrValue)},
      {"=REPT(\"ab\",20000)", err(ErrValue)}, // the result would exceed a cell
      {"=LEN(REPT(\"a\",32767))", num(32767)},
      {"=REPT(\"a\",\"x\")", err(ErrValue)},
      {"=REPT(A5,\"x\")", err(ErrNA)}, // the error in the text comes before the count's shape
      {"=REPT(A5,2)", err(ErrNA)},
      {"=REPT(A4,2)", txt(u"")},
      {"=REPT(A4,-1)", err(ErrValue)},
      {"=REPT(\"a\",A4)", txt(u"")},
      {"=REPT(B1:B3,2)", err(ErrValue)},
  });
}

TEST_F(TextFunctionsTest, SubstituteAndReplace) {
  check({
      {"=SUBSTITUTE(\"abab\",\"ab\",\"xyz\",2)", txt(u"abxyz")},
      {"=SUBSTITUTE(\"abab\",\"ab\",\"x\")", txt(u"xx")},
      {"=SUBSTITUTE(\"aaa\",\"a\",\"\")", txt(u"")},
      {"=SUBSTITUTE(\"aaa\",\"aa\",\"b\")", txt(u"ba")},
      {"=SUBSTITUTE(\"aBc\",\"b\",\"x\")", txt(u"aBc")},
      {"=SUBSTITUTE(\"abc\",\"b\",\"x\",5)", txt(u"abc")},
      {"=SUBSTITUTE(\"abcb\",\"b\",\"x\",\"2\")", txt(u"abcx")},
      {"=SUBSTITUTE(\"abc\",\"b\",\"x\",0)", err(ErrValue)},
      {"=SUBSTITUTE(\"abc\",\"b\",\"x\",TRUE)", err(ErrValue)},
      {"=SUBSTITUTE(\"abc\",\"\",\"x\")", txt(u"abc")},
      {"=SUBSTITUTE(A4,\"a\",\"b\")", txt(u"")},
      {"=SUBSTITUTE(12.5,\".\",\",\")", txt(u"12,5")},
      {"=SUBSTITUTE(\"abc\",A5,\"x\")", err(ErrNA)},
      {"=SUBSTITUTE(REPT(\"a\",300),\"a\",REPT(\"b\",200))", err(ErrValue)},
      {"=REPLACE(\"abcdef\",2,3,\"X\")", txt(u"aXef")},
      {"=REPLACE(\"abc\",1,0,\"X\")", txt(u"Xabc")},
      {"=REPLACE(\"abc\",2,100,\"X\")", txt(u"aX")},
      {"=REPLACE(\"abc\",10,1,\"X\")", txt(u"abcX")}, // a start past the end appends
      {"=REPLACE(\"abc\",0,1,\"X\")", err(ErrValue)},
      {"=REPLACE(\"abc\",1,-1,\"X\")", err(ErrValue)},
      {"=REPLACE(\"abc\",\"2x\",1,\"X\")", err(ErrValue)},
      {"=REPLACE(\"abc\",\"2\",\"1\",\"X\")", txt(u"aXc")},
      {"=REPLACE(\"\",3,1,\"X\")", txt(u"X")},
      {"=REPLACE(A4,1,1,\"X\")", txt(u"X")},
      {"=REPLACE(\"abc\",A4,1,\"X\")", err(ErrValue)},
      {"=REPLACE(\"abc\",2,A4,\"X\")", txt(u"aXbc")},
      {"=REPLACE(\"abc\",2,1,A4)", txt(u"ac")},
      {"=REPLACE(A5,0,1,\"X\")", err(ErrNA)},
      {"=REPLACE(\"abc\",2,1,A6)", err(ErrDiv0)},
      {"=REPLACE(B1:B3,1,1,\"X\")", err(ErrValue)},
      {"=REPLACE(REPT(\"a\",32767),1,1,\"bb\")", err(ErrValue)},
  });
}

TEST_F(TextFunctionsTest, CharAndCode) {
  check({
      {"=CHAR(65)", txt(u"A")},       {"=CHAR(65.9)", txt(u"A")},      {"=CHAR(\"65\")", txt(u"A")},
      {"=CHAR(128)", txt(u"\u20ac")}, // the Western code page
      {"=CHAR(129)", txt(u"\u0081")}, {"=CHAR(255)", txt(u"\u00ff")},  {"=CHAR(0)", err(ErrValue)},
      {"=CHAR(256)", err(ErrValue)},  {"=CHAR(\"x\")", err(ErrValue)}, {"=CHAR(A4)", err(ErrValue)},
      {"=CHAR(A5)", err(ErrNA)},      {"=CHAR(A6)", err(ErrValue)}, // an error text is no number
      {"=CODE(\"A\")", num(65)},      {"=CODE(\"Abc\")", num(65)},     {"=CODE(\"€\")", num(128)},
      {"=CODE(\"Ā\")", num(63)}, // not in the code page
      {"=CODE(1)", num(49)},          {"=CODE(\"\")", err(ErrValue)},  {"=CODE(A4)", err(ErrValue)},
      {"=CODE(A5)", err(ErrNA)},      {"=CODE(B1:B3)", err(ErrValue)},
  });
}

TEST_F(TextFunctionsTest, CodeReadsBackEveryChar) {
  for (int n = 1; n <= 255; ++n) {
    CalcValue got = evaluate("=CODE(CHAR(" + std::to_string(n) + "))");
    EXPECT_TRUE(got.sameAs(num(n))) << n << ": " << describe(got);
  }
}

TEST_F(TextFunctionsTest, Value) {
  check({
      {"=VALUE(\"1.5\")", num(1.5)},
      {"=VALUE(\" 12 \")", num(12)},
      {"=VALUE(\"1e3\")", num(1000)},
      {"=VALUE(\"-5\")", num(-5)},
      {"=VALUE(\"50%\")", num(0.5)},
      {"=VALUE(\"abc\")", err(ErrValue)},
      {"=VALUE(TRUE)", err(ErrValue)},
      {"=VALUE(A2)", num(12.5)},
      {"=VALUE(A4)", num(0)},
      {"=VALUE(A5)", err(ErrNA)},
      {"=VALUE(B1:B3)", err(ErrValue)},
  });
}

TEST_F(TextFunctionsTest, FixedAndDollar) {
  check({
      {"=FIXED(1234.567)", txt(u"1,234.57")}, // two decimals unless told
      {"=FIXED(1234.567,1)", txt(u"1,234.6")},
      {"=FIXED(1234.567,-1)", txt(u"1,230")},
      {"=FIXED(-1234.567,-1,TRUE)", txt(u"-1230")},
      {"=FIXED(2.675,2)", txt(u"2.68")},
      {"=FIXED(0.5,0)", txt(u"1")},
      {"=FIXED(-0.001,2)", txt(u"0.00")},
      {"=FIXED(123,3)", txt(u"123.000")},
      {"=FIXED(1E+20,0)", txt(u"100,000,000,000,000,000,000")},
      {"=FIXED(1,128)", err(ErrValue)},
      {"=FIXED(\"abc\",2)", err(ErrValue)},
      {"=FIXED(A5,2)", err(ErrNA)},
      {"=DOLLAR(1234.567)", txt(u"$1,234.57")},
      {"=DOLLAR(-1234.567,-2)", txt(u"($1,200)")},
      {"=DOLLAR(-0.123,4)", txt(u"($0.1230)")},
      {"=DOLLAR(0)", txt(u"$0.00")},
  });
}

TEST_F(TextFunctionsTest, TextGoesToTheHost) {
  check({
      {"=TEXT(A5,\"0\")", err(ErrNA)},
      {"=TEXT(1,A5)", err(ErrNA)},
      {"=TEXT(1,\"0\")", empty()}, // without a host the result stays as it was
  });
  FormattingHost host;
  evaluationContext().functionService = &host;
  check({{"=TEXT(1.5,\"0.0\")", txt(u"formatted")}});
  EXPECT_EQ(host.number, 48);
  EXPECT_EQ(host.maxArgs, 2);
  EXPECT_EQ(host.argumentCount, 2u);
}

TEST(TextFunctionsBytes, RoutinesTakeAnyUnits) {
  std::u16string odd = u"a";
  odd += char16_t(0xD800); // an unpaired lead surrogate
  odd += u'\0';
  odd += char16_t(0xDC00); // an unpaired trail surrogate
  odd += u"b";
  CalcValue text = CalcValue::text(odd);
  EXPECT_TRUE(call(u"LEN", {text}).sameAs(num(5)));
  EXPECT_EQ(call(u"UPPER", {text}).textLength(), 5u);
  EXPECT_EQ(call(u"PROPER", {text}).textLength(), 5u);
  EXPECT_TRUE(call(u"SEARCH", {CalcValue::text(u"B"), text}).sameAs(num(5)));
  EXPECT_TRUE(call(u"SEARCH", {CalcValue::text(u"?*b"), text}).sameAs(num(1)));
  EXPECT_TRUE(call(u"FIND", {CalcValue::text(std::u16string(1, u'\0')), text}).sameAs(num(3)));
  EXPECT_TRUE(call(u"CODE", {CalcValue::text(odd.substr(1))}).sameAs(num(63)));

  // The longest cell texts: within bounds they work, past them "#VALUE!", never a huge text.
  CalcValue longest = CalcValue::text(std::u16string(32767, u'a'));
  EXPECT_TRUE(call(u"SEARCH", {CalcValue::text(u"*b"), longest}).sameAs(err(ErrValue)));
  EXPECT_TRUE(call(u"SEARCH", {CalcValue::text(u"a?a?b"), longest}).sameAs(err(ErrValue)));
  EXPECT_TRUE(call(u"CONCATENATE", {longest, CalcValue::text(u"a")}).sameAs(err(ErrValue)));
  EXPECT_TRUE(
      call(u"SUBSTITUTE", {longest, CalcValue::text(u"a"), CalcValue::text(u"bb")}).sameAs(err(ErrValue)));
  EXPECT_TRUE(call(u"REPLACE", {longest, num(32768), num(0), CalcValue::text(u"b")}).sameAs(err(ErrValue)));
  EXPECT_TRUE(call(u"MID", {longest, num(32767), num(1e300)}).sameAs(txt(u"a")));
}

TEST(NumericText, Shapes) {
  struct Case {
    const char16_t* text;
    bool numeric;
  };
  for (const Case& c : std::initializer_list<Case>{{u"12", true},
                                                   {u" -1.5 ", true},
                                                   {u"+.5", true},
                                                   {u"1e3", true},
                                                   {u"1E-3", true},
                                                   {u"50%", true},
                                                   {u"2 %", true},
                                                   {u"", false},
                                                   {u".", false},
                                                   {u"1e", false},
                                                   {u"1 2", false},
                                                   {u"2x", false},
                                                   {u"1.2.3", false},
                                                   {u"%", false},
                                                   {u"5%%", false}})
    EXPECT_EQ(isNumericText(c.text), c.numeric) << utf16ToUtf8(c.text);
}
