// Formula nodes: constants, references, union and intersection, array constants, area loading,
// proxies (including ones that reach themselves), link and DDE references, and node texts.
#include "formula/array_node.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/constant_nodes.h"
#include "formula/operator_nodes.h"
#include "formula/proxy_nodes.h"
#include "formula/reference_nodes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

using namespace cwbk;

namespace {

CellAddress at(uint32_t sheet, uint32_t column, uint32_t row) {
  return CellAddress::make(sheet, column, row);
}

struct NodeDeleter {
  void operator()(FormulaNode* n) const { delete n; }
};
using NodePtr = std::unique_ptr<FormulaNode, NodeDeleter>;

class FormulaNodeTest : public ::testing::Test {
protected:
  void SetUp() override {
    evaluationContext() = EvaluationContext{};
    workbook.addSheet(u"Sheet1");
    workbook.addSheet(u"It's");
  }
  void TearDown() override { evaluationContext() = EvaluationContext{}; }

  void put(CellAddress address, const CalcValue& v) { workbook.findOrCreateCell(address)->setValue(v); }
  AreaRefNode* area(CellAddress a, CellAddress b) { return new AreaRefNode(workbook, a, b); }

  CompiledWorkbook workbook;
};

} // namespace

TEST_F(FormulaNodeTest, ConstantsFollowTheirConstructionRules) {
  NumberNode nan(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(nan.value()->kind(), CalcValue::Double);
  EXPECT_EQ(nan.value()->doubleValue(), 0.0);
  NumberNode inf(std::numeric_limits<double>::infinity());
  EXPECT_EQ(inf.value()->doubleValue(), 0.0);
  EXPECT_TRUE(ErrorNode(12345).value()->isEmpty());
  EXPECT_EQ(ErrorNode(ErrNA).value()->errorCode(), ErrNA);
  EXPECT_TRUE(BooleanNode(true).value()->booleanValue());
  EXPECT_TRUE(EmptyNode().evaluate()->isEmpty());
  EXPECT_EQ(TextNode(u"a\"b").formulaText(), u"\"a\"b\"");
  EXPECT_EQ(BooleanNode(false).formulaText(), u"FALSE");
  EXPECT_EQ(ErrorNode(ErrDiv0).formulaText(), u"#DIV/0!");
}

TEST_F(FormulaNodeTest, TextUnquotingStripsOnePairAndUndoublesQuotes) {
  struct Case {
    std::u16string stored, text;
  } cases[] = {
      {u"\"a\"\"b\"", u"a\"b"}, {u"a\"b", u"a\"b"}, {u"\"", u"\""},     {u"\"\"", u""},
      {u"\"\"\"\"", u"\""},     {u"", u""},         {u"\"\"\"", u"\""}, {u"x\"\"y", u"x\"y"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TextNode::unquote(c.stored), c.text) << std::string(c.stored.begin(), c.stored.end());
}

TEST_F(FormulaNodeTest, DebugTextJoinsKindTagAndText) {
  NumberNode n(2.5);
  EXPECT_EQ(n.debugText(), u"2|2|2.5");
  EmptyNode e;
  EXPECT_EQ(e.debugText(), u"1|0|");
  NodePtr a(area(at(0, 1, 2), at(0, 0, 0)));
  EXPECT_EQ(a->debugText(), u"7|0|'Sheet1'!A1:B3");
}

TEST_F(FormulaNodeTest, AreaCornersAreNormalizedAtConstruction) {
  NodePtr swapped(area(at(0, 1, 2), at(0, 0, 0)));
  EXPECT_EQ(swapped->referenceArea(), (Area{at(0, 0, 0), at(0, 1, 2)}));
  NodePtr mixed(area(at(0, 0, 2), at(0, 1, 0))); // A3, B1
  EXPECT_EQ(mixed->referenceArea(), (Area{at(0, 0, 0), at(0, 1, 2)}));
  NodePtr single(area(at(0, 0, 0), CellAddress::invalid()));
  EXPECT_EQ(single->referenceArea(), (Area{at(0, 0, 0), at(0, 0, 0)}));
  EXPECT_EQ(single->formulaText(), u"'Sheet1'!A1");
  EXPECT_TRUE(single->isReference());
}

TEST_F(FormulaNodeTest, CellReferenceShowsAndAssignsTheCell) {
  CellRefNode ref(workbook, at(1, 0, 0));
  ASSERT_NE(ref.cell(), nullptr);
  EXPECT_EQ(workbook.findCell(at(1, 0, 0)), ref.cell());
  EXPECT_TRUE(ref.evaluate()->isEmpty()); // no value yet: the shared empty value
  EXPECT_EQ(ref.formulaText(), u"'It''s'!A1");
  ref.setNumberValue(4);
  EXPECT_EQ(ref.cell()->value()->integer(), 4);
  EXPECT_TRUE(ref.cell()->hasFlag(CellValueChanged));
  EXPECT_EQ(ref.evaluate()->integer(), 4);
  EXPECT_EQ(ref.referenceArea(), (Area{at(1, 0, 0), at(1, 0, 0)}));

  CellRefNode nowhere(workbook, CellAddress::invalid());
  EXPECT_EQ(nowhere.evaluate()->errorCode(), ErrRef);
  EXPECT_FALSE(nowhere.referenceArea().isValid());
}

TEST_F(FormulaNodeTest, AreaYieldsItsValueForTheCurrentCellOrItsReference) {
  put(at(0, 1, 4), CalcValue::number(7));                 // B5
  Cell* current = workbook.findOrCreateCell(at(0, 3, 4)); // D5
  evaluationContext().currentCell = current;
  NodePtr column(area(at(0, 1, 0), at(0, 1, 9))); // B1:B10
  EXPECT_EQ(column->evaluate()->integer(), 7);
  EXPECT_EQ(column->referenceArea(), (Area{at(0, 1, 0), at(0, 1, 9)}));
  evaluationContext().arrayFormulaMode = true;
  const CalcValue* v = column->evaluate();
  ASSERT_TRUE(v->isReference());
  EXPECT_EQ(v->referenceArea(), (Area{at(0, 1, 0), at(0, 1, 9)}));
  const CalcValue* array = column->evaluateAsArray();
  ASSERT_TRUE(array->isArray());
  EXPECT_EQ(array->arrayColumns(), 1u);
  EXPECT_EQ(array->arrayRows(), 10u);
  EXPECT_EQ(array->element(0, 4)->integer(), 7);
  EXPECT_TRUE(array->element(0, 0)->isEmpty());
}

TEST_F(FormulaNodeTest, ComputedAreaTakesItsCornersFromItsChildren) {
  auto* range =
      new AreaRefNode(workbook, CellAddress::invalid(), CellAddress::invalid(), AreaRefNode::kComputed);
  range->addChild(new CellRefNode(workbook, at(0, 2, 3))); // C4
  range->addChild(area(at(0, 0, 0), at(0, 1, 1)));         // A1:B2
  NodePtr owner(range);
  evaluationContext().arrayFormulaMode = true;
  range->evaluate();
  // C4's top-left and B2 (the last child's bottom-right), normalized.
  EXPECT_EQ(range->referenceArea(), (Area{at(0, 1, 1), at(0, 2, 3)}));
  EXPECT_EQ(range->formulaText(), u"'Sheet1'!B2:C4");
}

TEST_F(FormulaNodeTest, LoadAreaCostFollowsTheUsedCells) {
  put(at(0, 0, 0), CalcValue::number(1));
  put(at(0, 0, 4), CalcValue::number(2));
  put(at(0, 2, 1), CalcValue::text(u"x"));
  put(at(1, 0, 0), CalcValue::number(99)); // another sheet: never part of the area
  CalcValue result;
  // A small area keeps its full shape, empty cells included.
  workbook.loadArea(Area{at(0, 0, 0), at(0, 1, 5)}, result);
  EXPECT_EQ(result.arrayColumns(), 2u);
  EXPECT_EQ(result.arrayRows(), 6u);
  // A whole column and the whole sheet are cut to their used part.
  workbook.loadArea(Area{at(0, 0, 0), at(0, 0, 0xFFFFF)}, result);
  EXPECT_EQ(result.arrayColumns(), 1u);
  EXPECT_EQ(result.arrayRows(), 5u);
  EXPECT_EQ(result.element(0, 4)->integer(), 2);
  workbook.loadArea(Area{at(0, 0, 0), at(0, 0x3FFF, 0xFFFFF)}, result);
  EXPECT_EQ(result.arrayColumns(), 3u);
  EXPECT_EQ(result.arrayRows(), 5u);
  EXPECT_EQ(result.element(2, 1)->textView(), u"x");
  EXPECT_EQ(result.element(0, 0)->integer(), 1);
  // Cells far apart would need more elements than an array may hold.
  put(at(0, 0x3FFF, 0xFFFFF), CalcValue::number(3));
  workbook.loadArea(Area{at(0, 0, 0), at(0, 0x3FFF, 0xFFFFF)}, result);
  EXPECT_EQ(result.errorCode(), ErrNum);
  workbook.loadArea(Area{at(0, 0, 0), at(1, 0, 0)}, result);
  EXPECT_EQ(result.errorCode(), ErrRef);
}

TEST_F(FormulaNodeTest, UnionIsNoValueButListsItsReferences) {
  UnionNode u;
  u.addChild(area(at(0, 0, 0), at(0, 0, 1)));         // A1:A2
  u.addChild(new CellRefNode(workbook, at(0, 2, 0))); // C1
  u.addChild(area(at(0, 0, 0), at(1, 0, 0)));         // two sheets
  EXPECT_EQ(u.evaluate()->errorCode(), ErrValue);
  const CalcValue* list = u.value();
  ASSERT_TRUE(list->isReferenceList());
  ASSERT_EQ(list->arrayColumns(), 3u);
  EXPECT_EQ(list->element(0, 0)->referenceArea(), (Area{at(0, 0, 0), at(0, 0, 1)}));
  EXPECT_EQ(list->element(1, 0)->referenceArea(), (Area{at(0, 2, 0), at(0, 2, 0)}));
  EXPECT_EQ(list->element(2, 0)->errorCode(), ErrRef);
  EXPECT_EQ(u.formulaText(), u"('Sheet1'!A1:A2,'Sheet1'!C1,'Sheet1'!A1:A1)");
  EXPECT_EQ(u.unionMembers()->size(), 3u);
}

TEST_F(FormulaNodeTest, IntersectionOfReferenceChildren) {
  struct Case {
    Area a, b;
    bool overlaps;
    Area expected;
  } cases[] = {
      {{at(0, 0, 0), at(0, 2, 2)}, {at(0, 1, 1), at(0, 3, 3)}, true, {at(0, 1, 1), at(0, 2, 2)}},
      {{at(0, 0, 0), at(0, 0, 1)}, {at(0, 2, 0), at(0, 2, 1)}, false, {}},
  };
  for (const auto& c : cases) {
    IntersectionNode node;
    node.addChild(area(c.a.first, c.a.second));
    node.addChild(new NumberNode(1)); // not a reference: ignored
    node.addChild(area(c.b.first, c.b.second));
    evaluationContext().arrayFormulaMode = true; // keep the areas' values references
    const CalcValue* v = node.evaluate();
    if (c.overlaps) {
      ASSERT_TRUE(v->isReference());
      EXPECT_EQ(v->referenceArea(), c.expected);
      EXPECT_TRUE(node.isReference());
    } else {
      EXPECT_EQ(v->errorCode(), ErrNull);
    }
  }
  IntersectionNode spanning; // an area over two sheets first: the walk finds nothing usable
  spanning.addChild(area(at(0, 0, 0), at(1, 0, 0)));
  spanning.addChild(area(at(0, 0, 0), at(0, 1, 1)));
  EXPECT_EQ(spanning.evaluate()->errorCode(), ErrNull);
  EXPECT_EQ(spanning.formulaText().front(), u'(');
}

TEST_F(FormulaNodeTest, ArrayConstantConsumesItsChildren) {
  ArrayNode array;
  EXPECT_FALSE(array.addChild(new NumberNode(1)));
  array.addChild(new TextNode(u"a"));
  auto* negated = new ArithmeticNode(ArithmeticNode::Negate);
  negated->addChild(new NumberNode(3));
  array.addChild(negated);
  array.addChild(new CellRefNode(workbook, at(0, 0, 0))); // not a constant: refused
  EXPECT_TRUE(array.children()->empty());
  const CalcValue* v = array.evaluate();
  ASSERT_TRUE(v->isArray());
  ASSERT_EQ(v->arrayColumns(), 3u);
  EXPECT_EQ(v->element(2, 0)->integer(), -3);
  EXPECT_EQ(array.formulaText(), u"{1,\"a\",-3}");
  EXPECT_TRUE(array.isArrayConstant());
  EXPECT_EQ(array.arrayValue(), v);
}

TEST_F(FormulaNodeTest, ArithmeticComputesNegationAndPercentOfNumbers) {
  struct Case {
    uint32_t op;
    double x;
    CalcValue::Kind kind;
    double expected;
  } cases[] = {
      {ArithmeticNode::Negate, 3, CalcValue::Integer, -3},
      {ArithmeticNode::Negate, 2.5, CalcValue::Double, -2.5},
      {ArithmeticNode::Percent, 50, CalcValue::Double, 0.5},
  };
  for (const auto& c : cases) {
    ArithmeticNode node(c.op);
    node.addChild(new NumberNode(c.x));
    const CalcValue* v = node.evaluate();
    EXPECT_EQ(v->kind(), c.kind);
    EXPECT_EQ(v->numberValue(), c.expected);
  }
  ArithmeticNode sum(ArithmeticNode::Add);
  sum.addChild(new NumberNode(1.5));
  sum.addChild(new ErrorNode(ErrNA));
  EXPECT_EQ(sum.evaluate()->errorCode(), ErrNA);
}

TEST_F(FormulaNodeTest, DivideValueInPlace) {
  NumberNode six(6), three(3), zero(0);
  six.divideValue(three);
  EXPECT_EQ(six.value()->kind(), CalcValue::Double);
  EXPECT_EQ(six.value()->doubleValue(), 2.0);
  NumberNode other(6);
  other.divideValue(zero);
  EXPECT_EQ(other.value()->kind(), CalcValue::Integer);
  EXPECT_EQ(other.value()->integer(), 0);
  EXPECT_TRUE(three.lessThan(other) == false);
  EXPECT_TRUE(zero.lessOrEqual(three));
}

// ---------------------------------------------------------------- proxies

TEST_F(FormulaNodeTest, NameEvaluatesItsFormulaAndRestoresTheCurrentCell) {
  workbook.definedNames().push_back({u"Rate", -1, new NumberNode(0.25)});
  Cell* current = workbook.findOrCreateCell(at(0, 0, 0));
  evaluationContext().currentCell = current;
  UnionNode parent;
  auto* name = new NameRefNode(workbook, 0);
  parent.addChild(name);
  EXPECT_EQ(name->evaluate()->doubleValue(), 0.25);
  EXPECT_EQ(evaluationContext().currentCell, current);
  EXPECT_EQ(workbook.definedNames()[0].root->parent(), nullptr); // restored
  EXPECT_EQ(name->formulaText(), u"0.25");

  NameRefNode missing(workbook, 7);
  EXPECT_EQ(missing.evaluate(), nullptr);
  EXPECT_EQ(missing.value(), nullptr);
}

TEST_F(FormulaNodeTest, SelfReachingProxiesGiveErrorsInsteadOfRecursing) {
  // N0 = N0 + 1; N1 = N2, N2 = N1; shared expression 0 and template 0 refer to themselves.
  auto* plus = new ArithmeticNode(ArithmeticNode::Add);
  plus->addChild(new NameRefNode(workbook, 0));
  plus->addChild(new NumberNode(1));
  workbook.definedNames().push_back({u"Self", -1, plus});
  workbook.definedNames().push_back({u"A", -1, new NameRefNode(workbook, 2)});
  workbook.definedNames().push_back({u"B", -1, new NameRefNode(workbook, 1)});
  workbook.sharedExpressions().push_back(new SharedRefNode(workbook, 0));
  workbook.formulaTemplates().push_back(new TemplateRefNode(workbook, 0));

  NameRefNode self(workbook, 0);
  EXPECT_EQ(self.evaluate()->errorCode(), ErrName);
  NameRefNode mutual(workbook, 1);
  EXPECT_EQ(mutual.evaluate()->errorCode(), ErrName);
  SharedRefNode shared(workbook, 0);
  EXPECT_EQ(shared.evaluate()->errorCode(), ErrRef);
  TemplateRefNode templ(workbook, 0);
  EXPECT_EQ(templ.evaluate()->errorCode(), ErrRef);
  // Texts and reference questions end as well.
  EXPECT_FALSE(mutual.formulaText().empty());
  EXPECT_FALSE(templ.isReference());
  EXPECT_FALSE(shared.referenceArea().isValid());
  EXPECT_EQ(evaluationContext().nestingDepth, 0u);
}

TEST_F(FormulaNodeTest, UnionThatReachesItselfThroughANameEnds) {
  auto* u = new UnionNode();
  u->addChild(new NameRefNode(workbook, 0));
  u->addChild(area(at(0, 0, 0), at(0, 0, 1)));
  workbook.definedNames().push_back({u"Loop", -1, u});
  NameRefNode name(workbook, 0);
  name.evaluate();
  const CalcValue* v = name.value();
  ASSERT_NE(v, nullptr);
  EXPECT_FALSE(name.formulaText().empty());
}

TEST_F(FormulaNodeTest, LongNameChainStopsAtTheNestingLimit) {
  const int n = 5000;
  for (int i = 0; i < n; ++i)
    workbook.definedNames().push_back(
        {u"N", -1,
         i + 1 < n ? static_cast<FormulaNode*>(new NameRefNode(workbook, i + 1)) : new NumberNode(1)});
  NameRefNode head(workbook, 0);
  EXPECT_EQ(head.evaluate()->errorCode(), ErrName);
  EXPECT_EQ(evaluationContext().nestingDepth, 0u);
  NameRefNode tail(workbook, n - 10);
  EXPECT_EQ(tail.evaluate()->numberValue(), 1);
}

// The constant at the end of a chain is asked without the nesting count of the names before it, but
// only as deep as that count would let it be reached.
TEST_F(FormulaNodeTest, NameChainReachesAConstantUpToTheNestingLimit) {
  for (int names : {int(kMaxNestingDepth), int(kMaxNestingDepth) + 1}) {
    auto first = static_cast<int32_t>(workbook.definedNames().size());
    for (int i = 0; i < names; ++i)
      workbook.definedNames().push_back(
          {u"N", -1,
           i + 1 < names ? static_cast<FormulaNode*>(new NameRefNode(workbook, first + i + 1))
                         : new NumberNode(1)});
    NameRefNode head(workbook, first);
    const CalcValue* v = head.evaluate();
    ASSERT_NE(v, nullptr);
    if (names == int(kMaxNestingDepth))
      EXPECT_EQ(v->numberValue(), 1);
    else
      EXPECT_EQ(v->errorCode(), ErrName);
    EXPECT_TRUE(head.value()->sameAs(*v)) << names;
    EXPECT_EQ(evaluationContext().nestingDepth, 0u);
  }
}

TEST_F(FormulaNodeTest, OperandReferenceUsesTheCurrentCellsOperands) {
  OperandRefNode operand(2);
  EXPECT_EQ(operand.formulaText(), u"@2");
  EXPECT_EQ(operand.evaluate()->errorCode(), ErrRef); // no current cell
  Cell* cell = workbook.findOrCreateCell(at(0, 0, 0));
  cell->operandRoots().push_back(new NumberNode(10));
  cell->operandRoots().push_back(new NumberNode(20));
  evaluationContext().currentCell = cell;
  EXPECT_EQ(operand.evaluate()->errorCode(), ErrRef);    // index out of range
  cell->operandRoots().push_back(new OperandRefNode(2)); // reaches itself
  EXPECT_EQ(operand.evaluate()->errorCode(), ErrRef);
  OperandRefNode first(1);
  EXPECT_EQ(first.evaluate()->numberValue(), 20);
  EXPECT_EQ(first.formulaText(), u"@1"); // the cell has no template
  cell->setTemplateIndex(0);
  EXPECT_EQ(first.formulaText(), u"20");
}

TEST_F(FormulaNodeTest, TemplateEvaluatesWithTheProxysParent) {
  struct ParentProbe : FormulaNode {
    FormulaNode* seen = nullptr;
    NodeKind kind() const override { return NodeKind::Empty; }
    const CalcValue* evaluate() override {
      seen = parent();
      return value();
    }
    void writeSelf(int32_t, std::vector<uint8_t>&) const override {}
    std::u16string formulaText() const override { return u"probe"; }
  };
  auto* probe = new ParentProbe();
  workbook.formulaTemplates().push_back(probe);
  UnionNode holder;
  auto* proxy = new TemplateRefNode(workbook, 0);
  holder.addChild(proxy);
  proxy->evaluate();
  EXPECT_EQ(probe->seen, &holder);
  EXPECT_EQ(probe->parent(), nullptr);
  EXPECT_EQ(proxy->formulaText(), u"probe");
}

// ---------------------------------------------------------------- links

namespace {

struct LinkDouble : LinkServices {
  int opens = 0, reads = 0, directs = 0, initiates = 0, requests = 0;
  bool openSucceeds = true, directAnswers = false;
  int32_t channel = 5;
  std::u16string lastPath, lastText;
  bool lastHadPath = false;

  bool openLinkedWorkbook(std::u16string_view path) override {
    ++opens;
    lastPath = path;
    return openSucceeds;
  }
  void readLinkedCell(const std::u16string* path, std::u16string_view text, CalcValue& value) override {
    ++reads;
    lastHadPath = path != nullptr;
    if (path) lastPath = *path;
    lastText = text;
    value.setNumber(42);
  }
  bool ddeRequestDirect(std::u16string_view, std::u16string_view, std::u16string_view,
                        CalcValue& value) override {
    ++directs;
    if (directAnswers) value.setText(u"direct");
    return directAnswers;
  }
  int32_t ddeInitiate(std::u16string_view, std::u16string_view) override {
    ++initiates;
    return channel;
  }
  void ddeRequest(int32_t, std::u16string_view item, CalcValue& value) override {
    ++requests;
    value.setText(item);
  }
  std::u16string fullPath(std::u16string_view folder) override {
    return u"C:\\full\\" + std::u16string(folder);
  }
};

} // namespace

TEST_F(FormulaNodeTest, ExternalReferenceOpensReadsAndCaches) {
  LinkDouble links;
  evaluationContext().links = &links;
  ExternalLink link;
  link.folder = u"dir";
  link.fileName = u"book.xls";
  link.state = 2;
  workbook.externalLinks().push_back(link);
  ExternalRefNode ref(workbook, 0, u"'Sheet1'!A1");
  EXPECT_EQ(ref.evaluate()->integer(), 42);
  EXPECT_EQ(links.lastPath, u"C:\\full\\dir\\book.xls");
  EXPECT_EQ(workbook.externalLinks()[0].state, 3);
  EXPECT_FALSE(links.lastHadPath);
  EXPECT_EQ(links.lastText, u"'dir[book.xls]Sheet1'!A1");
  ref.evaluate(); // answered from the cache
  EXPECT_EQ(links.reads, 1);
  workbook.externalLinks()[0].setState(4); // a new state empties the cache
  ref.evaluate();
  EXPECT_EQ(links.reads, 2);
  EXPECT_TRUE(links.lastHadPath);
  EXPECT_EQ(links.lastPath, u"C:\\full\\dir\\book.xls");
  EXPECT_EQ(ref.formulaText(), u"'dir[book.xls]Sheet1'!A1");

  ExternalRefNode plain(workbook, 0, u"A1");
  workbook.externalLinks()[0].setState(0);
  plain.evaluate();
  EXPECT_EQ(links.lastText, u"'dirbook.xls'!A1");
  ExternalRefNode missing(workbook, 3, u"A1");
  EXPECT_EQ(missing.evaluate(), nullptr);
}

TEST_F(FormulaNodeTest, DdeReferenceKeepsItsChannelAndMarksFailure) {
  LinkDouble links;
  evaluationContext().links = &links;
  DdeSource source;
  source.application = u"App";
  source.topic = u"Topic";
  source.items.push_back({u"Item", {}});
  workbook.ddeSources().push_back(source);
  workbook.ddeSources().push_back(source);
  DdeRefNode ref(workbook, 0, 0);
  EXPECT_EQ(ref.formulaText(), u"'App'|'Topic'!'Item'");
  EXPECT_EQ(ref.evaluate()->textView(), u"Item");
  ref.evaluate();
  EXPECT_EQ(links.initiates, 1); // the conversation is kept
  EXPECT_EQ(links.requests, 2);
  links.directAnswers = true;
  EXPECT_EQ(ref.evaluate()->textView(), u"direct");

  links.directAnswers = false;
  links.channel = -1;
  DdeRefNode failing(workbook, 1, 0);
  EXPECT_EQ(failing.evaluate()->errorCode(), ErrRef);
  int directs = links.directs;
  EXPECT_EQ(failing.evaluate()->errorCode(), ErrRef);
  EXPECT_EQ(links.directs, directs); // a failed source is not asked again
  DdeRefNode badItem(workbook, 0, 9);
  EXPECT_EQ(badItem.evaluate(), nullptr);
}

TEST_F(FormulaNodeTest, CallWithoutImplementationShowsItsNameAndPrintsArguments) {
  CallNode call(u"FOO", 1);
  call.addChild(new NumberNode(2));
  call.addChild(new CellRefNode(workbook, at(0, 1, 1)));
  EXPECT_EQ(call.evaluate()->textView(), u"FOO");
  EXPECT_EQ(call.formulaText(), u"FOO(2,'Sheet1'!B2)");
  CompareNode less(1);
  less.addChild(new NumberNode(1));
  less.addChild(new NumberNode(2));
  EXPECT_TRUE(less.evaluate()->booleanValue());
  EXPECT_EQ(less.formulaText(), u"(1<2)");
}
