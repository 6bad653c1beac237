#include "runtime/win32/intercepted_members.h"

#include <windows.h>

#include <string>

#include "excel/dispatch_call.h"
#include "excel/excel_members.h"
#include "excel/excel_objects.h"
#include "excel/interception.h"
#include "formula/compiled_workbook.h"
#include "platform/win32/code_page.h"
#include "runtime/encoded_strings.h"
#include "runtime/win32/recalculation_driver.h"
#include "runtime/win32/runtime_host.h"
#include "runtime/win32/save_executable.h"
#include "runtime/win32/window_procs.h"

namespace cwbk {
namespace {

// Excel's published interface ids.
constexpr IID kApplicationIid = {0x000208D5, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID kWorkbookIid = {0x000208DA, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID kWorksheetIid = {0x000208D8, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID kRangeIid = {0x00020846, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID kCommandBarsIid = {0x000C0302, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// IDispatch::Invoke of a dual interface, as its type information numbers it.
constexpr DISPID kInvokeMember = 0x60010003;
constexpr DISPID kCommandBarMethod = 0x6003001D;
constexpr long kCalculationSemiAutomatic = 2;

using Kind = InvocationKind;
namespace app = dispid::application;
namespace wb = dispid::workbook;
namespace ws = dispid::worksheet;

InterceptionTable& table() {
  static InterceptionTable t;
  return t;
}
bool registered = false;

ExcelImplementations& excel() {
  return excelImplementations();
}

// A replacement never lets an exception reach Excel, and never reports a failure as success.
template <class F> HRESULT replaced(F&& body) {
  try {
    return body();
  } catch (const ComError& e) {
    return FAILED(e.result()) ? e.result() : E_FAIL;
  } catch (...) {
    return E_FAIL;
  }
}

// Returns the host while the runtime is up (null before attach and after shutdown).
RuntimeHost* liveHost() {
  RuntimeHost* host = runtimeHost();
  return host && !host->shutDown && host->connected ? host : nullptr;
}

bool isApplicationWorkbook(RuntimeHost& host, IDispatch* workbook) {
  return sameObject(workbook, host.workbook.get());
}

// The sheet's 1-based position when it belongs to the application's workbook, else 0.
int32_t applicationSheetPosition(RuntimeHost& host, IDispatch* sheet) {
  sheet->AddRef();
  WorksheetWrapper wrapper(sheet, DispatchWrapper::adopt);
  DispatchWrapper parent = wrapper.parent();
  return isApplicationWorkbook(host, parent.get()) ? wrapper.index() : 0;
}

std::u16string variantText(const VARIANT& v) {
  try {
    return Variant(v).toText();
  } catch (...) {
    return {};
  }
}

SheetProtection* sheetEntry(RuntimeHost& host, int32_t position) {
  auto& flags = host.excelInfo.perSheetFlags;
  if (position < 1 || !flags) return nullptr;
  if (flags->sheets.size() < size_t(position)) flags->sheets.resize(size_t(position));
  return &flags->sheets[size_t(position) - 1];
}

// --- what the sheet replacements record for the runtime's model of the application's sheets. A record
// that cannot be made never turns Excel's success into a failure.

template <class F> void quietly(F&& record) {
  try {
    record();
  } catch (...) {
  }
}

// The permission bits of Protect's 15 arguments after the password, in argument order.
constexpr int kPermissionBits[] = {4, 5, 6, 7, 8, 12, 11, 13, 14, 15, 16, 17, 18, 10, 19};
constexpr uint32_t kSelectionBits = (1u << 2) | (1u << 3);

void recordProtection(RuntimeHost& host, IDispatch* sheet, const VARIANT* const arguments[16]) {
  SheetProtection* entry = sheetEntry(host, applicationSheetPosition(host, sheet));
  if (!entry) return;
  uint32_t flags = entry->flags & (kSelectionBits | ~PerSheetFlags::kSheetFlagsMask);
  for (int i = 0; i < 15; ++i)
    if (Variant(*arguments[i + 1]).toBoolean()) flags |= 1u << kPermissionBits[i];
  entry->flags = flags;
  entry->password = utf16ToSystemCodePage(variantText(*arguments[0]));
}

void recordUnprotection(RuntimeHost& host, IDispatch* sheet) {
  if (!recordingProtection()) return;
  if (SheetProtection* entry = sheetEntry(host, applicationSheetPosition(host, sheet)))
    entry->flags &= ~PerSheetFlags::kSheetFlagsMask;
}

void recordSelection(RuntimeHost& host, IDispatch* sheet, long mode) {
  if (SheetProtection* entry = sheetEntry(host, applicationSheetPosition(host, sheet))) {
    entry->flags &= ~kSelectionBits;
    if (mode == 0) entry->flags |= 1u << 2;
    if (mode == 1) entry->flags |= 1u << 3;
  }
}

void recordName(RuntimeHost& host, IDispatch* sheet, std::u16string name) {
  const int32_t position = applicationSheetPosition(host, sheet);
  if (position < 1 || !host.model) return;
  if (const SheetInfo* sheet = host.model->sheet(uint32_t(position - 1))) {
    SheetInfo renamed = *sheet;
    renamed.name = std::move(name);
    host.model->setSheet(uint32_t(position - 1), std::move(renamed));
  }
}

// Copying or moving a sheet of the application's workbook, while the workbook is protected, is left
// to the sheets whose entry is not locked.
bool sheetMayMove(RuntimeHost& host, IDispatch* sheet) {
  if (!host.settings.has(SettingsFlag::restrictedWorkbook)) return true;
  const int32_t position = applicationSheetPosition(host, sheet);
  if (position == 0) return true;
  const SheetProtection* entry = sheetEntry(host, position);
  return entry && (entry->flags & PerSheetFlags::kSheetFlagsMask) == 0;
}

// ------------------------------------------------------------------ application

HRESULT STDMETHODCALLTYPE calculate(IDispatch* self, LCID locale) {
  return replaced([&] {
    RuntimeHost* host = liveHost();
    if (!host) return excel().applicationCalculate(self, locale);
    recalculateNow(*host, false);
    return S_OK;
  });
}

// A macro run whose name marks it switches recalculation in manual mode on, as the macros' command 8
// does, before Excel runs it.
HRESULT STDMETHODCALLTYPE run(IDispatch* self, VARIANT macro, VARIANT a1, VARIANT a2, VARIANT a3, VARIANT a4,
                              VARIANT a5, VARIANT a6, VARIANT a7, VARIANT a8, VARIANT a9, VARIANT a10,
                              VARIANT a11, VARIANT a12, VARIANT a13, VARIANT a14, VARIANT a15, VARIANT a16,
                              VARIANT a17, VARIANT a18, VARIANT a19, VARIANT a20, VARIANT a21, VARIANT a22,
                              VARIANT a23, VARIANT a24, VARIANT a25, VARIANT a26, VARIANT a27, VARIANT a28,
                              VARIANT a29, VARIANT a30, VARIANT* result) {
  return replaced([&] {
    if (RuntimeHost* host = liveHost()) {
      const std::u16string name = variantText(macro);
      if (name.starts_with(encodedString(EncodedString::RecalcMacroStart)) &&
          name.ends_with(encodedString(EncodedString::RecalcMacroEnd)))
        host->recalcInManual = true;
    }
    return excel().applicationRun(self, macro, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14,
                                  a15, a16, a17, a18, a19, a20, a21, a22, a23, a24, a25, a26, a27, a28, a29,
                                  a30, result);
  });
}

HRESULT STDMETHODCALLTYPE calculateFull(IDispatch* self) {
  return replaced([&] {
    RuntimeHost* host = liveHost();
    if (!host) return excel().applicationCalculateFull(self);
    recalculateNow(*host, true);
    return S_OK;
  });
}

// True when a workbook other than the application's is open with changes not saved.
bool otherWorkUnsaved(RuntimeHost& host) {
  WorkbooksWrapper books = host.application.workbooks();
  const int32_t count = books.count();
  for (int32_t i = 1; i <= count; ++i) {
    WorkbookWrapper book = books.workbook(i);
    if (!isApplicationWorkbook(host, book.get()) && !book.saved()) return true;
  }
  return false;
}

HRESULT STDMETHODCALLTYPE quit(IDispatch* self) {
  return replaced([&] {
    RuntimeHost* host = liveHost();
    if (!host) return excel().applicationQuit(self);
    // Ending the process would drop the user's unsaved work in other workbooks: the runtime shuts
    // down without quitting, and Excel's own Quit asks about each of them as it always does (the
    // application's workbook, a temporary file, is marked saved so that it is not asked about).
    bool askExcel = false;
    try {
      askExcel = otherWorkUnsaved(*host);
    } catch (const ComError&) {
      askExcel = true; // when Excel cannot tell, it is Excel's to decide
    }
    if (askExcel) {
      try {
        host->workbook.putBoolean(wb::Saved, true);
      } catch (const ComError&) {
      }
      auto excelQuit = excel().applicationQuit;
      shutdownRuntime(false);
      return excelQuit(self);
    }
    shutdownRuntime(false);
    terminateHost();
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE getCalculation(IDispatch* self, LCID locale, long* mode) {
  return replaced([&] { return excel().getCalculation(self, locale, mode); });
}

HRESULT STDMETHODCALLTYPE putCalculation(IDispatch* self, LCID locale, long mode) {
  return replaced([&] {
    long before = 0;
    const HRESULT read = excel().getCalculation(self, locale, &before);
    const HRESULT hr = excel().putCalculation(self, locale, mode);
    RuntimeHost* host = liveHost();
    if (SUCCEEDED(read) && SUCCEEDED(hr) && host && before == dispid::constant::CalculationManual &&
        (mode == dispid::constant::CalculationAutomatic || mode == kCalculationSemiAutomatic) &&
        !host->pendingCells.empty() && !host->calcBusy)
      recalculateNow(*host, false);
    return hr;
  });
}

HRESULT STDMETHODCALLTYPE getActiveChart(IDispatch* self, IDispatch** chart) {
  return replaced([&] {
    const HRESULT hr = excel().getActiveChart(self, chart);
    if (SUCCEEDED(hr) && chart && *chart) interceptObject(*chart);
    return hr;
  });
}

HRESULT STDMETHODCALLTYPE putVisible(IDispatch* self, LCID locale, VARIANT_BOOL visible) {
  return replaced([&] {
    if (RuntimeHost* host = liveHost()) host->excelInfo.visibleRequested = visible != VARIANT_FALSE;
    return excel().putVisible(self, locale, visible);
  });
}

HRESULT STDMETHODCALLTYPE putEnableEvents(IDispatch* self, VARIANT_BOOL enable) {
  return replaced([&] {
    if (RuntimeHost* host = liveHost()) host->excelInfo.eventsRequested = enable != VARIANT_FALSE;
    return excel().putEnableEvents(self, enable);
  });
}

// ------------------------------------------------------------------ workbook

HRESULT STDMETHODCALLTYPE close(IDispatch* self, VARIANT saveChanges, VARIANT fileName, VARIANT route,
                                LCID locale) {
  return replaced([&] {
    RuntimeHost* host = liveHost();
    const bool application = host && isApplicationWorkbook(*host, self);
    const HRESULT hr = excel().workbookClose(self, saveChanges, fileName, route, locale);
    // Start-up macro 2 closing the application's workbook ends the application: a save it asked for
    // is written into the executable first.
    if (SUCCEEDED(hr) && application && host->macroRunning) {
      if (host->savePending) {
        host->savePending = false;
        writeIntoExecutable(*host);
      }
      PostMessageW(host->mainWindow, message::Command, 13, 0);
    }
    return hr;
  });
}

HRESULT STDMETHODCALLTYPE save(IDispatch* self, LCID locale) {
  return replaced([&]() -> HRESULT {
    RuntimeHost* host = liveHost();
    if (!host || !isApplicationWorkbook(*host, self)) return excel().workbookSave(self, locale);
    if (!host->settings.has(SettingsFlag::saveIntoExe)) return S_OK;
    return saveIntoExecutable(*host) ? S_OK : E_FAIL;
  });
}

HRESULT saveAsApplication(RuntimeHost& host, const VARIANT& fileName) {
  if (!host.settings.has(SettingsFlag::saveIntoExe)) return S_OK;
  return saveAsExecutable(host, variantText(fileName)) ? S_OK : E_FAIL;
}

HRESULT STDMETHODCALLTYPE saveAs(IDispatch* self, VARIANT a1, VARIANT a2, VARIANT a3, VARIANT a4, VARIANT a5,
                                 VARIANT a6, long mode, VARIANT a8, VARIANT a9, VARIANT a10, VARIANT a11,
                                 LCID locale) {
  return replaced([&] {
    RuntimeHost* host = liveHost();
    if (!host || !isApplicationWorkbook(*host, self))
      return excel().workbookSaveAs(self, a1, a2, a3, a4, a5, a6, mode, a8, a9, a10, a11, locale);
    return saveAsApplication(*host, a1);
  });
}

HRESULT STDMETHODCALLTYPE saveAsLocal(IDispatch* self, VARIANT a1, VARIANT a2, VARIANT a3, VARIANT a4,
                                      VARIANT a5, VARIANT a6, long mode, VARIANT a8, VARIANT a9, VARIANT a10,
                                      VARIANT a11, VARIANT a12, LCID locale) {
  return replaced([&] {
    RuntimeHost* host = liveHost();
    if (!host || !isApplicationWorkbook(*host, self))
      return excel().workbookSaveAsLocal(self, a1, a2, a3, a4, a5, a6, mode, a8, a9, a10, a11, a12, locale);
    if (host->settings.has(SettingsFlag::saveIntoExe)) applyWorkbookPassword(*host);
    return saveAsApplication(*host, a1);
  });
}

HRESULT STDMETHODCALLTYPE saveCopyAs(IDispatch* self, VARIANT fileName, LCID locale) {
  return replaced([&] {
    RuntimeHost* host = liveHost();
    if (host && isApplicationWorkbook(*host, self)) return S_OK;
    return excel().workbookSaveCopyAs(self, fileName, locale);
  });
}

HRESULT STDMETHODCALLTYPE fifteen(IDispatch* self, VARIANT a1, VARIANT a2, VARIANT a3, VARIANT a4, VARIANT a5,
                                  VARIANT a6, VARIANT a7, VARIANT a8, VARIANT a9, VARIANT a10, VARIANT a11,
                                  VARIANT a12, VARIANT a13, VARIANT a14, VARIANT a15) {
  return replaced([&] {
    RuntimeHost* host = liveHost();
    if (host && isApplicationWorkbook(*host, self)) return S_OK;
    return excel().workbookFifteen(self, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15);
  });
}

HRESULT STDMETHODCALLTYPE getPath(IDispatch* self, LCID locale, BSTR* path) {
  return replaced([&]() -> HRESULT {
    RuntimeHost* host = liveHost();
    if (!host || !isApplicationWorkbook(*host, self)) return excel().getWorkbookPath(self, locale, path);
    if (!path) return E_POINTER;
    *path = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(host->appFolder.data()),
                              UINT(host->appFolder.size()));
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE putPassword(IDispatch*, LCID, BSTR) {
  return S_OK;
}

// The workbook filter: late-bound calls on the application's workbook.
HRESULT STDMETHODCALLTYPE workbookInvoke(IDispatch* self, DISPID id, REFIID iid, LCID locale, WORD flags,
                                         DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                         UINT* bad) {
  return replaced([&]() -> HRESULT {
    RuntimeHost* host = liveHost();
    if (host && isApplicationWorkbook(*host, self)) {
      switch (id) {
      case wb::FifteenArgumentMethod:
      case wb::SaveCopyAs:
        return S_OK;
      case wb::GuardedText:
        if (result) VariantClear(result);
        return S_OK;
      case wb::SaveAs:
      case wb::SaveAsLocal:
        applyWorkbookPassword(*host);
        break;
      default:
        break;
      }
    }
    return excel().workbookInvoke(self, id, iid, locale, flags, params, result, exception, bad);
  });
}

// ------------------------------------------------------------------ worksheet

HRESULT STDMETHODCALLTYPE putSheetName(IDispatch* self, BSTR name) {
  return replaced([&] {
    const HRESULT hr = excel().putSheetName(self, name);
    if (RuntimeHost* host = liveHost(); host && SUCCEEDED(hr))
      quietly([&] {
        recordName(*host, self,
                   name ? std::u16string(reinterpret_cast<const char16_t*>(name), SysStringLen(name))
                        : std::u16string());
      });
    return hr;
  });
}

HRESULT STDMETHODCALLTYPE protect(IDispatch* self, VARIANT a1, VARIANT a2, VARIANT a3, VARIANT a4, VARIANT a5,
                                  VARIANT a6, VARIANT a7, VARIANT a8, VARIANT a9, VARIANT a10, VARIANT a11,
                                  VARIANT a12, VARIANT a13, VARIANT a14, VARIANT a15, VARIANT a16) {
  return replaced([&] {
    const HRESULT hr =
        excel().sheetProtect(self, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16);
    if (RuntimeHost* host = liveHost(); host && SUCCEEDED(hr)) {
      const VARIANT* arguments[16] = {&a1, &a2,  &a3,  &a4,  &a5,  &a6,  &a7,  &a8,
                                      &a9, &a10, &a11, &a12, &a13, &a14, &a15, &a16};
      quietly([&] { recordProtection(*host, self, arguments); });
    }
    return hr;
  });
}

HRESULT STDMETHODCALLTYPE unprotect(IDispatch* self, VARIANT password, LCID locale) {
  return replaced([&] {
    const HRESULT hr = excel().sheetUnprotect(self, password, locale);
    if (RuntimeHost* host = liveHost(); host && SUCCEEDED(hr))
      quietly([&] { recordUnprotection(*host, self); });
    return hr;
  });
}

HRESULT STDMETHODCALLTYPE putEnableSelection(IDispatch* self, LCID locale, long mode) {
  return replaced([&] {
    const HRESULT hr = excel().putEnableSelection(self, locale, mode);
    if (RuntimeHost* host = liveHost(); host && SUCCEEDED(hr))
      quietly([&] { recordSelection(*host, self, mode); });
    return hr;
  });
}

HRESULT STDMETHODCALLTYPE copySheet(IDispatch* self, VARIANT before, VARIANT after, LCID locale) {
  return replaced([&] {
    RuntimeHost* host = liveHost();
    if (host && !sheetMayMove(*host, self)) return S_OK;
    return excel().sheetCopy(self, before, after, locale);
  });
}

// Late-bound calls on a sheet: the members above, by DISPID, with their arguments in DISPPARAMS
// (last to first).
HRESULT STDMETHODCALLTYPE worksheetInvoke(IDispatch* self, DISPID id, REFIID iid, LCID locale, WORD flags,
                                          DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                          UINT* bad) {
  return replaced([&]() -> HRESULT {
    auto forward = [&] {
      return excel().worksheetInvoke(self, id, iid, locale, flags, params, result, exception, bad);
    };
    RuntimeHost* host = liveHost();
    if (!host) return forward();
    const UINT count = params ? params->cArgs : 0;
    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    auto argument = [&](UINT i) -> const VARIANT* {
      static const Variant missing = Variant::missing();
      return i < count ? &params->rgvarg[count - 1 - i] : &missing.get();
    };
    if (id == ws::Protect && !put) {
      const VARIANT* arguments[16];
      for (UINT i = 0; i < 16; ++i)
        arguments[i] = argument(i);
      const HRESULT hr = forward();
      if (SUCCEEDED(hr)) quietly([&] { recordProtection(*host, self, arguments); });
      return hr;
    }
    if ((id == ws::Name || id == ws::EnableSelection) && put && count >= 1) {
      const Variant value(params->rgvarg[0]);
      const HRESULT hr = forward();
      if (SUCCEEDED(hr)) {
        if (id == ws::Name)
          quietly([&] { recordName(*host, self, value.toText()); });
        else
          quietly([&] { recordSelection(*host, self, value.toInteger()); });
      }
      return hr;
    }
    if ((id == ws::Copy || id == ws::Move) && !sheetMayMove(*host, self)) return S_OK;
    if (id == ws::Unprotect && !put) {
      const HRESULT hr = forward();
      if (SUCCEEDED(hr)) quietly([&] { recordUnprotection(*host, self); });
      return hr;
    }
    return forward();
  });
}

HRESULT STDMETHODCALLTYPE commandBarMethod(IDispatch*) {
  return S_OK;
}

void registerMembers(const AppSettings& settings) {
  InterceptionTable& t = table();
  ExcelImplementations& e = excel();
  const bool restricted = settings.has(SettingsFlag::restrictedWorkbook);
  t.add(kApplicationIid, app::Calculate, Kind::Method, &e.applicationCalculate, &calculate);
  t.add(kApplicationIid, app::CalculateFull, Kind::Method, &e.applicationCalculateFull, &calculateFull);
  t.add(kApplicationIid, app::Quit, Kind::Method, &e.applicationQuit, &quit);
  t.add(kApplicationIid, app::Run, Kind::Method, &e.applicationRun, &run);
  t.add(kApplicationIid, app::Calculation, Kind::PropertyPut, &e.putCalculation, &putCalculation);
  t.add(kApplicationIid, app::Calculation, Kind::PropertyGet, &e.getCalculation, &getCalculation);
  t.add(kApplicationIid, app::ActiveChart, Kind::PropertyGet, &e.getActiveChart, &getActiveChart);
  t.add(kApplicationIid, app::Visible, Kind::PropertyPut, &e.putVisible, &putVisible);
  t.add(kApplicationIid, app::EnableEvents, Kind::PropertyPut, &e.putEnableEvents, &putEnableEvents);

  t.add(kWorkbookIid, wb::Close, Kind::Method, &e.workbookClose, &close);
  t.add(kWorkbookIid, wb::Save, Kind::Method, &e.workbookSave, &save);
  t.add(kWorkbookIid, wb::SaveAs, Kind::Method, &e.workbookSaveAs, &saveAs);
  t.add(kWorkbookIid, wb::SaveAsLocal, Kind::Method, &e.workbookSaveAsLocal, &saveAsLocal);
  t.add(kWorkbookIid, wb::SaveCopyAs, Kind::Method, &e.workbookSaveCopyAs, &saveCopyAs);
  t.add(kWorkbookIid, wb::Path, Kind::PropertyGet, &e.getWorkbookPath, &getPath);
  t.add(kWorkbookIid, wb::FifteenArgumentMethod, Kind::Method, &e.workbookFifteen, &fifteen);
  t.record(kWorkbookIid, wb::SetPasswordEncryptionOptions, Kind::Method, &e.setPasswordEncryptionOptions);
  if (restricted) {
    t.add(kWorkbookIid, wb::Password, Kind::PropertyPut, &e.putWorkbookPassword, &putPassword);
    t.add(kWorkbookIid, kInvokeMember, Kind::Method, &e.workbookInvoke, &workbookInvoke);
  } else {
    t.record(kWorkbookIid, wb::Password, Kind::PropertyPut, &e.putWorkbookPassword);
  }

  t.add(kWorksheetIid, kInvokeMember, Kind::Method, &e.worksheetInvoke, &worksheetInvoke);
  t.add(kWorksheetIid, ws::Name, Kind::PropertyPut, &e.putSheetName, &putSheetName);
  t.add(kWorksheetIid, ws::Protect, Kind::Method, &e.sheetProtect, &protect);
  t.add(kWorksheetIid, ws::Unprotect, Kind::Method, &e.sheetUnprotect, &unprotect);
  t.add(kWorksheetIid, ws::EnableSelection, Kind::PropertyPut, &e.putEnableSelection, &putEnableSelection);
  if (restricted) t.add(kWorksheetIid, ws::Copy, Kind::Method, &e.sheetCopy, &copySheet);

  t.record(kRangeIid, kInvokeMember, Kind::Method, &e.rangeInvoke);
  t.record(kRangeIid, dispid::range::Value, Kind::PropertyPut, &e.putValue);
  t.record(kRangeIid, dispid::range::Value2, Kind::PropertyPut, &e.putValue2);
  t.record(kRangeIid, dispid::range::Formula, Kind::PropertyPut, &e.putFormula);
  using CommandBarMethod = HRESULT(STDMETHODCALLTYPE*)(IDispatch*);
  static CommandBarMethod excelCommandBarMethod = nullptr;
  t.add(kCommandBarsIid, kCommandBarMethod, Kind::Method, &excelCommandBarMethod, &commandBarMethod);
}

} // namespace

void interceptExcel(RuntimeHost& host) {
  if (!registered) {
    registerMembers(host.settings);
    registered = true;
  }
  table().interceptObject(host.application.get());
  if (host.workbook.isEmpty()) return;
  table().interceptObject(host.workbook.get());
  try {
    SheetsWrapper sheets = host.workbook.worksheets();
    if (sheets.count() >= 1) table().interceptObject(sheets.sheet(1).get());
  } catch (const ComError&) {
  }
}

void interceptObject(IDispatch* object) {
  if (registered) table().interceptObject(object);
}

void releaseInterceptions() {
  table().release();
  registered = false;
}

} // namespace cwbk
