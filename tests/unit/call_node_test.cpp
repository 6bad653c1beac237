// Call nodes: preparation by argument class, the choice between one invocation and element-by-element
// evaluation, the rules of IF, INDEX, ADDRESS and the array functions, the host evaluation services with
// the texts built for them, and calls with too many arguments.
#include "formula/array_node.h"
#include "formula/call_node.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/constant_nodes.h"
#include "formula/function_table.h"
#include "formula/host_services.h"
#include "formula/node_records.h"
#include "formula/operator_nodes.h"
#include "formula/proxy_nodes.h"
#include "formula/reference_nodes.h"
#include "formula/stream_reader.h"
#include "values/conversions.h"

#include <gtest/gtest.h>

#include "node_test_support.h"

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace cwbk;
using namespace cwbk::testing_support;

namespace {

CalcValue reference(CellAddress a, CellAddress b) {
  CalcValue v;
  v.setReference(a, b);
  return v;
}

// Test routines. Every invocation's arguments are recorded; the result is the number of arguments.
std::vector<std::vector<CalcValue>> gInvocations;
void recordArguments(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  std::vector<CalcValue> copies;
  for (; *args; ++args)
    copies.push_back(**args);
  result.setNumber(static_cast<double>(copies.size()));
  gInvocations.push_back(std::move(copies));
}
void negateFirst(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  result.setNumber(args[0] ? -args[0]->numberValue() : 0);
}
// IF for tests: the second argument when the first is true, else the third (FALSE when absent).
void chooseBranch(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  gInvocations.emplace_back();
  bool truth = false;
  if (args[0] && args[0]->isText())
    truth = parseBoolean(args[0]->textView()).value_or(false);
  else if (args[0])
    truth = args[0]->isBoolean() ? args[0]->booleanValue() : args[0]->numberValue() != 0;
  if (truth && args[1])
    result.copyFrom(*args[1]);
  else if (!truth && args[1] && args[2])
    result.copyFrom(*args[2]);
  else
    result.setBoolean(false);
}
void passFirst(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  if (args[0]) result.copyFrom(*args[0]);
}
// Evaluates gInner while the call is under way, then records its own arguments.
FormulaNode* gInner = nullptr;
void evaluateInnerThenRecord(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (gInner) gInner->evaluate();
  recordArguments(context, args, result);
}

const FunctionImpl kRecord(recordArguments);
const FunctionImpl kNegate(negateFirst);
const FunctionImpl kChoose(chooseBranch);
const FunctionImpl kNested(evaluateInnerThenRecord);
const FunctionImpl kPassFirst(passFirst);

// A host evaluation service that records every call and answers with a fixed value.
struct HostCall {
  std::string operation;
  int number = -1;
  int maxArgs = 0;
  std::u16string text;
  std::vector<CalcValue> arguments;
  const CallNode* call = nullptr;
  Cell* cell = nullptr;
  int hostUntouched = -1; // the workbook's flag when the host was asked
};
class RecordingService : public HostEvaluationService {
public:
  CalcValue answer = CalcValue::number(0.25);
  std::vector<HostCall> calls;

