// Operator nodes: arithmetic and comparison on scalars (kinds kept, errors, overflow), operands taken
// from cells and areas, element-by-element evaluation over arrays and areas, and the formula texts.
#include "formula/array_node.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/constant_nodes.h"
#include "formula/operator_nodes.h"
#include "formula/reference_nodes.h"
#include "values/conversions.h"

#include <gtest/gtest.h>

#include "node_test_support.h"

#include <memory>
#include <optional>
#include <string>

using namespace cwbk;
using namespace cwbk::testing_support;

namespace {

CalcValue text(std::u16string_view t) {
  return CalcValue::text(t);
}

// Returns a constant node holding v.
FormulaNode* constant(const CalcValue& v) {
  switch (v.kind()) {
  case CalcValue::Integer:
  case CalcValue::Double:
    return new NumberNode(v.numberValue());
  case CalcValue::ShortText:
  case CalcValue::LongText:
    return new TextNode(v.textView());
  case CalcValue::Boolean:
    return new BooleanNode(v.booleanValue());
  case CalcValue::Error:
    return new ErrorNode(v.errorCode());
  case CalcValue::Array:
    return arrayNode(v);
  default:
    return new EmptyNode();
  }
}

class OperatorNodeTest : public ::testing::Test {
protected:
  void SetUp() override {
    evaluationContext() = EvaluationContext{};
    workbook.addSheet(u"Sheet1");
    workbook.addSheet(u"Other");
    evaluationContext().currentCell = workbook.findOrCreateCell(at(0, 3, 1)); // D2
  }
  void TearDown() override { evaluationContext() = EvaluationContext{}; }

  void put(CellAddress address, const CalcValue& v) { workbook.findOrCreateCell(address)->setValue(v); }

  // Evaluates op over the operand nodes and returns a copy of the result.
  CalcValue run(FormulaNode* node, std::initializer_list<FormulaNode*> operands) {
    std::unique_ptr<FormulaNode> owner(node);
    for (FormulaNode* operand : operands)
      node->addChild(operand);
    node->evaluate();
    // Moved out, not copied: a copy would turn an integral Double into an Integer.
    CalcValue& v = node->mutableValue();
    return CalcValue(std::move(v));
  }
  CalcValue arithmetic(uint32_t op, const CalcValue& left, const CalcValue* right = nullptr) {
    if (!right) return run(new ArithmeticNode(op), {constant(left)});
    return run(new ArithmeticNode(op), {constant(left), constant(*right)});
  }

  CompiledWorkbook workbook;
};

} // namespace

