// Argument lists of operator and call evaluations: null-terminated argument pointers backed by scratch
// values from a process-wide stack of blocks, and the element-by-element evaluation over them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "formula/area_index.h"
#include "formula/formula_node.h"
#include "values/calc_value.h"
#include "values/cell_address.h"

namespace cwbk {

// Most arguments an operator or call passes on; its list holds one more entry, the terminating null.
// Calls with more children are refused when they are built.
constexpr size_t kMaxArguments = 255;

// Largest result that element-by-element evaluation builds; a larger shape gives "#NUM!".
constexpr uint64_t kMaxElementwiseCells = uint64_t(1) << 22;

// The arguments of one evaluation. Each list takes its own block of scratch storage from a process-wide
// stack and gives it back when it goes out of scope, so an evaluation nested inside another (a routine
// that evaluates nodes, a host that calls back) never overwrites the arguments of the outer one. Blocks
// are created on first use and kept for the process.
class ArgumentList {
public:
  ArgumentList();
  // Empties the scratch values this list used and gives its block back.
  ~ArgumentList();
  ArgumentList(const ArgumentList&) = delete;
  ArgumentList& operator=(const ArgumentList&) = delete;

  // Appends an argument and the node it came from; returns false, appending nothing, when the list
  // already holds kMaxArguments arguments. An Array value sets hasArray.
  bool push(const CalcValue* value, FormulaNode* node = nullptr);
  // Returns a scratch value owned by this list (Empty on first use), or null when every one is taken.
  // Preparation takes at most one per argument, so a full list never runs out.
  CalcValue* scratch();
  // Appends a Reference to the area, held in a scratch value.
  bool pushReference(const Area& area, FormulaNode* node);
  // Replaces the value of argument i (nothing for i beyond the list).
  void replace(size_t i, const CalcValue* value);
  // Ends the list after n arguments.
  void truncate(size_t n);

  // Returns the null-terminated list.
  const CalcValue* const* data() const;
  size_t size() const;
  const CalcValue* operator[](size_t i) const;
  // Returns the node argument i came from, or null.
  FormulaNode* node(size_t i) const;

  // True when a prepared argument is an Array.
  bool hasArray = false;

  // The storage of one list (defined with the stack of blocks).
  struct Block;

private:
  Block* block_;
};

// Returns the value of the cell at an address as an argument: the cell's value, its first element when it
// holds an array, the shared empty value when the cell or its value does not exist (or there is no
// workbook). The cell is never created.
const CalcValue& cellArgumentValue(CellAddress address);
// As cellArgumentValue, creating the cell (with an empty value) when it is missing.
const CalcValue& cellArgumentValueCreating(CellAddress address);

// The two readings of an argument's errors: that of the operators and that of the worksheet functions.
enum class ErrorReading {
  // A Reference's area is taken as stored, and a single cell's error-like value (an Error or an error
  // text) propagates.
  Operators,
  // A Reference's corners are first reduced to sheet, column and row (canonicalArea), and only a
  // single cell's error value propagates: an error text in a cell is a text like any other.
  Functions,
};

// Returns canonicalArea(area) for an area as a Reference gives it (referenceArea): the area itself when
// both corners are valid and carry no bits beyond sheet, column and row, as the engine builds them.
inline Area canonicalReferenceArea(const Area& area) {
  constexpr uint32_t kStrayColumnBits = 0xFFFF & ~CellAddress::kColumnMask;
  auto plain = [](CellAddress a) {
    return a.isValid() && (a.row & ~CellAddress::kRowMask) == 0 && (a.sheetColumn & kStrayColumnBits) == 0;
  };
  return plain(area.first) && plain(area.second) ? area : canonicalArea(area);
}

// Copies into result the first error among the arguments selected by mask (bit i selects argument i;
// arguments from 64 on count as selected when every bit is set) and returns true; false when there is
// none. An Error is copied. A Reference whose area is invalid or spans two sheets gives "#REF!"; a
// single-cell Reference whose cell holds an error gives that value, by the reading given. Other values,
// texts that look like errors among them, and references to several cells do not propagate.
bool propagateErrors(const CalcValue* const* arguments, CalcValue& result, ErrorReading reading,
                     uint64_t mask = ~uint64_t(0));

// Returns the element of an argument at (column, row) before broadcasting: for a Reference the value
// of the cell at that offset from the area's first corner when it lies inside the area (cellArgumentValue),
// else null; for any other value its element (a scalar answers itself, an array by position, null
// outside it).
const CalcValue* plainArgumentElement(const CalcValue& argument, uint32_t column, uint32_t row);

// Applies a scalar step once per element of the arguments' common shape (the largest width and height;
// a Reference counts with its area, an Array or ReferenceList with its columns and rows, anything else as
// 1 x 1) and gathers the results into an Array in result. An Array or same-sheet Reference with one column
// (or one row) repeats along the other axis. `element(argument, column, row)` gives an element or null
// outside the argument; null becomes "#N/A" (a range shorter than the result, too). An argument
// for which `whole(i, argument)` is true is passed whole to every step and does not shape the result.
template <typename Element, typename Step, typename Whole>
void applyByElement(const CalcValue* const* arguments, CalcValue& result, Element&& element, Step&& step,
                    Whole&& whole);

namespace detail {
// Returns the shape of the element-by-element result; false when it exceeds kMaxElementwiseCells.
bool elementwiseShape(const CalcValue* const* arguments, const bool* passWhole, uint32_t& columns,
                      uint32_t& rows);
// Moves result position (column, row) to the position at which an argument is read; false when that
// lies outside an area the argument refers to (the element is then "#N/A", as past an array's end).
bool broadcastPosition(const CalcValue& argument, uint32_t& column, uint32_t& row);
const CalcValue& notAvailableValue();
} // namespace detail

template <typename Element, typename Step, typename Whole>
void applyByElement(const CalcValue* const* arguments, CalcValue& result, Element&& element, Step&& step,
                    Whole&& whole) {
  // The element pointers live in a list of their own: a step may evaluate nodes, whose own lists then
  // take further blocks instead of overwriting this one.
  ArgumentList items;
  bool passWhole[kMaxArguments] = {};
  size_t count = 0;
  for (const CalcValue* const* a = arguments; a && *a && count < kMaxArguments; ++a, ++count) {
    passWhole[count] = whole(count, **a);
    items.push(*a);
  }
  uint32_t columns = 1, rows = 1;
  if (!detail::elementwiseShape(items.data(), passWhole, columns, rows)) {
    result.setError(ErrNum);
    return;
  }
  CalcValue shaped;
  shaped.resizeArray(columns, rows);
  CalcValue temporary;
  for (uint32_t r = 0; r < rows; ++r)
    for (uint32_t c = 0; c < columns; ++c) {
      for (size_t i = 0; i < count; ++i) {
        const CalcValue& argument = *arguments[i];
        if (passWhole[i]) {
          items.replace(i, &argument);
          continue;
        }
        uint32_t column = c, row = r;
        const bool inside = detail::broadcastPosition(argument, column, row);
        const CalcValue* e = inside ? element(argument, column, row) : nullptr;
        if (!e) e = inside && argument.isReference() ? &emptyValue() : &detail::notAvailableValue();
        items.replace(i, e);
      }
      temporary.setEmpty();
      step(items.data(), temporary);
      if (CalcValue* target = shaped.element(c, r)) *target = std::move(temporary);
    }
  result = std::move(shaped);
}

} // namespace cwbk
