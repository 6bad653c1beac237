// Compiling and calculating a workbook built on a table: 10,000 rows of two inputs, a calculated column
// and a share of the total (40,000 cells, 20,000 of them formulas written with structured references),
// a totals row and a lookup from another sheet. The goal is well under a second per run.
#include "compiler/source_workbook.h"
#include "compiler/workbook_calc.h"
#include "compiler/workbook_compiler.h"
#include <benchmark/benchmark.h>
#include <string>

using namespace cwbk;
using namespace cwbk::compiler;

namespace {

constexpr uint32_t kRows = 10000;

SourceCell formulaCell(uint32_t sheet, uint32_t row, uint32_t column, std::u16string formula) {
  SourceCell cell;
  cell.sheet = sheet;
  cell.row = row;
  cell.column = column;
  cell.kind = CellKind::Formula;
  cell.formula = std::move(formula);
  return cell;
}

SourceCell valueCell(uint32_t row, uint32_t column, SourceValue value) {
  SourceCell cell;
  cell.row = row;
  cell.column = column;
  cell.value = std::move(value);
  return cell;
}

// Sales on Data!A1:D10002: header row, kRows data rows, totals row.
SourceWorkbook tableWorkbook() {
  SourceWorkbook wb;
  wb.sheets = {{u"Data", u""}, {u"Report", u""}};
  wb.tables.push_back(
      {u"Sales", 0, {0, 0, kRows + 1, 3}, 1, 1, {u"Qty", u"Unit Price", u"Amount", u"Share"}});
  const char16_t* headers[] = {u"Qty", u"Unit Price", u"Amount", u"Share"};
  for (uint32_t c = 0; c < 4; ++c)
    wb.cells.push_back(valueCell(0, c, SourceValue::ofText(headers[c])));
  for (uint32_t r = 1; r <= kRows; ++r) {
    wb.cells.push_back(valueCell(r, 0, SourceValue::ofNumber(r % 7 + 1)));
    wb.cells.push_back(valueCell(r, 1, SourceValue::ofNumber((r % 13) * 0.5 + 1)));
    wb.cells.push_back(formulaCell(0, r, 2, u"Sales[[#This Row],[Qty]]*Sales[[#This Row],[Unit Price]]"));
    wb.cells.push_back(formulaCell(0, r, 3, u"[@Amount]/Sales[[#Totals],[Amount]]"));
  }
  wb.cells.push_back(formulaCell(0, kRows + 1, 2, u"SUBTOTAL(109,Sales[Amount])"));
  wb.cells.push_back(formulaCell(0, kRows + 1, 3, u"SUM(Sales[Share])"));
  wb.cells.push_back(formulaCell(1, 0, 0, u"INDEX(Sales[Amount],MATCH(7,Sales[Qty],0))"));
  finishWorkbook(wb, "table benchmark");
  return wb;
}

void BM_CompileAndCalculateTable(benchmark::State& state) {
  SourceWorkbook source = tableWorkbook();
  CompileOptions options;
  options.storeFormulaValues = false;
  for (auto _ : state) {
    CompiledWorkbook workbook;
    loadStreamBytes(compileToStream(source, options), workbook);
    calculateAll(workbook);
    benchmark::DoNotOptimize(workbook);
  }
  state.SetItemsProcessed(state.iterations() * int64_t(source.cells.size()));
}
BENCHMARK(BM_CompileAndCalculateTable)->Unit(benchmark::kMillisecond);

} // namespace
