// The sheet-change road, the recalculation driver, the undo entry and the workbook-load step.
#include "runtime/win32/recalculation_driver.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "app/change_intake.h"
#include "excel/com_error.h"
#include "excel/excel_adapter.h"
#include "excel/variant_bridge.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/recalculation.h"
#include "formula/reference.h"
#include "runtime/encoded_strings.h"
#include "runtime/win32/at_exit.h"
#include "runtime/win32/host_effects.h"
#include "runtime/win32/runtime_host.h"
#include "runtime/win32/sheet_protection.h"
#include "runtime/win32/window_procs.h"

namespace cwbk {
namespace {

constexpr int32_t kCalculationManual = -4135;
constexpr int32_t kCalculationAutomatic = -4105;
constexpr uint32_t kChunkCells = 16384;
constexpr int kDeferredRounds = 8;

void runDriver(RuntimeHost& host, bool calculateAll);

double secondsNow() {
  static const double frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return f.QuadPart ? double(f.QuadPart) : 1000.0;
  }();
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return double(now.QuadPart) / frequency;
}

// Lets the messages that wait on this thread run once (Excel finishes entering a formula).
void runMessagesOnce() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

// A formula the user typed: the cell becomes one that Excel computes, linked to what its formula reads.
void takeTypedFormula(RuntimeHost& host, CellAddress address, RangeWrapper& range) {
  runMessagesOnce();
  CompiledWorkbook& model = *host.model;
  Cell* cell = model.findOrCreateCell(address);
  if (!cell) return;
  model.setHostComputed(*cell);
  model.recalculator().linkHostReferences(*cell);
  cell->setFlags(CellDirtyInput | CellChangedByUser);
  host.pendingCells.push_back(cell);
  const std::u16string formula = range.formula();
  if (!formula.empty() && formula[0] == u'=' && formula.find(u'[') != std::u16string::npos)
    model.setVolatile(*cell, true);
}

// One typed value: recorded for undo where asked, then taken into the model.
bool takeTypedValue(RuntimeHost& host, CellAddress address, RangeWrapper& range) {
  CompiledWorkbook& model = *host.model;
  Variant typed;
  if (!range.value2(typed)) return false;
  const CalcValue value = fromVariant(typed.get());
  const bool testChange = !(host.recalcInManual && host.excelInfo.majorVersion == 14);
  if (testChange && !changeMatters(model, address, value, [&](Cell& master) {
        // The array formula's value goes back over what the user typed.
        model.reportChange(master, nullptr);
        host.application.putEnableEvents(true);
      }))
    return false;
  if (host.recordNextChange || (!host.undoRunning && value.isEmpty())) {
    if (Cell* cell = model.findOrCreateCell(address)) {
      CalcValue old;
      if (cell->value()) old.copyFrom(*cell->value());
      const int32_t index = model.cellIndexMode() && cell->templateIndex() >= 0 ? cell->templateIndex() : -1;
      host.undoList.push({address, std::move(old), index});
      PostMessageW(host.mainWindow, message::Command, 12, 0);
    }
  }
  const bool joined = takeValue(model, address, value, host.pendingCells);
  host.menu.enableExport();
  return joined;
}

// The area that the part of `a` inside `b` covers; invalid when they do not meet.
Area intersection(const Area& a, const Area& b) {
  if (!a.isValid() || !b.isValid()) return Area::invalid();
  const uint32_t top = std::max(a.first.rowIndex(), b.first.rowIndex());
  const uint32_t bottom = std::min(a.second.rowIndex(), b.second.rowIndex());
  const uint32_t left = std::max(a.first.column(), b.first.column());
  const uint32_t right = std::min(a.second.column(), b.second.column());
  if (top > bottom || left > right) return Area::invalid();
  return {CellAddress::make(a.first.sheet(), left, top), CellAddress::make(a.first.sheet(), right, bottom)};
}

bool contains(const Area& area, CellAddress cell) {
  return area.isValid() && cell.column() >= area.first.column() && cell.column() <= area.second.column() &&
         cell.rowIndex() >= area.first.rowIndex() && cell.rowIndex() <= area.second.rowIndex();
}

// Several cells: Excel's values are read only where they can be (the area's part inside the sheet's
// used range), in chunks of whole rows, each value taken in its range form. Outside that part Excel's
// cells are empty, and only the model's own cells there take the empty value: a change of whole
// columns or of the whole sheet costs what the sheet holds, not its 17 billion cells.
bool takeAreaValues(RuntimeHost& host, WorksheetWrapper& sheet, uint32_t sheetIndex, RangeWrapper& range,
                    const Area& used) {
  const ParsedArea parsed = parseArea(range.address(), sheetIndex);
  if (!parsed.first.isValid()) return false;
  const Area area{parsed.first, parsed.second};
  // Without a used range (Excel did not answer) the whole area is read, as nothing may be lost.
  const Area read = used.isValid() ? intersection(area, used) : area;
  bool joined = false;
  if (read.isValid()) {
    const uint32_t top = read.first.rowIndex(), bottom = read.second.rowIndex();
    const uint32_t left = read.first.column(), right = read.second.column();
    const uint32_t chunkRows = kChunkCells / (right - left + 1) + 1;
    for (uint32_t first = top; first <= bottom; first += chunkRows) {
      const uint32_t last = std::min(bottom, first + (chunkRows - 1));
      const std::u16string text = cellText(CellAddress::make(sheetIndex, left, first)) + u":" +
                                  cellText(CellAddress::make(sheetIndex, right, last));
      sheet.range(text).readBlock(first, left, [&](uint32_t row, uint32_t column, const CalcValue& value) {
        joined |=
            takeRangeValue(*host.model, CellAddress::make(sheetIndex, column, row), value, host.pendingCells);
      });
      if (last == bottom) break;
    }
  }
  std::vector<CellAddress> emptied;
  host.model->forEachCellIn(area, [&](Cell& cell) {
    if (!contains(read, cell.address())) emptied.push_back(cell.address());
  });
  for (CellAddress address : emptied)
    joined |= takeRangeValue(*host.model, address, CalcValue(), host.pendingCells);
  return joined;
}

// The sheet's used range in Excel: where its values can be; invalid when it cannot be read.
Area excelUsedArea(WorksheetWrapper& sheet, uint32_t sheetIndex) {
  try {
    const ParsedArea parsed = parseArea(sheet.usedRange().address(), sheetIndex);
    return {parsed.first, parsed.second};
  } catch (const ComError&) {
    return Area::invalid();
  }
}

// The change handling: returns whether cells joined that call for a recalculation.
bool handleChange(RuntimeHost& host, WorksheetWrapper& sheet, RangeWrapper& range) {
  const bool counts = host.application.calculation() != kCalculationManual || host.recalcInManual;
  const bool manual14 = host.recalcInManual && host.excelInfo.majorVersion == 14;
  const uint32_t sheetIndex = uint32_t(sheet.index() - 1);
  bool joined = false;
  if (range.countLarge(host.excelInfo.majorVersion) < 2) {
    const CellAddress address = parseCell(range.address(), sheetIndex);
    if (!address.isValid()) return manual14;
    if (range.hasFormula()) {
      takeTypedFormula(host, address, range);
      joined = true;
    } else {
      joined = takeTypedValue(host, address, range);
    }
  } else {
    joined = takeRangeValues(host, sheet, range);
  }
  // The used range, once the sheet asks for it: the model learns the sheet's first and last used cells.
  const SheetInfo* info = host.model->sheet(sheetIndex);
  if (info && info->flag) {
    SheetInfo updated = *info;
    const Area used = excelUsedArea(sheet, sheetIndex);
    if (used.isValid()) {
      updated.firstUsed = used.first;
      updated.lastUsed = used.second;
    }
    updated.flag = 0;
    host.model->setSheet(sheetIndex, std::move(updated));
  }
  return (counts && joined) || manual14;
}

} // namespace

