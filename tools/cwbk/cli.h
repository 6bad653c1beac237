// Shared pieces of the cwbk command-line tool: the usage error, argument walking and the commands.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "compiler/source_workbook.h"
#include "compiler/workbook_calc.h"
#include "formula/compiled_workbook.h"

namespace cwbk::cli {

// A command line the tool cannot follow; main prints it as one line with a hint to --help.
class UsageError : public std::runtime_error {
public:
  explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

// The arguments after the command name, consumed from the front.
class Arguments {
public:
  explicit Arguments(std::vector<std::string> args) : args_(std::move(args)) {}
  bool empty() const { return at_ >= args_.size(); }
  // Returns the next argument and consumes it.
  std::string next() { return args_.at(at_++); }
  // Returns the value of an option that takes one (`--set X`); throws when it is missing.
  std::string value(const std::string& option) {
    if (empty()) throw UsageError(option + " needs a value");
    return next();
  }

private:
  std::vector<std::string> args_;
  size_t at_ = 0;
};

// Splits a comma-separated list of cells and ranges; commas inside a quoted sheet name belong to it.
std::vector<std::string> splitList(const std::string& text);

// Runs a calculation step; a failure that ends it is reported as the calculation's.
void calculating(const std::function<void()>& step);
// Names on stderr ("cwbk COMMAND: ...") the cells whose evaluation failed (the first few) and returns
// true when there are any.
bool reportFailedCells(CompiledWorkbook& wb, const char* command);
// Returns the --set changes (CELL=VALUE) as addresses and typed values; throws UsageError.
std::vector<std::pair<CellAddress, CalcValue>> parseSets(const CompiledWorkbook& wb,
                                                         const std::vector<std::string>& sets);
// Returns the areas of --cells lists; throws UsageError.
std::vector<Area> parseSelection(const CompiledWorkbook& wb, const std::vector<std::string>& cellLists);
// Prints the selected cells (or every cell that holds something) as 'Sheet!A1 = value' lines, or with
// json as one JSON object. With formats, each value as the cell shows it through its number format in
// that source (General for a cell it has no format for), always as a quoted text.
void printCells(CompiledWorkbook& wb, const std::vector<Area>& selected, bool json,
                const compiler::SourceWorkbook* formats = nullptr);

// Each command returns the process exit status; errors are thrown (UsageError or any std::exception).
int runCompile(Arguments args);
int runDump(Arguments args);
int runCalc(Arguments args);
int runData(Arguments args);
int runSections(Arguments args);

extern const char* const kCompileHelp;
extern const char* const kDumpHelp;
extern const char* const kCalcHelp;
extern const char* const kDataHelp;
extern const char* const kSectionsHelp;

// Prints a progress line on stderr when it is a terminal (long loads).
void progress(const std::string& text);
// Prints what the reader stepped over in a source workbook on stderr ("cwbk COMMAND: warning: ...").
void warnAboutSource(const char* command, const compiler::SourceWorkbook& source);
// Returns the workbook loadAnyWorkbook makes of `path`, after warning about its source.
compiler::LoadedWorkbook loadForCommand(const char* command, const std::string& path,
                                        const compiler::CompileOptions& options);

} // namespace cwbk::cli
