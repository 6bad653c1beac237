// The dialog hook and the hidden-main-window hook.
#include "runtime/win32/hooks.h"

#include <windows.h>

#include "platform/text_services.h"
#include "runtime/encoded_strings.h"
#include "runtime/win32/runtime_host.h"

namespace cwbk {
namespace {

constexpr int32_t kLearnedDialogs[] = {281, 282, 283};

// The marks of the dialog test: a control of class A, one of class B and two of the counted class.
struct DialogMarks {
  std::u16string classA = encodedString(EncodedString::DialogMarkClassA);
  std::u16string classB = encodedString(EncodedString::DialogMarkClassB);
  std::u16string counted = encodedString(EncodedString::DialogCountedClass);
  bool markA = false, markB = false;
  int count = 0;
  bool complete() const { return markA && markB && count == 2; }
};

BOOL CALLBACK markDialogControl(HWND window, LPARAM context) {
  auto& marks = *reinterpret_cast<DialogMarks*>(context);
  const std::u16string name = windowClassName(window);
  if (equalIgnoringCase(name, marks.classA)) marks.markA = true;
  if (equalIgnoringCase(name, marks.classB)) marks.markB = true;
  if (equalIgnoringCase(name, marks.counted)) ++marks.count;
  return marks.complete() ? FALSE : TRUE;
}

// Moves a dialog out of sight and asks it to close.
void closeDialog(HWND dialog, int top) {
  SetWindowPos(dialog, nullptr, -100, top, 1, 1, SWP_NOZORDER | SWP_NOACTIVATE);
  PostMessageW(dialog, WM_CLOSE, 0, 0);
}

void lookAtDialog(RuntimeHost& host, HWND dialog) {
  if (!equalIgnoringCase(windowClassName(dialog), encodedString(EncodedString::DialogClass))) return;
  wchar_t buffer[512] = {};
  const int n = GetWindowTextW(dialog, buffer, 512);
  const std::u16string title(reinterpret_cast<const char16_t*>(buffer), n > 0 ? size_t(n) : 0);

  // While Excel's events are off, a dialog that holds the marked controls is one the user must not see.
  if (!host.settings.has(SettingsFlag::saveIntoExe) && !host.application.isEmpty() &&
      !host.application.enableEvents()) {
    DialogMarks marks;
    EnumChildWindows(dialog, markDialogControl, reinterpret_cast<LPARAM>(&marks));
    if (marks.complete()) closeDialog(dialog, 10000);
  }
  if (host.learningTitles) {
    host.dialogTitles.insert(title);
    if (host.settings.has(SettingsFlag::keepHidden) && host.mainWindow) ShowWindow(host.mainWindow, SW_HIDE);
    closeDialog(dialog, -100);
  } else if (host.dialogTitles.count(title)) {
    closeDialog(dialog, -100);
  }
}

LRESULT CALLBACK dialogHookProcedure(int code, WPARAM wParam, LPARAM lParam) {
  if (RuntimeHost* host = runtimeHost(); host && code == HCBT_ACTIVATE) {
    try {
      lookAtDialog(*host, reinterpret_cast<HWND>(wParam));
    } catch (...) {
      // An Excel that cannot be asked leaves the dialog as it is.
    }
  }
  CallNextHookEx(nullptr, code, wParam, lParam);
  return 0;
}

LRESULT CALLBACK hiddenMainHookProcedure(int code, WPARAM wParam, LPARAM lParam) {
  RuntimeHost* host = runtimeHost();
  if (host && code == HCBT_ACTIVATE && host->settings.has(SettingsFlag::keepHidden) &&
      !host->excelInfo.visibleRequested && !host->application.isEmpty()) {
    const auto window = reinterpret_cast<HWND>(wParam);
    try {
      if (equalIgnoringCase(windowClassName(window), u"XLMAIN") && host->application.visible()) {
        ShowWindow(window, SW_HIDE);
        host->application.putVisible(false);
        return 1; // the activation is refused
      }
    } catch (...) {
    }
  }
  CallNextHookEx(nullptr, code, wParam, lParam);
  return 0;
}

} // namespace

void installDialogHook(RuntimeHost& host) {
  if (host.dialogHook) return;
  host.dialogHook = SetWindowsHookExW(WH_CBT, dialogHookProcedure, nullptr, GetCurrentThreadId());
  if (!host.dialogHook || !host.settings.has(SettingsFlag::restrictedWorkbook)) return;
  if (host.settings.has(SettingsFlag::keepHidden)) {
    host.dialogTitles.insert(encodedString(EncodedString::SuppressedTitle));
    return;
  }
  for (int32_t which : kLearnedDialogs) {
    struct Learning {
      bool& flag;
      explicit Learning(bool& f) : flag(f) { flag = true; }
      ~Learning() { flag = false; }
    } learning(host.learningTitles);
    host.application.dialog(which).show();
  }
}

void installHiddenMainHook(RuntimeHost& host) {
  if (!host.hiddenMainHook)
    host.hiddenMainHook = SetWindowsHookExW(WH_CBT, hiddenMainHookProcedure, nullptr, GetCurrentThreadId());
}

void removeHooks(RuntimeHost& host) {
  for (HHOOK* hook : {&host.dialogHook, &host.hiddenMainHook}) {
    if (*hook) UnhookWindowsHookEx(*hook);
    *hook = nullptr;
  }
}

} // namespace cwbk
