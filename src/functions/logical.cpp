// Logical functions: IF and IFERROR pick one of their arguments, AND, OR and NOT read truth values, and
// TRUE and FALSE are constants.
#include "functions/logical.h"

#include <optional>

#include "functions/arguments.h"
#include "values/conversions.h"

namespace cwbk {

namespace {

// Reads a value given directly as a truth value: Empty is FALSE, a number TRUE when it is not 0 (0.5
// too), a Boolean itself, a text only when it is the TRUE or FALSE text in any case. An error gives
// itself; anything else, a text naming an error and a range included, "#VALUE!". False with the error
// set in result.
bool directTruth(const CalcValue& v, bool& out, CalcValue& result) {
  switch (v.kind()) {
  case CalcValue::Empty:
  case CalcValue::Integer:
  case CalcValue::Double:
    out = v.numberValue() != 0;
    return true;
  case CalcValue::Boolean:
    out = v.booleanValue();
    return true;
  case CalcValue::ShortText:
  case CalcValue::LongText:
    if (std::optional<bool> b = parseBoolean(v.textView())) {
      out = *b;
      return true;
    }
    break;
  case CalcValue::Error:
    result.copyFrom(v);
    return false;
  default:
    break;
  }
  result.setError(ErrValue);
  return false;
}

// IF(condition, then, else): a copy of then when the condition reads TRUE, else a copy of else. An
// omitted else gives FALSE, an empty branch Empty, which an array formula shows as 0. The call node
// evaluates only the branch taken.
void ifFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  const CalcValue* condition = argumentAt(args, 0);
  bool truth = false;
  if (!directTruth(condition ? reducedSingleCell(*condition) : emptyValue(), truth, result)) return;
  if (const CalcValue* branch = argumentAt(args, truth ? 1 : 2))
    result.copyFrom(*branch);
  else if (!truth)
    result.setBoolean(false);
  if (context.arrayFormulaMode && result.isEmpty()) result.setInteger(0);
}

// IFERROR(value, fallback): value unless it is an error, else fallback. A range that did not reduce to
// one cell is "#VALUE!" and so takes the fallback; a text naming an error is a text.
void iferrorFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  const CalcValue* value = argumentAt(args, 0);
  const CalcValue* fallback = argumentAt(args, 1);
  bool failed = !value || value->isErrorValue() || value->isReference() || value->isReferenceList();
  if (!failed)
    result.copyFrom(*value);
  else if (fallback)
    result.copyFrom(*fallback);
}

// AND(x1, ...) and OR(x1, ...): every truth value among the arguments combined. Values given directly
// read as directTruth, except that the empty text is passed over; in ranges and arrays only numbers and Booleans count, texts and empty cells are
// passed over. The first error met is the result; no truth value at all gives "#VALUE!".
template <bool All> void allOrAny(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  std::optional<bool> running;
  bool complete = forEachAggregateValue(context, args, [&](const CalcValue& v, ValueSource source) {
    if (v.isErrorValue()) {
      result.copyFrom(v);
      return false;
    }
    bool truth = false;
    if (source == ValueSource::Direct) {
      if (v.isText() && v.textLength() == 0) return true; // AND("", TRUE) is TRUE
      if (!directTruth(v, truth, result)) return false;
    } else if (v.isNumber()) {
      truth = v.numberValue() != 0;
    } else if (v.isBoolean()) {
      truth = v.booleanValue();
    } else {
      return true;
    }
    running = running ? (All ? *running && truth : *running || truth) : truth;
    return true;
  });
  if (!complete) return;
  if (running)
    result.setBoolean(*running);
  else
    result.setError(ErrValue);
}

// NOT(x): the opposite of x's truth value (NOT(0.5) is FALSE: any number but 0 is TRUE).
void notFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  const CalcValue* x = argumentAt(args, 0);
  bool truth = false;
  if (directTruth(x ? reducedSingleCell(*x) : emptyValue(), truth, result)) result.setBoolean(!truth);
}

void trueFunction(EvaluationContext&, const CalcValue* const*, CalcValue& result) {
  result.setBoolean(true);
}

void falseFunction(EvaluationContext&, const CalcValue* const*, CalcValue& result) {
  result.setBoolean(false);
}

const ImplementationRow kLogicalRoutines[] = {
    {u"IF", ifFunction},
    {u"IFERROR", iferrorFunction},
    {u"_XLFN.IFERROR", iferrorFunction},
    {u"AND", allOrAny<true>},
    {u"OR", allOrAny<false>},
    {u"NOT", notFunction},
    {u"TRUE", trueFunction},
    {u"FALSE", falseFunction},
};

} // namespace

std::span<const ImplementationRow> logicalRoutines() {
  return kLogicalRoutines;
}

} // namespace cwbk
