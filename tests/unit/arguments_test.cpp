// The argument toolkit: number takers, error propagation, cell values of references, the walk orders,
// the contexts aggregates see, and the inside-SUBTOTAL flag.
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "functions/arguments.h"
#include "values/conversions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace cwbk;

namespace {

CellAddress at(uint32_t sheet, uint32_t column, uint32_t row) {
  return CellAddress::make(sheet, column, row);
}
CalcValue reference(CellAddress a, CellAddress b) {
  CalcValue v;
  v.setReference(a, b);
  return v;
}

class ArgumentsTest : public ::testing::Test {
protected:
  void SetUp() override {
    evaluationContext() = EvaluationContext{};
    workbook.addSheet(u"Sheet1");
    workbook.addSheet(u"Sheet2");
    evaluationContext().workbook = &workbook;
    // A1 = 1, A2 = #DIV/0!, B1 = "#N/A" (text), B2 = 4 (a SUBTOTAL cell), C3 = {7, 8} (an array value)
    put(at(0, 0, 0), CalcValue::number(1));
    put(at(0, 0, 1), CalcValue::error(ErrDiv0));
    put(at(0, 1, 0), CalcValue::text(u"#N/A"));
    put(at(0, 1, 1), CalcValue::number(4));
    workbook.findCell(at(0, 1, 1))->setFlags(CellSubtotal);
    CalcValue pair;
    pair.appendToArray(CalcValue::number(7));
    pair.appendToArray(CalcValue::number(8));
    put(at(0, 2, 2), pair);
  }
  void TearDown() override { evaluationContext() = EvaluationContext{}; }
  void put(CellAddress a, const CalcValue& v) { workbook.findOrCreateCell(a)->setValue(v); }

  CompiledWorkbook workbook;
};

} // namespace

