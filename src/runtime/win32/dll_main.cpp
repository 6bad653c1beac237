// The module's entry point and DummyFunc9, the export through which the workbook's macros send host
// messages to Excel's main window.
#include <windows.h>

#include "runtime/win32/runtime_host.h"
#include "runtime/win32/window_procs.h"

using namespace cwbk;

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  switch (reason) {
  case DLL_PROCESS_ATTACH:
    try {
      constructHost();
      attachProcess(module);
    } catch (...) {
      destroyHost();
      return FALSE;
    }
    return TRUE;
  case DLL_PROCESS_DETACH:
    // `reserved` is not null when the process is ending rather than unloading the module.
    try {
      detachProcess(reserved != nullptr);
    } catch (...) {
    }
    destroyHost(reserved != nullptr);
    return TRUE;
  default:
    return TRUE;
  }
}

// Forwards a message to Excel's main window: sent, so that the reply comes back. A macro could name
// any address as a buffer for the runtime to read and free, so the buffer messages are refused; the
// control event (posted, with a text the runtime would have to copy first) is refused until the event
// handling takes it.
extern "C" int32_t WINAPI DummyFunc9(int32_t msg, int32_t wParam, int32_t lParam) {
  RuntimeHost* host = runtimeHost();
  const UINT number = UINT(msg);
  if (!host || !host->mainWindow || carriesBuffer(number) || number == message::ControlEvent) return 0;
  return int32_t(SendMessageW(host->mainWindow, number, WPARAM(uint32_t(wParam)), LPARAM(lParam)));
}
