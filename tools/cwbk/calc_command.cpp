// cwbk calc: loads a workbook, calculates it with the runtime's engine, applies --set changes through
// the model's change path and prints the values; --check compares them with an .xlsx file's cache.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "cli.h"
#include "compiler/formula_decompiler.h"
#include "compiler/workbook_calc.h"
#include "formula/compiled_workbook.h"

namespace cwbk::cli {

using namespace cwbk::compiler;

const char* const kCalcHelp =
    "usage: cwbk calc IN [--set CELL=VALUE ...] [--cells LIST] [--json] [--formatted]\n"
    "       cwbk calc IN.xlsx --check [--tolerance X]\n"
    "\n"
    "Loads a workbook (compiling .xlsx or text workbooks on the fly), calculates every formula, applies\n"
    "the --set changes as a user's input would and recalculates, then prints every cell's value.\n"
    "  --set CELL=VALUE  change an input cell, e.g. --set Sheet1!A1=5; VALUE is a number, TRUE/FALSE,\n"
    "                    an error such as #N/A, or text (\"quoted\" when it could read as a number)\n"
    "  --cells LIST      print only these cells or ranges, comma-separated: Sheet1!A1,Sheet1!B2:B5\n"
    "  --json            print one JSON object mapping \"Sheet!A1\" to its value: a number, string or\n"
    "                    boolean, null for empty, {\"error\": \"#N/A\"} for an error, and\n"
    "                    {\"notComputed\": \"SUM\"} for a cell that needs what the engine does not compute\n"
    "  --formatted       print each value as the cell shows it through its number format in the .xlsx\n"
    "                    (General in eleven characters where it has none), as a quoted text\n"
    "  --check           compare every formula's value with the value cached in the file; prints each\n"
    "                    mismatch and 'N passed, M failed, K skipped'; exit status 1 when any failed\n"
    "  --tolerance X     relative tolerance of the number comparison (default 1e-9)\n"
    "  --verbose         with --check, also list why cells were skipped\n"
    "A cell whose evaluation fails inside the engine keeps the value it had; such cells are named on\n"
    "stderr ('2 cells failed to calculate: Sheet1!B2, Sheet1!C2') and make the exit status 1.\n";

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at <= text.size()) {
    // Commas inside a quoted sheet name belong to the name.
    bool quoted = false;
    size_t end = at;
    while (end < text.size() && (quoted || text[end] != ',')) {
      if (text[end] == '\'') quoted = !quoted;
      ++end;
    }
    if (end > at) out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

namespace {

// Splits "CELL=VALUE" at the first '=' outside a quoted sheet name.
std::pair<std::string, std::string> splitAssignment(const std::string& text) {
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\'') quoted = !quoted;
    if (text[i] == '=' && !quoted) return {text.substr(0, i), text.substr(i + 1)};
  }
  throw UsageError("--set takes CELL=VALUE, not '" + text + "'");
}

} // namespace

void calculating(const std::function<void()>& step) {
  try {
    step();
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("the calculation failed: ") + e.what());
  } catch (...) {
    throw std::runtime_error("the calculation failed");
  }
}

bool reportFailedCells(CompiledWorkbook& wb, const char* command) {
  const uint32_t count = wb.state().failedCells;
  if (count == 0) return false;
  constexpr size_t kNamed = 5;
  std::string names;
  size_t named = 0;
  wb.forEachCell([&](Cell& cell) {
    if (!cell.hasFlag(CellEvaluationFailed) || named == kNamed) return;
    names += (named++ ? ", " : "") + addressName(wb, cell.address());
  });
  if (count > named) names += ", ...";
  std::fprintf(stderr, "cwbk %s: %u cell%s failed to calculate: %s\n", command, count, count == 1 ? "" : "s",
               names.c_str());
  return true;
}

namespace {

int runCheck(LoadedWorkbook& loaded, double tolerance, bool verbose) {
  CompiledWorkbook& wb = *loaded.workbook;
  progress("calculating");
  calculating([&] { calculateAll(wb); });
  CheckOptions options;
  options.tolerance = tolerance;
  CheckResult result = checkAgainstCache(*loaded.source, wb, options);
  for (const CheckMismatch& m : result.mismatches)
    std::printf("mismatch %s %s expected %s got %s\n", m.cell.c_str(), m.formula.c_str(), m.expected.c_str(),
                m.got.c_str());
  if (verbose) {
    for (const std::string& note : loaded.report.hostComputed)
      std::printf("skipped (left to the host) %s\n", note.c_str());
    std::map<std::string, size_t> reasons;
    for (const auto& [cell, reason] : notComputedCells(wb, true))
      ++reasons[reason];
    for (const auto& [reason, count] : reasons)
      std::printf("skipped %zu cells needing %s\n", count, reason.c_str());
  }
  std::printf("%zu passed, %zu failed, %zu skipped\n", result.passed, result.failed, result.skipped);
  bool cellsFailed = reportFailedCells(wb, "calc");
  return result.failed || cellsFailed ? 1 : 0;
}

} // namespace

std::vector<std::pair<CellAddress, CalcValue>> parseSets(const CompiledWorkbook& wb,
                                                         const std::vector<std::string>& sets) {
  std::vector<std::pair<CellAddress, CalcValue>> changes;
  for (const std::string& set : sets) {
    auto [name, value] = splitAssignment(set);
    std::optional<CellAddress> address = parseCellName(wb, name);
    if (!address) throw UsageError("--set: '" + name + "' is not a cell of the workbook");
    changes.emplace_back(*address, parseInputValue(value));
  }
  return changes;
}

