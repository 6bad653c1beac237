// The module's exports that the workbook's macros and Excel call: results as Excel's operand records
// (one static record per export, valid until its next call), and every export guarded so that no
// exception crosses into the caller.
#include <windows.h>

#include <cstdint>
#include <string>

#include "excel/excel_members.h"
#include "excel/variant_bridge.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/reference.h"
#include "platform/win32/code_page.h"
#include "runtime/encoded_strings.h"
#include "runtime/win32/data_commands.h"
#include "runtime/win32/recalculation_driver.h"
#include "runtime/win32/registrar.h"
#include "runtime/win32/runtime_host.h"
#include "runtime/win32/save_executable.h"
#include "runtime/win32/window_procs.h"

using namespace cwbk;

namespace {

constexpr uint16_t kTypeNumber = kXlTypeNumber, kTypeText = kXlTypeText, kTypeBoolean = kXlTypeBoolean,
                   kTypeNil = kXlTypeNil, kTypeInteger = kXlTypeInteger;
constexpr uint16_t kTypeMask = 0xAFFF; // without Excel's memory-management bits

uint16_t typeOf(const XlOper* oper) {
  return oper ? uint16_t(oper->type & kTypeMask) : 0;
}

// The 8-bit text of a text operand; nothing for another kind.
std::optional<std::string> operandText(const XlOper* oper) {
  if (typeOf(oper) != kTypeText || !oper->value.text) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(oper->value.text + 1), oper->value.text[0]);
}

void setInteger(XlOper& result, int16_t value) {
  result = {};
  result.type = kTypeInteger;
  result.value.integer = value;
}

// A text result: a new byte string per call, cut to 255 characters.
void setText(XlOper& result, std::u16string_view text) {
  std::string bytes = utf16ToSystemCodePage(text.substr(0, 255));
  if (bytes.size() > 255) bytes.resize(255);
  auto* block = new unsigned char[bytes.size() + 1];
  block[0] = static_cast<unsigned char>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), block + 1);
  result = {};
  result.type = kTypeText;
  result.value.text = block;
}

template <class F> void swallowed(F&& step) {
  try {
    step();
  } catch (...) {
  }
}

void post(RuntimeHost& host, WPARAM command, LPARAM argument) {
  if (host.mainWindow) PostMessageW(host.mainWindow, message::Command, command, argument);
}

// The first rectangle of a reference operand as an A1 text; nothing for another kind.
std::optional<std::u16string> referenceAddress(const XlOper* oper) {
  const XlRef* rect = nullptr;
  if (typeOf(oper) == kXlTypeSRef && oper->value.singleRef.count >= 1)
    rect = &oper->value.singleRef.ref;
  else if (typeOf(oper) == kXlTypeRef && oper->value.multiRef.mref && oper->value.multiRef.mref->count >= 1)
    rect = &oper->value.multiRef.mref->refs[0];
  if (!rect || rect->rowFirst > rect->rowLast || rect->columnFirst > rect->columnLast) return std::nullopt;
  return cellText(CellAddress::make(0, rect->columnFirst, rect->rowFirst)) + u":" +
         cellText(CellAddress::make(0, rect->columnLast, rect->rowLast));
}

// The address and sheet name of an operand: a text ("Sheet1!A1:B2", "A1"), or a reference, whose
// sheet Excel names ("[Book.xlsx]Sheet1": the workbook part is dropped).
bool operandAddress(const XlOper* oper, std::u16string& sheetName, std::u16string& address) {
  if (std::optional<std::u16string> reference = referenceAddress(oper)) {
    const std::optional<std::string> name = referenceSheetName(*oper);
    if (!name) return false;
    sheetName = systemCodePageToUtf16(*name);
    if (const size_t bracket = sheetName.rfind(u']'); bracket != std::u16string::npos)
      sheetName.erase(0, bracket + 1);
    address = std::move(*reference);
    return !sheetName.empty();
  }
  const std::optional<std::string> text = operandText(oper);
  if (!text) return false;
  const std::u16string wide = systemCodePageToUtf16(*text);
  const size_t bang = wide.rfind(u'!');
  if (bang == std::u16string::npos) {
    address = wide;
  } else {
    sheetName = wide.substr(0, bang);
    if (sheetName.size() >= 2 && sheetName.front() == u'\'' && sheetName.back() == u'\'')
      sheetName = sheetName.substr(1, sheetName.size() - 2);
    address = wide.substr(bang + 1);
  }
  return !address.empty();
}

int32_t activeSheetPosition(RuntimeHost& host) {
  return host.application.activeSheet().index();
}

