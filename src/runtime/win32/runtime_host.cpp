// Start-up and shutdown of the runtime: the host object, process attach (finding and subclassing
// Excel's windows), the attach step of the Application object, shutdown and process detach.
#include "runtime/win32/runtime_host.h"

#include <objbase.h>
#include <shellapi.h>

#include <clocale>

#include "excel/excel_adapter.h"
#include "formula/compiled_workbook.h"
#include "formula/formula_node.h"
#include "functions/function_library.h"
#include "platform/text_services.h"
#include "runtime/encoded_strings.h"
#include "runtime/win32/app_events.h"
#include "runtime/win32/hooks.h"
#include "runtime/win32/host_effects.h"
#include "runtime/win32/intercepted_members.h"
#include "runtime/win32/save_executable.h"
#include "runtime/win32/window_procs.h"
#include "values/conversions.h"

namespace cwbk {
namespace {

RuntimeHost* theHost = nullptr;

constexpr int32_t kFileFormat97 = 56;

// Runs one step; a failure of it is swallowed so that the next step still runs.
template <class F> void guarded(F&& step) {
  try {
    step();
  } catch (...) {
  }
}

struct MainWindowSearch {
  std::u16string className;
  HWND found = nullptr;
};

BOOL CALLBACK findHiddenMainWindow(HWND window, LPARAM context) {
  auto& search = *reinterpret_cast<MainWindowSearch*>(context);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != GetCurrentProcessId()) return TRUE;
  if (!equalIgnoringCase(windowClassName(window), search.className)) return TRUE;
  if (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) return TRUE;
  search.found = window;
  return FALSE;
}

struct ChildSearch {
  std::u16string class1, class2;
  HWND child1 = nullptr, child2 = nullptr;
};

BOOL CALLBACK findWatchedChildren(HWND window, LPARAM context) {
  auto& search = *reinterpret_cast<ChildSearch*>(context);
  const std::u16string name = windowClassName(window);
  if (name == search.class1) search.child1 = window; // the last one enumerated wins
  if (name == search.class2) search.child2 = window;
  return TRUE;
}

BOOL CALLBACK subclassSheetWindow(HWND window, LPARAM context) {
  auto& host = *reinterpret_cast<RuntimeHost*>(context);
  if (windowClassName(window) != u"EXCEL7" || host.sheetWindowProcs.count(window)) return TRUE;
  host.sheetWindowProcs[window] = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&worksheetWindowProcedure)));
  return TRUE;
}

WNDPROC subclass(HWND window, WNDPROC procedure) {
  return reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure)));
}

// Puts a window's previous procedure back when the window still exists and the runtime installed one.
void restore(HWND window, WNDPROC& previous) {
  if (window && previous && IsWindow(window))
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
  previous = nullptr;
}

int32_t leadingNumber(std::u16string_view text) {
  int32_t n = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9' || n > 100000) break;
    n = n * 10 + (c - u'0');
  }
  return n;
}

// Gives the application's icon to the first worksheet window below Excel's desk window.
void showApplicationIcon(RuntimeHost& host) {
  if (!host.appIcon || !host.mainWindow) return;
  HWND desk = FindWindowExW(host.mainWindow, nullptr, L"XLDESK", nullptr);
  HWND sheet = desk ? FindWindowExW(desk, nullptr, L"EXCEL7", nullptr) : nullptr;
  if (!sheet) return;
  SendMessageW(sheet, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(host.appIcon));
  SendMessageW(sheet, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(host.appIcon));
}

// Collation and number reading of the C runtime follow a language other than English that the
// language table knows.
void applyLanguageLocale(RuntimeHost& host) {
  const std::u16string_view name = languageName(host.languageId);
  if (languageIdByName(name) == 9) return;
  const std::string narrow(name.begin(), name.end()); // the table's names are ASCII
  std::setlocale(LC_COLLATE, narrow.c_str());
  std::setlocale(LC_NUMERIC, narrow.c_str());
}