std::vector<Area> parseSelection(const CompiledWorkbook& wb, const std::vector<std::string>& cellLists) {
  std::vector<Area> selected;
  for (const std::string& list : cellLists)
    for (const std::string& item : splitList(list)) {
      std::optional<Area> area = parseAreaName(wb, item);
      if (!area) throw UsageError("--cells: '" + item + "' is not a cell or range of the workbook");
      selected.push_back(*area);
    }

  return selected;
}

void printCells(CompiledWorkbook& wb, const std::vector<Area>& selected, bool json,
                const SourceWorkbook* formats) {
  std::map<const Cell*, std::string> notComputed = notComputedCells(wb);

  // The cells to print: the selection in its order, or every cell that holds something.
  std::vector<CellAddress> addresses;
  if (!selected.empty()) {
    for (const Area& area : selected)
      for (uint32_t r = area.first.rowIndex(); r <= area.second.rowIndex(); ++r)
        for (uint32_t c = area.first.column(); c <= area.second.column(); ++c)
          addresses.push_back(CellAddress::make(area.first.sheet(), c, r));
  } else {
    wb.forEachCell([&](Cell& cell) {
      if (cell.hasFormula() || cell.hasFlag(CellArrayFormula) || (cell.value() && !cell.value()->isEmpty()))
        addresses.push_back(cell.address());
    });
  }

  if (json) std::printf("{");
  bool first = true;
  for (CellAddress address : addresses) {
    Cell* cell = wb.findCell(address);
    CalcValue value;
    if (cell) value.copyFrom(wb.cellValue(*cell));
    auto skipped = cell ? notComputed.find(cell) : notComputed.end();
    std::string name = addressName(wb, address);
    std::optional<std::string> formatted;
    if (formats && skipped == notComputed.end())
      formatted = jsonString(
          formattedText(value, formats->numberFormat(address.sheet(), address.rowIndex(), address.column()),
                        wb.state().date1904));
    if (json) {
      std::string shown = skipped != notComputed.end()
                              ? "{\"notComputed\": " + jsonString(skipped->second) + "}"
                          : formatted ? *formatted
                                      : valueJson(value);
      std::printf("%s\n  %s: %s", first ? "" : ",", jsonString(name).c_str(), shown.c_str());
    } else if (skipped != notComputed.end()) {
      std::printf("%s = (not computed: %s)\n", name.c_str(), skipped->second.c_str());
    } else {
      std::string shown = formatted        ? *formatted
                          : value.isText() ? jsonString(valueText(value))
                                           : valueText(value);
      std::printf("%s = %s\n", name.c_str(), shown.c_str());
    }
    first = false;
  }
  if (json) std::printf("%s}\n", first ? "" : "\n");
}

int runCalc(Arguments args) {
  std::optional<std::string> input;
  std::vector<std::string> sets, cellLists;
  bool json = false, check = false, verbose = false, formatted = false;
  double tolerance = 1e-9;
  while (!args.empty()) {
    std::string a = args.next();
    if (a == "--set") {
      sets.push_back(args.value(a));
    } else if (a == "--cells") {
      cellLists.push_back(args.value(a));
    } else if (a == "--json") {
      json = true;
    } else if (a == "--formatted") {
      formatted = true;
    } else if (a == "--check") {
      check = true;
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--tolerance") {
      std::string v = args.value(a);
      char* end = nullptr;
      tolerance = std::strtod(v.c_str(), &end);
      if (!end || *end || !(tolerance >= 0) || tolerance > 1)
        throw UsageError("--tolerance takes a number in [0, 1]");
    } else if (!a.empty() && a[0] == '-') {
      throw UsageError("unknown option " + a);
    } else if (!input) {
      input = a;
    } else {
      throw UsageError("more than one input: " + a);
    }
  }
  if (!input) throw UsageError("no input workbook");
  if (check && (!sets.empty() || !cellLists.empty() || json || formatted))
    throw UsageError("--check takes no --set, --cells, --json or --formatted");

  CompileOptions options;
  options.lenient = true;
  // A check must compute every result from the inputs alone, so cached results are not loaded.
  options.storeFormulaValues = !check;
  progress("loading " + *input);
  LoadedWorkbook loaded = loadForCommand("calc", *input, options);
  if (!check)
    for (const std::string& note : loaded.report.hostComputed)
      std::fprintf(stderr, "cwbk calc: left to the host: %s\n", note.c_str());
  if (check) {
    if (!loaded.source)
      throw std::runtime_error(*input + ": --check needs a workbook with cached values, not a stream");
    return runCheck(loaded, tolerance, verbose);
  }
  CompiledWorkbook& wb = *loaded.workbook;

  std::vector<std::pair<CellAddress, CalcValue>> changes = parseSets(wb, sets);
  std::vector<Area> selected = parseSelection(wb, cellLists);

  progress("calculating");
  calculating([&] {
    calculateAll(wb);
    if (!changes.empty()) applyChanges(wb, changes);
  });
  static const SourceWorkbook noFormats;
  const SourceWorkbook* formats = !formatted ? nullptr : loaded.source ? &*loaded.source : &noFormats;
  printCells(wb, selected, json, formats);
  return reportFailedCells(wb, "calc") ? 1 : 0;
}

} // namespace cwbk::cli
