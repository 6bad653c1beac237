// The main window procedure and the host message dispatcher, the worksheet window procedure and the
// watching procedures with their hold machine.
#include "runtime/win32/window_procs.h"

#include <exception>
#include <string>

#include "excel/com_error.h"
#include "formula/compiled_workbook.h"
#include "formula/function_table.h"
#include "functions/logical.h"
#include "platform/utf8.h"
#include "runtime/encoded_strings.h"
#include "runtime/language_texts.h"
#include "runtime/pe_sections.h"
#include "runtime/win32/about_box.h"
#include "runtime/win32/app_events.h"
#include "runtime/win32/data_commands.h"
#include "runtime/win32/host_effects.h"
#include "runtime/win32/payload.h"
#include "runtime/win32/recalculation_driver.h"
#include "runtime/win32/runtime_host.h"
#include "runtime/win32/save_executable.h"
#include "values/conversions.h"
#include "values/date_serial.h"

namespace cwbk {
namespace {

constexpr LRESULT kCommandReply = 1911;
constexpr double kTenthOfASecond = 1.1574074074074074e-6; // in days
constexpr size_t kMaxPathUnits = 32768;

// Reads the file at a path whole; empty when it cannot be read.
std::vector<uint8_t> readFile(const std::u16string& path) {
  std::vector<uint8_t> bytes;
  HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < (1LL << 30)) {
    bytes.resize(size_t(size.QuadPart));
    DWORD read = 0;
    if (!ReadFile(file, bytes.data(), DWORD(bytes.size()), &read, nullptr)) read = 0;
    bytes.resize(read);
  }
  CloseHandle(file);
  return bytes;
}

// The section key of the executable at a path: the digest of its two key sections; the key stays as
// it was when the file or a section is missing.
void deriveSectionKey(RuntimeHost& host, const std::u16string& path) {
  const std::vector<uint8_t> image = readFile(path);
  auto first = findSection(image, encodedAscii(EncodedString::KeySection1));
  auto second = findSection(image, encodedAscii(EncodedString::KeySection2));
  if (first && second) host.key = SectionKey::fromSections(*first, *second);
}

void applySettings(RuntimeHost& host, std::span<const uint8_t> block) {
  AppSettings settings = parseAppSettings(block);
  if (settings.perSheetFlags && !settings.perSheetFlags->empty())
    host.excelInfo.perSheetFlags = *settings.perSheetFlags;
  host.settings = std::move(settings);
  host.settingsArrived = true;
  // INFO("appname") and INFO("appver") answer with the application's own name and version; the
  // workbook's file stays Excel's to tell (CELL("filename") goes to it).
  setApplicationInfo(ApplicationInfo{host.settings.AppName, host.settings.appVersionText(), {}, {}});
}

// The end of the stream: loads the model (an empty one when loading fails).
void endOfStream(RuntimeHost& host) {
  host.stream.endOfStream(host.key, host.model);
  if (host.model) host.model->setCellIndexMode(host.settings.has(SettingsFlag::cellIndexMode));
  connectModel(host);
}

// The ready message: the workbook-load step (the adapter writes what the first evaluation changed into
// Excel), then the start-up macros are scheduled, or Excel kept hidden for the application is shown.
void ready(RuntimeHost& host) {
  if (host.model && !host.modelPrepared) {
    host.modelPrepared = true;
    loadWorkbookStep(host);
  }
  ApplicationWrapper& app = host.application;
  if (app.isEmpty()) return;
  if (!host.startupMacro1.empty() || !host.startupMacro2.empty()) {
    const bool date1904 = host.model && host.model->state().date1904;
    app.onTime(currentDateTimeSerial(date1904) + kTenthOfASecond, u"DummyFunc13");
  } else if (host.settings.has(SettingsFlag::keepHidden) && host.unattended == 0 && !app.visible()) {
    app.putVisible(true);
    host.excelInfo.visibleRequested = true;
  }
}

void runCommand(RuntimeHost& host, WPARAM command, LPARAM lParam) {
  if (host.shutDown) return;
  switch (command) {
  case 2:
    runStartupMacros(host);
    break;
  case 10:
    recalculateNow(host, lParam != 0);
    break;
  case 12:
    installUndoEntry(host);
    break;
  case 13:
    shutdownRuntime(true);
    terminateHost();
    break;
  case 1168:
  case 1174:
    exportData(host, false, command == 1174, host.exportPath);
    break;
  case 1169:
    importData(host, false, host.importPath);
    break;
  case 1170:
    showAbout(host);
    break;
  case 1281:
    if (host.settings.has(SettingsFlag::saveIntoExe)) saveIntoExecutable(host);
    break;
  default:
    break;
  }
}

// Runs a handled message's effect; the payload (when the message has one) is freed on return.
LRESULT runEffect(RuntimeHost& host, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
  case message::Settings:
  case message::Translations:
  case message::StreamChunk:
  case message::LanguageTexts: {
    MessagePayload payload(wParam, lParam, 1);
    if (host.shutDown) return 0;
    if (msg == message::StreamChunk && payload.none()) {
      endOfStream(host);
    } else if (payload.accepted()) {
      if (msg == message::Settings) applySettings(host, payload.bytes());
      if (msg == message::StreamChunk) {
        try {
          host.stream.addChunk(payload.bytes(), host.key);
        } catch (...) {
          // A chunk that fails only costs its buffer.
        }
      }
      if (msg == message::Translations)
        applyFunctionNameTranslations(payload.bytes(), languageName(host.languageId), translateFunctionName);
      if (msg == message::LanguageTexts) applyLanguageTexts(payload.bytes(), host.languageId);
    }
    return 0;
  }
  case message::AppPath:
  case message::ImportPath:
  case message::ExportPath:
  case message::WorkbookFile:
  case message::KeySource: {
    MessagePayload payload(wParam, lParam, 2);
    if (host.shutDown || !payload.accepted()) return 0;
    std::u16string text = payload.text();
    if (text.size() > kMaxPathUnits) return 0;
    if (msg == message::AppPath) {
      setApplicationPath(host, std::move(text));
    } else if (msg == message::ImportPath) {
      host.importPath = std::move(text);
    } else if (msg == message::ExportPath) {
      host.exportPath = std::move(text);
    } else if (msg == message::WorkbookFile) {
      host.workbookFile = std::move(text);
    } else {
      host.moduleFile = text;
      deriveSectionKey(host, text);
    }
    return 0;
  }
  case message::Attach: {
    if (host.shutDown) return 0;
    std::u16string macro;
    if (lParam) macro = terminatedTextAt(lParam).value_or(std::u16string());
    attachApplication(reinterpret_cast<IUnknown*>(wParam), macro);
    return 0;
  }
  case message::Language:
    if (wParam) host.notifyThread = DWORD(wParam);
    if (lParam & 0xFF) host.languageId = uint8_t(lParam & 0xFF);
    return 0;
  case message::Ready:
    if (!host.shutDown) ready(host);
    return 0;
  case message::Command:
    runCommand(host, wParam, lParam);
    return kCommandReply;
  case message::SheetChange:
    if (!host.shutDown)
      handleSheetChange(host, reinterpret_cast<IDispatch*>(wParam), reinterpret_cast<IDispatch*>(lParam));
    return 0;
  case message::StartupMacro:
    if (wParam == 1 || wParam == 2) {
      std::u16string name = terminatedTextAt(lParam).value_or(std::u16string());
      (wParam == 1 ? host.startupMacro1 : host.startupMacro2) = std::move(name);
    }
    return 0;
  case message::ControlEvent:
    if (!host.shutDown && wParam)
      controlEvent(host, terminatedTextAt(LPARAM(wParam)).value_or(std::u16string()));
    return 0;
  default:
    return 0;
  }
}

