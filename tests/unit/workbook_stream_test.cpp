// Tests of the whole workbook stream: a round trip over a workbook that uses every section, evaluation
// of the loaded formulas, and hostile or cut-short streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "formula/array_node.h"
#include "formula/compiled_workbook.h"
#include "formula/constant_nodes.h"
#include "formula/node_records.h"
#include "formula/operator_nodes.h"
#include "formula/proxy_nodes.h"
#include "formula/reference_nodes.h"
#include "formula/stream_reader.h"
#include "formula/workbook_stream.h"

using namespace cwbk;

namespace {

using Bytes = std::vector<uint8_t>;

CellAddress at(uint32_t sheet, uint32_t column, uint32_t row) {
  return CellAddress::make(sheet, column, row);
}

void put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

std::unique_ptr<CompiledWorkbook> load(const Bytes& bytes) {
  auto workbook = std::make_unique<CompiledWorkbook>();
  StreamReader reader;
  reader.addInflated(bytes);
  loadWorkbook(reader, *workbook);
  return workbook;
}

Bytes write(const CompiledWorkbook& workbook) {
  Bytes out;
  EXPECT_TRUE(writeWorkbook(workbook, out).ok);
  return out;
}

Cell* cellWith(CompiledWorkbook& wb, CellAddress a, const CalcValue& v, uint32_t flags = 0,
               int32_t tmpl = -1) {
  Cell* cell = wb.findOrCreateCell(a);
  cell->setValue(v);
  cell->setFlags(flags);
  cell->setTemplateIndex(tmpl);
  wb.enterCell(*cell);
  return cell;
}

// A workbook that uses every section of the stream, built with the node classes.
void buildWorkbook(CompiledWorkbook& wb) {
  wb.setWorkbookWord(0xA5A5F00D);
  SheetInfo data;
  data.name = u"Data";
  data.codeName = u"Sheet1";
  data.firstUsed = at(0, 0, 0);
  data.lastUsed = at(0, 4, 3);
  data.flag = 1;
  wb.setSheet(0, data);
  SheetInfo other;
  other.name = u"It's here";
  other.codeName = u"Sheet3";
  wb.setSheet(2, other); // sheet index 1 is missing
  wb.grid().setSpan(0, 7, 100, 200);

  wb.sheetControls()[0][u"Button 1"] = SheetControl{1, 2, at(0, 5, 5), u"Button 1", u"t2", u"", u"Group"};
  CalcValue array;
  array.appendToArray(CalcValue::number(1));
  array.appendToArray(CalcValue::text(u"x"));
  wb.macroConstants() = {CalcValue::number(1.5), CalcValue::text(u"macro"), CalcValue::error(ErrNA), array};

  ExternalLink a, b, c;
  a.folder = u"C:\\dir";
  a.fileName = u"a.xls";
  b.folder = u"c:\\DIR\\"; // the same path as the first link, written differently
  b.fileName = u"A.XLS";
  c.folder = u"D:\\x";
  c.fileName = u"b.xls";
  wb.externalLinks() = {a, b, c};
  DdeSource source;
  source.application = u"App";
  source.topic = u"Topic";
  source.items.push_back({u"Item", {at(0, 0, 0), at(0, 1, 1)}});
  wb.ddeSources().push_back(source);

  wb.definedNames().push_back({u"Rate", -1, new NumberNode(0.5)});
  wb.definedNames().push_back({u"Range", 0, new AreaRefNode(wb, at(0, 0, 0), at(0, 0, 2))});

  // Template 0: operand 0 + 1. Template 1: shared expression 0. Template 2: the name Rate.
  // Template 3: the array {1,2;3,4}. Template 4: a text with quotes and shared expression 1.
  auto* plus = new ArithmeticNode(ArithmeticNode::Add);
  plus->addChild(new OperandRefNode(0));
  plus->addChild(new NumberNode(1));
  auto* constant = new ArrayNode();
  for (auto [x, y] : {std::pair{1, 2}, std::pair{3, 4}}) {
    CalcValue row;
    row.appendToArray(CalcValue::number(x));
    row.appendToArray(CalcValue::number(y));
    constant->appendRow(row);
  }
  auto* joined = new ArithmeticNode(ArithmeticNode::Concatenate);
  joined->addChild(new TextNode(u"say \"hi\""));
  joined->addChild(new SharedRefNode(wb, 1));
  wb.formulaTemplates() = {plus, new SharedRefNode(wb, 0), new NameRefNode(wb, 0), constant, joined};
  auto* times = new ArithmeticNode(ArithmeticNode::Multiply);
  times->addChild(new NumberNode(2));
  times->addChild(new NumberNode(3));
  wb.sharedExpressions() = {new NumberNode(7), times};

  cellWith(wb, at(0, 0, 0), CalcValue::number(5), CellStored | CellChangedByUser);
  Cell* link = cellWith(wb, at(0, 0, 1), CalcValue::text(u"two"), CellHyperlinkPending);
  link->setHyperlink(std::make_unique<HyperlinkRecord>(HyperlinkRecord::parse(u"https://example.com")));
  cellWith(wb, at(0, 0, 2), CalcValue::error(ErrDiv0));
  Cell* b1 = cellWith(wb, at(0, 1, 0), CalcValue::number(0), 0, 0);
  b1->operandRoots().push_back(new CellRefNode(wb, at(0, 0, 0)));
  wb.link(*b1, *wb.findCell(at(0, 0, 0)));
  cellWith(wb, at(0, 1, 1), CalcValue(), 0, 1)->clearValue(); // no stored value at all
  cellWith(wb, at(0, 1, 2), CalcValue(), 0, 2);
  cellWith(wb, at(0, 1, 3), CalcValue(), CellDynamicReferences | CellSubtotal, 4);
  Area arrayArea{at(0, 2, 0), at(0, 3, 1)};
  Cell* master = cellWith(wb, arrayArea.first, CalcValue(), CellArrayFormula | CellArrayMaster, 3);
  master->setArrayArea(arrayArea);
  for (CellAddress m : {at(0, 3, 0), at(0, 2, 1), at(0, 3, 1)}) {
    Cell* member = wb.findOrCreateCell(m);
    member->setFlags(CellArrayFormula);
    member->setArrayFormulaIndex(0);
    member->setArrayArea(arrayArea);
  }
  cellWith(wb, at(2, 4, 0), CalcValue::number(9), CellVolatile | CellHostComputed);
  wb.findOrCreateCell(at(0, 7, 150)); // an empty cell inside the layout's span
  wb.addToAreaSet(Area{at(0, 0, 0), at(0, 0, 2)});
}

class WorkbookStreamTest : public ::testing::Test {
protected:
  void SetUp() override { evaluationContext() = EvaluationContext{}; }
  void TearDown() override { evaluationContext() = EvaluationContext{}; }
};

} // namespace

