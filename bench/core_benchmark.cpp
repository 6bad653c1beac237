// Hot-path microbenchmarks: value operations, a formula chain evaluated per node against the same
// arithmetic in a hand-written loop (the floor), stream load per MB, and COUNTBLANK over a whole sheet.
#include "compiler/text_workbook.h"
#include "compiler/workbook_calc.h"
#include "compiler/workbook_compiler.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/formula_node.h"
#include <benchmark/benchmark.h>
#include <string>
#include <vector>

using namespace cwbk;
using namespace cwbk::compiler;

namespace {

constexpr int kRows = 20000;

// Returns a chain B(r) = B(r-1)*1.000001+A(r) over kRows rows, with A(r) = r.
std::vector<uint8_t> chainStream() {
  std::string text = "[sheets]\nSheet1\n\n[cells]\nSheet1!A1: 1\nSheet1!B1: =A1\n";
  for (int r = 2; r <= kRows; ++r) {
    std::string s = std::to_string(r);
    text += "Sheet1!A" + s + ": " + s + "\nSheet1!B" + s + ": =B" + std::to_string(r - 1) + "*1.000001+A" +
            s + "\n";
  }
  CompileOptions options;
  options.storeFormulaValues = false;
  return compileToStream(readTextWorkbook(text), options);
}

void BM_ValueCopy(benchmark::State& state) {
  CalcValue a = CalcValue::number(3.5);
  for (auto _ : state) {
    CalcValue b = a;
    benchmark::DoNotOptimize(b);
  }
}
BENCHMARK(BM_ValueCopy);

void BM_ValueTextCopy(benchmark::State& state) {
  CalcValue a = CalcValue::text(u"a short text");
  for (auto _ : state) {
    CalcValue b = a;
    benchmark::DoNotOptimize(b);
  }
}
BENCHMARK(BM_ValueTextCopy);

// The chain loaded, prepared and calculated once.
struct LoadedChain {
  CompiledWorkbook workbook;
  std::vector<Cell*> cells; // the formula cells, in row order

  LoadedChain() {
    loadStreamBytes(chainStream(), workbook);
    calculateAll(workbook);
    for (int r = 0; r < kRows; ++r)
      if (Cell* c = workbook.findCell(CellAddress::make(0, 1, r))) cells.push_back(c);
  }
};

// Edit of A1 followed by the recalculation of the whole chain; items are formula cells.
void BM_ChainRecalculate(benchmark::State& state) {
  LoadedChain chain;
  double v = 1;
  for (auto _ : state) {
    applyChanges(chain.workbook, {{CellAddress::make(0, 0, 0), CalcValue::number(v += 1)}});
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_ChainRecalculate)->Unit(benchmark::kMillisecond);

// A chain formula B(r-1)*1.000001+A(r) has five nodes.
constexpr int64_t kNodesPerCell = 5;

// Node evaluation alone, without the dependents walk: each formula cell of the chain evaluated in
// order the way recalculation does (arithmetic templates as their flat programs). Items are nodes.
void BM_NodeEvaluation(benchmark::State& state) {
  LoadedChain chain;
  for (auto _ : state)
    for (Cell* c : chain.cells)
      chain.workbook.evaluateFormula(*c);
  state.SetItemsProcessed(state.iterations() * int64_t(chain.cells.size()) * kNodesPerCell);
}
BENCHMARK(BM_NodeEvaluation)->Unit(benchmark::kMillisecond);

// The same through the formula trees: every node evaluated as an object, as formulas that are not
// plain arithmetic are. Items are nodes.
void BM_TreeEvaluation(benchmark::State& state) {
  LoadedChain chain;
  EvaluationContext& context = evaluationContext();
  for (auto _ : state)
    for (Cell* c : chain.cells) {
      context.currentCell = c;
      if (FormulaNode* root = chain.workbook.formulaTemplate(c->templateIndex()))
        c->ensureValue().copyFrom(*root->evaluate());
    }
  context.currentCell = nullptr;
  state.SetItemsProcessed(state.iterations() * int64_t(chain.cells.size()) * kNodesPerCell);
}
BENCHMARK(BM_TreeEvaluation)->Unit(benchmark::kMillisecond);

// The floor: the same arithmetic over the same chain in a plain loop, counted per node (five per cell,
// to compare with node evaluation) and per formula cell (to compare with the recalculation).
void runFloor(benchmark::State& state, int64_t itemsPerCell) {
  std::vector<double> a(kRows), b(kRows);
  for (int r = 0; r < kRows; ++r)
    a[r] = r + 1;
  for (auto _ : state) {
    b[0] = a[0] + state.iterations();
    for (int r = 1; r < kRows; ++r)
      b[r] = b[r - 1] * 1.000001 + a[r];
    benchmark::DoNotOptimize(b.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kRows * itemsPerCell);
}
void BM_NodeFloor(benchmark::State& state) {
  runFloor(state, kNodesPerCell);
}
BENCHMARK(BM_NodeFloor)->Unit(benchmark::kMillisecond);
void BM_ChainFloor(benchmark::State& state) {
  runFloor(state, 1);
}
BENCHMARK(BM_ChainFloor)->Unit(benchmark::kMillisecond);

// Stream load into a fresh model; bytes processed gives the rate per MB.
void BM_StreamLoad(benchmark::State& state) {
  auto stream = chainStream();
  for (auto _ : state) {
    CompiledWorkbook workbook;
    loadStreamBytes(stream, workbook);
  }
  state.SetBytesProcessed(state.iterations() * int64_t(stream.size()));
}
BENCHMARK(BM_StreamLoad)->Unit(benchmark::kMillisecond);

} // namespace

// COUNTBLANK over a whole sheet of 100,000 filled cells (1,000 rows by 100 columns): only the cells
// that exist are visited, so the answer must come well under a millisecond.
void BM_CountblankWholeSheet(benchmark::State& state) {
  std::string text = "[sheets]\nSheet1\nSheet2\n\n[cells]\nSheet2!A1: =COUNTBLANK(Sheet1!A:XFD)\n";
  for (int r = 1; r <= 1000; ++r)
    for (int c = 0; c < 100; ++c)
      text += "Sheet1!" + cellName(r - 1, c) + ": " + std::to_string(r) + "\n";
  CompileOptions options;
  options.storeFormulaValues = false;
  CompiledWorkbook workbook;
  loadStreamBytes(compileToStream(readTextWorkbook(text), options), workbook);
  calculateAll(workbook);
  Cell* cell = workbook.findCell(CellAddress::make(1, 0, 0));
  FormulaNode* root = cell ? workbook.formulaTemplate(cell->templateIndex()) : nullptr;
  if (!root) {
    state.SkipWithError("the COUNTBLANK formula did not load");
    return;
  }
  EvaluationContext& context = evaluationContext();
  context.currentCell = cell;
  for (auto _ : state)
    benchmark::DoNotOptimize(root->evaluate());
  context.currentCell = nullptr;
}
BENCHMARK(BM_CountblankWholeSheet)->Unit(benchmark::kMicrosecond);