TEST_F(ArgumentsTest, NumberTakers) {
  struct Row {
    const char* label;
    CalcValue arg;
    double strict; // argNumber's number when strictError is 0
    int32_t strictError;
    int32_t reducedError; // argNumberReduced
  };
  CalcValue array;
  array.appendToArray(CalcValue::number(2.5));
  array.appendToArray(CalcValue::text(u"x"));
  std::vector<Row> rows = {
      {"empty", CalcValue(), 0, 0, 0},
      {"integer", CalcValue::number(-3), -3, 0, 0},
      {"double", CalcValue::number(2.25), 2.25, 0, 0},
      {"true", CalcValue::boolean(true), 1, 0, 0},
      {"numeric text", CalcValue::text(u" 12% "), 0.12, 0, 0},
      {"other text", CalcValue::text(u"abc"), 0, ErrValue, ErrValue},
      {"error text", CalcValue::text(u"#N/A"), 0, ErrValue, ErrValue},
      {"error", CalcValue::error(ErrNum), 0, ErrNum, ErrNum},
      {"single cell", reference(at(0, 0, 0), at(0, 0, 0)), 0, ErrValue, 0},
      {"cell with an error", reference(at(0, 0, 1), at(0, 0, 1)), 0, ErrValue, ErrDiv0},
      {"missing cell", reference(at(0, 9, 9), at(0, 9, 9)), 0, ErrValue, 0},
      {"several cells", reference(at(0, 0, 0), at(0, 0, 1)), 0, ErrValue, ErrValue},
      {"two sheets", reference(at(0, 0, 0), at(1, 0, 1)), 0, ErrValue, ErrRef},
      {"array", array, 0, ErrValue, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    double x = -99;
    CalcValue result;
    bool ok = argNumber(row.arg, x, result);
    EXPECT_EQ(ok, row.strictError == 0);
    if (ok) {
      EXPECT_DOUBLE_EQ(x, row.strict);
      EXPECT_TRUE(result.isEmpty());
    } else {
      EXPECT_EQ(result.errorCode(), row.strictError);
    }
    double y = -99;
    EXPECT_EQ(argNumberReduced(row.arg, y), row.reducedError);
  }
  double y = 0;
  EXPECT_EQ(argNumberReduced(reference(at(0, 0, 0), at(0, 0, 0)), y), 0);
  EXPECT_EQ(y, 1);
  EXPECT_EQ(argNumberReduced(array, y), 0);
  EXPECT_EQ(y, 2.5);
  EXPECT_EQ(argNumberReduced(reference(at(0, 2, 2), at(0, 2, 2)), y), 0); // a cell holding an array
  EXPECT_EQ(y, 7);

  // valueNumber converts plainly and never reports through a result.
  EXPECT_TRUE(valueNumber(CalcValue::boolean(false), y) && y == 0);
  EXPECT_FALSE(valueNumber(CalcValue::error(ErrNA), y));
  EXPECT_FALSE(valueNumber(reference(at(0, 0, 0), at(0, 0, 0)), y));
  EXPECT_EQ(errorCodeOf(CalcValue::text(u"#REF!")), ErrRef);
  EXPECT_EQ(errorCodeOf(CalcValue::text(u"#nope")), 0);
}

TEST_F(ArgumentsTest, ErrorPropagationHonoursTheMask) {
  CalcValue one = CalcValue::number(1);
  CalcValue errorText = CalcValue::text(u"#NUM!");
  CalcValue error = CalcValue::error(ErrNA);
  CalcValue cellWithErrorText = reference(at(0, 1, 0), at(0, 1, 0));
  CalcValue severalCells = reference(at(0, 0, 0), at(0, 0, 1));
  CalcValue twoSheets = reference(at(0, 0, 0), at(1, 0, 0));

  CalcValue result;
  const CalcValue* plain[] = {&one, &errorText, &severalCells, nullptr};
  EXPECT_FALSE(propagateErrors(plain, result,
                               ErrorReading::Functions)); // direct error texts and areas are not inspected
  const CalcValue* cells[] = {&one, &cellWithErrorText, &error, nullptr};
  EXPECT_TRUE(propagateErrors(cells, result,
                              ErrorReading::Functions)); // a cell's error text is a text: the Error decides
  EXPECT_EQ(result.errorCode(), ErrNA);
  const CalcValue* cellWithError[] = {&one, &severalCells, nullptr};
  EXPECT_FALSE(propagateErrors(cellWithError, result,
                               ErrorReading::Functions)); // the error in A2 lies in a larger area
  CalcValue a2 = reference(at(0, 0, 1), at(0, 0, 1));
  const CalcValue* singleError[] = {&a2, nullptr};
  EXPECT_TRUE(propagateErrors(singleError, result, ErrorReading::Functions));
  EXPECT_EQ(result.errorCode(), ErrDiv0);
  result.setEmpty();
  EXPECT_TRUE(propagateErrors(cells, result, ErrorReading::Functions, 0b100));
  EXPECT_TRUE(result.isErrorValue());
  EXPECT_FALSE(propagateErrors(cells, result, ErrorReading::Functions, 0b001));
  const CalcValue* spanning[] = {&twoSheets, nullptr};
  EXPECT_TRUE(propagateErrors(spanning, result, ErrorReading::Functions));
  EXPECT_EQ(result.errorCode(), ErrRef);
  EXPECT_EQ(argumentCount(cells), 3u);
  EXPECT_EQ(argumentCount(nullptr), 0u);
}

TEST_F(ArgumentsTest, WalksVisitInTheirOrders) {
  put(at(0, 0, 2), CalcValue::number(3)); // A3
  put(at(0, 1, 2), CalcValue::number(6)); // B3
  std::vector<std::string> seen;
  walkReference(evaluationContext(), reference(at(0, 1, 2), at(0, 0, 0)), [&](const CalcValue&, Cell& cell) {
    seen.push_back(std::string(1, char('A' + cell.address().column())) +
                   std::to_string(cell.address().rowIndex() + 1));
    return true;
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"A1", "A2", "A3", "B1", "B2", "B3"}));

  // A stop ends the walk; a two-sheet reference visits nothing.
  int visits = 0;
  EXPECT_FALSE(walkReference(evaluationContext(), reference(at(0, 0, 0), at(0, 1, 2)),
                             [&](const CalcValue&, Cell&) { return ++visits < 2; }));
  EXPECT_EQ(visits, 2);
  visits = 0;
  EXPECT_TRUE(walkReference(evaluationContext(), reference(at(0, 0, 0), at(1, 1, 2)),
                            [&](const CalcValue&, Cell&) { return ++visits, true; }));
  EXPECT_EQ(visits, 0);

  CalcValue array;
  for (int r = 0; r < 2; ++r) {
    CalcValue row;
    for (int c = 0; c < 3; ++c)
      row.appendToArray(CalcValue::number(10 * r + c));
    array.appendToArray(row);
  }
  std::vector<double> elements;
  walkArray(array, [&](const CalcValue& v) { return elements.push_back(v.numberValue()), true; });
  EXPECT_EQ(elements, (std::vector<double>{0, 1, 2, 10, 11, 12}));

  // cellValueAt by (row, column): inside, a missing cell, outside.
  const CalcValue* v = cellValueAt(reference(at(0, 0, 0), at(0, 1, 2)), 2, 1);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->numberValue(), 6);
  v = cellValueAt(reference(at(0, 3, 0), at(0, 4, 4)), 4, 1);
  ASSERT_NE(v, nullptr);
  EXPECT_TRUE(v->isEmpty());
  EXPECT_EQ(cellValueAt(reference(at(0, 0, 0), at(0, 1, 2)), 3, 0), nullptr);
  EXPECT_EQ(cellValueAt(array, 1, 2)->numberValue(), 12);
  EXPECT_EQ(cellValueAt(array, 2, 0), nullptr);
  EXPECT_EQ(cellValueAt(array, 0, 3), nullptr);
  ASSERT_NE(cellValueOfSingleRef(reference(at(0, 2, 2), at(0, 2, 2))), nullptr);
  EXPECT_EQ(cellValueOfSingleRef(reference(at(0, 2, 2), at(0, 2, 2)))->numberValue(), 7);
  EXPECT_EQ(cellValueOfSingleRef(reference(at(0, 0, 0), at(0, 0, 1))), nullptr);
}

