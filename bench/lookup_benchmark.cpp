// Lookup microbenchmarks: a column of approximate VLOOKUPs over a 1,000-row table, each formula cell
// evaluated alone the way recalculation does, per lookup; keys beyond the table (the search ends at
// the table's last key, as in the Big workload) and keys inside it (a whole binary search).
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

constexpr int kLookups = 20000;
constexpr int kTableRows = 1000;

// A1:A1000 = 1..1000, B(r) = VLOOKUP(key(r), A$1:A$1000, 1, TRUE) for kLookups rows, loaded and
// calculated once.
struct LookupColumn {
  CompiledWorkbook workbook;
  std::vector<Cell*> cells;

  template <typename Key> explicit LookupColumn(Key&& key) {
    std::string text = "[sheets]\nSheet1\n\n[cells]\n";
    for (int r = 1; r <= kTableRows; ++r)
      text += "Sheet1!A" + std::to_string(r) + ": " + std::to_string(r) + "\n";
    for (int r = 1; r <= kLookups; ++r)
      text +=
          "Sheet1!B" + std::to_string(r) + ": =VLOOKUP(" + std::to_string(key(r)) + ",A$1:A$1000,1,TRUE)\n";
    CompileOptions options;
    options.storeFormulaValues = false;
    loadStreamBytes(compileToStream(readTextWorkbook(text), options), workbook);
    calculateAll(workbook);
    for (int r = 0; r < kLookups; ++r)
      if (Cell* c = workbook.findCell(CellAddress::make(0, 1, r))) cells.push_back(c);
  }
};

void runLookups(benchmark::State& state, LookupColumn& column) {
  if (column.cells.size() != size_t(kLookups)) {
    state.SkipWithError("the lookup column did not load");
    return;
  }
  EvaluationContext& context = evaluationContext();
  for (auto _ : state)
    for (Cell* c : column.cells) {
      context.currentCell = c;
      column.workbook.evaluateFormula(*c);
    }
  context.currentCell = nullptr;
  state.SetItemsProcessed(state.iterations() * kLookups);
}

// Keys as the Big workload has them: mostly beyond the table's last key.
void BM_VlookupBeyondTable(benchmark::State& state) {
  LookupColumn column([](int r) { return (r * 7LL) % 100000 + 1; });
  runLookups(state, column);
}
BENCHMARK(BM_VlookupBeyondTable)->Unit(benchmark::kMillisecond);

// Keys spread over the table, with halves between its keys: a full binary search each.
void BM_VlookupInsideTable(benchmark::State& state) {
  LookupColumn column([](int r) { return ((r * 7919LL) % (2 * kTableRows)) / 2.0 + 0.5; });
  runLookups(state, column);
}
BENCHMARK(BM_VlookupInsideTable)->Unit(benchmark::kMillisecond);

} // namespace