bool takeRangeValues(RuntimeHost& host, WorksheetWrapper& sheet, RangeWrapper& range) {
  const uint32_t sheetIndex = uint32_t(sheet.index() - 1);
  const Area used = excelUsedArea(sheet, sheetIndex);
  const int32_t areas = range.areas().count();
  bool joined = false;
  for (int32_t i = 1; i <= areas; ++i) {
    RangeWrapper area = range.area(i);
    joined |= takeAreaValues(host, sheet, sheetIndex, area, used);
  }
  return joined;
}

void handleSheetChange(RuntimeHost& host, IDispatch* sheetObject, IDispatch* rangeObject) {
  ApplicationWrapper& app = host.application;
  if (app.isEmpty() || !host.model) return;
  const bool eventsBefore = app.enableEvents();
  app.putEnableEvents(false);
  AtExit restore{[&] {
    host.recordNextChange = false;
    app.putEnableEvents(eventsBefore);
  }};
  if (!sheetObject || !rangeObject) return;
  WorksheetWrapper sheet;
  RangeWrapper range;
  sheet.attach(sheetObject);
  range.attach(rangeObject);
  if (host.calcBusy || host.modelBusy) {
    host.deferredChanges.emplace_back(std::move(sheet), std::move(range));
    return;
  }
  const double start = secondsNow();
  if (!handleChange(host, sheet, range)) return;
  recalculateNow(host, false);
  host.lastDuration = secondsNow() - start;
}