TEST_F(WorkbookStreamTest, EverySectionSurvivesLoadWriteLoad) {
  CompiledWorkbook built;
  buildWorkbook(built);
  Bytes first = write(built);
  auto loaded = load(first);
  Bytes second = write(*loaded);
  EXPECT_EQ(first, second);
  EXPECT_EQ(write(*load(second)), second);

  CompiledWorkbook& wb = *loaded;
  EXPECT_EQ(wb.workbookWord(), 0xA5A5F00Du);
  ASSERT_NE(wb.sheet(2), nullptr);
  EXPECT_EQ(wb.sheet(1), nullptr);
  EXPECT_EQ(wb.sheet(0)->codeName, u"Sheet1");
  EXPECT_EQ(wb.sheet(0)->lastUsed, at(0, 4, 3));
  EXPECT_EQ(wb.sheet(2)->quotedName, u"'It''s here'");
  EXPECT_EQ(wb.sheetIndex(u"IT'S HERE"), 2);
  const SheetControl* button = wb.control(0, u"Button 1");
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->linkedCell, at(0, 5, 5));
  EXPECT_EQ(button->groupName, u"Group");
  ASSERT_EQ(wb.macroConstants().size(), 4u);
  EXPECT_EQ(wb.macroConstants()[1].textView(), u"macro");
  EXPECT_TRUE(wb.macroConstants()[3].sameAs(built.macroConstants()[3]));
  // A repeated link path keeps its slot and answers with the first link.
  ASSERT_EQ(wb.externalLinks().size(), 3u);
  EXPECT_EQ(wb.externalLink(1), &wb.externalLinks()[0]);
  EXPECT_EQ(wb.externalLink(2)->fileName, u"b.xls");
  EXPECT_EQ(wb.ddeSources()[0].items[0].cells.size(), 2u);
  EXPECT_EQ(wb.findDefinedName(u"Range"), 1);
  EXPECT_EQ(wb.definedNames()[1].scope, 0);

  Cell* a1 = wb.findCell(at(0, 0, 0));
  Cell* b1 = wb.findCell(at(0, 1, 0));
  ASSERT_TRUE(a1 && b1);
  EXPECT_EQ(a1->flags(), CellStored | CellChangedByUser);
  EXPECT_EQ(std::vector<Cell*>(b1->precedentCells().begin(), b1->precedentCells().end()),
            std::vector<Cell*>{a1});
  EXPECT_EQ(std::vector<Cell*>(a1->dependents().begin(), a1->dependents().end()), std::vector<Cell*>{b1});
  EXPECT_EQ(wb.findCell(at(0, 0, 1))->hyperlink()->kind, HyperlinkRecord::Web);
  EXPECT_EQ(wb.findCell(at(0, 3, 1))->arrayFormulaIndex(), 0);
  EXPECT_EQ(wb.findCell(at(0, 1, 1))->value(), nullptr);
  EXPECT_TRUE(wb.findCell(at(0, 1, 2))->value()->isEmpty());
  Cell* e1 = wb.findCell(at(2, 4, 0));
  EXPECT_TRUE(wb.volatileCells().contains(e1));
  EXPECT_TRUE(wb.calculatedCells().contains(e1));
  EXPECT_EQ(wb.calculatedCells().size(), 6u);
  EXPECT_EQ(wb.areaSet(), std::vector<Area>{(Area{at(0, 0, 0), at(0, 0, 2)})});
  EXPECT_EQ(wb.formulaTemplates().size(), 5u);
  EXPECT_EQ(wb.sharedExpressions().size(), 2u);
}

