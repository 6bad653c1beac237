// The test-only exports of the testing build of the module (DaverirIzaTesting.dll); the product
// module exports none of them. The end-to-end host reads the runtime's state through them and makes
// the message box and the end of the process be recorded instead of performed.
#pragma once

#include <windows.h>

#include <stdint.h>

extern "C" {

struct RuntimeTestState {
  uint32_t size; // set by the caller to sizeof(RuntimeTestState)
  int32_t mainWindowFound;
  int32_t watchedChildren; // how many of the two watched children were subclassed
  int32_t applicationAttached;
  int32_t connected;
  int32_t shutDown;
  int32_t settingsArrived;
  uint32_t settingsFlags;
  uint32_t appVersion;
  int32_t keyLength;
  int32_t streamEnded;
  int32_t modelLoaded; // a model exists and holds at least one sheet
  int32_t modelPrepared;
  int32_t majorVersion;
  int32_t sheetWindows;
  int32_t maxRow;
  uint8_t languageId;
  int32_t adapterConnected; // the adapter is the model's host and the evaluation services
  int32_t dialogHook;
  int32_t hiddenMainHook;
  int32_t learningTitles;
  int32_t dialogTitles; // how many titles the dialog hook closes
  int32_t appIcon;
  int32_t visibleRequested;
  int32_t holdState;
  int32_t editHold;
  char16_t appName[64];
  char16_t workbookFile[260];
  char16_t startupMacro1[64];
};

// Records a message box (style: MessageBox's icon and button flags) and answers the button chosen.
typedef int(RuntimeTestMessageBox)(HWND owner, const char16_t* text, const char16_t* caption, unsigned style);
typedef void(RuntimeTestEndProcess)(unsigned code);

// Replaces the message box and the end of the process by the caller's recorders.
typedef void(RuntimeTestSetEffectsFn)(RuntimeTestMessageBox* messageBox, RuntimeTestEndProcess* endProcess);
typedef bool(RuntimeTestChooseFile)(HWND owner, bool save, const char16_t* filter, const char16_t* title,
                                    char16_t* path, unsigned capacity);
typedef bool(RuntimeTestChooseColor)(HWND owner, unsigned* rgb);
// Replaces the file and colour dialogs by the caller's stand-ins.
typedef bool(RuntimeTestStartProcess)(const char16_t* program, const char16_t* commandLine);
typedef void(RuntimeTestSetStarterFn)(RuntimeTestStartProcess* startProcess);
typedef void(RuntimeTestSetDialogsFn)(RuntimeTestChooseFile* chooseFile, RuntimeTestChooseColor* chooseColor);
// Fills the state; returns 0 when the module has no host.
typedef int32_t(RuntimeTestQueryFn)(RuntimeTestState* state);
// Writes a model cell's value as text (numbers shortest round-trip, TRUE/FALSE, error literals) into
// text (capacity units, terminated); returns its length, or -1 when the model holds no such cell.
// Writes the name shown for a function number (terminated); returns its length, or -1 without one.
typedef int32_t(RuntimeTestFunctionNameFn)(int32_t number, char16_t* text, int32_t capacity);
typedef int32_t(RuntimeTestCellTextFn)(uint32_t sheet, uint32_t row, uint32_t column, char16_t* text,
                                       int32_t capacity);
}