void recalculateNow(RuntimeHost& host, bool calculateAll) {
  ApplicationWrapper& app = host.application;
  if (app.isEmpty() || !host.model || host.calcBusy) return;
  runDriver(host, calculateAll);
  // Changes that came in meanwhile get their own runs; a macro that keeps changing cells from the
  // change events cannot hold the runtime in this loop for ever.
  for (int round = 0; round < kDeferredRounds && !host.deferredChanges.empty() && !host.shutDown; ++round) {
    std::vector<std::pair<WorksheetWrapper, RangeWrapper>> changes = std::move(host.deferredChanges);
    host.deferredChanges.clear();
    bool joined = false;
    for (auto& [sheet, range] : changes)
      joined |= handleChange(host, sheet, range);
    if (joined) runDriver(host, false);
  }
  host.deferredChanges.clear();
}

namespace {

void runDriver(RuntimeHost& host, bool calculateAll) {
  ApplicationWrapper& app = host.application;
  host.calcBusy = true;
  const double start = secondsNow();
  SheetFlagTable sheetFlags;
  bool screenSwitchedOff = false;
  AtExit end{[&] {
    if (screenSwitchedOff) app.putScreenUpdating(true);
    app.putEnableEvents(true);
    host.pendingCells.clear();
    if (host.adapter) host.adapter->setSheetFlags(nullptr);
    if (!app.enableEvents()) app.putEnableEvents(true);
    host.calcBusy = false;
    host.lastDuration = secondsNow() - start;
  }};

  const int32_t activePosition = app.activeSheet().index();
  if (!calculateAll) calculateAll = app.calculation() == kCalculationAutomatic;
  const std::optional<PerSheetFlags>& table = host.excelInfo.perSheetFlags;
  if (table && host.adapter) {
    for (const SheetProtection& entry : table->sheets) {
      sheetFlags.flags.push_back(entry.flags);
      sheetFlags.passwords.push_back(entry.password);
    }
    host.adapter->setSheetFlags(&sheetFlags);
  }
  app.putEnableEvents(false);
  if ((host.settings.has(SettingsFlag::quietRecalc) || table) && app.screenUpdating())
    screenSwitchedOff = app.putScreenUpdating(false);
  for (Cell* cell : host.model->volatileCells().cells())
    host.pendingCells.push_back(cell);

  try {
    host.menu.enableExport();
    host.modelBusy = true;
    AtExit notBusy{[&] { host.modelBusy = false; }};
    host.model->recalculate(host.pendingCells, calculateAll);
  } catch (const ComError& e) {
    reportFailure(e.description());
  } catch (...) {
    // The cells keep what the recalculation wrote before the failure.
  }

  app.putEnableEvents(true);
  app.calculateFull();
  app.putEnableEvents(false);
  if (table && host.adapter) reprotectSheets(host, sheetFlags, activePosition);
  if (!host.undoList.empty() && !host.undoInstalled) installUndoEntry(host);
}

} // namespace

void installUndoEntry(RuntimeHost& host) {
  if (host.undoList.empty() || host.application.isEmpty()) return;
  host.undoInstalled = true;
  host.application.onUndo(encodedString(EncodedString::UndoText),
                          encodedString(EncodedString::UndoProcedure));
}

void loadWorkbookStep(RuntimeHost& host) {
  CompiledWorkbook& model = *host.model;
  for (Cell* cell : model.allCells())
    if (cell->templateIndex() < 0 && !cell->hasFlag(CellHostComputed)) model.evaluateCell(*cell);
  ApplicationWrapper& app = host.application;
  if (app.isEmpty()) {
    model.prepareAfterLoad();
    return;
  }
  app.putEnableEvents(false);
  app.putScreenUpdating(false);
  AtExit restore{[&] {
    app.putEnableEvents(true);
    app.putScreenUpdating(true);
  }};
  unprotectSheetsForLoad(host);
  IterationSettings& iteration = model.state().iteration;
  const Variant enabled = app.getVariant(dispid::application::Iteration);
  const Variant maxChange = app.getVariant(dispid::application::MaxChange);
  const Variant maxIterations = app.getVariant(dispid::application::MaxIterations);
  auto isNumber = [](const Variant& v) {
    return v.get().vt == VT_R8 || v.get().vt == VT_I4 || v.get().vt == VT_I2;
  };
  iteration.enabled = enabled.get().vt == VT_BOOL && enabled.toBoolean();
  iteration.maxChange = isNumber(maxChange) ? maxChange.toDouble() : 0;
  iteration.maxIterations =
      isNumber(maxIterations) ? int32_t(std::clamp(maxIterations.toDouble(), 0.0, 32767.0)) : 0;
  model.setCellIndexMode(host.settings.has(SettingsFlag::cellIndexMode));
  model.prepareAfterLoad();
  protectForLoad(host);
  // A preset data file is imported here once the data commands exist.
}

} // namespace cwbk
