// Cell: one cell of the workbook model with its address, current value, flags, formula template index,
// its own operand trees (which the template reaches through operand references) and its dependency links.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "values/calc_value.h"
#include "values/cell_address.h"
#include "values/pointer_list.h"
#include "values/pool.h"

namespace cwbk {

class Cell;
class CompiledWorkbook;
class FormulaNode;
struct AreaEntry;

// Cell flag bits.
enum CellFlag : uint32_t {
  CellOnStack = 0x1,
  CellEvaluated = 0x2,
  CellVolatile = 0x4,
  CellStored = 0x8,
  CellHostComputed = 0x10,
  CellDynamicReferences = 0x20,
  CellReached = 0x40,
  CellDirtyInput = 0x80,
  CellInCycle = 0x100,
  CellArrayFormula = 0x200,
  CellHyperlinkPending = 0x400,
  CellArrayMaster = 0x800,
  CellSubtotal = 0x1000,
  CellSuppressReport = 0x2000,
  CellValueChanged = 0x4000,
  CellChangedByUser = 0x8000,
  CellOutsideAreas = 0x20000,
  // The cell's last evaluation failed (a fault in a function or a host service) and left its value as
  // it stood; counted in the calculation state's failedCells.
  CellEvaluationFailed = 0x40000,
};

// The flags a cell record of the stream carries (and that are written back). 0x80 marks the data cells
// that the compiler chose (and the cells the user changed): the cells a user data file exports.
constexpr uint32_t kStoredCellFlags = CellVolatile | CellStored | CellHostComputed | CellDynamicReferences |
                                      CellDirtyInput | CellArrayFormula | CellHyperlinkPending |
                                      CellArrayMaster | CellSubtotal | CellChangedByUser;

// A cell's hyperlink: its kind, address and sub-address from the hyperlink text, and the display text
// and tip that the hyperlink worksheet function fills.
struct HyperlinkRecord {
  enum Kind : int32_t { Web = 1, Mail = 2, Other = 3, Location = 4, Written = 5 };
  int32_t kind = Other;
  std::u16string address;
  std::u16string subAddress;
  std::u16string displayText;
  std::u16string tip;
  // The hyperlink text as the stream gave it; written back unchanged.
  std::u16string source;

  // Returns the record of a hyperlink text: "http://" or "https://" a web address, "mailto:" a mail
  // address, a leading '#' a location in the workbook (the rest is the sub-address), anything else
  // kind 3; prefixes compared without regard to case.
  static HyperlinkRecord parse(std::u16string_view text);
};

namespace detail {
// The workbook while it is the only one alive, else null; kept by CompiledWorkbook.
extern constinit CompiledWorkbook* soleLiveWorkbook;
CompiledWorkbook* workbookHolding(const Cell& cell);
} // namespace detail

class Cell : public PoolAllocated {
public:
  explicit Cell(CellAddress address) : address_(address) {}
  // Destroys the value and the operand trees.
  ~Cell();
  Cell(const Cell&) = delete;
  Cell& operator=(const Cell&) = delete;

  // Returns the workbook that holds the cell (see CompiledWorkbook::holding).
  CompiledWorkbook* workbook() const;
  CellAddress address() const { return address_; }
  // Gives the cell the address its sheet has after the workbook's sheets were renumbered.
  void renumberSheet(CellAddress address) { address_ = address; }

  // Returns the current value, or null when the cell has none.
  const CalcValue* value() const { return (flags_ & kHasValue) ? &value_ : nullptr; }
  // Returns the current value, creating an Empty one when the cell has none.
  CalcValue& ensureValue();
  // Copies v into the cell's value, creating the value when the cell has none. A value other than
  // Empty brings the value extents of the areas around the cell up to date.
  void setValue(const CalcValue& v);
  // Destroys the value: the cell has none afterwards.
  void clearValue();

  uint32_t flags() const { return flags_ & ~kHasValue; }
  bool hasFlag(uint32_t bits) const { return (flags() & bits) != 0; }
  void setFlags(uint32_t bits) { flags_ |= bits & ~kHasValue; }
  void clearFlags(uint32_t bits) { flags_ &= ~(bits & ~kHasValue); }
  void setFlagWord(uint32_t flags) { flags_ = (flags & ~kHasValue) | (flags_ & kHasValue); }

  int32_t templateIndex() const { return templateIndex_; }
  void setTemplateIndex(int32_t index) { templateIndex_ = index; }
  int32_t parkedTemplateIndex() const { return rare() ? rare()->parkedTemplateIndex : -1; }
  void setParkedTemplateIndex(int32_t index);
  // The array-formula index of a cell record that carries one instead of a template index; -1 otherwise.
  int32_t arrayFormulaIndex() const { return rare() ? rare()->arrayFormulaIndex : -1; }
  void setArrayFormulaIndex(int32_t index);
  // Returns true when the cell has a formula: a template or a formula that the host computes.
  bool hasFormula() const { return templateIndex_ >= 0 || hasFlag(CellHostComputed); }
  // Returns true for a member of an array formula other than its master.
  bool isArrayMember() const { return (flags_ & (CellArrayFormula | CellArrayMaster)) == CellArrayFormula; }