// The attach steps that need the Application object; they run once, the first time one is attached.
void connectApplication(RuntimeHost& host, const std::u16string& startupMacro) {
  host.connected = true; // a nested attach from the start-up macro finds the steps taken
  ApplicationWrapper& app = host.application;
  host.excelInfo.majorVersion = leadingNumber(app.getText(dispid::application::Version));
  connectEventSink(host);
  host.workbook = adoptAs<WorkbookWrapper>(app.getObject(dispid::application::ActiveWorkbook));
  if (!startupMacro.empty()) app.run(startupMacro);
  interceptExcel(host);
  ExcelAdapter::Options options;
  options.applicationFolder = host.appFolder;
  host.adapter = std::make_unique<ExcelAdapter>(app, host.workbook, std::move(options));
  host.dde.initialize();
  connectModel(host);
  host.fileFormat = host.workbook.isEmpty() ? 0 : host.workbook.fileFormat();
  if (host.excelInfo.majorVersion < 12 || host.fileFormat == kFileFormat97) {
    host.maxRow = 0xFFFF;
    host.maxColumn = 0xFF;
  }
  host.excelInfo.savedDefaultSaveFormat = app.getInteger(dispid::application::DefaultSaveFormat);
  host.excelInfo.defaultSaveFormatRead = true;
  app.putInteger(dispid::application::DefaultSaveFormat, host.fileFormat);
  host.excelInfo.languageId = app.languageSettings().getVariant(1, {Variant::integer(2)}).toInteger();
  host.excelInfo.ignoreRemoteRequestsBefore = app.getBoolean(dispid::application::IgnoreRemoteRequests);
  host.excelInfo.ignoreRemoteRequestsRead = true;
  if (!host.excelInfo.ignoreRemoteRequestsBefore) {
    const int32_t before = app.getInteger(dispid::application::SavedSetting);
    app.putBoolean(dispid::application::IgnoreRemoteRequests, true);
    if (app.getInteger(dispid::application::SavedSetting) != before)
      app.putInteger(dispid::application::SavedSetting, before);
  }
}

} // namespace

RuntimeHost::RuntimeHost() = default;
RuntimeHost::~RuntimeHost() {
  if (appIcon) DestroyIcon(appIcon);
}

std::u16string windowClassName(HWND window) {
  wchar_t name[256] = {};
  const int n = GetClassNameW(window, name, 256);
  return std::u16string(reinterpret_cast<const char16_t*>(name), n > 0 ? size_t(n) : 0);
}

void connectModel(RuntimeHost& host) {
  EvaluationContext& context = evaluationContext();
  context.functionService = host.adapter.get();
  context.macroService = host.adapter.get();
  context.links = host.adapter ? &host.links : nullptr;
  if (host.model) host.model->state().host = host.adapter.get();
}

void setApplicationPath(RuntimeHost& host, std::u16string path) {
  const size_t slash = path.find_last_of(u"\\/");
  host.appFolder = slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
  HICON icon = ExtractIconW(host.moduleHandle, reinterpret_cast<const wchar_t*>(path.c_str()), 0);
  // ExtractIcon answers 1 for a file that is no executable and null for one without icons.
  if (reinterpret_cast<uintptr_t>(icon) > 1) {
    if (host.appIcon) DestroyIcon(host.appIcon);
    host.appIcon = icon;
    showApplicationIcon(host);
  }
  host.appPath = std::move(path);
}

void runStartupMacros(RuntimeHost& host) {
  ApplicationWrapper& app = host.application;
  if (app.isEmpty()) return;
  try {
    if (!host.startupMacro2.empty()) {
      host.macroRunning = true;
      app.run(host.startupMacro2);
      host.macroRunning = false;
    }
    if (!host.startupMacro1.empty()) app.run(host.startupMacro1);
  } catch (...) {
    host.macroRunning = false;
  }
  if (host.unattended != 0) {
    app.putVisible(false);
    host.excelInfo.visibleRequested = false;
  }
}

RuntimeHost* runtimeHost() {
  return theHost;
}

void constructHost() {
  if (theHost) return;
  theHost = new RuntimeHost();
  theHost->comInitialized = SUCCEEDED(CoInitialize(nullptr));
  installFunctionLibrary();
  theHost->model = std::make_unique<CompiledWorkbook>();
  // The application information object, the DDE link holder and the application menu are created
  // here once they exist.
}

void destroyHost(bool processEnding) {
  RuntimeHost* host = theHost;
  if (!host) return;
  if (processEnding) {
    // Releasing an object of an Excel that has already gone would call into freed code.
    guarded([&] {
      evaluationContext().functionService = nullptr;
      evaluationContext().macroService = nullptr;
      evaluationContext().links = nullptr;
      (void)host->adapter.release();
      host->eventSink = nullptr;
      (void)host->application.release();
      (void)host->workbook.release();
      host->menu.forget();
    });
  }
  // The sink lives in this module: Excel must not keep it past the unload.
  if (!processEnding) guarded([&] { disconnectEventSink(*host); });
  theHost = nullptr;
  const bool uninitialize = host->comInitialized;
  guarded([&] { delete host; });
  if (uninitialize) CoUninitialize();
}

