// The two CBT hooks on Excel's user-interface thread: the dialog hook, which closes Excel dialogs that
// the application suppresses (by title, learned at attach), and the hook that keeps Excel's main window
// hidden while the last value set into Visible is false.
#pragma once

namespace cwbk {

struct RuntimeHost;

// Installs the dialog hook once; with restrictedWorkbook set it then learns the titles to suppress: the
// one fixed title while the main window is kept hidden, otherwise the titles of three of Excel's
// built-in dialogs, shown one after the other while the hook records and closes them. The learning
// flag is cleared on every path; a failing dialog's exception reaches the caller.
void installDialogHook(RuntimeHost& host);
// Installs the hook that keeps the main window hidden, once.
void installHiddenMainHook(RuntimeHost& host);
// Unhooks both hooks that are installed.
void removeHooks(RuntimeHost& host);

} // namespace cwbk