  // The cell's own trees, owned by the cell; operand references index this list.
  PointerList<FormulaNode*>& operandRoots() { return operandRoots_; }
  const PointerList<FormulaNode*>& operandRoots() const { return operandRoots_; }

  // Dependency links: sorted by identity, without duplicates.
  PointerList<Cell*>& precedentCells() { return precedentCells_; }
  const PointerList<Cell*>& precedentCells() const { return precedentCells_; }
  PointerList<Cell*>& dependents() { return dependents_; }
  const PointerList<Cell*>& dependents() const { return dependents_; }
  // The areas the cell's formula reads as ranges: their entries in the area index (which keeps every
  // entry for the workbook's lifetime), in the order they were entered.
  const PointerList<AreaEntry*>& precedentAreas() const;
  // Returns the entries for changing them, creating the list when the cell has none.
  PointerList<AreaEntry*>& mutablePrecedentAreas();
  uint32_t level() const { return level_; }
  void setLevel(uint32_t level) { level_ = level; }

  // The hyperlink record, or null for a cell without a hyperlink.
  HyperlinkRecord* hyperlink() const { return rare() ? rare()->hyperlink.get() : nullptr; }
  // Returns the hyperlink record, creating an empty one when the cell has none.
  HyperlinkRecord& ensureHyperlink();
  void setHyperlink(std::unique_ptr<HyperlinkRecord> record);

  // The top-left and bottom-right cells of the array formula (or data table) the cell belongs to;
  // invalid when it belongs to none.
  const Area& arrayArea() const;
  void setArrayArea(const Area& area);

private:
  // What fewer cells still carry: array formulas, hyperlinks and parked formulas.
  struct Rare : PoolAllocated {
    std::unique_ptr<HyperlinkRecord> hyperlink;
    Area arrayArea;
    int32_t parkedTemplateIndex = -1;
    int32_t arrayFormulaIndex = -1;
  };
  // What few cells carry, kept apart so that the common cell stays small: the areas read as ranges
  // (most such cells have nothing else, so the rest is one step further).
  struct Extras : PoolAllocated {
    PointerList<AreaEntry*> precedentAreas;
    std::unique_ptr<Rare> rare;
  };
  Extras& extras();
  const Rare* rare() const { return extras_ ? extras_->rare.get() : nullptr; }
  Rare& ensureRare();

  // The bit of flags_ that says the cell has a value; kept apart from the flags the model sees.
  static constexpr uint32_t kHasValue = 0x80000000u;

  // (The members are ordered so that the cell packs without padding.)
  uint32_t level_ = 0;

public:
  // Scratch word of the ordering walk: the number under which the cell was last visited (0: never).
  uint32_t walkNumber = 0;

private:
  CellAddress address_;
  uint32_t flags_ = 0;
  int32_t templateIndex_ = -1;
  PointerList<FormulaNode*> operandRoots_;
  PointerList<Cell*> precedentCells_;
  PointerList<Cell*> dependents_;
  std::unique_ptr<Extras> extras_;
  // The value, held in place (it exists when flags_ has kHasValue).
  CalcValue value_;
};

inline CompiledWorkbook* Cell::workbook() const {
  if (CompiledWorkbook* sole = detail::soleLiveWorkbook) return sole;
  return detail::workbookHolding(*this);
}

// Inserts a cell into a list sorted by identity; returns false when it was already there.
template <typename List> bool insertByIdentity(List& cells, Cell* cell) {
  if (cells.empty() || std::less<Cell*>()(cells.back(), cell)) {
    cells.push_back(cell);
    return true;
  }
  auto it = std::lower_bound(cells.begin(), cells.end(), cell, std::less<Cell*>());
  if (it != cells.end() && *it == cell) return false;
  cells.insert(it, cell);
  return true;
}
// Removes a cell from a list sorted by identity; returns false when it was not there.
template <typename List> bool eraseByIdentity(List& cells, Cell* cell) {
  auto it = std::lower_bound(cells.begin(), cells.end(), cell, std::less<Cell*>());
  if (it == cells.end() || *it != cell) return false;
  cells.erase(it);
  return true;
}
// Returns true when a list sorted by identity holds the cell.
template <typename List> bool containsByIdentity(const List& cells, const Cell* cell) {
  return std::binary_search(cells.begin(), cells.end(), const_cast<Cell*>(cell), std::less<Cell*>());
}
// A set of cells ordered by identity, held as a vector. Insertions in ascending identity append; others
// are sorted in on the next read, so loading many cells stays linear.
class CellSet {
public:
  // Adds a cell (nothing when it is already a member).
  void insert(Cell* cell);
  // Removes a cell; returns false when it was no member.
  bool erase(Cell* cell);
  bool contains(const Cell* cell) const;
  // Returns the members sorted by identity.
  const std::vector<Cell*>& cells() const;
  size_t size() const { return cells().size(); }
  bool empty() const { return cells_.empty(); }
  void clear() { cells_.clear(), sorted_ = true; }
  // Gives back the room that growing left unused.
  void shrinkToFit() {
    sort();
    cells_.shrink_to_fit();
  }

private:
  void sort() const;
  mutable std::vector<Cell*> cells_;
  mutable bool sorted_ = true;
};

} // namespace cwbk
