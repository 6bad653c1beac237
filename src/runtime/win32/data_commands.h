// The user's data commands: "Import Data", "Export Data" and "Export Collected Data", from the menu
// (with their dialogs) and from the workbook's macros (with a file path, without dialogs).
#pragma once

#include <string>

namespace cwbk {

struct RuntimeHost;

// Import: from the dialog, or silently from the given path. Reads the data file, asks before taking
// another application's data (not when silent), applies the records to the model and into Excel,
// recalculates and says how it went. Returns whether the data was applied.
bool importData(RuntimeHost& host, bool silent, std::u16string path);

// Export: directly to the given path (no dialog, no message), or through the save dialog. Writes the
// data cells (collected: the cells the user changed too) into a data file. Returns whether the file
// was written; the result is kept as the last export's.
bool exportData(RuntimeHost& host, bool direct, bool collected, std::u16string path);

// A path ending in ".exe" (exactly) with that ending replaced by ".dat"; any other path as it is.
std::u16string dataFilePath(std::u16string path);

} // namespace cwbk
