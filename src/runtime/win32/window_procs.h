// The window procedures the runtime installs on Excel's windows and the dispatcher of the host
// messages 1152-1282 that the main window procedure takes out of Excel's message stream.
#pragma once

#include <windows.h>

namespace cwbk {

// Host message numbers.
namespace message {
inline constexpr UINT Attach = 1152;
inline constexpr UINT ControlEvent = 1153;
inline constexpr UINT Settings = 1155;
inline constexpr UINT Translations = 1156;
inline constexpr UINT StreamChunk = 1157;
inline constexpr UINT LanguageTexts = 1158;
inline constexpr UINT Language = 1159;
inline constexpr UINT AppPath = 1160;
inline constexpr UINT ImportPath = 1161;
inline constexpr UINT ExportPath = 1162;
inline constexpr UINT WorkbookFile = 1165;
inline constexpr UINT KeySource = 1166;
inline constexpr UINT Ready = 1167;
inline constexpr UINT Command = 1173;
inline constexpr UINT Unattended = 1178;
inline constexpr UINT StartupMacro = 1280;
inline constexpr UINT SheetChange = 1282;
inline constexpr UINT First = 1025;
inline constexpr UINT Last = 1282;
} // namespace message

// Returns true for the messages whose wParam is a buffer or text that the runtime frees: they are not
// accepted from the workbook's macros.
bool carriesBuffer(UINT msg);

// Runs a host message; returns whether it was handled and sets the reply.
bool dispatchHostMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& reply);

// The focus hold of the two watched child windows.
struct FocusHold {
  int state = 0;
  bool editHold = false;
  // Runs the hold machine with a window message number.
  void step(UINT msg);
};
FocusHold& focusHold();

LRESULT CALLBACK mainWindowProcedure(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK worksheetWindowProcedure(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK watchingProcedure1(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK watchingProcedure2(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);

} // namespace cwbk
