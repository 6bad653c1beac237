// Saving the user's work into an executable: "Save" writes into the application's own executable,
// "Save As" into a new one. The workbook file (compressed, with its tag) and the compiled workbook
// stream with the current values (cut into sections, combined with the section key) are written as
// resources of the target.
#pragma once

#include <string>

namespace cwbk {

struct RuntimeHost;

// Saves the workbook in Excel and writes both kinds of resources into the application's executable.
// Returns false when nothing or not everything was written.
bool saveIntoExecutable(RuntimeHost& host);
// Prepares a new executable at `target` (".exe" appended when missing) and saves into it.
bool saveAsExecutable(RuntimeHost& host, std::u16string target);
// The "Save As" file dialog; saves into the chosen executable.
void showSaveAsDialog(RuntimeHost& host);
// Writes the workbook file as Excel last saved it and the current stream into the application's
// executable, without asking Excel to save (the workbook may be closed already).
bool writeIntoExecutable(RuntimeHost& host);
// The last step of shutdown: starts the application's executable with the clean-up options, the
// workbook file and the module the host named, without waiting.
void requestCleanup(RuntimeHost& host);
// Sets the settings' workbook password on the application's workbook when it is the active one and
// the settings restrict the workbook.
void applyWorkbookPassword(RuntimeHost& host);

} // namespace cwbk
