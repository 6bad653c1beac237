// Running a workbook outside the host: loading any input (stream, chunks, .xlsx, text workbook),
// calculating it, changing inputs, finding the cells the engine cannot compute, and checking computed
// values against the values a source workbook cached.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/source_workbook.h"
#include "compiler/workbook_compiler.h"
#include "formula/compiled_workbook.h"

namespace cwbk::compiler {

// A workbook ready to run, with the source it was compiled from when there was one.
struct LoadedWorkbook {
  std::unique_ptr<CompiledWorkbook> workbook = std::make_unique<CompiledWorkbook>();
  std::optional<SourceWorkbook> source;
  CompileReport report;
};

// Returns the workbook in a file or folder: a compiled stream ("CWBK"), one compressed block or a
// folder of blocks (the chunks the host sends, in name order), an .xlsx file or a text workbook; the
// last two are compiled on the fly through the stream, as the host would receive them. Throws
// SourceError or CompileError with a one-line message. Native builds only (workbook_files.cpp, with the
// .xlsx reader).
LoadedWorkbook loadAnyWorkbook(const std::string& path, const CompileOptions& options = {});

// Prepares the loaded workbook and calculates every formula from its inputs.
void calculateAll(CompiledWorkbook& workbook);

// Returns the value that `--set` text stands for: a number, TRUE/FALSE (any case), an error literal,
// "quoted text" (doubled quotes inside), nothing for empty text, and any other text as written.
CalcValue parseInputValue(std::string_view text);

// Returns the address of a cell name ("Sheet1!A1", "'My sheet'!B2", "A1" on the first sheet), or nothing.
std::optional<CellAddress> parseCellName(const CompiledWorkbook& workbook, std::string_view text);
// Returns the area of a cell or range name ("Sheet1!A1:B3"), or nothing.
std::optional<Area> parseAreaName(const CompiledWorkbook& workbook, std::string_view text);
// Returns "Sheet1!" for a sheet index, quoted when the name needs it ("'My sheet'!").
std::string sheetPrefix(const CompiledWorkbook& workbook, uint32_t sheet);
// Returns "Sheet1!A1" for an address, the sheet quoted when its name needs it.
std::string addressName(const CompiledWorkbook& workbook, CellAddress address);

// Applies the changes through the model (each cell takes its value and counts as changed) and
// recalculates what depends on them. Throws SourceError for a cell that holds a formula.
void applyChanges(CompiledWorkbook& workbook, const std::vector<std::pair<CellAddress, CalcValue>>& changes);

// The cells whose value depends on a function the engine does not compute (no implementation; TEXT
// and LINEST when the evaluation context has no function service), on a formula left to the host, or
// on another workbook; each with the reason. With
// changingValues, also the cells whose value depends on a function that gives a new value in every
// calculation (RAND, RANDBETWEEN, NOW, TODAY).
std::map<const Cell*, std::string> notComputedCells(const CompiledWorkbook& workbook,
                                                    bool changingValues = false);

// Returns the value as the tool prints it: numbers in their shortest exact form, TRUE/FALSE, error
// texts, text as it is; empty text for an empty value.
std::string valueText(const CalcValue& value);
// Returns the value as a cell shows it through a number format code: a number through the code
// ("General" in eleven characters, as a cell of the standard width), a text through the code's text
// section, the rest as valueText; "########" for a number the code cannot show (a negative date).
std::string formattedText(const CalcValue& value, std::u16string_view code, bool date1904);
// Returns the value as JSON: a number, string or boolean, null for empty, {"error": "#N/A"} for an error.
std::string valueJson(const CalcValue& value);
// Returns text as a JSON string literal.
std::string jsonString(std::string_view text);

struct CheckOptions {
  double tolerance = 1e-9; // relative; numbers below 1 in size compare within this absolute distance
};

struct CheckMismatch {
  std::string cell;
  std::string formula;
  std::string expected;
  std::string got;
};

struct CheckResult {
  size_t passed = 0;
  size_t failed = 0;
  size_t skipped = 0;
  std::vector<CheckMismatch> mismatches;
};

// Compares the value of every formula cell of the source (array members included) with the value the
// source cached. Cells without a cached value, data table results, cells that depend on what the
// engine does not compute and cells whose value changes in every calculation are skipped.
CheckResult checkAgainstCache(const SourceWorkbook& source, CompiledWorkbook& workbook,
                              const CheckOptions& options = {});

// Returns true when a computed value matches a cached one (numbers within the tolerance).
bool valuesMatch(const SourceValue& expected, const CalcValue& got, double tolerance);

} // namespace cwbk::compiler
