// The aggregates over a 1,000,000-cell column: SUM, AVERAGE, COUNTIF and STDEV evaluated per cell of
// the column, next to the floor, a plain loop summing the same doubles; and a column of sums over
// growing ranges (SUM($A$1:An)) recalculated after an edit of A1, per formula.
#include "compiler/text_workbook.h"
#include "compiler/workbook_calc.h"
#include "compiler/workbook_compiler.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/formula_node.h"
#include <benchmark/benchmark.h>
#include <memory>
#include <string>
#include <vector>

using namespace cwbk;
using namespace cwbk::compiler;

namespace {

constexpr uint32_t kRows = 1000000;

// The value of row r of the column: whole and half numbers from 0 to 999.5.
double valueOfRow(uint32_t r) {
  return (r * 7919u % 2000u) / 2.0;
}

// Sheet1!A1:A1000000 filled with numbers, and one formula per aggregate on Sheet2 (A1 SUM, A2 AVERAGE,
// A3 COUNTIF, A4 STDEV).
struct Column {
  CompiledWorkbook workbook;

  Column() {
    const std::string range = "Sheet1!A1:A" + std::to_string(kRows);
    std::string text = "[sheets]\nSheet1\nSheet2\n\n[cells]\nSheet2!A1: =SUM(" + range +
                       ")\nSheet2!A2: =AVERAGE(" + range + ")\nSheet2!A3: =COUNTIF(" + range +
                       ",\">500\")\nSheet2!A4: =STDEV(" + range + ")\n";
    CompileOptions options;
    options.storeFormulaValues = false;
    loadStreamBytes(compileToStream(readTextWorkbook(text), options), workbook);
    for (uint32_t r = 0; r < kRows; ++r)
      workbook.findOrCreateCell(CellAddress::make(0, 0, r))->setValue(CalcValue::number(valueOfRow(r)));
  }
};

Column& column() {
  static Column instance;
  return instance;
}

// Evaluates the formula of Sheet2!A(row + 1) once per iteration; items are the cells of the column.
void runAggregate(benchmark::State& state, uint32_t row) {
  CompiledWorkbook& workbook = column().workbook;
  Cell* cell = workbook.findCell(CellAddress::make(1, 0, row));
  FormulaNode* root = cell ? workbook.formulaTemplate(cell->templateIndex()) : nullptr;
  if (!root) {
    state.SkipWithError("the formula did not load");
    return;
  }
  EvaluationContext& context = evaluationContext();
  context.currentCell = cell;
  for (auto _ : state)
    benchmark::DoNotOptimize(root->evaluate());
  context.currentCell = nullptr;
  state.SetItemsProcessed(state.iterations() * int64_t(kRows));
}

void BM_Sum(benchmark::State& state) {
  runAggregate(state, 0);
}
BENCHMARK(BM_Sum)->Unit(benchmark::kMillisecond);
void BM_Average(benchmark::State& state) {
  runAggregate(state, 1);
}
BENCHMARK(BM_Average)->Unit(benchmark::kMillisecond);
void BM_CountIf(benchmark::State& state) {
  runAggregate(state, 2);
}
BENCHMARK(BM_CountIf)->Unit(benchmark::kMillisecond);
void BM_Stdev(benchmark::State& state) {
  runAggregate(state, 3);
}
BENCHMARK(BM_Stdev)->Unit(benchmark::kMillisecond);

// 5,000 inputs in A and E(n) = SUM($A$1:An), calculated; each iteration changes A1 and recalculates
// every sum; items are the sums. Each sum continues the one before it, so the cost per sum stays flat
// as the column grows (BM_GrowingSums/1000 against /5000).
void BM_GrowingSums(benchmark::State& state) {
  const auto rows = static_cast<uint32_t>(state.range(0));
  std::string text = "[sheets]\nSheet1\n\n[cells]\n";
  for (uint32_t r = 1; r <= rows; ++r) {
    std::string n = std::to_string(r);
    text += "Sheet1!A" + n + ": " + std::to_string(valueOfRow(r)) + "\nSheet1!E" + n + ": =SUM($A$1:A" + n +
            ")\n";
  }
  CompiledWorkbook workbook;
  CompileOptions options;
  options.storeFormulaValues = false;
  loadStreamBytes(compileToStream(readTextWorkbook(text), options), workbook);
  calculateAll(workbook);
  double v = 0;
  for (auto _ : state)
    applyChanges(workbook, {{CellAddress::make(0, 0, 0), CalcValue::number(v += 0.5)}});
  state.SetItemsProcessed(state.iterations() * int64_t(rows));
}
BENCHMARK(BM_GrowingSums)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);

// The floor: the same doubles summed in a plain loop over a vector; items are the doubles.
void BM_SumFloor(benchmark::State& state) {
  std::vector<double> values(kRows);
  for (uint32_t r = 0; r < kRows; ++r)
    values[r] = valueOfRow(r);
  for (auto _ : state) {
    double sum = 0;
    for (double x : values)
      sum += x;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * int64_t(kRows));
}
BENCHMARK(BM_SumFloor)->Unit(benchmark::kMillisecond);

} // namespace