  void callWorksheetFunction(int number, const CalcValue* const* arguments, int maxArgs,
                             CalcValue& result) override {
    HostCall& call = record("function", arguments);
    call.number = number;
    call.maxArgs = maxArgs;
    result.copyFrom(answer);
  }
  void evaluateText(std::u16string_view text, CalcValue& result) override {
    record("text", nullptr).text = text;
    result.copyFrom(answer);
  }
  void callMacro(std::u16string_view name, const CalcValue* const* arguments, CalcValue& result) override {
    record("macro", arguments).text = name;
    result.copyFrom(answer);
  }
  void evaluateCall(Cell* currentCell, const CallNode& node, const CalcValue* const* arguments,
                    CalcValue& result) override {
    HostCall& call = record("call", arguments);
    call.call = &node;
    call.cell = currentCell;
    result.copyFrom(answer);
  }

private:
  HostCall& record(const char* operation, const CalcValue* const* arguments) {
    HostCall call;
    call.operation = operation;
    if (CompiledWorkbook* workbook = evaluationWorkbook())
      call.hostUntouched = workbook->state().hostUntouched;
    for (; arguments && *arguments; ++arguments)
      call.arguments.push_back(**arguments);
    calls.push_back(std::move(call));
    return calls.back();
  }
};

class CallNodeTest : public ::testing::Test {
protected:
  void SetUp() override {
    evaluationContext() = EvaluationContext{};
    gInvocations.clear();
    gInner = nullptr;
    workbook.addSheet(u"Sheet1");
    workbook.addSheet(u"My Sheet");
    evaluationContext().currentCell = workbook.findOrCreateCell(at(0, 3, 1)); // D2
    for (uint32_t r = 0; r < 3; ++r) {
      put(at(0, 0, r), integer(static_cast<int32_t>(10 * (r + 1)))); // A1:A3 = 10, 20, 30
      put(at(0, 1, r), integer(static_cast<int32_t>(r + 1)));        // B1:B3 = 1, 2, 3
    }
  }
  void TearDown() override { evaluationContext() = EvaluationContext{}; }

  void put(CellAddress address, const CalcValue& v) { workbook.findOrCreateCell(address)->setValue(v); }
  AreaRefNode* area(CellAddress a, CellAddress b) { return new AreaRefNode(workbook, a, b); }
  std::unique_ptr<CallNode> call(std::u16string name, int32_t flags, const FunctionImpl* impl,
                                 std::initializer_list<FormulaNode*> children) {
    auto node = impl ? std::make_unique<CallNode>(std::move(name), flags, impl)
                     : std::make_unique<CallNode>(std::move(name), flags);
    for (FormulaNode* child : children)
      node->addChild(child);
    return node;
  }

  CompiledWorkbook workbook;
  RecordingService functions;
  RecordingService macros;
};

} // namespace

TEST_F(CallNodeTest, KnownFunctionWithoutImplementationGoesToTheHostByNumber) {
  auto normdist = call(u"NORMDIST", 1, nullptr,
                       {new NumberNode(1), new NumberNode(2), new NumberNode(3), new BooleanNode(true)});
  ASSERT_EQ(normdist->implementation(), nullptr);
  ASSERT_EQ(normdist->functionNumber(), 293);

  workbook.state().hostUntouched = 1;
  EXPECT_TRUE(same(*normdist->evaluate(), CalcValue::text(u"NORMDIST"))); // no service: the name
  EXPECT_EQ(workbook.state().hostUntouched, 1);

  evaluationContext().functionService = &functions;
  evaluationContext().macroService = &macros;
  EXPECT_TRUE(same(*normdist->evaluate(), CalcValue::number(0.25)));
  ASSERT_EQ(functions.calls.size(), 1u);
  const HostCall& host = functions.calls[0];
  EXPECT_EQ(host.operation, "function");
  EXPECT_EQ(host.number, 293);
  EXPECT_EQ(host.maxArgs, 4);
  ASSERT_EQ(host.arguments.size(), 4u);
  EXPECT_EQ(host.arguments[2].numberValue(), 3);
  EXPECT_TRUE(host.arguments[3].booleanValue());
  EXPECT_EQ(host.hostUntouched, 0); // cleared before the host was asked
  EXPECT_TRUE(macros.calls.empty());

  // Without the call marker the second service evaluates the whole call from the current cell.
  auto unmarked = call(u"NORMDIST", 0, nullptr, {new NumberNode(1), new NumberNode(2)});
  unmarked->evaluate();
  ASSERT_EQ(macros.calls.size(), 1u);
  EXPECT_EQ(macros.calls[0].operation, "call");
  EXPECT_EQ(macros.calls[0].call, unmarked.get());
  EXPECT_EQ(macros.calls[0].cell, evaluationContext().currentCell);
  EXPECT_EQ(macros.calls[0].arguments.size(), 2u);

  // An unknown name yields the name as written when no service answers.
  evaluationContext().macroService = nullptr;
  auto userFunction = call(u"MyMacro", 0, nullptr, {new NumberNode(1)});
  EXPECT_TRUE(same(*userFunction->evaluate(), CalcValue::text(u"MyMacro")));
}

