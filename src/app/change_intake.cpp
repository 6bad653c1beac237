// The intake of typed values into the model and the undo list.
#include "app/change_intake.h"

#include <utility>

#include "formula/area_index.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "values/conversions.h"

namespace cwbk {
namespace {

// A host-computed cell that the user overwrote forgets the links its host formula had.
void dropHostLinks(CompiledWorkbook& workbook, Cell& cell) {
  const std::vector<AreaEntry*> areas(cell.precedentAreas().begin(), cell.precedentAreas().end());
  for (AreaEntry* entry : areas)
    workbook.unregisterArea(cell, entry->area);
  const std::vector<Cell*> precedents(cell.precedentCells().begin(), cell.precedentCells().end());
  for (Cell* read : precedents)
    workbook.unlink(cell, *read);
}

bool isArrayMaster(const Cell& cell) {
  return cell.hasFlag(CellArrayMaster) && cell.hasFlag(CellArrayFormula);
}

// Typed values are compared as the user sees them: texts unit by unit, numbers within 15 digits.
bool sameTypedValue(const CalcValue& a, const CalcValue& b) {
  if (a.isNumber() && b.isNumber()) return equal(a, b);
  if (a.isText() && b.isText()) return a.textView() == b.textView();
  return a.sameAs(b);
}

bool readByFormulas(CompiledWorkbook& workbook, Cell* cell, CellAddress address) {
  if (cell && (cell->templateIndex() >= 0 || cell->hasFlag(CellHostComputed) || !cell->dependents().empty() ||
               !cell->precedentCells().empty() || !cell->precedentAreas().empty() || isArrayMaster(*cell)))
    return true;
  bool read = false;
  workbook.areaIndex().forEachContaining(address,
                                         [&](AreaEntry& entry) { read = read || !entry.readers.empty(); });
  return read;
}

} // namespace

void UndoList::push(UndoEntry entry) {
  if (entries_.size() >= kCapacity) entries_.pop_front();
  entries_.push_back(std::move(entry));
}

std::optional<UndoEntry> UndoList::pop() {
  if (entries_.empty()) return std::nullopt;
  std::optional<UndoEntry> entry(std::move(entries_.back()));
  entries_.pop_back();
  return entry;
}

bool changeMatters(CompiledWorkbook& workbook, CellAddress address, const CalcValue& value,
                   const std::function<void(Cell&)>& writeBack) {
  Cell* cell = workbook.findCell(address);
  const bool hasValue = cell && cell->value() && !cell->value()->isEmpty();
  if (!hasValue && value.isEmpty()) return false;
  if (!cell) return true;
  if (cell->hasFlag(CellHostComputed)) {
    cell->clearFlags(CellHostComputed);
    if (cell->templateIndex() < 0) dropHostLinks(workbook, *cell);
  }
  if (isArrayMaster(*cell)) {
    writeBack(*cell);
    return false;
  }
  const bool indexed = cell->templateIndex() >= 0 && workbook.cellIndexMode();
  return !(cell->value() && sameTypedValue(*cell->value(), value) && !indexed);
}

bool takeValue(CompiledWorkbook& workbook, CellAddress address, const CalcValue& value,
               std::vector<Cell*>& pending) {
  const bool matters = readByFormulas(workbook, workbook.findCell(address), address);
  Cell* cell = workbook.findOrCreateCell(address);
  if (!cell) return false;
  if (workbook.cellIndexMode()) workbook.detachFormula(*cell);
  workbook.setCellValue(value, *cell);
  if (matters) pending.push_back(cell);
  cell->setFlags(CellChangedByUser | CellDirtyInput);
  return matters;
}

bool takeRangeValue(CompiledWorkbook& workbook, CellAddress address, const CalcValue& value,
                    std::vector<Cell*>& pending) {
  Cell* cell = workbook.findCell(address);
  if (!cell && value.isEmpty()) return false;
  if (!cell) cell = workbook.findOrCreateCell(address);
  if (!cell) return false;
  if (!cell->hasFlag(CellVolatile) && cell->value() && sameTypedValue(*cell->value(), value)) return false;
  workbook.setCellValue(value, *cell);
  if (workbook.cellIndexMode()) workbook.detachFormula(*cell);
  pending.push_back(cell);
  return true;
}

} // namespace cwbk
