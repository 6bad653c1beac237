// Node records: reading and linking records, the writer's round trip over every node kind, and
// crafted, truncated, hostile and random bytes that must be skipped without harm.
#include "formula/array_node.h"
#include "formula/compiled_workbook.h"
#include "formula/constant_nodes.h"
#include "formula/node_records.h"
#include "formula/operator_nodes.h"
#include "formula/proxy_nodes.h"
#include "formula/reference_nodes.h"
#include "formula/stream_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

using namespace cwbk;

namespace {

using Bytes = std::vector<uint8_t>;

void append(Bytes& out, const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  out.insert(out.end(), b, b + n);
}
Bytes le16(uint16_t v) {
  Bytes b;
  append(b, &v, 2);
  return b;
}
Bytes le32(int32_t v) {
  Bytes b;
  append(b, &v, 4);
  return b;
}
Bytes f64(double v) {
  Bytes b;
  append(b, &v, 8);
  return b;
}
Bytes utf16(std::u16string_view t, bool terminator = true) {
  Bytes b;
  for (char16_t c : t)
    append(b, &c, 2);
  if (terminator) b.push_back(0), b.push_back(0);
  return b;
}
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A record whose length field is the real length unless `length` overrides it.
Bytes record(uint16_t kind, int32_t parent, const Bytes& payload = {}, int length = -1) {
  return le16(static_cast<uint16_t>(length >= 0 ? length : 8 + payload.size())) + le16(kind) + le32(parent) +
         payload;
}
Bytes number(double x, int32_t parent = -1) {
  return record(2, parent, f64(x));
}
Bytes arrayRecord(int32_t columns, const Bytes& elements, int32_t parent = -1) {
  return record(12, parent, le32(columns) + elements);
}

CellAddress at(uint32_t sheet, uint32_t column, uint32_t row) {
  return CellAddress::make(sheet, column, row);
}

class NodeRecordsTest : public ::testing::Test {
protected:
  void SetUp() override {
    evaluationContext() = EvaluationContext{};
    workbook.addSheet(u"Sheet1");
  }
  void TearDown() override { evaluationContext() = EvaluationContext{}; }

  NodeList read(const Bytes& bytes, uint64_t count = std::numeric_limits<uint64_t>::max()) {
    reader = std::make_unique<StreamReader>();
    reader->addInflated(bytes);
    return readNodes(*reader, count, workbook);
  }

  CompiledWorkbook workbook;
  std::unique_ptr<StreamReader> reader;
};

} // namespace

TEST_F(NodeRecordsTest, ParentsLinkChildrenInArgumentOrder) {
  NodeList list = read(record(10, -1) + number(1, 0) + number(2, 0) + number(3, -1));
  ASSERT_EQ(list.size(), 4u);
  ASSERT_NE(list.at(0), nullptr);
  const auto& children = *list.at(0)->children();
  ASSERT_EQ(children.size(), 2u);
  EXPECT_EQ(children[0], list.at(1));
  EXPECT_EQ(children[1], list.at(2));
  EXPECT_EQ(list.at(2)->parent(), list.at(0));
  std::vector<FormulaNode*> roots = list.takeRoots();
  ASSERT_EQ(roots.size(), 2u);
  EXPECT_EQ(roots[1]->value()->numberValue(), 3);
  for (FormulaNode* root : roots)
    delete root;
}

