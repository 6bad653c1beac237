#include "runtime/win32/data_commands.h"

#include <windows.h>

#include <charconv>
#include <ctime>
#include <filesystem>
#include <map>
#include <vector>

#include "app/data_file.h"
#include "excel/com_error.h"
#include "excel/excel_adapter.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "runtime/win32/at_exit.h"
#include "runtime/win32/dialog_template.h"
#include "runtime/win32/host_effects.h"
#include "runtime/win32/recalculation_driver.h"
#include "runtime/win32/runtime_host.h"
#include "runtime/win32/window_procs.h"

namespace cwbk {

namespace {

constexpr int32_t kCalculationManual = -4135;
constexpr unsigned kPathCapacity = 1024;
constexpr int32_t kNoColor = -1;
constexpr uint32_t kSheetKeepsItsColors = 0x100;

constexpr WORD kPathEdit = 1001, kBrowse = 1002, kBackgroundSample = 1003, kFontSample = 1004,
               kBackgroundButton = 1005, kFontButton = 1006;
constexpr WORD kButtonClass = 0x0080, kEditClass = 0x0081, kStaticClass = 0x0082;

std::filesystem::path fileSystemPath(const std::u16string& path) {
  return std::filesystem::path(std::wstring(path.begin(), path.end()));
}

void warn(HWND owner, const std::u16string& text) {
  showMessage(owner, text, u"Warning", MB_OK | MB_ICONWARNING);
}

// What the import dialog asks for.
struct ImportChoice {
  std::u16string appName;
  std::u16string path;
  int32_t background = kNoColor; // the imported cells' interior colour, or none
  int32_t font = kNoColor;       // their font colour, or none
  HBRUSH backgroundBrush = nullptr, fontBrush = nullptr;
  ~ImportChoice() {
    for (HBRUSH b : {backgroundBrush, fontBrush})
      if (b) DeleteObject(b);
  }
};

std::u16string itemText(HWND dialog, int id) {
  wchar_t text[kPathCapacity] = {};
  const int n = GetDlgItemTextW(dialog, id, text, int(kPathCapacity));
  return std::u16string(reinterpret_cast<const char16_t*>(text), size_t(n > 0 ? n : 0));
}

void pickColor(HWND dialog, ImportChoice& choice, bool background) {
  unsigned rgb = 0;
  if (!hostEffects().chooseColor(dialog, &rgb)) return;
  int32_t& color = background ? choice.background : choice.font;
  HBRUSH& brush = background ? choice.backgroundBrush : choice.fontBrush;
  color = int32_t(rgb & 0xFFFFFF);
  if (brush) DeleteObject(brush);
  brush = CreateSolidBrush(COLORREF(color));
  const int sample = background ? kBackgroundSample : kFontSample;
  SetDlgItemTextW(dialog, sample, L"");
  InvalidateRect(GetDlgItem(dialog, sample), nullptr, TRUE);
}

INT_PTR CALLBACK importProcedure(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* choice = reinterpret_cast<ImportChoice*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (msg) {
  case WM_INITDIALOG: {
    SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    choice = reinterpret_cast<ImportChoice*>(lParam);
    const std::u16string title = u"Import Data for " + choice->appName + u" Application";
    SetWindowTextW(dialog, reinterpret_cast<const wchar_t*>(title.c_str()));
    return TRUE;
  }
  case WM_CTLCOLORSTATIC: {
    // A sample whose colour was chosen shows it.
    const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
    HBRUSH brush = id == kBackgroundSample ? choice->backgroundBrush
                   : id == kFontSample     ? choice->fontBrush
                                           : nullptr;
    return brush ? reinterpret_cast<INT_PTR>(brush) : FALSE;
  }
  case WM_COMMAND:
    switch (LOWORD(wParam)) {
    case kBrowse: {
      char16_t path[kPathCapacity] = {};
      const std::u16string title = u"Import Data for " + choice->appName + u" Application";
      if (hostEffects().chooseFile(dialog, false, kDataFileFilter, title.c_str(), path, kPathCapacity))
        SetDlgItemTextW(dialog, kPathEdit, reinterpret_cast<const wchar_t*>(path));
      return TRUE;
    }
    case kBackgroundButton:
    case kFontButton:
      pickColor(dialog, *choice, LOWORD(wParam) == kBackgroundButton);
      return TRUE;
    case IDOK:
      choice->path = itemText(dialog, kPathEdit);
      if (choice->path.empty()) {
        showMessage(dialog, u"Please select a file for import",
                    u"Load Data for " + choice->appName + u" Application", MB_OK | MB_ICONINFORMATION);
        SetFocus(GetDlgItem(dialog, kPathEdit));
        return TRUE;
      }
      EndDialog(dialog, 1);
      return TRUE;
    case IDCANCEL:
      choice->path.clear();
      EndDialog(dialog, 2);
      return TRUE;
    default:
      return FALSE;
    }
  default:
    return FALSE;
  }
}

// The import dialog, modal, owned by the active window; returns 1 for "Import".
INT_PTR runImportDialog(RuntimeHost& host, ImportChoice& choice) {
  DialogTemplate t(243, 82, u"Import Data", 8, u"MS Sans Serif");
  t.add(kButtonClass, BS_GROUPBOX, 2, 0, 239, 61, 0xFFFF, u"");
  t.add(kStaticClass, SS_LEFT, 8, 10, 43, 9, 0xFFFF, u"Data file path");
  t.add(kEditClass, WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 53, 8, 166, 12, kPathEdit, u"");
  t.add(kButtonClass, BS_PUSHBUTTON | BS_FLAT | WS_TABSTOP, 220, 8, 14, 12, kBrowse, u"...");
  t.add(kStaticClass, SS_LEFT, 8, 32, 101, 10, 0xFFFF, u"Show imported cells with color:");
  t.add(kStaticClass, SS_LEFT, 8, 46, 59, 10, 0xFFFF, u"Background color");
  t.add(kStaticClass, SS_CENTER | SS_SUNKEN, 69, 45, 40, 11, kBackgroundSample, u"<default>");
  t.add(kButtonClass, BS_PUSHBUTTON | BS_FLAT | WS_TABSTOP, 110, 45, 14, 11, kBackgroundButton, u"...");
  t.add(kStaticClass, SS_LEFT, 141, 46, 32, 10, 0xFFFF, u"Font color");
  t.add(kStaticClass, SS_CENTER | SS_SUNKEN, 176, 45, 43, 11, kFontSample, u"<default>");
  t.add(kButtonClass, BS_PUSHBUTTON | BS_FLAT | WS_TABSTOP, 220, 45, 14, 11, kFontButton, u"...");
  t.add(kButtonClass, BS_DEFPUSHBUTTON | WS_TABSTOP, 65, 65, 50, 14, IDOK, u"Import");
  t.add(kButtonClass, BS_PUSHBUTTON | WS_TABSTOP, 139, 65, 50, 14, IDCANCEL, u"Cancel");
  return DialogBoxIndirectParamW(host.moduleHandle, t.get(), GetActiveWindow(), importProcedure,
                                 reinterpret_cast<LPARAM>(&choice));
}

std::u16string decimal(size_t n) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
  return std::u16string(digits, end);
}

// Applies the file's records to the model and into Excel, then recalculates what they change. Excel's
// events, screen and calculation mode are put back on every path. Returns whether it all went through.
bool applyData(RuntimeHost& host, const DataFileContent& content, const ImportChoice& choice,
               DataApplyResult& applied) {
  ApplicationWrapper& app = host.application;
  CompiledWorkbook& model = *host.model;
  host.importBusy = true;
  const bool eventsBefore = app.enableEvents();
  const bool screenBefore = app.screenUpdating();
  const int32_t calculationBefore = app.calculation();
  AtExit restore{[&] {
    host.importBusy = false;
    app.putCalculation(calculationBefore);
    if (eventsBefore) app.putEnableEvents(true);
    app.putScreenUpdating(screenBefore);
  }};
  app.putCalculation(kCalculationManual);
  app.putEnableEvents(false);
  app.putScreenUpdating(false);
  try {
    const bool colored = choice.background != kNoColor || choice.font != kNoColor;
    if (!colored) {
      // In bulk: the model takes every record first, then Excel takes them sheet by sheet.
      HostInterface* hostInterface = model.state().host;
      model.state().host = nullptr;
      applied = applyDataRecords(content.records, content.header.writerVersion, model);
      model.state().host = hostInterface;
      std::vector<BlockValue> values;
      for (Cell* cell : applied.imported)
        values.push_back({cell->address(), cell->value() ? *cell->value() : CalcValue()});
      if (host.adapter && applied.status != DataApplyStatus::Unreadable)
        host.adapter->writeBlockValues(values);
    } else {
      applied = applyDataRecords(content.records, content.header.writerVersion, model);
      const auto& table = host.settings.perSheetFlags;
      const bool tableUsed = table && !table->empty();
      for (Cell* cell : applied.imported) {
        uint32_t sheet = cell->address().sheet();
        if (sheet == 0xFFFF) sheet = 0xFFFE;
        if (tableUsed && (table->sheetFlags(sheet + 1) & kSheetKeepsItsColors)) continue;
        if (!host.adapter) continue;
        if (choice.background != kNoColor) host.adapter->setInteriorColor(cell->address(), choice.background);
        if (choice.font != kNoColor) host.adapter->setFontColor(cell->address(), choice.font);
      }
    }
    if (applied.status != DataApplyStatus::Applied) return false;
    host.pendingCells.insert(host.pendingCells.end(), applied.imported.begin(), applied.imported.end());
    recalculateNow(host, false);
    return true;
  } catch (const ComError&) {
    applied.status = DataApplyStatus::Failed;
    return false;
  }
}

} // namespace