TEST_F(OperatorNodeTest, ArithmeticOnScalarsKeepsKindsAndReportsErrors) {
  using A = ArithmeticNode;
  struct Case {
    const char* what;
    uint32_t op;
    CalcValue left;
    std::optional<CalcValue> right;
    CalcValue expected;
  } cases[] = {
      {"1 + 2", A::Add, integer(1), integer(2), integer(3)},
      {"1.5 + 1.5 keeps the Double", A::Add, real(1.5), real(1.5), real(3)},
      {"6 / 3 is a Double", A::Divide, integer(6), integer(3), real(2)},
      {"text 6 / 3 converts", A::Divide, text(u"6"), integer(3), integer(2)},
      {"2 ^ 1024 overflows", A::Power, integer(2), integer(1024), CalcValue::error(ErrNum)},
      {"2 ^ 10", A::Power, integer(2), integer(10), integer(1024)},
      {"0 ^ 0", A::Power, integer(0), integer(0), CalcValue::error(ErrNum)},
      {"0 ^ -1", A::Power, integer(0), integer(-1), CalcValue::error(ErrDiv0)},
      {"text 0 ^ 0", A::Power, text(u"0"), integer(0), CalcValue::error(ErrNum)},
      {"-8 ^ 0.5 is undefined", A::Power, integer(-8), real(0.5), CalcValue::error(ErrNum)},
      {"5 / 0", A::Divide, integer(5), integer(0), CalcValue::error(ErrDiv0)},
      {"5 / empty text", A::Divide, integer(5), text(u""), CalcValue::error(ErrValue)},
      {"5 / FALSE", A::Divide, integer(5), CalcValue::boolean(false), CalcValue::error(ErrDiv0)},
      {"abc + 1", A::Add, text(u"abc"), integer(1), CalcValue::error(ErrValue)},
      {"1e308 + 1e308", A::Add, real(1e308), real(1e308), CalcValue::error(ErrNum)},
      {"-1e308 - 1e308", A::Subtract, real(-1e308), real(1e308), CalcValue::error(ErrNum)},
      {"1e308 / 1e-308", A::Divide, real(1e308), real(1e-308), CalcValue::error(ErrNum)},
      {"1e308 * 10", A::Multiply, real(1e308), integer(10), CalcValue::error(ErrNum)},
      {"text 1e308 + 1e308", A::Add, text(u"1e308"), text(u"1e308"), CalcValue::error(ErrNum)},
      {"text 1e308 * 10", A::Multiply, text(u"1e308"), integer(10), CalcValue::error(ErrNum)},
      {"int overflow leaves Integer", A::Add, integer(2147483647), integer(1), real(2147483648.0)},
      {"-TRUE", A::Negate, CalcValue::boolean(true), std::nullopt, integer(-1)},
      {"-3", A::Negate, integer(3), std::nullopt, integer(-3)},
      {"50%", A::Percent, integer(50), std::nullopt, real(0.5)},
      {"text 50%", A::Percent, text(u"50"), std::nullopt, real(0.5)},
      {"TRUE * text 3", A::Multiply, CalcValue::boolean(true), text(u"3"), integer(3)},
      {"a & 1", A::Concatenate, text(u"a"), integer(1), text(u"a1")},
      {"1 & TRUE", A::Concatenate, integer(1), CalcValue::boolean(true), text(u"1TRUE")},
      {"#N/A + #DIV/0!", A::Add, CalcValue::error(ErrNA), CalcValue::error(ErrDiv0), CalcValue::error(ErrNA)},
      {"1 - #DIV/0!", A::Subtract, integer(1), CalcValue::error(ErrDiv0), CalcValue::error(ErrDiv0)},
      {"error text does not propagate", A::Concatenate, text(u"#N/A"), text(u"x"), text(u"#N/Ax")},
  };
  for (const Case& c : cases) {
    CalcValue got = c.right ? arithmetic(c.op, c.left, &*c.right) : arithmetic(c.op, c.left);
    EXPECT_TRUE(same(got, c.expected)) << c.what;
  }
}

TEST_F(OperatorNodeTest, ComparisonsAndTheirErrorOrder) {
  struct Case {
    const char* what;
    uint32_t op;
    CalcValue left, right, expected;
  } cases[] = {
      {"1 < 2", 1, integer(1), integer(2), CalcValue::boolean(true)},
      {"2 <= 2.0", 3, integer(2), real(2), CalcValue::boolean(true)},
      {"5 > text 1: texts sort after numbers", 2, integer(5), text(u"1"), CalcValue::boolean(false)},
      {"abc = ABC", 5, text(u"abc"), text(u"ABC"), CalcValue::boolean(true)},
      {"abc <> abd", 6, text(u"abc"), text(u"abd"), CalcValue::boolean(true)},
      {"TRUE >= 1", 4, CalcValue::boolean(true), integer(1), CalcValue::boolean(true)},
      {"#N/A = #DIV/0! takes the first error", 5, CalcValue::error(ErrNA), CalcValue::error(ErrDiv0),
       CalcValue::error(ErrNA)},
      {"error text compares as text", 5, text(u"#N/A"), text(u"#n/a"), CalcValue::boolean(true)},
  };
  for (const Case& c : cases)
    EXPECT_TRUE(same(run(new CompareNode(c.op), {constant(c.left), constant(c.right)}), c.expected))
        << c.what;

  // Element by element the comparison itself decides, and it looks at the right operand first.
  CalcValue got = run(new CompareNode(5), {constant(arrayOf({{CalcValue::error(ErrNA), integer(1)}})),
                                           constant(CalcValue::error(ErrDiv0))});
  EXPECT_TRUE(same(got, arrayOf({{CalcValue::error(ErrDiv0), CalcValue::error(ErrDiv0)}})));
}

