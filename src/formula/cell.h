// Cell: one cell of the workbook model with its address, current value, flags, formula template index
// and its own operand trees (which the template reaches through operand references).
#pragma once

#include <cstdint>
#include <vector>

#include "values/calc_value.h"
#include "values/cell_address.h"

namespace cwbk {

class CompiledWorkbook;
class FormulaNode;

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
};

class Cell {
public:
  Cell(CompiledWorkbook* workbook, CellAddress address) : workbook_(workbook), address_(address) {}
  // Destroys the value and the operand trees.
  ~Cell();
  Cell(const Cell&) = delete;
  Cell& operator=(const Cell&) = delete;

  CompiledWorkbook* workbook() const { return workbook_; }
  CellAddress address() const { return address_; }

  // Returns the current value, or null when the cell has none.
  const CalcValue* value() const { return value_; }
  // Returns the current value, creating an Empty one when the cell has none.
  CalcValue& ensureValue();
  // Copies v into the cell's value, creating the value when the cell has none.
  void setValue(const CalcValue& v) { ensureValue().copyFrom(v); }

  uint32_t flags() const { return flags_; }
  bool hasFlag(uint32_t bits) const { return (flags_ & bits) != 0; }
  void setFlags(uint32_t bits) { flags_ |= bits; }
  void clearFlags(uint32_t bits) { flags_ &= ~bits; }

  int32_t templateIndex() const { return templateIndex_; }
  void setTemplateIndex(int32_t index) { templateIndex_ = index; }

  // The cell's own trees, owned by the cell; operand references index this list.
  std::vector<FormulaNode*>& operandRoots() { return operandRoots_; }
  const std::vector<FormulaNode*>& operandRoots() const { return operandRoots_; }

private:
  CompiledWorkbook* workbook_;
  CellAddress address_;
  CalcValue* value_ = nullptr;
  uint32_t flags_ = 0;
  int32_t templateIndex_ = -1;
  std::vector<FormulaNode*> operandRoots_;
};

} // namespace cwbk