TEST_F(CallNodeTest, TextsBuiltForTheHostQuoteTextsAndSheetNames) {
  evaluationContext().functionService = &functions;
  put(at(1, 0, 0), integer(5));
  auto unknown = call(u"MYFUNC", 1, nullptr,
                      {new NumberNode(1.5), new TextNode(u"a\"b"), new CellRefNode(workbook, at(1, 0, 0)),
                       new EmptyNode(), new CallNode(u"NOW", 1), area(at(1, 0, 0), at(1, 1, 1)),
                       new ErrorNode(ErrNA), new BooleanNode(true)});
  unknown->evaluate();
  ASSERT_FALSE(functions.calls.empty());
  const HostCall& host = functions.calls.back();
  EXPECT_EQ(host.operation, "text");
  EXPECT_EQ(narrow(host.text), "=MYFUNC(1.5,\"a\"\"b\",'My Sheet'!A1,,NOW(),'My Sheet'!A1:B2,#N/A,TRUE)");

  // The plain text of a call: values by kind, references with the quoted sheet name and both corners.
  CalcValue quoted = CalcValue::text(u"say \"hi\"");
  CalcValue ref = reference(at(1, 0, 0), at(1, 1, 1));
  CalcValue number = CalcValue::number(2.5);
  CalcValue truth = CalcValue::boolean(true);
  CalcValue error = CalcValue::error(ErrNA);
  CalcValue array = arrayOf({{integer(1), integer(2)}});
  CalcValue empty;
  const CalcValue* arguments[] = {&quoted, &ref, &number, &truth, &error, &array, &empty, nullptr};
  EXPECT_EQ(narrow(hostCallText(u"FOO", arguments)),
            "=FOO(\"say \"\"hi\"\"\",'My Sheet'!A1:B2,2.5,TRUE,#N/A,{1,2},)");

  // Invoked once without an implementation, a marked call without descriptor evaluates that text.
  CallNode foo(u"FOO", 1);
  const CalcValue* scalars[] = {&quoted, &ref, &number, nullptr};
  CalcValue result;
  foo.evaluateWith(0, scalars, result);
  EXPECT_EQ(narrow(functions.calls.back().text), "=FOO(\"say \"\"hi\"\"\",'My Sheet'!A1:B2,2.5)");
  EXPECT_TRUE(same(result, CalcValue::number(0.25)));
}

TEST_F(CallNodeTest, ArraysRunElementByElementOnlyWhereTheClassesAllow) {
  // A value-class function over an array runs once per element...
  auto sin = call(u"SIN", 0, &kNegate, {arrayNode(arrayOf({{integer(1), integer(2), integer(3)}}))});
  EXPECT_TRUE(same(*sin->evaluate(), arrayOf({{integer(-1), integer(-2), integer(-3)}})));
  // ...a reference-class function receives the array whole.
  auto sum = call(u"SUM", 0, &kRecord, {arrayNode(arrayOf({{integer(1), integer(2)}}))});
  EXPECT_TRUE(same(*sum->evaluate(), integer(1)));
  ASSERT_EQ(gInvocations.size(), 1u);
  EXPECT_TRUE(gInvocations[0][0].isArray());

  // A known function without implementation, marked, is computed by the host element by element.
  evaluationContext().functionService = &functions;
  auto normdist = call(u"NORMDIST", 1, nullptr,
                       {arrayNode(arrayOf({{integer(1), integer(2)}})), new NumberNode(0), new NumberNode(1),
                        new BooleanNode(true)});
  EXPECT_TRUE(same(*normdist->evaluate(), arrayOf({{CalcValue::number(0.25), CalcValue::number(0.25)}})));
  ASSERT_EQ(functions.calls.size(), 2u);
  EXPECT_TRUE(same(functions.calls[1].arguments[0], integer(2)));

  // In array-formula mode a row of cells runs element by element for a value argument.
  evaluationContext().arrayFormulaMode = true;
  auto negated = call(u"SIN", 0, &kNegate, {area(at(0, 0, 0), at(0, 0, 1))});
  EXPECT_TRUE(same(*negated->evaluate(), arrayOf({{integer(-10)}, {integer(-20)}})));
}