std::u16string dataFilePath(std::u16string path) {
  constexpr std::u16string_view exe = u".exe";
  if (path.size() >= exe.size() && path.compare(path.size() - exe.size(), exe.size(), exe) == 0)
    path.replace(path.size() - exe.size(), exe.size(), u".dat");
  return path;
}

bool importData(RuntimeHost& host, bool silent, std::u16string path) {
  ApplicationWrapper& app = host.application;
  if (app.isEmpty() || !host.model || !host.menu.commandsAvailable()) return false;
  AtExit restore{[&] {
    app.putUserControl(true);
    app.putEnableEvents(true);
  }};
  app.putUserControl(false);
  app.putEnableEvents(false);
  const std::u16string& appName = host.settings.AppName;
  ImportChoice choice;
  choice.appName = appName;
  if (!silent) {
    if (runImportDialog(host, choice) != 1) return false;
    path = choice.path;
  }
  path = dataFilePath(std::move(path));
  HWND owner = host.mainWindow;
  const std::u16string quoted = u"'" + path + u"'";
  if (path.empty()) {
    warn(owner, u"Cannot open file " + quoted + u".");
    return false;
  }
  DataFileContent content;
  switch (readDataFile(fileSystemPath(path), content)) {
  case DataFileRead:
    break;
  case DataFileCannotOpen:
    warn(owner, u"Cannot open file " + quoted + u".");
    return false;
  case DataFileCannotRead:
    warn(owner, u"Cannot read data from file " + quoted + u".");
    return false;
  default:
    warn(owner, u"Data file " + quoted + u" is not a vaild file format or corrupted.");
    return false;
  }
  if (!silent && content.header.applicationId != host.model->workbookWord() &&
      showMessage(owner,
                  u"This data was created from another application.\nImport it may cause of incorrect data "
                  u"setting or failure.\nImport anyway?",
                  u"Warning", MB_YESNO | MB_ICONWARNING) != IDYES)
    return false;

  DataApplyResult applied;
  const bool done = applyData(host, content, choice, applied);
  if (applied.status == DataApplyStatus::Unreadable) {
    warn(owner, u"Data file " + quoted + u" is not a vaild file format or corrupted.");
    return false;
  }
  if (applied.status == DataApplyStatus::Failed || !done) {
    // The file was fine: the workbook did not take its data.
    warn(owner, u"The data of file " + quoted + u" could not be applied to the workbook.");
    return false;
  }
  const size_t refused = applied.refusedFormulaCells + applied.refusedNoSheet;
  if (refused)
    warn(owner, decimal(refused) + u" values of file " + quoted +
                    u" were not imported: their cells hold formulas or lie on sheets this workbook lacks.");
  if (!silent)
    showMessage(owner, u"Import of data completed successfully.",
                u"Import Data for " + appName + u" Application", MB_OK | MB_ICONINFORMATION);
  return true;
}

