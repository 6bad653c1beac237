// The road of a change from the host into the model: whether a typed value matters, the intake of
// values into the model's cells (the cells that join the next recalculation are appended to the
// pending list), and the undo list of typed values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "values/calc_value.h"
#include "values/cell_address.h"

namespace cwbk {

class Cell;
class CompiledWorkbook;

// A value the user replaced, which the host's Undo can put back.
struct UndoEntry {
  CellAddress address;
  CalcValue oldValue;
  int32_t cellIndex = -1; // the cell's formula index at the time, in cell-index mode; else -1
};

// The newest 100 typed changes, oldest first.
class UndoList {
public:
  static constexpr size_t kCapacity = 100;
  // Appends an entry; at capacity the oldest is dropped first.
  void push(UndoEntry entry);
  // Takes the newest entry off the list.
  std::optional<UndoEntry> pop();
  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }
  const UndoEntry& newest() const { return entries_.back(); }
  // Follows a sheet inserted at a sheet index: the entries of the sheets from there on move with them.
  void insertSheet(uint32_t index) {
    for (UndoEntry& entry : entries_)
      entry.address = shiftedForInsertedSheet(entry.address, index);
  }

private:
  std::deque<UndoEntry> entries_;
};

// Whether a value typed into one cell changes anything the model must know. On the way, a cell that
// the host computed becomes a plain cell again (without a formula index, its host links are dropped),
// and a typed value over an array formula's master is refused: writeBack is called with the master so
// that the host shows the formula's value again, and the change does not matter. An unchanged value
// does not matter (texts compare exactly: a change of case is a change), unless the cell has a formula
// index in cell-index mode, where typing the same value still sets the formula aside.
bool changeMatters(CompiledWorkbook& workbook, CellAddress address, const CalcValue& value,
                   const std::function<void(Cell&)>& writeBack);

// Takes one typed value into the model: the cell (created when missing) loses its formula in
// cell-index mode, takes the value and is marked as changed by the user and as dirty input. Returns
// whether it joined the pending list: when it has or had a formula, links or readers, or lies in an
// area that formulas read. Null and false for an address that names no sheet.
bool takeValue(CompiledWorkbook& workbook, CellAddress address, const CalcValue& value,
               std::vector<Cell*>& pending);

// The range form, for values read from a multi-cell change or set by a macro: a missing cell is made
// only for a value that is not empty; the value is stored, and the cell joins the pending list, when it
// differs from the cell's (as changeMatters compares) or the cell is volatile. Returns whether the cell
// joined.
bool takeRangeValue(CompiledWorkbook& workbook, CellAddress address, const CalcValue& value,
                    std::vector<Cell*>& pending);

} // namespace cwbk