TEST_F(CallNodeTest, ValueArgumentsAreReducedAndReferencesPassedWhole) {
  struct Case {
    const char* what;
    const char16_t* function;
    CellAddress first, second;
    bool arrayMode;
    CalcValue expected;
  } cases[] = {
      {"column meets the current row", u"SIN", at(0, 0, 0), at(0, 0, 2), false, integer(20)},
      {"single cell", u"SIN", at(0, 1, 2), at(0, 1, 2), false, integer(3)},
      {"single cell in array-formula mode", u"SIN", at(0, 1, 2), at(0, 1, 2), true, integer(3)},
      {"block stays a reference", u"SIN", at(0, 0, 0), at(0, 1, 2), false,
       reference(at(0, 0, 0), at(0, 1, 2))},
      {"two sheets stay a reference", u"SIN", at(0, 0, 0), at(1, 0, 2), false,
       reference(at(0, 0, 0), at(1, 0, 2))},
      {"reference class", u"SUM", at(0, 0, 0), at(0, 0, 2), false, reference(at(0, 0, 0), at(0, 0, 2))},
      {"reference class, single cell", u"SUM", at(0, 0, 1), at(0, 0, 1), false,
       reference(at(0, 0, 1), at(0, 0, 1))},
      {"array functions evaluate areas as arrays", u"MDETERM", at(0, 0, 0), at(0, 1, 1), false,
       arrayOf({{integer(10), integer(1)}, {integer(20), integer(2)}})},
      {"not in array-formula mode", u"MDETERM", at(0, 0, 0), at(0, 1, 1), true,
       reference(at(0, 0, 0), at(0, 1, 1))},
      {"ROWS keeps a reference", u"ROWS", at(0, 0, 0), at(0, 1, 1), false,
       reference(at(0, 0, 0), at(0, 1, 1))},
  };
  for (const Case& c : cases) {
    gInvocations.clear();
    evaluationContext().arrayFormulaMode = c.arrayMode;
    auto node = call(c.function, 0, &kRecord, {area(c.first, c.second)});
    node->evaluate();
    ASSERT_EQ(gInvocations.size(), 1u) << c.what;
    EXPECT_TRUE(same(gInvocations[0][0], c.expected)) << c.what;
  }
  evaluationContext().arrayFormulaMode = false;

  // ROW keeps its reference even where the call is evaluated in array context.
  gInvocations.clear();
  auto row = call(u"ROW", 0, &kRecord, {area(at(0, 0, 0), at(0, 0, 2))});
  row->evaluateAsArray();
  EXPECT_TRUE(same(gInvocations.at(0).at(0), reference(at(0, 0, 0), at(0, 0, 2))));

  // Array context reaches exactly the children the function's rule names.
  gInvocations.clear();
  auto ttest = call(u"TTEST", 0, &kRecord,
                    {area(at(0, 0, 0), at(0, 0, 1)), area(at(0, 1, 0), at(0, 1, 1)),
                     area(at(0, 0, 0), at(0, 1, 1)), new NumberNode(1)});
  ttest->evaluate();
  const std::vector<CalcValue>& got = gInvocations.at(0);
  EXPECT_TRUE(got[0].isArray() && got[1].isArray());
  EXPECT_TRUE(same(got[2], reference(at(0, 0, 0), at(0, 1, 1))));
}