TEST_F(WorkbookStreamTest, LoadedFormulasEvaluateCellByCell) {
  CompiledWorkbook built;
  buildWorkbook(built);
  auto wb = load(write(built));
  struct Case {
    CellAddress cell;
    CalcValue expected;
  };
  Case cases[] = {
      {at(0, 1, 0), CalcValue::number(6)},            // operand + 1
      {at(0, 1, 1), CalcValue::number(7)},            // shared expression
      {at(0, 1, 2), CalcValue::number(0.5)},          // defined name
      {at(0, 1, 3), CalcValue::text(u"say \"hi\"6")}, // text with quotes & shared 2 * 3
  };
  for (const Case& c : cases) {
    Cell* cell = wb->findCell(c.cell);
    cell->setFlags(CellReached);
    wb->evaluateCell(*cell);
    ASSERT_NE(cell->value(), nullptr);
    EXPECT_TRUE(cell->value()->sameAs(c.expected)) << "row " << c.cell.rowIndex();
  }
  Cell* master = wb->findCell(at(0, 2, 0));
  master->setFlags(CellReached);
  wb->evaluateCell(*master);
  EXPECT_EQ(wb->cellValue(*wb->findCell(at(0, 3, 1))).integer(), 4);
  EXPECT_EQ(wb->cellValue(*wb->findCell(at(0, 2, 1))).integer(), 3);
}

TEST_F(WorkbookStreamTest, DdeCellsAreSortedAndTemplatesRunToTheEnd) {
  CompiledWorkbook built;
  DdeSource source;
  source.items.push_back({u"I", {at(0, 1, 1), at(0, 0, 5), at(0, 1, 1), at(0, 0, 0)}});
  built.ddeSources().push_back(source);
  built.formulaTemplates() = {new NumberNode(1), new NumberNode(2)};
  Bytes bytes = write(built);
  // The template section's count is at 8 bytes before its two 16-byte records: make it 0.
  std::memset(bytes.data() + bytes.size() - 32 - 4, 0, 4);
  auto wb = load(bytes);
  EXPECT_EQ(wb->ddeSources()[0].items[0].cells,
            (std::vector<CellAddress>{at(0, 0, 0), at(0, 0, 5), at(0, 1, 1)}));
  EXPECT_EQ(wb->formulaTemplates().size(), 2u);
}

// The same model writes the same bytes, whatever order its cells were made in: a cell keeps its
// precedents in memory order, the stream lists them by address.
TEST_F(WorkbookStreamTest, PrecedentsAreWrittenInAddressOrder) {
  auto build = [](bool reversed) {
    auto wb = std::make_unique<CompiledWorkbook>();
    wb->addSheet(u"Sheet1");
    std::vector<CellAddress> inputs = {at(0, 0, 0), at(0, 1, 0), at(0, 0, 3), at(0, 2, 1)};
    if (reversed) std::reverse(inputs.begin(), inputs.end());
    std::vector<Cell*> read;
    for (CellAddress a : inputs) {
      read.push_back(wb->findOrCreateCell(a));
      read.back()->setValue(CalcValue::number(1));
    }
    Cell* reader = wb->findOrCreateCell(at(0, 5, 5));
    for (Cell* c : read)
      wb->link(*reader, *c);
    return wb;
  };
  auto forward = build(false), backward = build(true);
  EXPECT_EQ(write(*forward), write(*backward));
}