bool exportData(RuntimeHost& host, bool direct, bool collected, std::u16string path) {
  ApplicationWrapper& app = host.application;
  if (app.isEmpty() || !host.model) return false;
  if (focusHold().editHold) return false; // commands are held back while a watched child holds focus
  bool written = false;
  AtExit restore{[&] {
    host.lastExportSucceeded = written;
    app.putUserControl(true);
    app.putEnableEvents(true);
  }};
  app.putUserControl(false);
  app.putEnableEvents(false);
  const uint32_t applicationId = host.model->workbookWord();
  if (path.empty()) path = host.appPath;
  path = dataFilePath(std::move(path));
  const std::vector<uint8_t> records = collectDataRecords(*host.model, collected);
  if (direct) {
    written = !path.empty() && writeDataFile(fileSystemPath(path), records, {}, applicationId, 0);
    return written;
  }
  char16_t chosen[kPathCapacity] = {};
  path.copy(chosen, std::min<size_t>(path.size(), kPathCapacity - 1));
  HWND owner = host.mainWindow;
  if (!hostEffects().chooseFile(owner, true, kDataFileFilter, u"Export Changes In File", chosen,
                                kPathCapacity))
    return false;
  path = chosen;
  constexpr std::u16string_view dat = u".dat";
  if (path.size() < dat.size() || path.compare(path.size() - dat.size(), dat.size(), dat) != 0) path += dat;
  std::error_code error;
  if (std::filesystem::exists(fileSystemPath(path), error) &&
      showMessage(owner, u"File '" + path + u"' already exists.\nWould you like to overwrite it?", u"Warning",
                  MB_YESNO | MB_ICONWARNING) != IDYES)
    return false;
  written = writeDataFile(fileSystemPath(path), records, {}, applicationId, uint32_t(std::time(nullptr)));
  if (!written) {
    warn(owner, u"Cannot write data to file '" + path + u"'.");
    return false;
  }
  showMessage(owner, u"Export of data completed successfully.",
              u"Export Data from " + host.settings.AppName + u" Application", MB_OK | MB_ICONINFORMATION);
  return true;
}

} // namespace cwbk