// A call shared by many cells, as a template is, reads each cell's operands: what an operand stands for
// decides, cell by cell, how the argument is prepared, whichever it stood for before.
TEST_F(CallNodeTest, OperandsArePreparedCellByCell) {
  auto sum =
      call(u"SUM", 0, &kRecord, {new OperandRefNode(0), area(at(0, 0, 0), at(0, 0, 2)), new NumberNode(2)});
  auto sin = call(u"SIN", 0, &kNegate, {new OperandRefNode(0)});
  struct Case {
    const char* what;
    FormulaNode* operand;
    CalcValue recorded; // what SUM receives for the operand
    CalcValue negated;  // what SIN gives
  } cases[] = {
      {"a constant", new NumberNode(5), integer(5), integer(-5)},
      {"a cell reference", new CellRefNode(workbook, at(0, 1, 1)), reference(at(0, 1, 1), at(0, 1, 1)),
       integer(-2)},
      {"a constant again", new TextNode(u"x"), CalcValue::text(u"x"), integer(0)},
      {"an array constant", arrayNode(arrayOf({{integer(1), integer(2)}})),
       arrayOf({{integer(1), integer(2)}}), arrayOf({{integer(-1), integer(-2)}})},
      {"a call", call(u"SIN", 0, &kNegate, {new NumberNode(4)}).release(), integer(-4), integer(4)},
      {"an error constant", new ErrorNode(ErrNA), CalcValue::error(ErrNA), integer(0)},
  };
  uint32_t row = 0;
  for (Case& c : cases) {
    Cell* cell = workbook.findOrCreateCell(at(0, 5, row++));
    cell->operandRoots().push_back(c.operand);
    evaluationContext().currentCell = cell;
    gInvocations.clear();
    EXPECT_TRUE(same(*sum->evaluate(), integer(3))) << c.what;
    ASSERT_EQ(gInvocations.size(), 1u) << c.what;
    EXPECT_TRUE(same(gInvocations[0][0], c.recorded)) << c.what;
    EXPECT_TRUE(same(gInvocations[0][1], reference(at(0, 0, 0), at(0, 0, 2)))) << c.what;
    EXPECT_TRUE(same(gInvocations[0][2], integer(2))) << c.what;
    EXPECT_TRUE(same(*sin->evaluate(), c.negated)) << c.what;
  }
}

// Calls whose arguments are all constants and fixed areas, in every number the routine may see.
TEST_F(CallNodeTest, ConstantsAndFixedAreasReachTheRoutineAsGiven) {
  auto areas = [&](int n) {
    std::vector<FormulaNode*> children;
    for (int i = 0; i < n; ++i)
      children.push_back(area(at(0, 0, 0), at(0, uint32_t(i), 2)));
    return children;
  };
  auto numbers = [](int n) {
    std::vector<FormulaNode*> children;
    for (int i = 0; i < n; ++i)
      children.push_back(new NumberNode(i));
    return children;
  };
  struct Case {
    const char* what;
    std::vector<FormulaNode*> children;
  } cases[] = {
      {"no argument", {}},     {"eight numbers", numbers(8)}, {"nine numbers", numbers(9)},
      {"two areas", areas(2)}, {"three areas", areas(3)},
  };
  for (Case& c : cases) {
    gInvocations.clear();
    auto sum = std::make_unique<CallNode>(u"SUM", 0, &kRecord);
    for (FormulaNode* child : c.children)
      sum->addChild(child);
    EXPECT_TRUE(same(*sum->evaluate(), integer(int32_t(c.children.size())))) << c.what;
    ASSERT_EQ(gInvocations.size(), 1u) << c.what;
    for (size_t i = 0; i < c.children.size(); ++i) {
      const CalcValue& got = gInvocations[0][i];
      auto* node = c.children[i];
      EXPECT_TRUE(same(got, node->kind() == NodeKind::AreaRef
                                ? reference(node->referenceArea().first, node->referenceArea().second)
                                : *node->value()))
          << c.what << " " << i;
    }
  }
}

