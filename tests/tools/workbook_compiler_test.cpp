// Tests of the workbook compiler: formulas survive compile, stream and load with their meaning, shapes
// share templates, array formulas, data tables, flags and names come out right, and bad formulas fail
// with the cell and position.
#include "compiler/workbook_compiler.h"

#include <gtest/gtest.h>

#include <set>

#include "compiler/formula_decompiler.h"
#include "compiler/formula_parser.h"
#include "compiler/workbook_calc.h"
#include "formula/call_node.h"
#include "formula/compiled_workbook.h"
#include "formula/recalculation.h"
#include "formula/reference_nodes.h"
#include "formula/stream_reader.h"
#include "formula/workbook_stream.h"

namespace cwbk::compiler {
namespace {

// A small source workbook built cell by cell.
struct Source {
  SourceWorkbook wb;
  Source() {
    wb.sheets = {{u"Sheet1", u"CodeOne"}, {u"Sheet2", u""}, {u"It's", u""}};
    wb.names = {{u"Rate", -1, u"Sheet2!$B$2"}, {u"Local", 0, u"Sheet1!$C$1"}};
    wb.externalLinks = {u"C:\\data\\other.xlsx"};
  }
  SourceCell& formula(uint32_t sheet, uint32_t row, uint32_t column, std::u16string text) {
    SourceCell c;
    c.sheet = sheet, c.row = row, c.column = column, c.kind = CellKind::Formula, c.formula = std::move(text);
    wb.cells.push_back(c);
    return wb.cells.back();
  }
  void number(uint32_t sheet, uint32_t row, uint32_t column, double x) {
    SourceCell c;
    c.sheet = sheet, c.row = row, c.column = column, c.value = SourceValue::ofNumber(x);
    wb.cells.push_back(c);
  }
  // Compiles to the stream and loads it into a fresh model.
  std::unique_ptr<CompiledWorkbook> compileAndLoad(const CompileOptions& options = {},
                                                   CompileReport* report = nullptr) {
    finishWorkbook(wb, "test");
    std::vector<uint8_t> bytes = compileToStream(wb, options, report);
    auto model = std::make_unique<CompiledWorkbook>();
    loadStreamBytes(bytes, *model);
    return model;
  }
};

Cell& cellAt(CompiledWorkbook& wb, uint32_t sheet, uint32_t row, uint32_t column) {
  Cell* cell = wb.findCell(CellAddress::make(sheet, column, row));
  if (!cell) throw std::runtime_error("no cell at " + cellName(row, column));
  return *cell;
}

// Returns how many nodes of the kind the tree holds.
int countKind(const FormulaNode* node, NodeKind kind) {
  if (!node) return 0;
  int n = node->kind() == kind ? 1 : 0;
  if (const auto* children = node->children())
    for (const FormulaNode* child : *children)
      n += countKind(child, kind);
  return n;
}

TEST(WorkbookCompiler, FormulasKeepTheirMeaningThroughTheStream) {
  const char16_t* formulas[] = {
      u"1+2*3",
      u"-A1^2",
      u"(1+2)*3-4/5",
      u"A1%&\"a\"\"b\"",
      u"A1<>B1",
      u"A1<=Sheet2!B1",
      u"SUM(A1:B3,C:C,3:5)",
      u"IF(A1,,2)",
      u"{1,2;3,-4}",
      u"{\"x\",TRUE;#N/A,1.5}",
      u"'It''s'!$A$1+Sheet2!B2",
      u"Rate*2+Local",
      u"Sheet1!Local",
      u"SUM((A1,B2))",
      u"SUM(A1:B2 B1:C3)",
      u"A1:INDEX(B1:B5,2)",
      u"#DIV/0!",
      u"IFERROR(1/0,\"x\")",
      u"MYMACRO(1,\"two\")",
      u"[1]Sheet1!A1+1",
      u"NoSuchName",
      u"A1048576+XFD1",
      u"\"\"",
  };
  Source source;
  for (uint32_t i = 0; i < std::size(formulas); ++i)
    source.formula(0, i, 5, formulas[i]);
  auto model = source.compileAndLoad();
  for (uint32_t i = 0; i < std::size(formulas); ++i) {
    SCOPED_TRACE(utf16ToUtf8(formulas[i]));
    ParseResult parsed = parseFormula(formulas[i]);
    ASSERT_TRUE(parsed.ok());
    AstNode expected = qualifyReferences(parsed.tree, u"Sheet1");
    if (expected.kind == AstKind::Name && expected.text == u"NoSuchName")
      expected = parseFormula(u"#NAME?").tree;
    AstNode got = qualifyReferences(decompileCell(*model, cellAt(*model, 0, i, 5)), u"Sheet1");
    EXPECT_EQ(formulaToTextUtf8(got), formulaToTextUtf8(expected));
    EXPECT_TRUE(got == expected);
  }
}

TEST(WorkbookCompiler, CellsOfOneShapeShareATemplate) {
  Source source;
  for (uint32_t r = 0; r < 3; ++r)
    source.formula(0, r, 1, u"A" + std::u16string(1, u'1' + r) + u"*2+Sheet2!$A$1");
  source.formula(0, 3, 1, u"A4/2+Sheet2!$A$1");
  source.formula(1, 0, 1, u"A1*2+Sheet2!$A$1"); // same shape on another sheet
  CompileReport report;
  auto model = source.compileAndLoad({}, &report);
  int32_t shared = cellAt(*model, 0, 0, 1).templateIndex();
  EXPECT_EQ(cellAt(*model, 0, 1, 1).templateIndex(), shared);
  EXPECT_EQ(cellAt(*model, 0, 2, 1).templateIndex(), shared);
  EXPECT_EQ(cellAt(*model, 1, 0, 1).templateIndex(), shared);
  EXPECT_NE(cellAt(*model, 0, 3, 1).templateIndex(), shared);
  EXPECT_EQ(report.templates, 2u);
  EXPECT_EQ(model->formulaTemplates().size(), 2u);
  // The relative reference is the cell's own operand; the anchored one stays in the template.
  Cell& b2 = cellAt(*model, 0, 1, 1);
  ASSERT_EQ(b2.operandRoots().size(), 1u);
  ASSERT_NE(b2.operandRoots()[0]->asCellReference(), nullptr);
  EXPECT_EQ(b2.operandRoots()[0]->asCellReference()->address(), CellAddress::make(0, 0, 1));
  EXPECT_EQ(cellFormulaText(*model, b2), "Sheet1!A2*2+Sheet2!A1");
  // Single-cell references are written as precedents.
  ASSERT_EQ(b2.precedentCells().size(), 2u);
}

// Numbers and moving references are baked into the shared template where they are the same in every
// cell of the shape, and are the cells' operands where they vary; every cell still computes its own
// result, also after an input changes.
TEST(WorkbookCompiler, ShapesBakeWhatTheirCellsShareAndKeepTheRestAsOperands) {
  Source source;
  std::vector<double> a = {1, 2, 3, 4, 5};
  for (uint32_t r = 0; r < 5; ++r) {
    std::u16string row = utf8ToUtf16Replacing(std::to_string(r + 1)),
                   next = utf8ToUtf16Replacing(std::to_string(r + 2));
    source.number(0, r, 0, a[r]);
    // C: a number of its own in every row, a column-relative area that is the same in every row.
    source.formula(0, r, 2, row + u"*10+SUM(A$1:A$5)");
    // D: an area that moves with the row.
    source.formula(0, r, 3, u"SUM(A" + row + u":A" + next + u")");
    // E: one reference, read three times, and numbers that are the same everywhere.
    source.formula(0, r, 4, u"(A" + row + u"+A" + row + u")*3-A" + row);
  }
  // F: two references that agree in one row only.
  source.formula(0, 0, 5, u"A1+A2");
  source.formula(0, 1, 5, u"A2+A3");
  source.formula(0, 2, 5, u"A3+A3");
  // G: a shape of its own.
  source.formula(0, 0, 6, u"A2*7");
  CompileOptions computed;
  computed.storeFormulaValues = false;
  CompileReport report;
  auto model = source.compileAndLoad(computed, &report);
  EXPECT_EQ(report.templates, 5u);

  for (uint32_t r = 0; r < 5; ++r) {
    SCOPED_TRACE("row " + std::to_string(r + 1));
    Cell& c = cellAt(*model, 0, r, 2);
    EXPECT_EQ(c.templateIndex(), cellAt(*model, 0, 0, 2).templateIndex());
    ASSERT_EQ(c.operandRoots().size(), 1u);
    EXPECT_EQ(c.operandRoots()[0]->kind(), NodeKind::Number);
    EXPECT_EQ(formulaToTextUtf8(decompileNode(*model, *c.operandRoots()[0], &c)), std::to_string(r + 1));
    Cell& d = cellAt(*model, 0, r, 3);
    EXPECT_EQ(d.templateIndex(), cellAt(*model, 0, 0, 3).templateIndex());
    ASSERT_EQ(d.operandRoots().size(), 1u);
    ASSERT_NE(d.operandRoots()[0]->asAreaReference(), nullptr);
    EXPECT_EQ(d.operandRoots()[0]->referenceArea(),
              (Area{CellAddress::make(0, 0, r), CellAddress::make(0, 0, r + 1)}));
    Cell& e = cellAt(*model, 0, r, 4);
    EXPECT_EQ(e.templateIndex(), cellAt(*model, 0, 0, 4).templateIndex());
    EXPECT_EQ(e.operandRoots().size(), 1u);
  }
  const FormulaNode* cTemplate = model->formulaTemplate(cellAt(*model, 0, 0, 2).templateIndex());
  EXPECT_EQ(countKind(cTemplate, NodeKind::OperandRef), 1);
  EXPECT_EQ(countKind(cTemplate, NodeKind::AreaRef), 1); // the shared area, baked
  EXPECT_EQ(countKind(cTemplate, NodeKind::Number), 1);  // the 10
  EXPECT_EQ(countKind(model->formulaTemplate(cellAt(*model, 0, 0, 3).templateIndex()), NodeKind::AreaRef), 0);
  EXPECT_EQ(cellFormulaText(*model, cellAt(*model, 0, 2, 4)), "(Sheet1!A3+Sheet1!A3)*3-Sheet1!A3");

  // F: one template; the row where both references agree still carries two operands.
  Cell& f3 = cellAt(*model, 0, 2, 5);
  EXPECT_EQ(f3.templateIndex(), cellAt(*model, 0, 0, 5).templateIndex());
  EXPECT_EQ(cellAt(*model, 0, 1, 5).templateIndex(), f3.templateIndex());
  EXPECT_EQ(f3.operandRoots().size(), 2u);
  EXPECT_EQ(cellFormulaText(*model, f3), "Sheet1!A3+Sheet1!A3");

  // G: everything baked; the cell it reads is still its precedent.
  Cell& g1 = cellAt(*model, 0, 0, 6);
  EXPECT_EQ(g1.operandRoots().size(), 0u);
  EXPECT_EQ(countKind(model->formulaTemplate(g1.templateIndex()), NodeKind::CellRef), 1);
  ASSERT_EQ(g1.precedentCells().size(), 1u);
  EXPECT_EQ(*g1.precedentCells().begin(), &cellAt(*model, 0, 1, 0));

  auto expectResults = [&] {
    double total = 0;
    for (double x : a)
      total += x;
    auto valueAt = [&](uint32_t row, uint32_t column) {
      const CalcValue* v = cellAt(*model, 0, row, column).value();
      return v && v->isNumber() ? v->numberValue() : -1e300;
    };
    for (uint32_t r = 0; r < 5; ++r) {
      SCOPED_TRACE("row " + std::to_string(r + 1));
      EXPECT_EQ(valueAt(r, 2), (r + 1) * 10 + total);
      EXPECT_EQ(valueAt(r, 3), a[r] + (r + 1 < a.size() ? a[r + 1] : 0));
      EXPECT_EQ(valueAt(r, 4), a[r] * 5);
    }
    EXPECT_EQ(valueAt(0, 5), a[0] + a[1]);
    EXPECT_EQ(valueAt(1, 5), a[1] + a[2]);
    EXPECT_EQ(valueAt(2, 5), a[2] + a[2]);
    EXPECT_EQ(valueAt(0, 6), a[1] * 7);
  };
  model->prepareAfterLoad();
  model->recalculate(model->calculatedCells().cells(), false);
  expectResults();
  // A change reaches the cells through the baked area and the baked reference as well.
  a[1] = 20;
  Cell& a2 = cellAt(*model, 0, 1, 0);
  a2.setValue(CalcValue::number(a[1]));
  model->recalculate({&a2}, false);
  expectResults();
  evaluationContext() = EvaluationContext{};
}

// Past the first cell of a shape, cells take the shape's template without being compiled again: each
// still gets its own operands, the cells it reads and the flags its functions call for.
TEST(WorkbookCompiler, EveryCellOfAShapeGetsItsOwnOperandsReadsAndFlags) {
  struct Shape {
    std::u16string (*formula)(const std::u16string& row, const std::u16string& next);
    std::vector<std::string> reads; // the single cells read; '#' stands for the cell's own row
    uint32_t flags;
  };
  const Shape shapes[] = {
      // Baked reference, one operand read twice, a fixed reference on another sheet.
      {[](auto& r, auto&) { return u"$A$1+B" + r + u"*B" + r + u"+Sheet2!$A$1"; },
       {"Sheet1!A1", "Sheet1!B#", "Sheet2!A1"},
       0},
      // A moving area and a number of each row's own: operands, but no single cells read.
      {[](auto& r, auto& n) { return u"SUM(B" + r + u":B" + n + u")+" + r; }, {}, 0},
      {[](auto& r, auto&) { return u"NOW()+B" + r; }, {"Sheet1!B#"}, uint32_t(CellVolatile)},
      // A range corner stays an operand even where it is the same in every cell.
      {[](auto& r, auto&) { return u"SUM(A1:INDEX(B1:B6,B" + r + u"))"; }, {"Sheet1!A1", "Sheet1!B#"}, 0},
  };
  Source source;
  source.number(0, 0, 0, 1);
  source.number(1, 0, 0, 2);
  for (uint32_t r = 0; r < 6; ++r)
    source.number(0, r, 1, r + 1);
  for (uint32_t k = 0; k < std::size(shapes); ++k)
    for (uint32_t r = 0; r < 5; ++r) {
      std::u16string row = utf8ToUtf16Replacing(std::to_string(r + 1)),
                     next = utf8ToUtf16Replacing(std::to_string(r + 2));
      source.formula(0, r, 2 + k, shapes[k].formula(row, next));
    }
  finishWorkbook(source.wb, "test");
  CompiledWorkbook model;
  compileWorkbook(source.wb, model);
  for (uint32_t k = 0; k < std::size(shapes); ++k) {
    for (uint32_t r = 0; r < 5; ++r) {
      std::u16string row = utf8ToUtf16Replacing(std::to_string(r + 1)),
                     next = utf8ToUtf16Replacing(std::to_string(r + 2));
      std::u16string formula = shapes[k].formula(row, next);
      SCOPED_TRACE(utf16ToUtf8(formula));
      Cell& cell = cellAt(model, 0, r, 2 + k);
      EXPECT_EQ(cell.templateIndex(), cellAt(model, 0, 0, 2 + k).templateIndex());
      AstNode expected = qualifyReferences(parseFormula(formula).tree, u"Sheet1");
      EXPECT_EQ(formulaToTextUtf8(qualifyReferences(decompileCell(model, cell), u"Sheet1")),
                formulaToTextUtf8(expected));
      std::set<std::string> reads, expectedReads;
      for (const Cell* read : cell.precedentCells())
        reads.insert(addressName(model, read->address()));
      for (std::string read : shapes[k].reads) {
        if (read.back() == '#') read.replace(read.size() - 1, 1, std::to_string(r + 1));
        expectedReads.insert(read);
      }
      EXPECT_EQ(reads, expectedReads);
      EXPECT_EQ(cell.flags() & (CellVolatile | CellDynamicReferences), shapes[k].flags);
    }
  }
}

TEST(WorkbookCompiler, CallMarkersAndFlagsFollowTheFunctions) {
  Source source;
  source.formula(0, 0, 0, u"SUM(1,2)");
  source.formula(0, 1, 0, u"MYMACRO(1)");
  source.formula(0, 2, 0, u"NOW()+1");
  source.formula(0, 3, 0, u"SUM(OFFSET(A1,1,1))");
  source.formula(0, 4, 0, u"SUBTOTAL(9,B1:B3)");
  source.formula(0, 5, 0, u"_xlfn.IFERROR(1,2)");
  source.formula(0, 6, 0, u"1+_xlfn.NEWFUNCTION(1)");
  auto model = source.compileAndLoad();
  auto rootCall = [&](uint32_t row) {
    Cell& cell = cellAt(*model, 0, row, 0);
    return dynamic_cast<CallNode*>(model->formulaTemplate(cell.templateIndex()));
  };
  ASSERT_NE(rootCall(0), nullptr);
  EXPECT_TRUE(rootCall(0)->hasCallMarker());
  EXPECT_FALSE(rootCall(1)->hasCallMarker());
  EXPECT_EQ(rootCall(5)->name(), u"IFERROR");
  EXPECT_TRUE(rootCall(5)->hasCallMarker());
  // A function the table does not know is still a worksheet function when the file marks it as one.
  Cell& a7 = cellAt(*model, 0, 6, 0);
  auto* newer = dynamic_cast<CallNode*>((*model->formulaTemplate(a7.templateIndex())->children())[1]);
  ASSERT_NE(newer, nullptr);
  EXPECT_EQ(newer->name(), u"NEWFUNCTION");
  EXPECT_TRUE(newer->hasCallMarker());
  EXPECT_FALSE(cellAt(*model, 0, 0, 0).hasFlag(CellVolatile));
  EXPECT_TRUE(cellAt(*model, 0, 2, 0).hasFlag(CellVolatile));
  EXPECT_TRUE(cellAt(*model, 0, 3, 0).hasFlag(CellVolatile | CellDynamicReferences));
  EXPECT_TRUE(cellAt(*model, 0, 4, 0).hasFlag(CellSubtotal));
  EXPECT_TRUE(model->volatileCells().contains(&cellAt(*model, 0, 2, 0)));
}

TEST(WorkbookCompiler, ArrayFormulasAndDataTablesKeepTheirAreas) {
  Source source;
  SourceCell& master = source.formula(0, 0, 2, u"A1:A3*2");
  master.kind = CellKind::ArrayFormula;
  master.master = true;
  master.range = SourceRange{0, 2, 2, 2};
  source.wb.dataTables.push_back(SourceDataTable{0, SourceRange{5, 5, 7, 6}, true, u"A1", u"B1"});
  SourceCell t; // the table's first result cell; the reader adds the others
  t.sheet = 0, t.row = 5, t.column = 5, t.kind = CellKind::DataTable, t.dataTable = 0, t.range = {5, 5, 7, 6};
  t.master = true;
  t.cached = SourceValue::ofNumber(55);
  source.wb.cells.push_back(t);
  auto model = source.compileAndLoad();
  Area arrayArea{CellAddress::make(0, 2, 0), CellAddress::make(0, 2, 2)};
  Cell& c1 = cellAt(*model, 0, 0, 2);
  EXPECT_EQ(c1.flags() & (CellArrayFormula | CellArrayMaster), uint32_t(CellArrayFormula | CellArrayMaster));
  EXPECT_EQ(c1.arrayArea(), arrayArea);
  Cell& c3 = cellAt(*model, 0, 2, 2);
  EXPECT_TRUE(c3.isArrayMember());
  EXPECT_EQ(c3.arrayArea(), arrayArea);
  EXPECT_EQ(c3.templateIndex(), -1);

  Area table{CellAddress::make(0, 4, 4), CellAddress::make(0, 6, 7)};
  ASSERT_EQ(model->areaSet().size(), 1u);
  EXPECT_EQ(model->areaSet()[0], table);
  Cell& body = cellAt(*model, 0, 5, 5);
  EXPECT_EQ(body.flags() & (CellArrayFormula | CellArrayMaster), uint32_t(CellArrayMaster));
  EXPECT_EQ(body.arrayArea(), table);
  ASSERT_EQ(body.operandRoots().size(), 2u);
  EXPECT_EQ(formulaToTextUtf8(decompileNode(*model, *body.operandRoots()[0], &body)), "Sheet1!A1");
  EXPECT_EQ(formulaToTextUtf8(decompileNode(*model, *body.operandRoots()[1], &body)), "Sheet1!B1");
  ASSERT_NE(body.value(), nullptr);
  EXPECT_EQ(body.value()->numberValue(), 55);
  EXPECT_EQ(cellAt(*model, 0, 7, 6).arrayArea(), table);
}

TEST(WorkbookCompiler, SheetsNamesAndValuesReachTheModel) {
  Source source;
  source.number(1, 1, 1, 0.25);
  SourceCell& f = source.formula(0, 0, 0, u"Rate*4");
  f.cached = SourceValue::ofNumber(1);
  f.hyperlink = u"#Sheet2!B2";
  auto model = source.compileAndLoad();
  ASSERT_EQ(model->sheets().size(), 3u);
  EXPECT_EQ(model->sheet(0)->codeName, u"CodeOne");
  EXPECT_EQ(model->sheet(2)->name, u"It's");
  ASSERT_EQ(model->definedNames().size(), 2u);
  EXPECT_EQ(model->definedNames()[1].scope, 0);
  EXPECT_EQ(formulaToTextUtf8(decompileNode(*model, *model->definedNames()[0].root, nullptr)), "Sheet2!B2");
  ASSERT_NE(cellAt(*model, 0, 0, 0).value(), nullptr);
  EXPECT_EQ(cellAt(*model, 0, 0, 0).value()->numberValue(), 1); // the cached result is the stored value
  ASSERT_NE(cellAt(*model, 0, 0, 0).hyperlink(), nullptr);
  EXPECT_EQ(cellAt(*model, 0, 0, 0).hyperlink()->kind, HyperlinkRecord::Location);
  EXPECT_EQ(cellAt(*model, 0, 0, 0).hyperlink()->subAddress, u"Sheet2!B2");

  CompileOptions noValues;
  noValues.storeFormulaValues = false;
  Source again;
  SourceCell& g = again.formula(0, 0, 0, u"1+1");
  g.cached = SourceValue::ofNumber(2);
  auto bare = again.compileAndLoad(noValues);
  EXPECT_EQ(cellAt(*bare, 0, 0, 0).value(), nullptr);
}

TEST(WorkbookCompiler, BadFormulasNameTheCellAndPosition) {
  Source source;
  source.formula(0, 1, 1, u"1+)");
  try {
    source.compileAndLoad();
    FAIL() << "compiled a bad formula";
  } catch (const CompileError& e) {
    std::string message = e.what();
    EXPECT_NE(message.find("Sheet1!B2"), std::string::npos) << message;
    EXPECT_NE(message.find("unexpected ')' at 3 in =1+)"), std::string::npos) << message;
  }
  // Leniently, the cell is left to the host and keeps its cached value.
  Source lenient;
  SourceCell& bad = lenient.formula(0, 0, 0, u"Sheet1:Sheet2!A1*2");
  bad.cached = SourceValue::ofNumber(7);
  CompileOptions options;
  options.lenient = true;
  CompileReport report;
  auto model = lenient.compileAndLoad(options, &report);
  ASSERT_EQ(report.hostComputed.size(), 1u);
  EXPECT_EQ(report.hostComputed[0].rfind("Sheet1!A1: ", 0), 0u) << report.hostComputed[0];
  Cell& a1 = cellAt(*model, 0, 0, 0);
  EXPECT_TRUE(a1.hasFlag(CellHostComputed));
  EXPECT_EQ(a1.value()->numberValue(), 7);
}

TEST(WorkbookCompiler, ReportsProgressOverTheFormulaCells) {
  Source source;
  source.number(0, 0, 0, 1);
  source.formula(0, 1, 0, u"A1+1");
  source.formula(0, 2, 0, u"A2+1");
  source.formula(0, 3, 0, u"1+)"); // counted, though it does not compile
  std::vector<std::pair<size_t, size_t>> calls;
  CompileOptions options;
  options.lenient = true;
  options.progress = [&](size_t done, size_t total) { calls.emplace_back(done, total); };
  source.compileAndLoad(options);
  EXPECT_EQ(calls, (std::vector<std::pair<size_t, size_t>>{{3, 3}}));
}

TEST(WorkbookCompiler, ChunksCarryTheSameStream) {
  Source source;
  for (uint32_t r = 0; r < 50; ++r)
    source.formula(0, r, 0, u"B" + utf8ToUtf16Replacing(std::to_string(r + 1)) + u"*\"a long enough text\"");
  finishWorkbook(source.wb, "test");
  std::vector<uint8_t> bytes = compileToStream(source.wb);
  auto chunks = streamToChunks(bytes, 300);
  ASSERT_GT(chunks.size(), 2u);
  StreamReader reader;
  for (auto& chunk : chunks)
    reader.addChunk(chunk);
  CompiledWorkbook model;
  loadWorkbook(reader, model);
  EXPECT_EQ(cellFormulaText(model, cellAt(model, 0, 49, 0)), "Sheet1!B50*\"a long enough text\"");
}

} // namespace
} // namespace cwbk::compiler

