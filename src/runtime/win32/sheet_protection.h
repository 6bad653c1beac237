// The protection that the application's settings give the workbook and its sheets: taken off before
// the model is prepared, put on after it, and put back on the sheets that a recalculation unprotected
// to write into them.
#pragma once

#include <cstdint>
#include <string_view>

#include "excel/excel_objects.h"

namespace cwbk {

struct RuntimeHost;
struct SheetFlagTable;

// Protects a sheet as its flag word says (the low 24 bits): activated first, then Protect with the
// password and the permissions (the short form for an Excel older than version 10), then the
// selection rule.
void protectSheet(int32_t majorVersion, WorksheetWrapper& sheet, std::string_view password, uint32_t flags);

// Before the model is prepared: unprotects every protected worksheet, the active one last, when the
// settings carry a per-sheet flag table. A sheet that fails is skipped.
void unprotectSheetsForLoad(RuntimeHost& host);
// After the model is prepared: protects the workbook (structure and windows) and every sheet whose
// entry has flags, the active sheet last; the selection and Excel's events are put back.
void protectForLoad(RuntimeHost& host);
// After a recalculation: protects again each sheet whose entry the adapter cleared in `copy` to write
// into it, the active sheet (1-based position) last; a sheet that fails is skipped.
void reprotectSheets(RuntimeHost& host, const SheetFlagTable& copy, int32_t activePosition);

} // namespace cwbk
