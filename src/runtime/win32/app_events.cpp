// The application event sink and its handlers, and the control event. Every handler switches Excel's
// events off while it calls back into Excel, so that its own calls raise no further events, and on
// again on every path; only a close of the application's workbook leaves them off.
#include "runtime/win32/app_events.h"

#include <ocidl.h>

#include "excel/excel_adapter.h"
#include "formula/compiled_workbook.h"
#include "platform/text_services.h"
#include "runtime/encoded_strings.h"
#include "runtime/win32/at_exit.h"
#include "runtime/win32/data_commands.h"
#include "runtime/win32/dde_client.h"
#include "runtime/win32/host_effects.h"
#include "runtime/win32/recalculation_driver.h"
#include "runtime/win32/runtime_host.h"
#include "runtime/win32/save_executable.h"
#include "runtime/win32/window_procs.h"
#include "values/conversions.h"

namespace cwbk {
namespace {

constexpr int32_t kCalculationManual = -4135;

// The external link whose full path is the workbook's full name (case aside); null when none.
ExternalLink* linkedWorkbook(RuntimeHost& host, const std::u16string& fullName) {
  if (!host.model) return nullptr;
  for (ExternalLink& link : host.model->externalLinks()) {
    std::u16string path = link.folder;
    if (path.empty() || path.back() != u'\\') path += u'\\';
    if (equalIgnoringCase(path + link.fileName, fullName)) return &link;
  }
  return nullptr;
}

// A linked workbook that Excel has open is read from there; a closed one through its file.
constexpr int32_t kLinkOpenInExcel = 4;
constexpr int32_t kLinkClosed = 0;

std::u16string fullNameOf(IDispatch* workbook) {
  WorkbookWrapper book(workbook);
  return book.fullName();
}

// Switches Excel's events off for a handler and on again when it ends, unless told to leave them.
class EventsOff {
public:
  explicit EventsOff(ApplicationWrapper& app) : app_(app) { app_.putEnableEvents(false); }
  ~EventsOff() {
    if (restore) app_.putEnableEvents(true);
  }
  EventsOff(const EventsOff&) = delete;
  EventsOff& operator=(const EventsOff&) = delete;
  bool restore = true;

private:
  ApplicationWrapper& app_;
};

bool isObject(const VARIANT& v) {
  return v.vt == VT_DISPATCH && v.pdispVal;
}
bool isFlagByReference(const VARIANT& v) {
  return v.vt == (VT_BOOL | VT_BYREF) && v.pboolVal;
}

// Takes Excel's value of a control's linked cell into the model; a changed value (a cell that had
// none counts as changed) joins the pending cells.
bool takeLinkedCell(RuntimeHost& host, const SheetControl& control) {
  if (!control.linkedCell.isValid() || !host.adapter) return false;
  Cell* cell = host.model->findOrCreateCell(control.linkedCell);
  if (!cell) return false;
  CalcValue before;
  const bool hadValue = cell->value() != nullptr;
  if (hadValue) before.copyFrom(*cell->value());
  CalcValue now;
  if (host.adapter->readCell(control.linkedCell, now) != 1) return false;
  cell->setValue(now);
  if (hadValue && before.tag() == now.tag() && equal(before, now)) return false;
  host.pendingCells.push_back(cell);
  cell->setFlags(CellChangedByUser | CellDirtyInput);
  host.menu.enableExport();
  return true;
}

} // namespace

HRESULT STDMETHODCALLTYPE AppEventSink::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kAppEventsIid) {
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE AppEventSink::Release() {
  const ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

HRESULT STDMETHODCALLTYPE AppEventSink::GetTypeInfoCount(UINT* count) {
  if (count) *count = 0;
  return S_OK;
}

// Arguments arrive last first: rgvarg[0] is the event's last argument.
HRESULT STDMETHODCALLTYPE AppEventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                               EXCEPINFO*, UINT*) {
  UINT expected = 0;
  switch (id) {
  case appEvent::SheetCalculate:
  case appEvent::WorkbookOpen:
    expected = 1;
    break;
  case appEvent::SheetChange:
  case appEvent::WorkbookBeforeClose:
  case appEvent::WorkbookNewSheet:
    expected = 2;
    break;
  case appEvent::WorkbookBeforeSave:
    expected = 3;
    break;
  default:
    return S_OK;
  }
  if (!params || params->cArgs != expected || !params->rgvarg) return E_INVALIDARG;
  VARIANT* a = params->rgvarg;
  const VARIANT& first = a[expected - 1];
  if (!isObject(first)) return E_INVALIDARG;
  switch (id) {
  case appEvent::SheetChange:
    if (!isObject(a[0])) return E_INVALIDARG;
    break;
  case appEvent::WorkbookNewSheet:
    if (!isObject(a[0])) return E_INVALIDARG;
    break;
  case appEvent::WorkbookBeforeClose:
    if (!isFlagByReference(a[0])) return E_INVALIDARG;
    break;
  case appEvent::WorkbookBeforeSave:
    if (!isFlagByReference(a[0]) || a[1].vt != VT_BOOL) return E_INVALIDARG;
    break;
  default:
    break;
  }
  try {
    switch (id) {
    case appEvent::SheetChange:
      linkedChange(first.pdispVal);
      break;
    case appEvent::SheetCalculate:
      calculate();
      break;
    case appEvent::WorkbookOpen:
      workbookOpen(first.pdispVal);
      break;
    case appEvent::WorkbookBeforeClose: {
      bool cancel = *a[0].pboolVal != VARIANT_FALSE;
      beforeClose(first.pdispVal, cancel);
      *a[0].pboolVal = cancel ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    }
    case appEvent::WorkbookBeforeSave: {
      bool cancel = *a[0].pboolVal != VARIANT_FALSE;
      beforeSave(first.pdispVal, a[1].boolVal != VARIANT_FALSE, cancel);
      *a[0].pboolVal = cancel ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    }
    case appEvent::WorkbookNewSheet:
      newSheet(first.pdispVal, a[0].pdispVal);
      break;
    default:
      break;
    }
  } catch (...) {
    // A failed call into Excel ends the handler; Excel goes on.
  }
  return S_OK;
}

void AppEventSink::linkedChange(IDispatch* sheet) {
  RuntimeHost& host = host_;
  if (host.shutDown || host.application.isEmpty()) return;
  EventsOff off(host.application);
  AtExit forget{[&] { host.recordNextChange = false; }};
  if (host.modelBusy || !host.model) return;
  WorkbookWrapper book = adoptAs<WorkbookWrapper>(WorksheetWrapper(sheet).getObject(dispid::common::Parent));
  // The application's own changes arrive through the sheet-change message.
  if (book.isEmpty() || sameObject(book.get(), host.workbook.get())) return;
  if (host.model->externalLinks().empty() || !linkedWorkbook(host, book.fullName())) return;
  pumpMessages();
  if (!host.calcBusy) recalculateNow(host, false);
}

void AppEventSink::calculate() {
  RuntimeHost& host = host_;
  if (host.shutDown || host.application.isEmpty()) return;
  EventsOff off(host.application);
  if (host.calcBusy || host.pendingCells.empty()) return;
  if (host.application.calculation() == kCalculationManual) return;
  PostMessageW(host.mainWindow, message::Command, 10, 0);
  pumpMessages();
}

void AppEventSink::workbookOpen(IDispatch* workbook) {
  RuntimeHost& host = host_;
  if (host.shutDown || !host.model || host.model->externalLinks().empty()) return;
  if (ExternalLink* link = linkedWorkbook(host, fullNameOf(workbook))) link->setState(kLinkOpenInExcel);
}

void AppEventSink::beforeClose(IDispatch* workbook, bool& cancel) {
  RuntimeHost& host = host_;
  if (host.shutDown || !host.model || host.application.isEmpty()) return;
  ApplicationWrapper& app = host.application;
  const bool alertsBefore = app.displayAlerts();
  EventsOff off(app);
  // Unless the application's workbook really closes, Excel's events and alerts stay as they were.
  AtExit alerts{[&] {
    if (off.restore) app.putDisplayAlerts(alertsBefore);
  }};
  if (cancel) return;
  if (!sameObject(workbook, host.workbook.get())) {
    cancel = false;
    if (ExternalLink* link = linkedWorkbook(host, fullNameOf(workbook))) link->setState(kLinkClosed);
    return;
  }
  const bool saveIntoExe = host.settings.has(SettingsFlag::saveIntoExe);
  if (saveIntoExe || !host.settings.has(SettingsFlag::dataExchange) || host.workbook.saved()) {
    app.putDisplayAlerts(saveIntoExe);
    cancel = false;
  } else {
    app.putDisplayAlerts(false);
    if (host.lastExportSucceeded) {
      cancel = false;
    } else {
      const std::u16string caption =
          encodedString(EncodedString::CloseCaption) + u" " + host.settings.AppName;
      switch (showMessage(host.mainWindow, encodedString(EncodedString::CloseQuestion), caption,
                          MB_ICONWARNING | MB_YESNOCANCEL)) {
      case IDYES:
        cancel = !exportData(host, false, false, host.exportPath);
        break;
      case IDNO:
        cancel = false;
        break;
      default:
        cancel = true;
        break;
      }
    }
    if (cancel) return;
  }
  // The application's workbook closes: Excel's events stay off (an export on the way switched them on).
  off.restore = false;
  app.putEnableEvents(false);
  host.dde.uninitialize();
  if (!app.visible()) PostMessageW(host.mainWindow, WM_CLOSE, 0, 0);
}

void AppEventSink::beforeSave(IDispatch* workbook, bool saveAsDialog, bool& cancel) {
  RuntimeHost& host = host_;
  if (host.shutDown || !host.model || cancel || host.application.isEmpty()) return;
  EventsOff off(host.application);
  if (!sameObject(workbook, host.workbook.get())) {
    cancel = false; // Excel saves another workbook itself
    return;
  }
  if (host.settings.has(SettingsFlag::saveIntoExe)) {
    if (saveAsDialog) {
      cancel = true;
      showSaveAsDialog(host);
    } else {
      saveIntoExecutable(host);
      if (host.macroRunning) host.savePending = true;
    }
    return;
  }
  // The workbook file is never saved by Excel: the user's data goes out through the data commands.
  if (host.settings.has(SettingsFlag::dataExchange)) {
    std::u16string text = encodedString(EncodedString::SaveWarning);
    if (const size_t at = text.find(u"%s"); at != std::u16string::npos)
      text.replace(at, 2, host.settings.AppName);
    showMessage(host.mainWindow, text, u"Warning", MB_ICONWARNING | MB_OK);
  }
  cancel = true;
}

void AppEventSink::newSheet(IDispatch* workbook, IDispatch* sheet) {
  RuntimeHost& host = host_;
  if (host.shutDown || !host.model || !sameObject(workbook, host.workbook.get())) return;
  WorksheetWrapper added(sheet);
  const int32_t position = added.index();
  if (position < 1) return;
  // The model's sheets are numbered as Excel's: the sheets from the new one's position on move up by
  // one, in the model and in the lists that the runtime keeps by sheet.
  SheetInfo info;
  info.name = added.name();
  info.codeName = added.codeName();
  const uint32_t index = uint32_t(position - 1);
  if (!host.model->insertSheet(index, std::move(info))) return;
  host.undoList.insertSheet(index);
  if (host.settings.perSheetFlags) host.settings.perSheetFlags->insertSheet(size_t(position));
  if (host.excelInfo.perSheetFlags) host.excelInfo.perSheetFlags->insertSheet(size_t(position));
  if (host.adapter) host.adapter->refreshSheetList();
}

void connectEventSink(RuntimeHost& host) {
  if (host.eventSink || host.application.isEmpty()) return;
  IConnectionPointContainer* container = nullptr;
  if (FAILED(host.application.get()->QueryInterface(IID_IConnectionPointContainer,
                                                    reinterpret_cast<void**>(&container))) ||
      !container)
    return;
  IConnectionPoint* point = nullptr;
  HRESULT hr = container->FindConnectionPoint(kAppEventsIid, &point);
  container->Release();
  if (FAILED(hr) || !point) return;
  auto* sink = new AppEventSink(host);
  DWORD cookie = 0;
  hr = point->Advise(sink, &cookie);
  point->Release();
  if (FAILED(hr)) {
    sink->Release();
    return;
  }
  host.eventSink = sink;
  host.eventCookie = cookie;
}

void disconnectEventSink(RuntimeHost& host) {
  AppEventSink* sink = host.eventSink;
  if (!sink) return;
  host.eventSink = nullptr;
  AtExit release{[&] { sink->Release(); }};
  if (host.application.isEmpty()) return;
  IConnectionPointContainer* container = nullptr;
  if (FAILED(host.application.get()->QueryInterface(IID_IConnectionPointContainer,
                                                    reinterpret_cast<void**>(&container))) ||
      !container)
    return;
  IConnectionPoint* point = nullptr;
  if (SUCCEEDED(container->FindConnectionPoint(kAppEventsIid, &point)) && point) {
    point->Unadvise(host.eventCookie);
    point->Release();
  }
  container->Release();
}

void controlEvent(RuntimeHost& host, std::u16string_view name) {
  if (host.application.isEmpty() || !host.model || host.shutDown) return;
  CompiledWorkbook& model = *host.model;
  const int32_t position = host.application.activeSheet().index();
  if (position < 1) return;
  const SheetControl* control = model.control(uint32_t(position - 1), name);
  if (!control) return;
  if (control->linkedCell.isValid()) {
    Cell* cell = model.findOrCreateCell(control->linkedCell);
    if (cell && model.cellIndexMode() && cell->templateIndex() >= 0) model.detachFormula(*cell);
  }
  const bool automatic = host.application.calculation() != kCalculationManual;
  if (!control->groupName.empty()) {
    for (auto& [sheet, controls] : model.sheetControls())
      for (auto& [key, member] : controls)
        if (member.groupName == control->groupName) takeLinkedCell(host, member);
  } else {
    takeLinkedCell(host, *control);
  }
  if (automatic && !host.importBusy && !host.calcBusy) recalculateNow(host, false);
}

} // namespace cwbk