TEST_F(WorkbookStreamTest, StoredValuesThatDoNotFitTheirLengthField) {
  std::u16string longText(40000, u'x'); // packs to 80003 bytes, beyond 16 bits
  {
    CompiledWorkbook wb;
    cellWith(wb, at(0, 0, 0), CalcValue::number(1));
    cellWith(wb, at(0, 2, 3), CalcValue::text(longText));
    Bytes out{1, 2, 3};
    WriteResult result = writeWorkbook(wb, out);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.failedCell, at(0, 2, 3));
    EXPECT_EQ(out, (Bytes{1, 2, 3})); // no partial stream
  }
  // A computed cell is written without its value; the next recalculation computes it again.
  CompiledWorkbook wb;
  wb.formulaTemplates().push_back(new NumberNode(1));
  cellWith(wb, at(0, 2, 3), CalcValue::text(longText), 0, 0);
  cellWith(wb, at(0, 2, 4), CalcValue::text(u"after"));
  auto loaded = load(write(wb));
  EXPECT_EQ(loaded->findCell(at(0, 2, 3))->value(), nullptr);
  EXPECT_EQ(loaded->findCell(at(0, 2, 3))->templateIndex(), 0);
  EXPECT_EQ(loaded->findCell(at(0, 2, 4))->value()->textView(), u"after");
}

namespace {

// A stream with the given header counts and grid records, and every other section empty (count
// fields set to `count`, which the data cannot hold).
Bytes skeleton(uint32_t cellCount, uint32_t nameCount, uint32_t count, const Bytes& gridRecords,
               uint32_t gridCount) {
  Bytes b;
  put32(b, kWorkbookMagic);
  put32(b, 24);
  put16(b, 1);
  put16(b, 0);
  put32(b, cellCount);
  put32(b, nameCount);
  put32(b, 0);
  put32(b, 8), put32(b, gridCount);
  b.insert(b.end(), gridRecords.begin(), gridRecords.end());
  put32(b, 12), put32(b, count), put32(b, 0);     // controls
  put32(b, 12), put32(b, count), put32(b, count); // macro constants: a byte length beyond the data
  put32(b, 8), put32(b, count);                   // external links
  return b;
}

} // namespace

TEST_F(WorkbookStreamTest, HostileCountsAndSpansStayBounded) {
  Bytes grid;
  auto record = [&](uint16_t sheet, uint16_t column, uint32_t first, uint32_t last) {
    put16(grid, sheet), put16(grid, column), put32(grid, first), put32(grid, last);
  };
  record(0, 0, 65530, 0xFFFFFFFF);  // crosses its block: cut to 65530..65535
  record(0xFFFF, 0, 0, 1);          // no sheet
  record(0, 0x7FFF, 0, 1);          // no column
  record(0, 1, 0x100000, 0x100001); // no row
  record(0, 2, 9, 3);               // inverted
  auto wb = load(skeleton(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, grid, 5));
  std::vector<std::array<uint32_t, 4>> spans;
  wb->grid().forEachSpan([&](uint32_t s, uint32_t c, uint32_t low, uint32_t high) {
    spans.push_back({s, c, low, high});
  });
  EXPECT_EQ(spans, (std::vector<std::array<uint32_t, 4>>{{0, 0, 65530, 65535}}));
  EXPECT_LT(wb->grid().indexBytes(), 4096u);
  EXPECT_TRUE(wb->macroConstants().empty());
  EXPECT_EQ(wb->allCells().size(), 0u);
}

TEST_F(WorkbookStreamTest, CutAndCorruptedStreamsLoadWithoutFault) {
  CompiledWorkbook built;
  buildWorkbook(built);
  Bytes bytes = write(built);
  // Every prefix: short data leaves defaults and loading ends.
  for (size_t n = 0; n < bytes.size(); n += 3)
    load(Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n)));
  // Every word overwritten with all ones (absurd counts, lengths and indices) or zero.
  for (uint32_t fill : {0xFFFFFFFFu, 0u}) {
    for (size_t at = 0; at + 4 <= bytes.size(); at += 2) {
      Bytes bad = bytes;
      std::memcpy(bad.data() + at, &fill, 4);
      auto wb = load(bad);
      Bytes rewritten;
      writeWorkbook(*wb, rewritten);
      EXPECT_LT(wb->grid().indexBytes(), Grid::kIndexByteLimit);
    }
  }
}
