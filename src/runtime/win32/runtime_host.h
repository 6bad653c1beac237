// RuntimeHost: the process-wide state of the runtime inside Excel's process, from module load to
// unload, and the start-up and shutdown steps that build and tear it down.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "app/change_intake.h"
#include "excel/excel_objects.h"
#include "runtime/app_settings.h"
#include "runtime/section_key.h"
#include "runtime/stream_chunks.h"
#include "runtime/win32/dde_client.h"
#include "runtime/win32/menu.h"
#include "runtime/win32/registrar.h"

namespace cwbk {

class Cell;
class CompiledWorkbook;
class ExcelAdapter;
class AppEventSink;

// A subclassed window and the procedure it had before.
struct SubclassedWindow {
  HWND window = nullptr;
  WNDPROC previous = nullptr;
};

// Facts about the running Excel, read at attach; the `...Read` flags say which ones shutdown may put
// back (a setting that was never read is never written).
struct ExcelInfo {
  int32_t majorVersion = 0;
  bool ignoreRemoteRequestsBefore = false;
  bool ignoreRemoteRequestsRead = false;
  int32_t languageId = 0;
  int32_t savedDefaultSaveFormat = 56;
  bool defaultSaveFormatRead = false;
  std::optional<PerSheetFlags> perSheetFlags;
  bool visibleRequested = true;
  bool eventsRequested = true; // the last value written into EnableEvents through Excel's member
};

struct RuntimeHost {
  RuntimeHost();
  ~RuntimeHost();
  RuntimeHost(const RuntimeHost&) = delete;
  RuntimeHost& operator=(const RuntimeHost&) = delete;

  // --- windows
  HMODULE moduleHandle = nullptr;
  DWORD mainThreadId = 0;
  HWND mainWindow = nullptr;
  WNDPROC mainWindowProc = nullptr;
  SubclassedWindow watchedChild1, watchedChild2;
  std::map<HWND, WNDPROC> sheetWindowProcs;
  std::set<std::u16string> dialogTitles; // titles of the dialogs the dialog hook closes
  bool learningTitles = false;           // the dialog hook records titles instead
  HHOOK dialogHook = nullptr;
  HHOOK hiddenMainHook = nullptr;
  HICON appIcon = nullptr;
  bool processAttached = false;

  // Registers the stub module's procedures with Excel (attach) and takes them back (xlAutoClose).
  Registrar registrar;
  // The application's menu in Excel's menu bar.
  MenuBuilder menu{*this};

  // --- Excel connection
  ApplicationWrapper application;
  WorkbookWrapper workbook;
  ExcelInfo excelInfo;
  // Writes the model's values into Excel and computes what the library leaves to Excel; registered
  // with the model as its host and with the evaluation context as its host services.
  std::unique_ptr<ExcelAdapter> adapter;
  // The runtime's own DDE client, and the link services the engine calls (set with the adapter).
  DdeClient dde;
  HostLinks links{*this};
  // Receives Excel's application events while the Application object is attached.
  AppEventSink* eventSink = nullptr;
  DWORD eventCookie = 0;
  int32_t fileFormat = 0;
  uint32_t maxRow = 0xFFFFF, maxColumn = 0x3FFF;
  bool connected = false;       // the attach steps that need the Application object have run
  bool windowsStepsRan = false; // the attach steps that need no Application object have run

  // --- model
  std::unique_ptr<CompiledWorkbook> model;
  StreamChunks stream;
  bool modelPrepared = false;

  // --- the road of a change (the recalculation driver)
  std::vector<Cell*> pendingCells; // cells changed since the last recalculation
  // Sheet changes that arrived while the driver ran (a macro's change event, DDE data): taken in and
  // recalculated when it has finished, never nested and never dropped.
  std::vector<std::pair<WorksheetWrapper, RangeWrapper>> deferredChanges;
  UndoList undoList;
  bool calcBusy = false;         // a run of the recalculation driver is in progress
  bool modelBusy = false;        // the model's recalculate is in progress
  bool recordNextChange = false; // the next single-cell change is recorded for undo
  bool undoRunning = false;      // an undo writes an old value back
  bool undoInstalled = false;    // the runtime's undo entry stands in Excel
  bool recalcInManual = false;   // changes count in Excel's manual calculation mode too
  double lastDuration = 0;       // seconds of the last change handling or recalculation

  // --- what the host messages delivered
  bool comInitialized = false;
  AppSettings settings;
  bool settingsArrived = false;
  SectionKey key;
  std::u16string appPath, appFolder, importPath, exportPath, workbookFile, moduleFile;
  std::u16string startupMacro1, startupMacro2;
  DWORD notifyThread = 0;
  uint8_t languageId = 0;
  uintptr_t unattended = 0;
  bool macroRunning = false; // start-up macro 2 runs
  // A save into the executable came while start-up macro 2 ran: its close of the workbook writes it.
  bool savePending = false;
  // The data since the last change was exported (or nothing changed yet): closing asks nothing.
  bool lastExportSucceeded = true;
  // An import applies its data: control events start no recalculation.
  bool importBusy = false;
  bool shutDown = false;
};

// Returns the host while the module is loaded; null before construction and after destruction.
RuntimeHost* runtimeHost();

// Module load and unload: build and destroy the host (COM for the loading thread included). While the
// process ends, Excel's objects may be gone already: they are then forgotten, not released.
void constructHost();
void destroyHost(bool processEnding = false);

// Returns a window's class name.
std::u16string windowClassName(HWND window);

// Registers the Excel adapter (when there is one) with the model as its host and with the evaluation
// context as its host services; the model may have been replaced since the adapter was made.
void connectModel(RuntimeHost& host);

// Switches the application to the executable at a path: its path, its folder and its icon.
void setApplicationPath(RuntimeHost& host, std::u16string path);

// The start-up run (command 2): start-up macro 2 with the macro-running flag set, then start-up macro
// 1; a failure of either skips what follows of them. An unattended run then hides Excel.
void runStartupMacros(RuntimeHost& host);

// The process-attach notification: finds Excel's main window of this process and subclasses it and
// the watched children. Runs once; returns true.
bool attachProcess(HMODULE module);
// The process-detach notification: puts back every window procedure the runtime installed, then ends
// the process (terminateHost) unless the process is ending already.
void detachProcess(bool processEnding);

// The attach step (message 1152): connects the Application object and runs the steps that need it
// once, then the steps that need no Application once.
void attachApplication(IUnknown* application, const std::u16string& startupMacro);

// The runtime's shutdown: releases what it holds and puts back what attach changed, each step guarded
// on its own; safe to call more than once. quitExcel is false on the failure path, so that the user's
// other work in Excel survives. Returns 0.
int shutdownRuntime(bool quitExcel);
// Sets EnableEvents to false when an Application object is attached, then ends the process.
void terminateHost();

} // namespace cwbk
