// Range tallies: what an aggregate takes from the cells of one reference, folded in walk order, and the
// reuse of that fold between ranges that share their first corner and grow, so that a column of
// SUM($A$1:An) costs one read per cell instead of one per cell and formula.
#pragma once

#include <cstdint>

#include "formula/formula_node.h"
#include "values/calc_value.h"
#include "values/cell_address.h"

namespace cwbk {

// The aggregates whose cell rules a tally follows.
enum class TallyKind : uint8_t { Sum, Product, Average, Count, CountA, Max, Min, MaxA, MinA };

// What an aggregate took from the cells it visited, in the order of the walk.
struct RangeTally {
  double value = 0;   // the running sum, product or extreme
  uint64_t count = 0; // the values taken (numbers; for COUNTA the non-empty values)
  int32_t error = 0;  // the error value that ended the walk, 0 while it goes on
};

// Sets result to the error value that ended the tally's walk and returns true; false when none did.
inline bool tallyFailed(const RangeTally& t, CalcValue& result) {
  if (!t.error) return false;
  result.setError(t.error);
  return true;
}

// Returns the tally of the existing cells of a normalized one-sheet area in the context's workbook, by
// the cell rules of the kind: numbers count; an error value ends the walk (COUNT and COUNTA count
// instead); the A forms of MAX and MIN take a text as 0 and a Boolean as 0 or 1; everything else is
// passed over (COUNTA counts every value that is not empty).
//
// The walk goes column by column, rows ascending within a column. A range that adds rows to a
// one-column range, or whole columns to a range of the same rows, visits the smaller range's cells
// first and in the same order, so its tally continues the smaller one's exactly. During a level-ordered
// pass the tallies are kept by kind, first corner and the side that stays fixed, with the state after
// each row (or column), and a longer or shorter range of the same start reuses them. Nothing is kept
// from a cell that the pass has yet to evaluate or is evaluating, nor when cells were created since.
// Not for use inside SUBTOTAL, whose walks skip cells.
RangeTally tallyArea(const EvaluationContext& context, const Area& area, TallyKind kind);

// Returns true for the calls an aggregate may answer with tallyArea: outside SUBTOTAL, with one argument
// that is a Reference to one valid area on one sheet (`area` gets it normalized).
bool oneAreaCall(const CalcValue* const* args, Area& area);

} // namespace cwbk