namespace cwbk::compiler {

TEST(WorkbookCompiler, MarksTheDataCellsThatAnExportWrites) {
  auto dataCells = [](Source& s, const CompileOptions& options = {}) {
    std::vector<std::string> marked;
    auto model = s.compileAndLoad(options);
    model->forEachCell([&](Cell& cell) {
      if (cell.hasFlag(CellDirtyInput)) marked.push_back(addressName(*model, cell.address()));
    });
    return marked;
  };
  // Nothing unlocked: every cell holding a constant (not formulas, not empty cells).
  Source all;
  all.number(0, 0, 0, 1);
  all.number(1, 2, 1, 2);
  all.formula(0, 1, 0, u"A1*2");
  SourceCell empty;
  empty.sheet = 0, empty.row = 5, empty.column = 5, empty.hyperlink = u"http://x";
  all.wb.cells.push_back(empty);
  EXPECT_EQ(dataCells(all), (std::vector<std::string>{"Sheet1!A1", "Sheet2!B3"}));

  // Unlocked cells (or cells the source marks as data) only; an unlocked formula is not one.
  Source unlocked;
  unlocked.number(0, 0, 0, 1);
  unlocked.number(0, 0, 1, 2);
  unlocked.number(0, 0, 2, 3);
  unlocked.wb.cells[1].unlocked = true;
  unlocked.wb.cells[2].flags = kFlagDataCell;
  unlocked.formula(0, 1, 0, u"A1").unlocked = true;
  EXPECT_EQ(dataCells(unlocked), (std::vector<std::string>{"Sheet1!B1", "Sheet1!C1"}));

  // Named explicitly: the ranges given, over any source marks; a name that is no range fails.
  CompileOptions named;
  named.dataCells = {"Sheet1!A1:A2", "Sheet1!C1"};
  Source explicitly = unlocked;
  EXPECT_EQ(dataCells(explicitly, named), (std::vector<std::string>{"Sheet1!A1", "Sheet1!C1"}));
  named.dataCells = {"Nowhere!A1"};
  Source bad = unlocked;
  EXPECT_THROW(bad.compileAndLoad(named), SourceError);
}

} // namespace cwbk::compiler
