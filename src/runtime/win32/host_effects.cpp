// The product's effects: the system's message box and ExitProcess.
#include "runtime/win32/host_effects.h"

#include <windows.h>

#include <commdlg.h>

#include "runtime/encoded_strings.h"

namespace cwbk {
namespace {

int systemMessageBox(HWND owner, const char16_t* text, const char16_t* caption, unsigned style) {
  return MessageBoxW(owner, reinterpret_cast<const wchar_t*>(text), reinterpret_cast<const wchar_t*>(caption),
                     style);
}

void systemEndProcess(unsigned code) {
  ExitProcess(code);
}

bool systemChooseFile(HWND owner, bool save, const char16_t* filter, const char16_t* title, char16_t* path,
                      unsigned capacity) {
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = reinterpret_cast<const wchar_t*>(filter);
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = reinterpret_cast<wchar_t*>(path);
  dialog.nMaxFile = capacity;
  dialog.lpstrTitle = reinterpret_cast<const wchar_t*>(title);
  dialog.lpstrDefExt = nullptr;
  if (save) {
    dialog.Flags = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST;
    return GetSaveFileNameW(&dialog) != 0;
  }
  dialog.Flags = OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
  return GetOpenFileNameW(&dialog) != 0;
}

bool systemChooseColor(HWND owner, unsigned* rgb) {
  static COLORREF custom[16] = {0xCC99FF, 0x99CCFF, 0x99FFFF, 0xCCFFCC, 0xFFFFCC, 0xFFCC99,
                                0xFF99CC, 0xFFFFFF, 0xFF00FF, 0x00CCFF, 0x00FFFF, 0x00FF00,
                                0xFFFF00, 0xFFCC00, 0x663399, 0xC0C0C0};
  CHOOSECOLORW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = owner;
  dialog.lpCustColors = custom;
  dialog.Flags = CC_SOLIDCOLOR | CC_PREVENTFULLOPEN;
  if (!ChooseColorW(&dialog)) return false;
  *rgb = dialog.rgbResult;
  return true;
}

bool systemStartProcess(const char16_t* program, const char16_t* commandLine) {
  std::u16string line(commandLine); // CreateProcessW may write into its command line
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(reinterpret_cast<const wchar_t*>(program), reinterpret_cast<wchar_t*>(line.data()),
                      nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

} // namespace

HostEffects& hostEffects() {
  static HostEffects effects{systemMessageBox, systemEndProcess, systemChooseFile, systemChooseColor,
                             systemStartProcess};
  return effects;
}

void reportFailure(const std::u16string& text) {
  const std::u16string caption = encodedString(EncodedString::ErrorCaption);
  hostEffects().messageBox(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONEXCLAMATION);
}

int showMessage(HWND owner, const std::u16string& text, const std::u16string& caption, unsigned style) {
  return hostEffects().messageBox(owner, text.c_str(), caption.c_str(), style);
}

} // namespace cwbk
