// EvaluationContext: the calculation state that worksheet-function routines reach while a formula is
// evaluated; the formula model adds the current cell and the host evaluation services.
#pragma once

namespace cwbk {

struct EvaluationContext {
  bool arrayFormulaMode = false; // true while the current cell belongs to an array formula
};

} // namespace cwbk
