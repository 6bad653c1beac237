// The runtime's replacements of Excel members: Excel's own Calculate, Save, SaveAs, Quit and the other
// chosen members reach the runtime when they are called on the application's workbook (or on Excel
// itself), and behave as Excel's for every other workbook.
#pragma once

#include <oaidl.h>

namespace cwbk {

struct RuntimeHost;

// Registers the members (the settings decide the workbook-protection ones) and patches the function
// tables of the Application, the application's workbook and its sheets. Runs once per attach.
void interceptExcel(RuntimeHost& host);
// Patches the function table of another object as it is met (a chart, a range); harmless for an object
// of an interface that is not registered or already patched.
void interceptObject(IDispatch* object);
// Puts Excel's functions back into every patched slot and forgets the table; safe to call again.
void releaseInterceptions();

} // namespace cwbk
