// The two effects of the runtime that reach beyond Excel's process state: the message box that reports
// a failure and the end of the process. Both go through this table so that the test build of the
// module (and only it) can record them instead; the product never changes the table.
#pragma once

#include <windows.h>

#include <string>

namespace cwbk {

struct HostEffects {
  // Shows a message box owned by a window (or none) with the text, the caption and the MessageBox
  // style (icon and buttons); returns the button chosen (IDOK, IDYES, IDNO, ...).
  int (*messageBox)(HWND owner, const char16_t* text, const char16_t* caption, unsigned style);
  // Ends the process with the exit code.
  void (*endProcess)(unsigned code);
  // The system's open or save dialog with a filter (pairs of a description and a pattern, each
  // terminated, the list ended by an empty text) and a title; path holds the preset name on entry and
  // the chosen one on return (capacity units, terminated). Returns whether a file was chosen.
  bool (*chooseFile)(HWND owner, bool save, const char16_t* filter, const char16_t* title, char16_t* path,
                     unsigned capacity);
  // The system's colour dialog (solid colours, not opened to its full size, the runtime's 16 custom
  // colours); rgb holds the chosen colour (0x00BBGGRR) on return. Returns whether one was chosen.
  bool (*chooseColor)(HWND owner, unsigned* rgb);
  // Starts a program with a command line (the program's path first) without waiting for it; returns
  // whether it started.
  bool (*startProcess)(const char16_t* program, const char16_t* commandLine);
};

HostEffects& hostEffects();

// The file dialogs' filters: user data files, and executables for "Save As".
inline constexpr char16_t kDataFileFilter[] = u"Data Files\0*.dat\0";
inline constexpr char16_t kExecutableFilter[] = u"Executable Files\0*.exe;\0";

// Shows a failure text with the runtime's caption through the table (no owner, the warning icon).
void reportFailure(const std::u16string& text);
// Shows a message box through the table; returns the button chosen.
int showMessage(HWND owner, const std::u16string& text, const std::u16string& caption, unsigned style);

} // namespace cwbk