TEST_F(CallNodeTest, RangesStayRangesInArrayContext) {
  // A range argument of a function inside SUMPRODUCT still arrives as a range.
  auto countif = std::make_unique<CallNode>(u"COUNTIF", 0, &kRecord);
  countif->addChild(area(at(0, 0, 0), at(0, 0, 2)));
  countif->addChild(new NumberNode(20));
  auto sumproduct = call(u"SUMPRODUCT", 0, &kRecord, {countif.release()});
  sumproduct->evaluate();
  ASSERT_EQ(gInvocations.size(), 2u);
  EXPECT_TRUE(same(gInvocations[0][0], reference(at(0, 0, 0), at(0, 0, 2))));

  // ROWS over a call that yields a reference gets that reference, also on the first evaluation.
  gInvocations.clear();
  auto offset = std::make_unique<CallNode>(u"OFFSET", 0, &kPassFirst);
  offset->addChild(area(at(0, 0, 0), at(0, 0, 2)));
  offset->addChild(new NumberNode(0));
  offset->addChild(new NumberNode(0));
  auto rows = call(u"ROWS", 0, &kRecord, {offset.release()});
  rows->evaluate();
  ASSERT_EQ(gInvocations.size(), 1u);
  EXPECT_TRUE(same(gInvocations[0][0], reference(at(0, 0, 0), at(0, 0, 2))));
}

TEST_F(CallNodeTest, IfEvaluatesOnlyTheChosenBranch) {
  auto division = [] {
    auto* node = new ArithmeticNode(ArithmeticNode::Divide);
    node->addChild(new NumberNode(1));
    node->addChild(new NumberNode(0));
    return node;
  };
  FormulaNode* untouched = division();
  auto taken = call(u"IF", 0, &kChoose, {new BooleanNode(true), new NumberNode(1), untouched});
  EXPECT_TRUE(same(*taken->evaluate(), integer(1)));
  EXPECT_EQ(untouched->value(), nullptr); // never evaluated

  struct Case {
    const char* what;
    FormulaNode* condition;
    FormulaNode* whenTrue;
    FormulaNode* whenFalse;
    CalcValue expected;
    bool invoked;
  } cases[] = {
      {"text condition", new TextNode(u"yes"), new NumberNode(1), new NumberNode(2),
       CalcValue::error(ErrValue), false},
      {"true text in any case", new TextNode(u"tRuE"), new NumberNode(1), new NumberNode(2), integer(1),
       true},
      {"error condition", new ErrorNode(ErrNA), new NumberNode(1), new NumberNode(2), CalcValue::error(ErrNA),
       false},
      {"error text condition", new TextNode(u"#DIV/0!"), new NumberNode(1), new NumberNode(2),
       CalcValue::error(ErrValue), false},
      {"array condition reads its first element", arrayNode(arrayOf({{integer(0), integer(1)}})),
       new NumberNode(1), new NumberNode(2), integer(2), true},
      {"error in the chosen branch", new BooleanNode(true), division(), new NumberNode(2),
       CalcValue::error(ErrDiv0), false},
      {"a branch not taken does not shape the result", new BooleanNode(false),
       arrayNode(arrayOf({{integer(1), integer(2)}})), new NumberNode(3), integer(3), true},
  };
  for (const Case& c : cases) {
    gInvocations.clear();
    auto node = call(u"IF", 0, &kChoose, {c.condition, c.whenTrue, c.whenFalse});
    EXPECT_TRUE(same(*node->evaluate(), c.expected)) << c.what;
    EXPECT_EQ(!gInvocations.empty(), c.invoked) << c.what;
  }

  // In array-formula mode every child is evaluated and an array condition runs element by element.
  evaluationContext().arrayFormulaMode = true;
  auto elementwise = call(u"IF", 0, &kChoose,
                          {arrayNode(arrayOf({{CalcValue::boolean(true), CalcValue::boolean(false)}})),
                           new NumberNode(1), new NumberNode(2)});
  EXPECT_TRUE(same(*elementwise->evaluate(), arrayOf({{integer(1), integer(2)}})));
}

