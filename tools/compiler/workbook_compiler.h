// The workbook compiler: a SourceWorkbook into the workbook model (sheets, names, cells, shared formula
// templates with each cell's operands, array formulas, data tables) and into the compiled stream.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "compiler/source_workbook.h"

namespace cwbk {
class CompiledWorkbook;
}

namespace cwbk::compiler {

// A formula that cannot be compiled; the message names the cell, the fault and its position (0-based,
// in the formula as shown with its '='), e.g. "Sheet1!B2: unexpected ')' at 3 in =1+)".
class CompileError : public std::runtime_error {
public:
  explicit CompileError(const std::string& message) : std::runtime_error(message) {}
};

struct CompileOptions {
  // Keep each formula's cached result as the cell's current value (what a compiled workbook carries).
  // Off, formula cells start without a value, so a calculation has to produce every result.
  bool storeFormulaValues = true;
  // Make a cell whose formula cannot be compiled host-computed (keeping its cached value) instead of
  // failing; the cell is listed in CompileReport::hostComputed.
  bool lenient = false;
  // The data cells, whose values a user data file carries, named explicitly ("Sheet1!A1:B5", one cell
  // or range each). Empty: the cells the source leaves unlocked (or marks as data); where it marks
  // none, every cell that holds a constant.
  std::vector<std::string> dataCells;
  // Called now and then while the formulas are read, with how many of the formula cells are read so
  // far and how many there are; last with both equal. Empty: nothing is reported.
  std::function<void(size_t done, size_t total)> progress;
};

struct CompileReport {
  size_t formulaCells = 0; // cells with a compiled formula (array masters included)
  size_t templates = 0;    // distinct formula templates
  // The defined names that cannot be compiled, each "name Rate: reason" (lenient or not: only a formula
  // that uses such a name fails), then the cells left to the host under CompileOptions::lenient, each
  // "Sheet1!A1: reason".
  std::vector<std::string> hostComputed;
};

// Fills the empty workbook model from the source. Throws CompileError for a formula that cannot be
// compiled (unless lenient) and SourceError for a workbook the model cannot hold.
void compileWorkbook(const SourceWorkbook& source, CompiledWorkbook& workbook,
                     const CompileOptions& options = {}, CompileReport* report = nullptr);

// Returns the compiled stream of the source (the bytes that loadWorkbook reads).
std::vector<uint8_t> compileToStream(const SourceWorkbook& source, const CompileOptions& options = {},
                                     CompileReport* report = nullptr);

// Loads a compiled stream (uncompressed bytes) into the empty workbook model.
void loadStreamBytes(const std::vector<uint8_t>& bytes, CompiledWorkbook& workbook);

// Returns the stream cut into compressed blocks of at most chunkSize raw bytes each, as the host sends
// them.
std::vector<std::vector<uint8_t>> streamToChunks(const std::vector<uint8_t>& bytes,
                                                 size_t chunkSize = 1 << 16);

} // namespace cwbk::compiler