TEST_F(NodeRecordsTest, RecordsReadAsTheirKindsPrescribe) {
  double nan = std::numeric_limits<double>::quiet_NaN();
  NodeList list = read(record(3, -1, utf16(u"\"a\"\"b\"")) + record(3, -1, utf16(u"a\"b")) + number(nan) +
                       record(9, -1, le32(0) + le32(0) + le32(-1)) + number(5) + record(4, -1, le32(7)) +
                       record(5, -1, le32(ErrNA)) + record(5, -1, le32(1)) +
                       arrayRecord(2, number(1) + number(2) + number(3) + number(4)) +
                       arrayRecord(3, number(1) + record(3, -1, utf16(u"\"q\"")) + record(4, -1, le32(1))));
  ASSERT_EQ(list.size(), 10u);
  EXPECT_EQ(list.at(0)->value()->textView(), u"a\"b");
  EXPECT_EQ(list.at(1)->value()->textView(), u"a\"b");
  EXPECT_EQ(list.at(2)->value()->kind(), CalcValue::Double);
  EXPECT_EQ(list.at(2)->value()->doubleValue(), 0.0);
  EXPECT_EQ(list.at(3)->kind(), NodeKind::DdeRef); // 20 bytes, the last 4 ignored
  EXPECT_EQ(list.at(4)->value()->numberValue(), 5);
  EXPECT_TRUE(list.at(5)->value()->booleanValue());
  EXPECT_EQ(list.at(6)->value()->errorCode(), ErrNA);
  EXPECT_TRUE(list.at(7)->value()->isEmpty());
  const CalcValue* square = list.at(8)->value();
  EXPECT_EQ(square->arrayColumns(), 2u);
  EXPECT_EQ(square->arrayRows(), 2u);
  EXPECT_EQ(square->element(1, 1)->integer(), 4);
  const CalcValue* row = list.at(9)->value();
  EXPECT_EQ(row->arrayColumns(), 3u);
  EXPECT_EQ(row->arrayRows(), 1u);
  EXPECT_EQ(row->element(1, 0)->textView(), u"\"q\""); // no quote processing inside arrays
  EXPECT_TRUE(reader->atEnd());
}

