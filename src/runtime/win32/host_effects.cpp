// The product's effects: the system's message box and ExitProcess.
#include "runtime/win32/host_effects.h"

#include <windows.h>

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

} // namespace

HostEffects& hostEffects() {
  static HostEffects effects{systemMessageBox, systemEndProcess};
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
