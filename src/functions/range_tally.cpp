// Range tallies: the cell rules of the aggregates as one fold, and the per-pass cache that lets a range
// continue the fold of a smaller range with the same first corner.
#include "functions/range_tally.h"

#include <algorithm>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "functions/arguments.h"

namespace cwbk {
namespace {

// Returns the tally before any cell.
RangeTally startOf(TallyKind kind) {
  RangeTally t;
  if (kind == TallyKind::Product) t.value = 1;
  return t;
}

// Takes a number into an extreme: the first number, or one beyond the running extreme.
void takeExtreme(RangeTally& t, double x, bool largest) {
  if (t.count == 0 || (largest ? x > t.value : x < t.value)) t.value = x;
  ++t.count;
}

// Folds one cell value into the tally by the kind's rules for values met in cells.
void step(RangeTally& t, TallyKind kind, const CalcValue& v) {
  switch (kind) {
  case TallyKind::Count:
    if (v.isNumber()) ++t.count;
    return;
  case TallyKind::CountA:
    if (!v.isEmpty()) ++t.count;
    return;
  default:
    break;
  }
  if (v.isErrorValue()) {
    t.error = v.errorCode();
    return;
  }
  bool largest = kind == TallyKind::Max || kind == TallyKind::MaxA;
  bool allValues = kind == TallyKind::MaxA || kind == TallyKind::MinA;
  if (!v.isNumber()) {
    if (allValues && v.isBoolean())
      takeExtreme(t, v.booleanValue() ? 1 : 0, largest);
    else if (allValues && v.isText())
      takeExtreme(t, 0, largest);
    return;
  }
  double x = v.numberValue();
  switch (kind) {
  case TallyKind::Sum:
  case TallyKind::Average:
    t.value += x;
    ++t.count;
    return;
  case TallyKind::Product:
    t.value *= x;
    ++t.count;
    return;
  default:
    takeExtreme(t, x, largest);
  }
}

// The ranges whose tallies continue each other: one column from a first cell down (`fixed` unused), or
// the rows first..fixed from a first column rightwards.
struct TallyKey {
  TallyKind kind;
  bool acrossColumns;
  uint32_t firstSheetColumn;
  uint32_t firstRow;
  uint32_t fixed;
  bool operator<(const TallyKey& o) const {
    return std::tie(kind, acrossColumns, firstSheetColumn, firstRow, fixed) <
           std::tie(o.kind, o.acrossColumns, o.firstSheetColumn, o.firstRow, o.fixed);
  }
};

// The tallies of one key: the state after the cells up to each position (a row, or a column across
// columns) where a cell stands, complete for every position up to `covered`.
struct TallyRun {
  int64_t covered = -1;
  size_t cellCount = 0; // the workbook's cell count when the run was made
  std::vector<std::pair<uint32_t, RangeTally>> states;

  // Returns the tally after the cells at positions up to `end` (at most `covered`).
  RangeTally at(uint32_t end, TallyKind kind) const {
    auto it = std::upper_bound(states.begin(), states.end(), end,
                               [](uint32_t e, const auto& s) { return e < s.first; });
    return it == states.begin() ? startOf(kind) : std::prev(it)->second;
  }
};

// The runs of the current pass.
class TallyCache : public RecalculationCache {
public:
  // Beyond this many kept states, no further state is kept.
  static constexpr size_t kMaxStates = size_t(1) << 20;
  std::map<TallyKey, TallyRun> runs;
  size_t states = 0;
  void clear() override {
    runs.clear();
    states = 0;
  }
};

// Returns the tally cache of the context's workbook, or null when tallies must not be kept: outside a
// level-ordered pass and with no workbook.
TallyCache* tallyCache(CompiledWorkbook* workbook) {
  if (!workbook || !workbook->state().levelOrderedPass) return nullptr;
  CalculationState& state = workbook->state();
  if (RecalculationCache* existing = state.cache(CacheKind::RangeTally))
    return dynamic_cast<TallyCache*>(existing);
  auto created = std::make_unique<TallyCache>();
  TallyCache* cache = created.get();
  state.setCache(CacheKind::RangeTally, std::move(created));
  return cache;
}

// Returns true when a cell's value stays as it is for the rest of the pass: the pass has evaluated it
// or never reaches it, and it is not the cell being evaluated.
bool settled(const Cell& cell, const Cell* current) {
  return &cell != current && (cell.hasFlag(CellEvaluated) || !cell.hasFlag(CellReached));
}

} // namespace

RangeTally tallyArea(const EvaluationContext& context, const Area& area, TallyKind kind) {
  CompiledWorkbook* workbook = context.cellWorkbook();
  RangeTally t = startOf(kind);
  if (!workbook) return t;
  const Grid& grid = workbook->grid();
  uint32_t sheet = area.first.sheet();
  uint32_t c1 = area.first.column(), c2 = area.second.column();
  uint32_t r1 = area.first.rowIndex(), r2 = area.second.rowIndex();
  auto fold = [&](uint32_t fromColumn, uint32_t fromRow, auto&& onCell) {
    grid.forEachCellIn(sheet, fromColumn, c2, fromRow, r2, [&](Cell& cell) {
      if (t.error) return;
      step(t, kind, cellArgument(cell));
      onCell(cell);
    });
  };
  TallyCache* cache = tallyCache(workbook);
  if (!cache) {
    fold(c1, r1, [](Cell&) {});
    return t;
  }

  bool acrossColumns = c1 != c2;
  TallyKey key{kind, acrossColumns, area.first.sheetColumn, r1, acrossColumns ? r2 : 0};
  TallyRun& run = cache->runs[key];
  uint32_t first = acrossColumns ? c1 : r1;
  uint32_t end = acrossColumns ? c2 : r2;
  if (run.cellCount != workbook->cellCount() || run.covered < int64_t(first) - 1) {
    cache->states -= run.states.size();
    run = TallyRun{int64_t(first) - 1, workbook->cellCount(), {}};
  }
  if (int64_t(end) <= run.covered) return run.at(end, kind);

  // Continue from the end of the run over the positions it does not cover yet, keeping the state after
  // each position while every cell met is settled.
  t = run.at(static_cast<uint32_t>(run.covered), kind);
  uint32_t from = static_cast<uint32_t>(run.covered + 1);
  bool keeping = true;
  const Cell* current = context.currentCell;
  auto keep = [&](Cell& cell) {
    if (!keeping) return;
    uint32_t position = acrossColumns ? cell.address().column() : cell.address().rowIndex();
    if (!settled(cell, current)) {
      // What the cells before this position gave still holds; from here on nothing is kept.
      keeping = false;
      while (!run.states.empty() && run.states.back().first >= position) {
        run.states.pop_back();
        --cache->states;
      }
      run.covered = int64_t(position) - 1;
      return;
    }
    if (!run.states.empty() && run.states.back().first == position) {
      run.states.back().second = t;
    } else if (cache->states < TallyCache::kMaxStates) {
      run.states.emplace_back(position, t);
      ++cache->states;
    } else {
      keeping = false;
      run.covered = int64_t(position) - 1;
    }
  };
  if (!t.error) {
    if (acrossColumns)
      fold(from, r1, keep);
    else
      fold(c1, from, keep);
  }
  if (keeping) run.covered = end;
  return t;
}

bool oneAreaCall(const CalcValue* const* args, Area& area) {
  return !insideSubtotal() && args && args[0] && !args[1] && args[0]->isReference() &&
         oneSheetArea(*args[0], area);
}

} // namespace cwbk
