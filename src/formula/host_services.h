// Host evaluation services: what the host computes for the library (worksheet functions without an
// implementation, formula texts, the workbook's own macros, whole calls), and the texts built for it.
#pragma once

#include <string>
#include <string_view>

#include "values/calc_value.h"
#include "values/cell_address.h"

namespace cwbk {

class Cell;
class CallNode;
struct EvaluationContext;

// One host evaluation service. The evaluation context carries two: the first computes functions and
// formula texts, the second runs macros and whole calls. The host adapter implements them; tests use
// recording doubles. Each operation writes its answer into result and leaves result as it was when it
// has none.
class HostEvaluationService {
public:
  virtual ~HostEvaluationService() = default;
  // Computes worksheet function `number` from the null-terminated argument values, of which the host
  // passes at most maxArgs.
  virtual void callWorksheetFunction(int number, const CalcValue* const* arguments, int maxArgs,
                                     CalcValue& result) = 0;
  // Evaluates a formula text such as "=NAME(1,\"a\")".
  virtual void evaluateText(std::u16string_view text, CalcValue& result) = 0;
  // False for a service that evaluates no formula texts (a stand-in for the spreadsheet application):
  // callers then compute what they can themselves, as without a host.
  virtual bool evaluatesTexts() const { return true; }
  // Runs a macro of the workbook by name with the argument values.
  virtual void callMacro(std::u16string_view name, const CalcValue* const* arguments, CalcValue& result) = 0;
  // Evaluates a whole call for the current cell: the call node gives the name and the argument nodes
  // (a reference argument can be passed as the range it names), `arguments` their prepared values.
  virtual void evaluateCall(Cell* currentCell, const CallNode& call, const CalcValue* const* arguments,
                            CalcValue& result) = 0;
};

// The calls into the services, for call nodes and for worksheet functions that ask the host directly.
// Each clears the workbook's host-untouched flag first and returns true, or returns false, leaving result
// and flag unchanged, when the context has no such service.
// First service: a worksheet function by number.
bool hostCallWorksheetFunction(EvaluationContext& context, int number, const CalcValue* const* arguments,
                               int maxArgs, CalcValue& result);
// First service: a formula text (false too when the service evaluates no texts).
bool hostEvaluateText(EvaluationContext& context, std::u16string_view text, CalcValue& result);
// Second service: a macro of the workbook.
bool hostCallMacro(EvaluationContext& context, std::u16string_view name, const CalcValue* const* arguments,
                   CalcValue& result);
// Second service: a whole call from the current cell.
bool hostEvaluateCall(EvaluationContext& context, const CallNode& call, const CalcValue* const* arguments,
                      CalcValue& result);

// Returns a text in formula syntax: in double quotation marks, every quotation mark inside doubled.
std::u16string quotedFormulaText(std::u16string_view text);
// Returns an area as the host reads it: the sheet's quoted name and '!' when the workbook knows the
// sheet, then the two corners' A1 texts joined by ':'.
std::u16string hostReferenceText(const Area& area);
// Returns a value as an argument of a formula text for the host: a text quoted, a Reference by
// hostReferenceText, a number, Boolean, error or Array by its display text, anything else as nothing.
std::u16string hostArgumentText(const CalcValue& v);
// Returns "=", the name, "(", the arguments' hostArgumentText separated by the list separator, ")".
std::u16string hostCallText(std::u16string_view name, const CalcValue* const* arguments);
// Returns a value in formula syntax, as formula texts print argument values: a text quoted, Empty as
// nothing, a Reference by hostReferenceText, anything else by its display text.
std::u16string valueFormulaText(const CalcValue& v);

} // namespace cwbk
