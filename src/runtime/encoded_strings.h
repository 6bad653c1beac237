// The runtime's fixed texts that are kept out of the module's readable strings: window class names,
// section names, captions. Each is stored XOR-encoded at compile time and decoded when read by number.
#pragma once

#include <cstdint>
#include <string>

namespace cwbk {

enum class EncodedString : uint32_t {
  MainWindowClass,    // the class of Excel's main frame window
  WatchedChildClass1, // the first child window whose focus changes are watched
  WatchedChildClass2, // the second one
  ErrorCaption,       // the caption of the message box that reports a failure
  KeySection1,        // the executable's section hashed first into the section key
  KeySection2,        // the section hashed after it
  DialogClass,        // the class of Excel's dialogs, which the dialog hook looks at
  DialogMarkClassA,   // a control class whose presence marks a dialog to close (mark A)
  DialogMarkClassB,   // the second marking class (mark B)
  DialogCountedClass, // the control class counted: two of them complete the marks
  SuppressedTitle,    // the one dialog title suppressed while Excel's main window is kept hidden
  UndoText,           // the text of the runtime's entry in Excel's Undo command
  UndoProcedure,      // the procedure Excel's Undo runs: the runtime's undo entry point
  QueryUnattended,    // the query keys of the macros' command entry: the unattended value,
  QueryAppPath,       // the application executable's path,
  QueryAppName,       // the application's name
  QueryAppVersion,    // and its version
  CompanionWorkbook,  // the workbook whose Main macro DummyFunc3 runs
  ToolsMacro,         // the macro that the Tools menu's custom control runs (after "!")
  NoticeCaption,      // the caption of a notice to the user raised in a menu click
  AboutProductLine,   // the About box's product information line
  AboutOkCaption,     // the About box's button
  WorkbookResourceType, // the resource type under which a saved executable carries the workbook file
  ReadOnlyMessage,      // the warning that the application's executable is read-only (with its path)
  ReadOnlyCaption,      // and its caption
  PasswordProvider,     // the password encryption options set before the workbook's password:
  PasswordAlgorithm,    // the provider and the algorithm
  RecalcMacroStart,     // a macro run through Excel whose name starts with this (11 characters)
  RecalcMacroEnd,       // and ends with this (10 characters) switches recalculation in manual mode on
  CloseCaption,       // the caption of the question on closing with unexported data (then the app name)
  CloseQuestion,      // that question
  SaveWarning,        // the text shown when the workbook is to be saved by Excel (%s: the app name)
  Count,
};

// The registration's own texts, by number: 0-9 the stub module's procedures, 10 and 11 the two keys
// assigned to the recalculation request, 13-18 the names Excel knows some procedures by (the others
// keep their procedure's name), and the stub module's name.
constexpr int kRegistrarStubModule = 19;
std::u16string registrarString(int number);

// Returns the decoded text of a table entry; the empty text for a number outside the table.
std::u16string encodedString(EncodedString which);

// Returns an entry as 8-bit text (the table's texts are ASCII).
std::string encodedAscii(EncodedString which);

} // namespace cwbk
