// The road of a change inside Excel: the sheet-change message brings the values the user typed into
// the model, the recalculation driver recalculates what depends on them (the adapter writes every
// changed value into Excel) and lets Excel recalculate its own cells, with Excel's events and screen
// state put back on every path; the workbook-load step of the ready message; the undo entry.
#pragma once

#include <oaidl.h>

namespace cwbk {

struct RuntimeHost;
class RangeWrapper;
class WorksheetWrapper;

// The sheet-change road (message 1282) for the changed sheet and range.
void handleSheetChange(RuntimeHost& host, IDispatch* sheet, IDispatch* range);
// The recalculation driver (command 10): the pending cells and the volatile ones; calculateAll also
// refreshes the data tables, and is taken when Excel calculates automatically.
void recalculateNow(RuntimeHost& host, bool calculateAll);
// Takes the values of every area of a range on a sheet into the model, each in the range form of the
// intake, reading Excel only inside the sheet's used range (a whole column or sheet costs what the sheet
// holds); returns whether cells joined the pending list.
bool takeRangeValues(RuntimeHost& host, WorksheetWrapper& sheet, RangeWrapper& range);
// Command 12: with an undo entry recorded, puts the runtime's entry into Excel's Undo command.
void installUndoEntry(RuntimeHost& host);
// The workbook-load step of the ready message: the model takes Excel's iteration settings and is
// prepared (linked, ordered, first evaluated) with Excel's events and screen updating off.
void loadWorkbookStep(RuntimeHost& host);

} // namespace cwbk