// The query of code 3: the unattended value, the executable's path, the application's name and its
// version, by key.
void query(RuntimeHost& host, const XlOper* argument, XlOper& result) {
  const std::optional<std::string> key = operandText(argument);
  if (!key) return setInteger(result, -3);
  const std::u16string wide = systemCodePageToUtf16(*key);
  if (wide == encodedString(EncodedString::QueryUnattended)) {
    result = {};
    result.type = kTypeNumber;
    result.value.number = double(host.unattended);
  } else if (wide == encodedString(EncodedString::QueryAppPath)) {
    setText(result, host.appPath);
  } else if (wide == encodedString(EncodedString::QueryAppName)) {
    setText(result, host.settings.AppName);
  } else if (wide == encodedString(EncodedString::QueryAppVersion)) {
    setText(result, host.settings.appVersionText());
  } else {
    setInteger(result, -2);
  }
}

// Code 11: the formulas that typed values set aside in an area come back, to be computed again.
void restoreFormulas(RuntimeHost& host, const XlOper* argument) {
  std::u16string sheetName, address;
  if (!host.model || !operandAddress(argument, sheetName, address)) return;
  const int32_t sheet = sheetName.empty() ? activeSheetPosition(host) - 1 : host.model->sheetIndex(sheetName);
  if (sheet < 0) return;
  for (char16_t& c : address)
    if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
  const ParsedArea area = parseArea(address, uint32_t(sheet));
  if (!area.first.isValid() || !host.model->cellIndexMode()) return;
  host.model->forEachCellIn(Area{area.first, area.second}, [&](Cell& cell) {
    if (cell.templateIndex() < 0 && cell.parkedTemplateIndex() >= 0 && host.model->restoreFormula(cell))
      host.pendingCells.push_back(&cell);
  });
}

// Code 10: the window whose caption the object reports gets the application's icon.
void giveIcon(RuntimeHost& host, const XlOper* argument) {
  if (typeOf(argument) != kTypeNumber || !host.appIcon) return;
  auto* object = reinterpret_cast<IDispatch*>(static_cast<uintptr_t>(argument->value.number));
  if (!object) return;
  DispatchWrapper owner;
  owner.attach(object);
  const std::u16string caption = owner.getText(DISPID(-518));
  HWND window = FindWindowW(nullptr, reinterpret_cast<const wchar_t*>(caption.c_str()));
  if (!window) return;
  SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(host.appIcon));
  SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(host.appIcon));
}

} // namespace

extern "C" XlOper* WINAPI DummyFunc0() {
  static XlOper result;
  result = {};
  return &result;
}

// Asks for a recalculation when one is due: pending cells, volatile ones, or data tables waiting.
extern "C" XlOper* WINAPI DummyFunc1() {
  static XlOper result;
  result = {};
  swallowed([] {
    RuntimeHost* host = runtimeHost();
    if (!host || !host->model) return;
    if (!host->pendingCells.empty() || !host->model->volatileCells().empty()) post(*host, 10, 1);
  });
  return &result;
}

extern "C" double WINAPI DummyFunc2() {
  RuntimeHost* host = runtimeHost();
  return host ? host->lastDuration : 0;
}

// Runs the companion workbook's main macro with the model's changes counted in manual calculation
// too; the screen stays still while it runs when the settings ask for it.
extern "C" int32_t WINAPI DummyFunc3() {
  RuntimeHost* host = runtimeHost();
  if (!host || host->application.isEmpty()) return 0;
  ApplicationWrapper& app = host->application;
  bool screenSwitchedOff = false;
  swallowed([&] {
    host->recalcInManual = true;
    if ((host->settings.has(SettingsFlag::quietRecalc) || host->excelInfo.perSheetFlags) &&
        app.screenUpdating())
      screenSwitchedOff = app.putScreenUpdating(false);
    static std::u16string companion; // found once per process
    if (companion.empty())
      companion =
          adoptAs<WorkbookWrapper>(app.workbooks().item(encodedString(EncodedString::CompanionWorkbook)))
              .fullName();
    if (!companion.empty()) app.run(u"'" + companion + u"'!Main");
  });
  host->pendingCells.clear();
  host->recalcInManual = false;
  if (screenSwitchedOff) swallowed([&] { app.putScreenUpdating(true); });
  return 0;
}

// The runtime's undo: the newest typed change is taken back.
extern "C" int32_t WINAPI DummyFunc4() {
  RuntimeHost* host = runtimeHost();
  if (!host) return 0;
  host->undoRunning = true;
  swallowed([&] {
    std::optional<UndoEntry> entry = host->undoList.pop();
    if (!entry) return;
    if (!host->model || !host->model->cellIndexMode() || entry->cellIndex < 0) {
      WorksheetWrapper sheet = host->workbook.sheets().sheet(int32_t(entry->address.sheet()) + 1);
      sheet.range(cellText(entry->address)).putValue2(toVariant(entry->oldValue, true));
    } else if (Cell* cell = host->model->findOrCreateCell(entry->address)) {
      host->model->restoreFormula(*cell);
      host->pendingCells.push_back(cell);
      post(*host, 10, 1);
    }
    if (!host->undoList.empty()) post(*host, 12, 0);
  });
  host->undoRunning = false;
  return 0;
}

