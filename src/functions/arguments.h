// The toolkit that every family of worksheet functions shares: taking arguments as numbers, whole
// numbers, texts and Booleans, error propagation, the shared shapes of simple functions, walks over
// references and arrays, the contexts in which aggregates meet values, and the inside-SUBTOTAL flag.
//
// Value kinds as the scalar takers see them: an Error is its error (copied into the result); a
// Reference, ReferenceList or Array is "#VALUE!" (the argument classes of the call have already reduced
// single cells where the function asked for values). A text that names an error ("#N/A" typed as text)
// is a text to the number takers and that error to the text and Boolean takers, as the text and
// logical functions want it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "formula/area_index.h"
#include "formula/argument_list.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/formula_node.h"
#include "values/calc_value.h"

namespace cwbk {

// --- the inside-SUBTOTAL flag

// Returns true while SUBTOTAL runs one of the routines it computes itself. Cell walks then skip the
// cells that hold a SUBTOTAL of their own, and some aggregates relax their rules.
bool insideSubtotal();

// Sets the inside-SUBTOTAL flag for its lifetime and restores the previous state afterwards, also when
// the routine it guards throws.
class SubtotalScope {
public:
  SubtotalScope();
  ~SubtotalScope();
  SubtotalScope(const SubtotalScope&) = delete;
  SubtotalScope& operator=(const SubtotalScope&) = delete;

private:
  bool saved_;
};

// --- arguments and errors

// Returns the number of arguments of a null-terminated argument array.
size_t argumentCount(const CalcValue* const* args);

// Returns argument i, or null when the call has fewer arguments (an optional argument left out).
const CalcValue* argumentAt(const CalcValue* const* args, size_t i);

// Errors among the arguments before a routine takes them: propagateErrors (argument_list.h) with
// ErrorReading::Functions. An Error, an invalid or two-sheet Reference ("#REF!") and a single-cell
// Reference whose cell holds an error value end the call; error texts and larger areas do not.

// Returns the error code of an Error, or of a text naming an error; 0 for anything else.
int32_t errorCodeOf(const CalcValue& v);

// Copies an error-like value (an Error, or a text naming an error) into result as an Error.
void setErrorOf(const CalcValue& v, CalcValue& result);

// --- number takers

// The strict number taker. Returns true with the number of an Empty (0), Integer, Boolean (0 or 1),
// Double or a text that reads as a number (dates and times included, as typed entries read).
// Otherwise sets result and returns false: an error value gives that error; a text that is no number
// (an error text such as "#N/A" included), a Reference, a ReferenceList or an Array gives "#VALUE!".
bool argNumber(const CalcValue& arg, double& out, CalcValue& result);

// The plain conversion: Empty, Integer, Boolean and Double give their number, a text its number when it
// reads as one. Returns false for anything else; never touches a result and never reads dates.
bool valueNumber(const CalcValue& v, double& out);

// The reducing number taker: a single-cell Reference stands for its cell's value, an Array for its first
// element; then as argNumber. Returns 0 with the number, or the error code: that of an error value,
// "#REF!" for an invalid or two-sheet reference, "#VALUE!" for anything else (a reference to several
// cells, a text that is no number). It never writes a result.
int32_t argNumberReduced(const CalcValue& arg, double& out);

// Takes argument i with argNumber; an absent argument reads as `missing`. False with the error set.
bool numberAt(const CalcValue* const* args, size_t i, double missing, double& out, CalcValue& result);

// Takes argument i with argNumberReduced; an absent argument reads as `missing`. False with the error
// set.
bool reducedAt(const CalcValue* const* args, size_t i, double missing, double& out, CalcValue& result);

// Takes argument i as a whole number: argNumber, then truncated toward zero (2.7 is 2, -2.7 is -2), the
// way counts, positions and indexes are read. The number stays a double, so a range check sees 1e300 as
// it is. An absent argument reads as `missing`. False with the error set.
bool integerAt(const CalcValue* const* args, size_t i, double missing, double& out, CalcValue& result);

// The text taker: Empty is the empty text; a number its general display text (2.5, -7, 1E+20 with
// the locale's decimal separator); a Boolean the current true or false text ("TRUE", "FALSE"); a text
// itself. An error-like value (an Error, or a text naming an error) gives that error; a Reference,
// ReferenceList or Array gives "#VALUE!". False with the error set.
bool argText(const CalcValue& arg, std::u16string& out, CalcValue& result);
// Takes argument i with argText; an absent argument reads as `missing`.
bool textAt(const CalcValue* const* args, size_t i, std::u16string_view missing, std::u16string& out,
            CalcValue& result);

// The Boolean taker: a Boolean itself; Empty false; a number true when it is not 0; a text only when it
// is the current true or false text (any case), else "#VALUE!". An error-like value gives that error; a
// Reference, ReferenceList or Array gives "#VALUE!". False with the error set.
bool argBoolean(const CalcValue& arg, bool& out, CalcValue& result);
// Takes argument i with argBoolean; an absent argument reads as `missing`.
bool booleanAt(const CalcValue* const* args, size_t i, bool missing, bool& out, CalcValue& result);

// Stores a numeric result with setNumber; an infinity or NaN becomes "#NUM!".
void setNumberResult(CalcValue& result, double x);

// --- shapes of simple functions

// One number in, one result out: the first argument by argNumber (absent: 0), then f(x, result), which
// stores the number or an error.
template <typename F> void unary(const CalcValue* const* args, CalcValue& result, F&& f) {
  double x = 0;
  if (!numberAt(args, 0, 0, x, result)) return;
  f(x, result);
}

// One number in, one number out, for functions without a domain check: G(x) through setNumberResult.
template <double (*G)(double)> void plainUnary(const CalcValue* const* args, CalcValue& result) {
  unary(args, result, [](double x, CalcValue& r) { setNumberResult(r, G(x)); });
}

// --- running results

// Makes result a Double equal to its previous number (Empty counts 0) plus x.
void addToSum(CalcValue& result, double x);
// Makes result one larger: an Integer count (Empty counts 0), or a Double plus 1.0.
void countOne(CalcValue& result);

// --- cells of references

namespace detail {
// cellArgument for the cells that need the model: members of array formulas and cells holding arrays.
const CalcValue& cellArgumentThroughModel(Cell& cell);
} // namespace detail

// Returns the value of an existing cell as an argument: its value, or its first element when the cell
// holds an array; the shared Empty value when it has none. A cell of its own (no member of an array
// formula) holding a single value answers it directly; the model is asked only for the others.
inline const CalcValue& cellArgument(Cell& cell) {
  if (!cell.isArrayMember())
    if (const CalcValue* v = cell.value(); v && !v->isArray()) return *v;
  return detail::cellArgumentThroughModel(cell);
}
// Returns the value of the cell at an address of the context's workbook as an argument (as
// cellArgument); the shared Empty value when the cell or the workbook does not exist.
const CalcValue& cellValueIn(const EvaluationContext& context, CellAddress address);
// Returns the value of the one cell of a single-cell Reference (the shared Empty value when the cell
// does not exist), or null when the reference is invalid, spans sheets or covers several cells.
const CalcValue* cellValueOfSingleRef(const CalcValue& ref);
// Returns the value at (row, column) of a Reference (offsets inside its area; the shared Empty value for
// a missing cell, the first element of a cell holding an array) or of an Array (its element); null
// outside. Any other value answers every position with itself.
const CalcValue* cellValueAt(const CalcValue& refOrArray, uint32_t row, uint32_t column);

// Returns true when the Reference names one valid area on one sheet; `area` gets it normalized.
bool oneSheetArea(const CalcValue& ref, Area& area);
// Returns true for a Reference to one valid area of several cells on one sheet.
bool isSeveralCells(const CalcValue& v);
// Returns the value a single-cell Reference stands for (its cell's, as cellValueOfSingleRef); any other
// value, a larger or invalid Reference included, itself.
const CalcValue& reducedSingleCell(const CalcValue& v);
// Returns the number of columns and rows of a normalized area.
inline uint32_t areaWidth(const Area& a) {
  return a.second.column() - a.first.column() + 1;
}
inline uint32_t areaHeight(const Area& a) {
  return a.second.rowIndex() - a.first.rowIndex() + 1;
}

// Visits the existing cells of a one-sheet Reference in the context's workbook, column by column from
// the leftmost, rows ascending within a column, with visit(const CalcValue& value, Cell& cell) -> bool
// (false stops). Inside SUBTOTAL, cells that hold a SUBTOTAL of their own are skipped. Returns false
// when the walk was stopped; an invalid or two-sheet reference, or a context without a workbook,
// visits nothing (check the reference with oneSheetArea first).
template <typename Visitor>
bool walkReference(const EvaluationContext& context, const CalcValue& ref, Visitor&& visit);

// Visits the elements of an Array row by row, left to right, with visit(const CalcValue&) -> bool
// (false stops). Returns false when the walk was stopped.
template <typename Visitor> bool walkArray(const CalcValue& array, Visitor&& visit);

// --- the contexts of aggregates

// Where an aggregate met a value.
enum class ValueSource {
  Direct,       // the argument itself (not a reference, reference list or array)
  Cell,         // a cell of a referenced area
  Element,      // an element of an array argument
  BadReference, // a Reference that is invalid or spans two sheets; the value is "#REF!"
};

// The shape "walk every value of these arguments": visits every value an aggregate's arguments hold, in
// argument order: a Reference by walkReference, a ReferenceList member by member, an Array by
// walkArray, anything else directly. visit(const CalcValue&, ValueSource) -> bool; false stops. Returns
// false when stopped.
template <typename Visitor>
bool forEachAggregateValue(const EvaluationContext& context, const CalcValue* const* args, Visitor&& visit);

// SUM of the arguments into result by the SUM rules, for the routines of any family that sum.
void sumArguments(const EvaluationContext& context, const CalcValue* const* args, CalcValue& result);

// ---------------------------------------------------------------- templates

template <typename Visitor>
bool walkReference(const EvaluationContext& context, const CalcValue& ref, Visitor&& visit) {
  Area area;
  if (!oneSheetArea(ref, area)) return true;
  CompiledWorkbook* workbook = context.cellWorkbook();
  if (!workbook) return true;
  bool skipSubtotals = insideSubtotal();
  bool going = true;
  workbook->grid().forEachCellIn(area.first.sheet(), area.first.column(), area.second.column(),
                                 area.first.rowIndex(), area.second.rowIndex(), [&](Cell& cell) {
                                   if (!going) return;
                                   if (skipSubtotals && cell.hasFlag(CellSubtotal)) return;
                                   going = visit(cellArgument(cell), cell);
                                 });
  return going;
}

template <typename Visitor> bool walkArray(const CalcValue& array, Visitor&& visit) {
  if (!array.isArray()) return true;
  uint32_t columns = array.arrayColumns(), rows = array.arrayRows();
  for (uint32_t r = 0; r < rows; ++r)
    for (uint32_t c = 0; c < columns; ++c) {
      const CalcValue* e = array.element(c, r);
      if (e && !visit(*e)) return false;
    }
  return true;
}

namespace detail {
template <typename Visitor>
bool visitAggregateReference(const EvaluationContext& context, const CalcValue& ref, Visitor& visit) {
  Area area;
  if (!oneSheetArea(ref, area)) {
    static const CalcValue bad = CalcValue::error(ErrRef);
    return visit(bad, ValueSource::BadReference);
  }
  return walkReference(context, ref, [&](const CalcValue& v, Cell&) { return visit(v, ValueSource::Cell); });
}
} // namespace detail

template <typename Visitor>
bool forEachAggregateValue(const EvaluationContext& context, const CalcValue* const* args, Visitor&& visit) {
  for (const CalcValue* const* a = args; a && *a; ++a) {
    const CalcValue& arg = **a;
    if (arg.isReference()) {
      if (!detail::visitAggregateReference(context, arg, visit)) return false;
    } else if (arg.isReferenceList()) {
      uint32_t columns = arg.arrayColumns(), rows = arg.arrayRows();
      for (uint32_t r = 0; r < rows; ++r)
        for (uint32_t c = 0; c < columns; ++c) {
          const CalcValue* member = arg.element(c, r);
          if (member && member->isReference() && !detail::visitAggregateReference(context, *member, visit))
            return false;
        }
    } else if (arg.isArray()) {
      if (!walkArray(arg, [&](const CalcValue& e) { return visit(e, ValueSource::Element); })) return false;
    } else if (!visit(arg, ValueSource::Direct)) {
      return false;
    }
  }
  return true;
}

} // namespace cwbk