TEST_F(CallNodeTest, AddressFillsItsMissingArguments) {
  auto address =
      call(u"ADDRESS", 0, &kRecord,
           {new NumberNode(1), new NumberNode(1), new EmptyNode(), new EmptyNode(), new EmptyNode()});
  address->evaluate();
  ASSERT_EQ(gInvocations.size(), 1u);
  const std::vector<CalcValue>& got = gInvocations[0];
  ASSERT_EQ(got.size(), 4u); // the missing sheet name ends the list
  EXPECT_TRUE(same(got[2], integer(1)));
  EXPECT_TRUE(same(got[3], CalcValue::boolean(true)));
}

TEST_F(CallNodeTest, IndexChoosesItsAreaWithoutTouchingCells) {
  auto unionOf = [&] {
    auto* u = new UnionNode();
    u->addChild(area(at(0, 0, 0), at(0, 0, 1)));
    u->addChild(area(at(0, 2, 0), at(0, 2, 2)));
    return u;
  };
  struct Case {
    const char* what;
    FormulaNode* areaNumber;
    CalcValue expected; // the first argument the routine receives, or the call's error
    bool invoked;
  } cases[] = {
      {"second member", new NumberNode(2), reference(at(0, 2, 0), at(0, 2, 2)), true},
      {"area number beyond the union", new NumberNode(3), CalcValue::error(ErrRef), false},
      {"area number 0", new NumberNode(0), CalcValue::error(ErrRef), false},
      {"text area number", new TextNode(u"x"), CalcValue::error(ErrValue), false},
      {"error area number", new ErrorNode(ErrNA), CalcValue::error(ErrNA), false},
  };
  for (const Case& c : cases) {
    gInvocations.clear();
    auto index = call(u"INDEX", 0, &kRecord, {unionOf(), new NumberNode(1), new NumberNode(1), c.areaNumber});
    const CalcValue* v = index->evaluate();
    ASSERT_EQ(!gInvocations.empty(), c.invoked) << c.what;
    EXPECT_TRUE(same(c.invoked ? gInvocations[0][0] : *v, c.expected)) << c.what;
  }

  // A cell reference as the area: the routine sees the reference and the cell keeps its value.
  gInvocations.clear();
  auto onCell =
      call(u"INDEX", 0, &kRecord,
           {new CellRefNode(workbook, at(0, 0, 0)), new NumberNode(1), new NumberNode(1), new NumberNode(1)});
  onCell->evaluate();
  EXPECT_TRUE(same(gInvocations.at(0).at(0), reference(at(0, 0, 0), at(0, 0, 0))));
  EXPECT_TRUE(same(*workbook.findCell(at(0, 0, 0))->value(), integer(10)));

  // An array constant (or anything that is no reference) is evaluated as an array.
  gInvocations.clear();
  auto onArray =
      call(u"INDEX", 0, &kRecord, {arrayNode(arrayOf({{integer(1)}, {integer(2)}})), new NumberNode(2)});
  onArray->evaluate();
  EXPECT_TRUE(gInvocations.at(0).at(0).isArray());
}

TEST_F(CallNodeTest, NestedEvaluationKeepsTheOuterArguments) {
  auto inner = call(u"SUM", 0, &kRecord, {area(at(0, 2, 0), at(0, 2, 4))});
  gInner = inner.get();
  auto outer = call(u"SUM", 0, &kNested, {area(at(0, 0, 0), at(0, 0, 2)), area(at(0, 1, 0), at(0, 1, 2))});
  outer->evaluate();
  ASSERT_EQ(gInvocations.size(), 2u);
  EXPECT_TRUE(same(gInvocations[0][0], reference(at(0, 2, 0), at(0, 2, 4))));
  EXPECT_TRUE(same(gInvocations[1][0], reference(at(0, 0, 0), at(0, 0, 2))));
  EXPECT_TRUE(same(gInvocations[1][1], reference(at(0, 1, 0), at(0, 1, 2))));
}

