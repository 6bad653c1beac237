// HostInterface: what the workbook model asks of its host (the spreadsheet application). The host's
// adapter implements it; tests use a recording double.
#pragma once

#include <cstdint>
#include <functional>

#include "values/calc_value.h"
#include "values/cell_address.h"

namespace cwbk {

class Cell;
class CompiledWorkbook;

class HostInterface {
public:
  virtual ~HostInterface() = default;

  // Writes a reported cell into the host: its hyperlink when 0x400 is set (then clears 0x400 and sets
  // the record's kind to 5) and its value. Returns 1 written, 0 nothing to write, -1 a host failure.
  virtual int cellChanged(Cell& cell) = 0;
  // Reads the value the host shows for a cell. Returns 1 when read, 0 or -1 otherwise.
  virtual int readCell(CellAddress address, CalcValue& value) = 0;
  // Calls visitor with each area that the host's own formula of the cell reads. Returns a status.
  virtual int visitPrecedentAreas(Cell& cell, const std::function<void(const Area&)>& visitor) = 0;
  // Has the host compute a cell and reads its value. Returns false when the cell has no place in the
  // host; a host failure is raised as an exception.
  virtual bool calculateAndReadCell(CellAddress address, CalcValue& value) = 0;

  // Host-side set-up while the workbook is prepared, called in this order.
  virtual void collectSheetData(CompiledWorkbook& workbook) = 0;
  virtual void openLinkedWorkbooks(CompiledWorkbook& workbook) = 0;
  virtual void applyToSheets(CompiledWorkbook& workbook) = 0;
  virtual void refreshQueryTables(CompiledWorkbook& workbook) = 0;
  // Returns true when the workbook counts dates in the 1904 system.
  virtual bool uses1904Dates() = 0;

  // Keep the host from calculating during a recalculation, and let it calculate again afterwards.
  virtual bool suspendCalculation() = 0;
  virtual bool resumeCalculation() = 0;
};

} // namespace cwbk