TEST_F(OperatorNodeTest, ArraysCombineElementByElement) {
  using A = ArithmeticNode;
  CalcValue row123 = arrayOf({{integer(1), integer(2), integer(3)}});
  CalcValue one = integer(1);
  EXPECT_TRUE(same(arithmetic(A::Add, row123, &one), arrayOf({{integer(2), integer(3), integer(4)}})));

  CalcValue column = arrayOf({{integer(1)}, {integer(2)}});
  CalcValue row = arrayOf({{integer(10), integer(20)}});
  EXPECT_TRUE(same(arithmetic(A::Add, column, &row),
                   arrayOf({{integer(11), integer(21)}, {integer(12), integer(22)}})));

  CalcValue row12 = arrayOf({{integer(1), integer(2)}});
  EXPECT_TRUE(
      same(arithmetic(A::Add, row123, &row12), arrayOf({{integer(2), integer(4), CalcValue::error(ErrNA)}})));

  // Errors stay in their own elements; the unary operators work per element too.
  CalcValue mixed = arrayOf({{integer(4), CalcValue::error(ErrNum), text(u"x")}});
  EXPECT_TRUE(same(arithmetic(A::Negate, mixed),
                   arrayOf({{integer(-4), CalcValue::error(ErrNum), CalcValue::error(ErrValue)}})));
}

TEST_F(OperatorNodeTest, OperandsFromCellsAndAreas) {
  using A = ArithmeticNode;
  put(at(0, 0, 0), integer(10)); // A1
  put(at(0, 0, 1), integer(20)); // A2
  put(at(0, 0, 2), CalcValue::error(ErrNA));
  put(at(0, 1, 0), arrayOf({{integer(7), integer(8)}})); // B1 holds an array result

  // A cell reference gives the cell's value; a cell holding an array gives its first element.
  EXPECT_TRUE(
      same(run(new ArithmeticNode(A::Add), {new CellRefNode(workbook, at(0, 0, 0)), constant(integer(1))}),
           integer(11)));
  EXPECT_TRUE(
      same(run(new ArithmeticNode(A::Add), {new CellRefNode(workbook, at(0, 1, 0)), constant(integer(1))}),
           integer(8)));
  // A column meets the current cell (D2) in its row: A1:A3 stands for A2.
  EXPECT_TRUE(same(run(new ArithmeticNode(A::Multiply),
                       {new AreaRefNode(workbook, at(0, 0, 0), at(0, 0, 2)), constant(integer(2))}),
                   integer(40)));
  // A block that does not meet the current cell cannot be one value.
  EXPECT_TRUE(same(run(new ArithmeticNode(A::Add),
                       {new AreaRefNode(workbook, at(0, 0, 0), at(0, 1, 2)), constant(integer(1))}),
                   CalcValue::error(ErrValue)));

  // In array-formula mode the area itself takes part, element by element.
  evaluationContext().arrayFormulaMode = true;
  EXPECT_TRUE(same(run(new ArithmeticNode(A::Multiply),
                       {new AreaRefNode(workbook, at(0, 0, 0), at(0, 0, 2)), constant(integer(2))}),
                   arrayOf({{integer(20)}, {integer(40)}, {CalcValue::error(ErrNA)}})));
  EXPECT_TRUE(same(
      run(new CompareNode(2), {new AreaRefNode(workbook, at(0, 0, 0), at(0, 0, 1)), constant(integer(15))}),
      arrayOf({{CalcValue::boolean(false)}, {CalcValue::boolean(true)}})));
  // A single column repeats across the columns, a single row down the rows.
  EXPECT_TRUE(same(run(new ArithmeticNode(A::Add), {new AreaRefNode(workbook, at(0, 0, 0), at(0, 0, 1)),
                                                    constant(arrayOf({{integer(1), integer(2)}}))}),
                   arrayOf({{integer(11), integer(12)}, {integer(21), integer(22)}})));
}