TEST_F(NodeRecordsTest, WriterBytesMatchTheRecordLayouts) {
  NumberNode n(2.5);
  EXPECT_EQ(n.makeRecord(3), number(2.5, 3));
  AreaRefNode a(workbook, at(0, 1, 1), at(0, 0, 0), AreaRefNode::kComputed);
  Bytes expected = record(7, -1, le32(0) + le32(0) + le32(1) + le32(1) + Bytes{1, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(a.makeRecord(-1), expected);
  CallNode call(u"SUM", 1);
  EXPECT_EQ(call.makeRecord(0), record(17, 0, le32(1) + utf16(u"SUM")));
  ArithmeticNode neg(ArithmeticNode::Negate);
  EXPECT_EQ(neg.makeRecord(2), record(19, 2, Bytes{6, 0, 0, 0}));
  DdeRefNode dde(workbook, 1, 2);
  EXPECT_EQ(dde.makeRecord(-1), record(9, -1, le32(1) + le32(2) + le32(0)));
  std::vector<std::vector<uint8_t>> records;
  n.appendRecord(records, 1);
  EXPECT_EQ(records.size(), 1u);
}

TEST_F(NodeRecordsTest, EveryKindSurvivesAWriteThenReadRoundTrip) {
  ExternalLink link;
  link.folder = u"C:\\dir";
  link.fileName = u"b.xls";
  workbook.externalLinks().push_back(link);
  DdeSource source;
  source.application = u"App";
  source.topic = u"T";
  source.items.push_back({u"I", {}});
  workbook.ddeSources().push_back(source);

  auto* root = new CallNode(u"SUM", 1);
  root->addChild(new EmptyNode());
  root->addChild(new NumberNode(2.5));
  root->addChild(new TextNode(u"say \"hi\""));
  root->addChild(new BooleanNode(true));
  root->addChild(new ErrorNode(ErrNA));
  root->addChild(new CellRefNode(workbook, at(0, 2, 4)));
  auto* range =
      new AreaRefNode(workbook, CellAddress::invalid(), CellAddress::invalid(), AreaRefNode::kComputed);
  range->addChild(new CellRefNode(workbook, at(0, 0, 0)));
  range->addChild(new CellRefNode(workbook, at(0, 1, 1)));
  root->addChild(range);
  root->addChild(new ExternalRefNode(workbook, 0, u"'S'!A1"));
  root->addChild(new DdeRefNode(workbook, 0, 0));
  auto* u = new UnionNode();
  u->addChild(new AreaRefNode(workbook, at(0, 0, 0), at(0, 0, 3)));
  u->addChild(new CellRefNode(workbook, at(0, 3, 3)));
  root->addChild(u);
  auto* x = new IntersectionNode();
  x->addChild(new AreaRefNode(workbook, at(0, 0, 0), at(0, 2, 2)));
  x->addChild(new AreaRefNode(workbook, at(0, 1, 1), at(0, 3, 3)));
  root->addChild(x);
  auto* array = new ArrayNode();
  CalcValue row;
  row.appendToArray(CalcValue::number(1));
  row.appendToArray(CalcValue::text(u"a"));
  array->appendRow(row);
  row.setEmpty();
  row.appendToArray(CalcValue::boolean(true));
  row.appendToArray(CalcValue::error(ErrDiv0));
  array->appendRow(row);
  root->addChild(array);
  root->addChild(new NameRefNode(workbook, 0));
  root->addChild(new OperandRefNode(1));
  root->addChild(new SharedRefNode(workbook, 0));
  root->addChild(new TemplateRefNode(workbook, 0));
  auto* compare = new CompareNode(4);
  compare->addChild(new NumberNode(1));
  compare->addChild(new NumberNode(2));
  root->addChild(compare);
  auto* negate = new ArithmeticNode(ArithmeticNode::Negate);
  negate->addChild(new NumberNode(3));
  root->addChild(negate);
  std::unique_ptr<FormulaNode> original(root);

  Bytes bytes;
  int32_t written = writeNodes(*root, bytes);
  NodeList list = read(bytes);
  EXPECT_EQ(list.size(), static_cast<size_t>(written));
  std::vector<FormulaNode*> roots = list.takeRoots();
  ASSERT_EQ(roots.size(), 1u);
  std::unique_ptr<FormulaNode> copy(roots[0]);
  Bytes again;
  writeNodes(*copy, again);
  EXPECT_EQ(again, bytes);

  bool seen[kLastNodeKind + 1] = {};
  struct Marker : NodeVisitor {
    bool* seen;
    bool accept(FormulaNode& node) override {
      seen[static_cast<int>(node.kind())] = true;
      return true;
    }
  } marker;
  marker.seen = seen;
  copy->visit(marker);
  for (int k = 1; k <= kLastNodeKind; ++k)
    EXPECT_TRUE(seen[k]) << "kind " << k;
  EXPECT_EQ(copy->formulaText(), original->formulaText());
  struct Counter : PathVisitor {
    size_t nodes = 0, deepest = 0;
    void see(const std::vector<FormulaNode*>& path) override {
      ++nodes;
      deepest = std::max(deepest, path.size());
    }
  } counter;
  std::vector<FormulaNode*> path;
  copy->collect(path, counter);
  EXPECT_EQ(counter.nodes, static_cast<size_t>(written));
  EXPECT_EQ(counter.deepest, 3u);
  EXPECT_TRUE(path.empty());
  const auto& args = *copy->children();
  EXPECT_EQ(args[2]->value()->textView(), u"say \"hi\"");
  EXPECT_EQ(args[11]->value()->arrayRows(), 2u);
  EXPECT_TRUE(args[11]->value()->sameAs(*array->value()));
  EXPECT_EQ(args[6]->children()->size(), 2u);
}

TEST_F(NodeRecordsTest, BadRecordsAreSkippedAndReadingGoesOn) {
  struct Case {
    const char* name;
    Bytes bad;
  } cases[] = {
      {"unknown kind 0", record(0, -1, le32(0))},
      {"unknown kind 99", record(99, -1)},
      {"length 0", record(2, -1, {}, 0)},
      {"length below header", record(3, -1, {}, 4)},
      {"external too short", record(8, -1)},
      {"dde too short", record(9, -1, le32(0))},
      {"call too short", record(17, -1, le16(0))},
      {"array of 0 columns", arrayRecord(0, number(1))},
      {"array of -1 columns", arrayRecord(-1, number(1))},
      {"array element of length 0", arrayRecord(1, record(2, -1, {}, 0))},
      {"array element of a bad kind", arrayRecord(1, record(6, -1, le32(0) + le32(0)))},
      {"array element past the record", arrayRecord(1, le16(16) + le16(2) + le32(-1))},
      {"array number of a wrong size", arrayRecord(1, record(2, -1, le32(0)))},
      {"array element header cut", arrayRecord(1, le16(8) + le16(2))},
      {"parent out of range", number(1, 5)},
      {"parent below -1", number(1, -2)},
      {"parent is itself", number(1, 0)},
  };
  for (const auto& c : cases) {
    NodeList list = read(c.bad + number(7));
    ASSERT_EQ(list.size(), 2u) << c.name;
    EXPECT_EQ(list.at(0), nullptr) << c.name;
    ASSERT_NE(list.at(1), nullptr) << c.name;
    EXPECT_EQ(list.at(1)->value()->numberValue(), 7) << c.name;
    EXPECT_TRUE(reader->atEnd()) << c.name;
  }
}

TEST_F(NodeRecordsTest, ChildrenOfSkippedOrLeafParentsAreSkipped) {
  NodeList list =
      read(record(10, -1) + record(99, 0) + number(1, 1) + number(2, -1) + number(3, 3) + number(4, 0));
  ASSERT_EQ(list.size(), 6u);
  EXPECT_EQ(list.at(1), nullptr); // unknown kind
  EXPECT_EQ(list.at(2), nullptr); // its parent was skipped
  EXPECT_EQ(list.at(4), nullptr); // a number has no children
  ASSERT_NE(list.at(5), nullptr);
  EXPECT_EQ(list.at(0)->children()->size(), 1u);
  EXPECT_TRUE(list.at(3)->children() == nullptr);
}

TEST_F(NodeRecordsTest, OddAndOversizedLengthsAreConsumedWhole) {
  // A text of odd length and a DDE record longer than 20 bytes take exactly their declared length.
  NodeList list =
      read(record(3, -1, Bytes{'x', 0, 'y'}) + record(9, -1, le32(0) + le32(0) + le32(0) + le32(0)) +
           record(3, -1, utf16(u"ab", false)) + number(7));
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list.at(0)->value()->textView(), u"x");
  EXPECT_EQ(list.at(1)->kind(), NodeKind::DdeRef);
  EXPECT_EQ(list.at(2)->value()->textView(), u"ab"); // no terminator inside the record
  EXPECT_EQ(list.at(3)->value()->numberValue(), 7);
}

TEST_F(NodeRecordsTest, TruncatedDataEndsReadingWithEverythingConsumed) {
  Bytes two = number(2);
  const Bytes cases[] = {
      number(1) + record(3, -1, utf16(u"abc"), 100), // a record longer than the data
      number(1) + Bytes{1, 2, 3, 4, 5},              // fewer than 8 trailing bytes
      number(1) + Bytes(two.begin(), two.begin() + 12),
  };
  for (const Bytes& bytes : cases) {
    NodeList list = read(bytes, 1000000);
    ASSERT_GE(list.size(), 1u);
    EXPECT_EQ(list.at(0)->value()->numberValue(), 1);
    for (size_t i = 1; i < list.size(); ++i)
      EXPECT_EQ(list.at(i), nullptr);
    EXPECT_TRUE(reader->atEnd());
    EXPECT_EQ(reader->consumed(), bytes.size());
  }
}

TEST_F(NodeRecordsTest, ReadingByBytesStopsAtTheByteLength) {
  Bytes bytes = number(1) + record(3, -1, utf16(u"long text")) + number(9);
  StreamReader r;
  r.addInflated(bytes);
  // The budget ends inside the text record: it is skipped, and exactly the budget is consumed.
  NodeList list = readNodesBytes(r, 16 + 8, workbook);
  EXPECT_EQ(r.consumed(), 24u);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list.at(0)->value()->numberValue(), 1);
  EXPECT_EQ(list.at(1), nullptr);

  StreamReader exact;
  exact.addInflated(number(1) + number(2) + number(3));
  NodeList two = readNodesBytes(exact, 32, workbook);
  EXPECT_EQ(two.size(), 2u);
  EXPECT_EQ(exact.consumed(), 32u);
  NodeList rest = readNodes(exact, 5, workbook);
  EXPECT_EQ(rest.at(0)->value()->numberValue(), 3);
}