bool isListed(UINT msg) {
  switch (msg) {
  case message::Attach:
  case message::ControlEvent:
  case message::Settings:
  case message::Translations:
  case message::StreamChunk:
  case message::LanguageTexts:
  case message::Language:
  case message::AppPath:
  case message::ImportPath:
  case message::ExportPath:
  case message::WorkbookFile:
  case message::KeySource:
  case message::Ready:
  case message::Command:
  case message::StartupMacro:
  case message::SheetChange:
    return true;
  default:
    return false;
  }
}

std::u16string failureText(const std::exception& e) {
  if (auto* com = dynamic_cast<const ComError*>(&e); com && !com->description().empty())
    return com->description();
  return utf8ToUtf16Replacing(e.what());
}

// The failure path of a handler: its text in a message box, then the shutdown that leaves Excel
// running.
void handlerFailed(const std::u16string* text) {
  try {
    if (text) reportFailure(*text);
  } catch (...) {
  }
  shutdownRuntime(false);
}

LRESULT passOn(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT fallback) {
  RuntimeHost* host = runtimeHost();
  if (host && host->mainWindowProc) return CallWindowProcW(host->mainWindowProc, window, msg, wParam, lParam);
  return fallback;
}

void enableEventsOnClose(RuntimeHost* host) {
  if (!host || host->shutDown || host->application.isEmpty() || host->settings.has(SettingsFlag::saveIntoExe))
    return;
  try {
    if (!host->application.getBoolean(dispid::application::EnableEvents))
      host->application.putBoolean(dispid::application::EnableEvents, true);
  } catch (...) {
  }
}

} // namespace