TEST_F(ArgumentsTest, AggregatesSeeEachValueWithItsContext) {
  CalcValue direct = CalcValue::text(u"d");
  CalcValue area = reference(at(0, 0, 0), at(0, 1, 1));
  CalcValue bad = reference(at(0, 0, 0), at(1, 0, 0));
  CalcValue list;
  list.appendToReferenceList(reference(at(0, 0, 0), at(0, 0, 0)));
  list.appendToReferenceList(reference(at(0, 2, 2), at(0, 2, 2)));
  CalcValue array;
  array.appendToArray(CalcValue::number(5));
  const CalcValue* args[] = {&direct, &area, &bad, &list, &array, nullptr};

  auto collect = [&] {
    std::vector<std::string> seen;
    forEachAggregateValue(evaluationContext(), args, [&](const CalcValue& v, ValueSource source) {
      const char* tag = source == ValueSource::Direct    ? "direct:"
                        : source == ValueSource::Cell    ? "cell:"
                        : source == ValueSource::Element ? "element:"
                                                         : "bad:";
      std::u16string text = displayText(v);
      seen.push_back(tag + std::string(text.begin(), text.end()));
      return true;
    });
    return seen;
  };
  EXPECT_EQ(collect(), (std::vector<std::string>{"direct:d", "cell:1", "cell:#DIV/0!", "cell:#N/A", "cell:4",
                                                 "bad:#REF!", "cell:1", "cell:7", "element:5"}));
  {
    SubtotalScope scope;
    EXPECT_TRUE(insideSubtotal());
    { SubtotalScope nested; }
    EXPECT_TRUE(insideSubtotal()); // a nested scope restores, it does not clear
    EXPECT_EQ(collect(), (std::vector<std::string>{"direct:d", "cell:1", "cell:#DIV/0!", "cell:#N/A",
                                                   "bad:#REF!", "cell:1", "cell:7", "element:5"}));
  }
  EXPECT_FALSE(insideSubtotal());
}