TEST_F(NodeRecordsTest, NestingBeyondTheDepthLimitIsCut) {
  Bytes bytes = record(10, -1);
  for (uint32_t i = 1; i < kMaxNodeDepth + 50; ++i)
    bytes = bytes + record(10, static_cast<int32_t>(i - 1));
  NodeList list = read(bytes);
  EXPECT_NE(list.at(kMaxNodeDepth), nullptr);
  EXPECT_EQ(list.at(kMaxNodeDepth + 1), nullptr);
  std::vector<FormulaNode*> roots = list.takeRoots();
  ASSERT_EQ(roots.size(), 1u);
  EXPECT_EQ(roots[0]->evaluate()->errorCode(), ErrValue);
  EXPECT_FALSE(roots[0]->formulaText().empty());
  delete roots[0];
}

// Random bytes and randomly damaged valid records: reading, evaluating, printing and writing whatever
// was read must stay in bounds and end.
TEST_F(NodeRecordsTest, RandomAndDamagedBytesAreHarmless) {
  Bytes valid = record(17, -1, le32(1) + utf16(u"F")) +
                record(7, 0, le32(0) + le32(0) + le32(9) + le32(3) + Bytes(8, 1)) +
                record(6, 1, le32(1) + le32(0)) + record(6, 1, le32(2) + le32(2)) + record(10, 0) +
                record(13, 4, le32(0)) + record(14, 4, le32(3)) +
                arrayRecord(2, number(1) + record(3, -1, utf16(u"x")) + record(5, -1, le32(ErrRef))) +
                record(11, 0) + record(7, 8, le32(0) + le32(0) + le32(0xFFFFF) + le32(0x3FFF) + Bytes(8, 0)) +
                record(19, -1, Bytes{8, 0, 0, 0}) + number(3, 10) + record(18, -1, Bytes{5, 0, 0, 0}) +
                record(8, 12, le16(0) + utf16(u"'a'!B2")) + record(9, 12, le32(0) + le32(0) + le32(0));
  std::mt19937 random(12345);
  for (int round = 0; round < 400; ++round) {
    Bytes bytes;
    if (round % 2) {
      bytes = valid;
      int flips = 1 + static_cast<int>(random() % 8);
      for (int i = 0; i < flips; ++i)
        bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
      bytes.resize(random() % (bytes.size() + 1));
    } else {
      bytes.resize(random() % 300);
      for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(random() % 4 ? random() % 24 : random());
    }
    NodeList list = read(bytes);
    EXPECT_TRUE(reader->atEnd());
    for (FormulaNode* root : list.takeRoots()) {
      std::unique_ptr<FormulaNode> owned(root);
      root->evaluate();
      root->evaluateAsArray();
      root->formulaText();
      root->debugText();
      Bytes out;
      writeNodes(*root, out);
      // Whatever was read writes back into bytes that read and write again unchanged.
      NodeList back = read(out);
      std::vector<FormulaNode*> again = back.takeRoots();
      ASSERT_EQ(again.size(), 1u);
      std::unique_ptr<FormulaNode> copy(again[0]);
      Bytes rewritten;
      writeNodes(*copy, rewritten);
      EXPECT_EQ(rewritten, out);
    }
  }
  EXPECT_EQ(evaluationContext().nestingDepth, 0u);
}