bool carriesBuffer(UINT msg) {
  return (msg >= message::Settings && msg <= message::LanguageTexts) ||
         (msg >= message::AppPath && msg <= message::ExportPath) || msg == message::WorkbookFile ||
         msg == message::KeySource;
}

bool dispatchHostMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& reply) {
  RuntimeHost* host = runtimeHost();
  reply = 0;
  if (msg == message::Unattended) {
    if (host) host->unattended = wParam;
    return false; // goes on to Excel
  }
  if (!host || !isListed(msg)) return false;
  // A recalculation asked for while one runs goes on to Excel.
  if (msg == message::Command && wParam == 10 && host->calcBusy) return false;
  try {
    reply = runEffect(*host, msg, wParam, lParam);
  } catch (const std::exception& e) {
    std::u16string text;
    try {
      text = failureText(e);
    } catch (...) {
    }
    handlerFailed(&text);
  } catch (...) {
    handlerFailed(nullptr);
  }
  return true;
}

void FocusHold::step(UINT msg) {
  if (state == 0 && msg == WM_SETFOCUS) {
    state = 1;
  } else if (state == 1 && msg == WM_WINDOWPOSCHANGING) {
    state = 2;
    editHold = true;
  } else if (state == 2 && msg == WM_KILLFOCUS) {
    state = 3;
  } else if (state == 3 && msg == WM_WINDOWPOSCHANGING) {
    state = 0;
    editHold = false;
  } else if (state == 3 && msg == WM_SETFOCUS) {
    state = 2;
  }
}

FocusHold& focusHold() {
  static FocusHold hold;
  return hold;
}

LRESULT CALLBACK mainWindowProcedure(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) enableEventsOnClose(runtimeHost());
  LRESULT reply = 0;
  if (msg >= message::First && msg <= message::Last && dispatchHostMessage(msg, wParam, lParam, reply))
    return reply;
  return passOn(window, msg, wParam, lParam, reply);
}

LRESULT CALLBACK worksheetWindowProcedure(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  RuntimeHost* host = runtimeHost();
  if (msg == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) enableEventsOnClose(host);
  if (!host) return DefWindowProcW(window, msg, wParam, lParam);
  auto it = host->sheetWindowProcs.find(window);
  if (it == host->sheetWindowProcs.end() || !it->second) return 0;
  return CallWindowProcW(it->second, window, msg, wParam, lParam);
}

namespace {

LRESULT watching(const SubclassedWindow RuntimeHost::*slot, bool positions, HWND window, UINT msg,
                 WPARAM wParam, LPARAM lParam) {
  if (msg == WM_SETFOCUS || msg == WM_KILLFOCUS ||
      (positions && (msg == WM_WINDOWPOSCHANGING || msg == WM_WINDOWPOSCHANGED)))
    focusHold().step(msg);
  RuntimeHost* host = runtimeHost();
  WNDPROC previous = host ? (host->*slot).previous : nullptr;
  return previous ? CallWindowProcW(previous, window, msg, wParam, lParam)
                  : DefWindowProcW(window, msg, wParam, lParam);
}

} // namespace

LRESULT CALLBACK watchingProcedure1(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  return watching(&RuntimeHost::watchedChild1, true, window, msg, wParam, lParam);
}

LRESULT CALLBACK watchingProcedure2(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  return watching(&RuntimeHost::watchedChild2, false, window, msg, wParam, lParam);
}

} // namespace cwbk