TEST_F(OperatorNodeTest, ReferenceArgumentsSuppliedByTheCaller) {
  using A = ArithmeticNode;
  put(at(0, 0, 0), integer(10));
  put(at(0, 0, 1), CalcValue::error(ErrDiv0));
  put(at(0, 0, 3), text(u"#N/A"));
  auto reference = [](CellAddress a, CellAddress b) {
    CalcValue v;
    v.setReference(a, b);
    return v;
  };
  struct Case {
    const char* what;
    uint32_t op;
    CalcValue left, right, expected;
  } cases[] = {
      {"single cell", A::Add, reference(at(0, 0, 0), at(0, 0, 0)), integer(5), integer(15)},
      {"missing cell is empty", A::Add, reference(at(0, 5, 5), at(0, 5, 5)), integer(5), integer(5)},
      {"cell with an error", A::Add, integer(1), reference(at(0, 0, 1), at(0, 0, 1)),
       CalcValue::error(ErrDiv0)},
      {"cell with an error text", A::Add, reference(at(0, 0, 3), at(0, 0, 3)), integer(1), text(u"#N/A")},
      {"two cells", A::Add, reference(at(0, 0, 0), at(0, 0, 1)), integer(1), CalcValue::error(ErrValue)},
      {"two sheets", A::Add, reference(at(0, 0, 0), at(1, 0, 0)), integer(1), CalcValue::error(ErrRef)},
      {"invalid corner", A::Add, reference(CellAddress::invalid(), at(0, 0, 0)), integer(1),
       CalcValue::error(ErrRef)},
  };
  for (const Case& c : cases) {
    ArithmeticNode node(c.op);
    const CalcValue* arguments[] = {&c.left, &c.right, nullptr};
    CalcValue result;
    node.evaluateWith(0, arguments, result);
    EXPECT_TRUE(same(result, c.expected)) << c.what;
    EXPECT_TRUE(same(*node.value(), c.expected)) << c.what;
  }

  // A comparison reads the first corner of a larger area.
  CompareNode equalTo(5);
  CalcValue area = reference(at(0, 0, 0), at(0, 0, 2));
  CalcValue ten = integer(10);
  const CalcValue* arguments[] = {&area, &ten, nullptr};
  CalcValue result;
  equalTo.evaluateWith(0, arguments, result);
  EXPECT_TRUE(same(result, CalcValue::boolean(true)));
  // A reference class with a multi-cell area runs element by element.
  equalTo.evaluateWith(2, arguments, result);
  EXPECT_TRUE(
      same(result,
           arrayOf({{CalcValue::boolean(true)}, {CalcValue::error(ErrDiv0)}, {CalcValue::boolean(false)}})));
}

TEST_F(OperatorNodeTest, FormulaTexts) {
  CompareNode less(1);
  less.addChild(new CellRefNode(workbook, at(1, 0, 0)));
  less.addChild(new NumberNode(2.5));
  EXPECT_EQ(less.formulaText(), u"('Other'!A1<2.5)");

  // An arithmetic node prints its current value, in formula syntax.
  ArithmeticNode join(ArithmeticNode::Concatenate);
  join.addChild(new TextNode(u"say \"hi\""));
  join.addChild(new NumberNode(1));
  join.evaluate();
  EXPECT_EQ(join.formulaText(), u"\"say \"\"hi\"\"1\"");
}