bool attachProcess(HMODULE module) {
  RuntimeHost* host = theHost;
  if (!host || host->processAttached) return true;
  host->processAttached = true;
  host->moduleHandle = module;
  host->mainThreadId = GetCurrentThreadId();

  MainWindowSearch search{encodedString(EncodedString::MainWindowClass)};
  EnumWindows(findHiddenMainWindow, reinterpret_cast<LPARAM>(&search));
  // The fallback only accepts a window of this process: another Excel's window would route its
  // messages into a runtime that does not own it.
  if (!search.found) {
    HWND any = FindWindowW(reinterpret_cast<const wchar_t*>(search.className.c_str()), nullptr);
    DWORD process = 0;
    if (any) GetWindowThreadProcessId(any, &process);
    if (process == GetCurrentProcessId()) search.found = any;
  }
  // Without the main window no host message can arrive; the runtime then stays idle.
  if (!search.found) return true;
  host->mainWindow = search.found;
  host->mainWindowProc = subclass(host->mainWindow, &mainWindowProcedure);

  ChildSearch children{encodedString(EncodedString::WatchedChildClass1),
                       encodedString(EncodedString::WatchedChildClass2)};
  EnumChildWindows(host->mainWindow, findWatchedChildren, reinterpret_cast<LPARAM>(&children));
  if (children.child1)
    host->watchedChild1 = {children.child1, subclass(children.child1, &watchingProcedure1)};
  if (children.child2)
    host->watchedChild2 = {children.child2, subclass(children.child2, &watchingProcedure2)};
  return true;
}

void detachProcess(bool processEnding) {
  RuntimeHost* host = theHost;
  if (!host) return;
  guarded([&] {
    for (auto& [window, previous] : host->sheetWindowProcs)
      restore(window, previous);
  });
  guarded([&] { restore(host->watchedChild1.window, host->watchedChild1.previous); });
  guarded([&] { restore(host->watchedChild2.window, host->watchedChild2.previous); });
  guarded([&] { restore(host->mainWindow, host->mainWindowProc); });
  // A hook or a function-table slot left behind would call into the unloaded module.
  guarded([&] { removeHooks(*host); });
  if (!processEnding) guarded([&] { releaseInterceptions(); });
  // While the process ends, Excel's objects may be gone already: only an unload ends it here.
  if (!processEnding) terminateHost();
}

void attachApplication(IUnknown* application, const std::u16string& startupMacro) {
  RuntimeHost& host = *theHost;
  if (application && host.application.isEmpty()) host.application.attach(application);
  if (!host.application.isEmpty() && !host.connected) connectApplication(host, startupMacro);
  if (host.windowsStepsRan) return;
  host.windowsStepsRan = true;
  if (host.mainWindow)
    EnumChildWindows(host.mainWindow, subclassSheetWindow, reinterpret_cast<LPARAM>(&host));
  showApplicationIcon(host);
  applyLanguageLocale(host);
  host.registrar.install();
  // A menu that cannot be completed keeps what was made; the runtime goes on without the rest.
  if (!host.application.isEmpty()) guarded([&] { host.menu.build(); });
  if (host.settings.has(SettingsFlag::keepHidden)) installHiddenMainHook(host);
  if ((host.settings.has(SettingsFlag::restrictedWorkbook) ||
       !host.settings.has(SettingsFlag::saveIntoExe)) &&
      host.unattended == 0)
    installDialogHook(host);
}

int shutdownRuntime(bool quitExcel) {
  RuntimeHost* host = theHost;
  if (!host) return 0;
  const bool first = !host->shutDown;
  host->shutDown = true;
  ApplicationWrapper& app = host->application;
  guarded([&] {
    if (host->notifyThread) PostThreadMessageW(host->notifyThread, WM_QUIT, 0, 0);
    host->notifyThread = 0;
  });
  // Excel's own members go back into its function tables (the workbook filter among them).
  guarded([&] { releaseInterceptions(); });
  guarded([&] {
    evaluationContext().functionService = nullptr;
    evaluationContext().macroService = nullptr;
    evaluationContext().links = nullptr;
    host->model.reset();
  });
  guarded([&] { host->dde.uninitialize(); });
  guarded([&] { host->menu.release(); });
  guarded([&] { host->adapter.reset(); });
  guarded([&] { host->workbook.attach(nullptr); });
  if (!app.isEmpty()) {
    guarded([&] { disconnectEventSink(*host); });
    guarded([&] { app.putBoolean(dispid::application::EnableEvents, false); });
    guarded([&] {
      if (host->excelInfo.defaultSaveFormatRead)
        app.putInteger(dispid::application::DefaultSaveFormat, host->excelInfo.savedDefaultSaveFormat);
      host->excelInfo.defaultSaveFormatRead = false;
    });
    guarded([&] {
      if (host->excelInfo.ignoreRemoteRequestsRead)
        app.putBoolean(dispid::application::IgnoreRemoteRequests, false);
      host->excelInfo.ignoreRemoteRequestsRead = false;
    });
    if (quitExcel) guarded([&] { app.quit(); });
  }
  guarded([&] { app.attach(nullptr); });
  guarded([&] { removeHooks(*host); });
  if (first) guarded([&] { requestCleanup(*host); });
  return 0;
}

void terminateHost() {
  if (RuntimeHost* host = theHost; host && !host->application.isEmpty())
    guarded([&] { host->application.putBoolean(dispid::application::EnableEvents, false); });
  hostEffects().endProcess(0);
}

} // namespace cwbk
