// The test-only exports (linked into the testing build of the module only).
#include "runtime/win32/runtime_testing.h"

#include <algorithm>
#include <cstring>

#include "excel/excel_adapter.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/formula_node.h"
#include "formula/function_table.h"
#include "runtime/win32/host_effects.h"
#include "runtime/win32/runtime_host.h"
#include "runtime/win32/window_procs.h"
#include "values/conversions.h"

using namespace cwbk;

namespace {

template <size_t N> void copyText(char16_t (&to)[N], const std::u16string& from) {
  const size_t n = std::min(from.size(), N - 1);
  std::memcpy(to, from.data(), n * 2);
  to[n] = 0;
}

// Writes a text into a caller's buffer of `capacity` units, terminated; returns the units written.
int32_t writeText(const std::u16string& from, char16_t* to, int32_t capacity) {
  const size_t n = std::min(from.size(), size_t(capacity - 1));
  std::memcpy(to, from.data(), n * 2);
  to[n] = 0;
  return int32_t(n);
}

} // namespace

extern "C" void RuntimeTestSetEffects(RuntimeTestMessageBox* messageBox, RuntimeTestEndProcess* endProcess) {
  if (messageBox) hostEffects().messageBox = messageBox;
  if (endProcess) hostEffects().endProcess = endProcess;
}

extern "C" void RuntimeTestSetDialogs(RuntimeTestChooseFile* chooseFile, RuntimeTestChooseColor* chooseColor) {
  if (chooseFile) hostEffects().chooseFile = chooseFile;
  if (chooseColor) hostEffects().chooseColor = chooseColor;
}

extern "C" void RuntimeTestSetStarter(RuntimeTestStartProcess* startProcess) {
  if (startProcess) hostEffects().startProcess = startProcess;
}

extern "C" int32_t RuntimeTestQuery(RuntimeTestState* out) {
  RuntimeHost* host = runtimeHost();
  if (!host || !out || out->size != sizeof(RuntimeTestState)) return 0;
  RuntimeTestState s{};
  s.size = sizeof s;
  s.mainWindowFound = host->mainWindow != nullptr;
  s.watchedChildren = (host->watchedChild1.previous != nullptr) + (host->watchedChild2.previous != nullptr);
  s.applicationAttached = !host->application.isEmpty();
  s.connected = host->connected;
  s.shutDown = host->shutDown;
  s.settingsArrived = host->settingsArrived;
  s.settingsFlags = host->settings.flags;
  s.appVersion = host->settings.appVersion;
  s.keyLength = int32_t(host->key.bytes().size());
  s.streamEnded = host->stream.ended();
  s.modelLoaded = host->model && !host->model->sheets().empty();
  s.modelPrepared = host->modelPrepared;
  s.majorVersion = host->excelInfo.majorVersion;
  s.sheetWindows = int32_t(host->sheetWindowProcs.size());
  s.maxRow = int32_t(host->maxRow);
  s.languageId = host->languageId;
  s.adapterConnected = host->adapter && host->model && host->model->state().host == host->adapter.get() &&
                       evaluationContext().functionService == host->adapter.get() &&
                       evaluationContext().macroService == host->adapter.get();
  s.dialogHook = host->dialogHook != nullptr;
  s.hiddenMainHook = host->hiddenMainHook != nullptr;
  s.learningTitles = host->learningTitles;
  s.dialogTitles = int32_t(host->dialogTitles.size());
  s.appIcon = host->appIcon != nullptr;
  s.visibleRequested = host->excelInfo.visibleRequested;
  s.holdState = focusHold().state;
  s.editHold = focusHold().editHold;
  copyText(s.appName, host->settings.AppName);
  copyText(s.workbookFile, host->workbookFile);
  copyText(s.startupMacro1, host->startupMacro1);
  *out = s;
  return 1;
}

extern "C" int32_t RuntimeTestFunctionName(int32_t number, char16_t* text, int32_t capacity) {
  const std::u16string* name = functionTable().nameOf(number);
  if (!name || !text || capacity <= 0) return -1;
  return writeText(*name, text, capacity);
}

extern "C" int32_t RuntimeTestCellText(uint32_t sheet, uint32_t row, uint32_t column, char16_t* text,
                                       int32_t capacity) {
  RuntimeHost* host = runtimeHost();
  if (!host || !host->model || !text || capacity <= 0) return -1;
  const Cell* cell = host->model->findCell(CellAddress::make(sheet, column, row));
  if (!cell || !cell->value()) return -1;
  return writeText(displayText(*cell->value()), text, capacity);
}