TEST_F(ArgumentsTest, TextBooleanAndWholeNumberTakers) {
  CalcValue array;
  array.appendToArray(CalcValue::text(u"a"));
  CalcValue cell = reference(at(0, 0, 0), at(0, 0, 0));
  struct Row {
    const char* label;
    CalcValue arg;
    const char16_t* text; // argText's text, or null when it fails with textError
    int32_t textError;
    int boolean; // argBoolean: 0 or 1, or -1 when it fails with booleanError
    int32_t booleanError;
  };
  std::vector<Row> rows = {
      {"empty", CalcValue(), u"", 0, 0, 0},
      {"integer", CalcValue::number(-7), u"-7", 0, 1, 0},
      {"zero", CalcValue::number(0), u"0", 0, 0, 0},
      {"double", CalcValue::number(2.5), u"2.5", 0, 1, 0},
      {"large double", CalcValue::number(1e20), u"1E+20", 0, 1, 0},
      {"fifteen digits", CalcValue::number(0.1 + 0.2), u"0.3", 0, 1, 0},
      {"true", CalcValue::boolean(true), u"TRUE", 0, 1, 0},
      {"false", CalcValue::boolean(false), u"FALSE", 0, 0, 0},
      {"text", CalcValue::text(u"abc"), u"abc", 0, -1, ErrValue},
      {"true text", CalcValue::text(u"tRuE"), u"tRuE", 0, 1, 0},
      {"false text", CalcValue::text(u"FALSE"), u"FALSE", 0, 0, 0},
      {"numeric text", CalcValue::text(u"1"), u"1", 0, -1, ErrValue},
      {"error", CalcValue::error(ErrDiv0), nullptr, ErrDiv0, -1, ErrDiv0},
      {"error text", CalcValue::text(u"#N/A"), nullptr, ErrNA, -1, ErrNA},
      {"reference", cell, nullptr, ErrValue, -1, ErrValue},
      {"array", array, nullptr, ErrValue, -1, ErrValue},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::u16string text = u"unchanged";
    CalcValue result;
    EXPECT_EQ(argText(row.arg, text, result), row.text != nullptr);
    if (row.text)
      EXPECT_EQ(text, row.text);
    else
      EXPECT_EQ(result.errorCode(), row.textError);
    bool b = false;
    CalcValue booleanResult;
    EXPECT_EQ(argBoolean(row.arg, b, booleanResult), row.boolean >= 0);
    if (row.boolean >= 0)
      EXPECT_EQ(b, row.boolean == 1);
    else
      EXPECT_EQ(booleanResult.errorCode(), row.booleanError);
  }

  // Whole numbers truncate toward zero; absent arguments take the default; a failure sets the error.
  CalcValue up = CalcValue::number(2.7), down = CalcValue::number(-2.7), huge = CalcValue::number(1e300);
  CalcValue word = CalcValue::text(u"x"), flag = CalcValue::boolean(true);
  const CalcValue* args[] = {&up, &down, &huge, &word, &flag, nullptr};
  CalcValue result;
  double n = 0;
  EXPECT_TRUE(integerAt(args, 0, 0, n, result) && n == 2);
  EXPECT_TRUE(integerAt(args, 1, 0, n, result) && n == -2);
  EXPECT_TRUE(integerAt(args, 2, 0, n, result) && n == 1e300);
  EXPECT_TRUE(integerAt(args, 5, 9.9, n, result) && n == 9);
  EXPECT_TRUE(numberAt(args, 7, 0.5, n, result) && n == 0.5);
  EXPECT_TRUE(result.isEmpty());
  EXPECT_FALSE(integerAt(args, 3, 0, n, result));
  EXPECT_EQ(result.errorCode(), ErrValue);
  std::u16string text;
  EXPECT_TRUE(textAt(args, 4, u"", text, result) && text == u"TRUE");
  EXPECT_TRUE(textAt(args, 6, u"dflt", text, result) && text == u"dflt");
  bool b = false;
  EXPECT_TRUE(booleanAt(args, 6, true, b, result) && b);
  EXPECT_EQ(argumentAt(args, 4), &flag);
  EXPECT_EQ(argumentAt(args, 5), nullptr);
  EXPECT_EQ(argumentAt(args, 50), nullptr);
  EXPECT_EQ(argumentAt(nullptr, 0), nullptr);
}

TEST_F(ArgumentsTest, OperatorsAndFunctionsReadErrorsDifferently) {
  // B1 holds the text "#N/A": the operators propagate it, the functions take it as a text.
  CalcValue textCell = reference(at(0, 1, 0), at(0, 1, 0));
  const CalcValue* args[] = {&textCell, nullptr};
  CalcValue result;
  EXPECT_TRUE(propagateErrors(args, result, ErrorReading::Operators));
  EXPECT_TRUE(result.isText());
  EXPECT_EQ(result.textView(), u"#N/A");
  result.setEmpty();
  EXPECT_FALSE(propagateErrors(args, result, ErrorReading::Functions));
  EXPECT_TRUE(result.isEmpty());

  // An error-like value given directly is copied as an Error by setErrorOf.
  setErrorOf(CalcValue::text(u"#REF!"), result);
  EXPECT_TRUE(result.isErrorValue());
  EXPECT_EQ(result.errorCode(), ErrRef);
}

TEST_F(ArgumentsTest, RunningSumsAndCountsAndNumberResults) {
  CalcValue sum;
  addToSum(sum, 2);
  addToSum(sum, 0.5);
  EXPECT_EQ(sum.kind(), CalcValue::Double);
  EXPECT_EQ(sum.doubleValue(), 2.5);
  CalcValue count;
  countOne(count);
  countOne(count);
  EXPECT_EQ(count.kind(), CalcValue::Integer);
  EXPECT_EQ(count.integer(), 2);
  count.setDouble(1.5);
  countOne(count);
  EXPECT_EQ(count.doubleValue(), 2.5);

  CalcValue result;
  setNumberResult(result, 3.0);
  EXPECT_EQ(result.kind(), CalcValue::Integer);
  setNumberResult(result, 1e300 * 1e300);
  EXPECT_EQ(result.errorCode(), ErrNum);
  setNumberResult(result, std::nan(""));
  EXPECT_EQ(result.errorCode(), ErrNum);
}
