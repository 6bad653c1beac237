// The quick arithmetic path must give exactly what the formula tree gives, and leave every case it
// cannot decide (texts, booleans, errors, division by zero, overflow) to the tree.
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/constant_nodes.h"
#include "formula/operator_nodes.h"
#include "formula/proxy_nodes.h"
#include "formula/reference_nodes.h"
#include "formula/scalar_program.h"

#include <gtest/gtest.h>

#include "node_test_support.h"

using namespace cwbk;
using namespace cwbk::testing_support;

namespace {

// The result the tree gives for the cell, by the result rules of a plain formula.
CalcValue treeResult(FormulaNode& root, Cell& cell) {
  EvaluationContext& context = evaluationContext();
  Cell* saved = context.currentCell;
  context.currentCell = &cell;
  const CalcValue* v = root.evaluate();
  context.currentCell = saved;
  CalcValue result;
  if (v) result.copyFrom(*v);
  if (result.isEmpty()) result.setInteger(0);
  return result;
}

ArithmeticNode* binary(uint32_t code, FormulaNode* left, FormulaNode* right) {
  auto* node = new ArithmeticNode(code);
  node->addChild(left);
  if (right) node->addChild(right);
  return node;
}

} // namespace

// Every operator over a table of operand values: wherever the program answers, its number is the
// tree's result exactly; wherever the tree gives something other than a number, the program declines.
TEST(ScalarProgramTest, AgreesWithTheTreeOrDeclines) {
  const CalcValue values[] = {integer(3),
                              real(2.5),
                              integer(0),
                              CalcValue(),
                              integer(-2),
                              real(1e308),
                              CalcValue::text(u"4"),
                              CalcValue::boolean(true),
                              CalcValue::error(ErrNA),
                              real(-0.5),
                              integer(2147483647),
                              real(1e-300)};
  const uint32_t codes[] = {ArithmeticNode::Add,    ArithmeticNode::Subtract, ArithmeticNode::Multiply,
                            ArithmeticNode::Divide, ArithmeticNode::Power,    ArithmeticNode::Negate,
                            ArithmeticNode::Percent};
  for (uint32_t code : codes) {
    bool unary = code == ArithmeticNode::Negate || code == ArithmeticNode::Percent;
    CompiledWorkbook workbook;
    workbook.addSheet(u"Sheet1");
    Cell* a = workbook.findOrCreateCell(at(0, 0, 0));
    Cell* b = workbook.findOrCreateCell(at(0, 1, 0));
    Cell* f = workbook.findOrCreateCell(at(0, 2, 0));
    // (operand 0 <op> B1) * 1, with operand 0 standing for A1.
    FormulaNode* inner =
        binary(code, new OperandRefNode(0), unary ? nullptr : new CellRefNode(workbook, b->address()));
    std::unique_ptr<FormulaNode> root(binary(ArithmeticNode::Multiply, inner, new NumberNode(1)));
    f->operandRoots().push_back(new CellRefNode(workbook, a->address()));
    auto program = ScalarProgram::compile(*root);
    ASSERT_TRUE(program) << code;
    int answered = 0;
    for (const CalcValue& x : values)
      for (const CalcValue& y : values) {
        a->setValue(x);
        b->setValue(y);
        CalcValue expected = treeResult(*root, *f);
        double got = 0;
        bool ran = program->run(*f, got);
        if (!expected.isNumber()) {
          EXPECT_FALSE(ran) << "operator " << code << " on " << narrow(displayText(x)) << ", "
                            << narrow(displayText(y)) << " gave " << got;
          continue;
        }
        if (!ran) continue; // declining is always allowed
        ++answered;
        CalcValue stored;
        stored.setNumber(got);
        EXPECT_TRUE(same(stored, expected))
            << "operator " << code << " on " << narrow(displayText(x)) << ", " << narrow(displayText(y));
      }
    EXPECT_GT(answered, 20) << code;
  }
}

TEST(ScalarProgramTest, OnlyPlainArithmeticCompiles) {
  CompiledWorkbook workbook;
  workbook.addSheet(u"Sheet1");
  std::unique_ptr<FormulaNode> concatenation(
      binary(ArithmeticNode::Concatenate, new NumberNode(1), new NumberNode(2)));
  EXPECT_FALSE(ScalarProgram::compile(*concatenation));
  std::unique_ptr<FormulaNode> comparison(new CompareNode(1));
  comparison->addChild(new NumberNode(1));
  comparison->addChild(new NumberNode(2));
  EXPECT_FALSE(ScalarProgram::compile(*comparison));
  std::unique_ptr<FormulaNode> withText(binary(ArithmeticNode::Add, new NumberNode(1), new TextNode(u"2")));
  EXPECT_FALSE(ScalarProgram::compile(*withText));
  std::unique_ptr<FormulaNode> missingOperand(new ArithmeticNode(ArithmeticNode::Add));
  missingOperand->addChild(new NumberNode(1));
  EXPECT_FALSE(ScalarProgram::compile(*missingOperand));
  std::unique_ptr<FormulaNode> nested(binary(ArithmeticNode::Add, new NumberNode(1), new NumberNode(2)));
  for (int i = 0; i < 40; ++i)
    nested.reset(binary(ArithmeticNode::Add, nested.release(), new NumberNode(1)));
  EXPECT_TRUE(ScalarProgram::compile(*nested)); // a long sum nests on the left: the stack stays short
}

// An operand that is not a single cell or a number (here an area) is left to the tree.
TEST(ScalarProgramTest, DeclinesOperandsItCannotRead) {
  CompiledWorkbook workbook;
  workbook.addSheet(u"Sheet1");
  Cell* f = workbook.findOrCreateCell(at(0, 2, 0));
  f->operandRoots().push_back(new AreaRefNode(workbook, at(0, 0, 0), at(0, 0, 1)));
  std::unique_ptr<FormulaNode> root(binary(ArithmeticNode::Add, new OperandRefNode(0), new NumberNode(1)));
  auto program = ScalarProgram::compile(*root);
  ASSERT_TRUE(program);
  double x = 0;
  EXPECT_FALSE(program->run(*f, x));
  std::unique_ptr<FormulaNode> beyond(binary(ArithmeticNode::Add, new OperandRefNode(3), new NumberNode(1)));
  EXPECT_FALSE(ScalarProgram::compile(*beyond)->run(*f, x));
}