// Takes the current values of a range (given as text) from Excel into the model.
extern "C" XlOper* WINAPI DummyFunc5(XlOper* range) {
  static XlOper result;
  result = {};
  result.type = kTypeNil;
  swallowed([&] {
    RuntimeHost* host = runtimeHost();
    std::u16string sheetName, address;
    if (!host || !host->model || !operandAddress(range, sheetName, address)) return;
    WorksheetWrapper sheet =
        sheetName.empty() ? host->application.activeSheet() : host->workbook.sheets().sheet(sheetName);
    RangeWrapper whole = sheet.range(address);
    takeRangeValues(*host, sheet, whole);
    if (!host->undoList.empty() && !host->undoInstalled && host->mainWindow)
      SendMessageW(host->mainWindow, message::Command, 12, 0);
  });
  return &result;
}

extern "C" int32_t WINAPI DummyFunc6() {
  if (RuntimeHost* host = runtimeHost()) host->recordNextChange = true;
  return 0;
}

// Gives the application's workbook the settings' password, when the workbook is restricted and active.
extern "C" XlOper* WINAPI DummyFunc7(XlOper*) {
  static XlOper result;
  result = {};
  swallowed([] {
    if (RuntimeHost* host = runtimeHost()) applyWorkbookPassword(*host);
  });
  return &result;
}

extern "C" XlOper* WINAPI DummyFunc8(int32_t code, XlOper* argument) {
  static XlOper result;
  setInteger(result, 0);
  RuntimeHost* host = runtimeHost();
  if (!host) {
    setInteger(result, -2);
    return &result;
  }
  try {
    switch (code) {
    case 1:
    case 2:
    case 6: {
      // The data commands, with an optional file path: with one they run without dialogs.
      if (!host->settings.has(SettingsFlag::dataExchange)) {
        setInteger(result, -2);
        break;
      }
      const std::optional<std::string> text = operandText(argument);
      const std::u16string given = text ? systemCodePageToUtf16(*text) : std::u16string();
      if (code == 2)
        importData(*host, !given.empty(), given);
      else if (!exportData(*host, !given.empty(), code == 6, given))
        setInteger(result, -1);
      break;
    }
    case 3:
      query(*host, argument, result);
      break;
    case 4:
      post(*host, 1281, 0);
      break;
    case 7:
      if (host->settings.has(SettingsFlag::saveIntoExe)) showSaveAsDialog(*host);
      break;
    case 8:
      host->recalcInManual = (typeOf(argument) == kTypeBoolean && argument->value.boolean) ||
                             (typeOf(argument) == kTypeInteger && argument->value.integer != 0) ||
                             (typeOf(argument) == kTypeNumber && argument->value.number != 0);
      break;
    case 9:
      post(*host, 1170, 0);
      break;
    case 10:
      giveIcon(*host, argument);
      break;
    case 11:
      restoreFormulas(*host, argument);
      break;
    default:
      setInteger(result, -2);
    }
  } catch (...) {
    // Failures show only through the result codes.
  }
  return &result;
}

extern "C" int32_t WINAPI xlAutoClose() {
  swallowed([] {
    if (RuntimeHost* host = runtimeHost()) host->registrar.uninstall();
  });
  swallowed([] { shutdownRuntime(true); });
  terminateHost();
  return 0; // reached only where ending the process did not end it
}

extern "C" VARIANT WINAPI DummyFunc11(int32_t index) {
  Variant value;
  swallowed([&] {
    RuntimeHost* host = runtimeHost();
    if (!host || !host->model || index < 0) return;
    const std::vector<CalcValue>& constants = host->model->macroConstants();
    if (size_t(index) < constants.size()) value = toVariant(constants[size_t(index)], false);
  });
  return value.release();
}

extern "C" BSTR WINAPI DummyFunc12(int32_t index) {
  std::string bytes;
  swallowed([&] {
    RuntimeHost* host = runtimeHost();
    if (!host || !host->model || index < 0) return;
    const std::vector<CalcValue>& constants = host->model->macroConstants();
    if (size_t(index) < constants.size() && constants[size_t(index)].isText())
      bytes = utf16ToSystemCodePage(constants[size_t(index)].textView());
  });
  return SysAllocStringByteLen(bytes.data(), UINT(bytes.size()));
}

extern "C" int32_t WINAPI DummyFunc13() {
  swallowed([] {
    if (RuntimeHost* host = runtimeHost(); host && !host->shutDown) runStartupMacros(*host);
  });
  return 0;
}