TEST_F(CallNodeTest, ByClassPassesReferencesWholeToEveryElement) {
  CallNode sumif(u"SUMIF", 0, &kRecord);
  CalcValue range = reference(at(0, 0, 0), at(0, 0, 2));
  CalcValue criteria = arrayOf({{integer(1), integer(2)}});
  CalcValue sums = reference(at(0, 1, 0), at(0, 1, 2));
  const CalcValue* arguments[] = {&range, &criteria, &sums, nullptr};
  CalcValue result;
  sumif.applyElementwiseByClass(arguments, result);
  EXPECT_TRUE(same(result, arrayOf({{integer(3), integer(3)}})));
  ASSERT_EQ(gInvocations.size(), 2u);
  EXPECT_TRUE(same(gInvocations[1][0], range));
  EXPECT_TRUE(same(gInvocations[1][1], integer(2)));
  EXPECT_TRUE(same(gInvocations[1][2], sums));

  // Supplied arguments with a multi-cell reference for a reference class run element by element.
  gInvocations.clear();
  CallNode abs(u"ABS", 0, &kNegate);
  const CalcValue* single[] = {&range, nullptr};
  abs.evaluateWith(ArgReference, single, result);
  EXPECT_TRUE(same(result, arrayOf({{integer(-10)}, {integer(-20)}, {integer(-30)}})));
}

TEST_F(CallNodeTest, CallsWithTooManyArgumentsAreRefused) {
  // 255 arguments pass; a record list that gives a call 256 children keeps 255 and marks the call.
  auto full = std::make_unique<CallNode>(u"SUM", 0, &kRecord);
  for (int i = 0; i < 255; ++i)
    EXPECT_TRUE(full->addChild(new NumberNode(i)));
  full->evaluate();
  ASSERT_EQ(gInvocations.size(), 1u);
  EXPECT_EQ(gInvocations[0].size(), 255u);
  EXPECT_FALSE(full->tooManyArguments());

  auto le16 = [](std::vector<uint8_t>& out, uint16_t v) {
    out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)});
  };
  auto le32 = [&](std::vector<uint8_t>& out, int32_t v) {
    le16(out, uint16_t(v));
    le16(out, uint16_t(uint32_t(v) >> 16));
  };
  std::vector<uint8_t> bytes;
  le16(bytes, 8 + 4 + 8), le16(bytes, 17), le32(bytes, -1), le32(bytes, 0);
  for (char16_t c : std::u16string(u"SUM\0", 4))
    le16(bytes, c);
  for (int i = 0; i < 256; ++i) {
    le16(bytes, 16), le16(bytes, 2), le32(bytes, 0);
    double x = i;
    uint8_t raw[8];
    std::memcpy(raw, &x, 8);
    bytes.insert(bytes.end(), raw, raw + 8);
  }
  StreamReader reader;
  reader.addInflated(bytes);
  NodeList list = readNodesBytes(reader, bytes.size(), workbook);
  std::vector<FormulaNode*> roots = list.takeRoots();
  ASSERT_EQ(roots.size(), 1u);
  std::unique_ptr<FormulaNode> root(roots[0]);
  auto* loaded = static_cast<CallNode*>(root.get());
  EXPECT_EQ(loaded->children()->size(), 255u);
  EXPECT_TRUE(loaded->tooManyArguments());
  EXPECT_TRUE(same(*loaded->evaluate(), CalcValue::error(ErrValue)));
}

TEST_F(CallNodeTest, FormulaTextShowsTheTableNameAndQuotedTexts) {
  auto iferror = call(u"IFERROR", 0, nullptr, {new CellRefNode(workbook, at(1, 0, 0)), new TextNode(u"x")});
  EXPECT_EQ(narrow(iferror->formulaText()), "_XLFN.IFERROR('My Sheet'!A1,\"x\")");
  auto custom = call(u"MyMacro", 0, nullptr, {new NumberNode(2), area(at(0, 0, 0), at(0, 1, 1))});
  EXPECT_EQ(narrow(custom->formulaText()), "MyMacro(2,'Sheet1'!A1:B2)");
}
