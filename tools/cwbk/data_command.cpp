// cwbk data: the user data file outside the host. export writes a workbook's data cells (after --set
// changes) to a data file, import applies a data file to a workbook and prints the recalculated cells,
// dump lists a data file's header and records.
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

#include "app/data_file.h"
#include "app/user_data.h"
#include "cli.h"
#include "compiler/workbook_calc.h"
#include "formula/compiled_workbook.h"

namespace cwbk::cli {

using namespace cwbk::compiler;

const char* const kDataHelp =
    "usage: cwbk data export WORKBOOK -o FILE.dat [--set CELL=VALUE ...] [--collected]\n"
    "       cwbk data import WORKBOOK FILE.dat [--cells LIST] [--json]\n"
    "       cwbk data dump FILE.dat [--json]\n"
    "\n"
    "The user data file, which carries the values of a workbook's data cells from one copy of an\n"
    "application to another.\n"
    "  export     calculates the workbook, applies the --set changes (as calc does) and writes the data\n"
    "             cells' values (and the cells the changes set); --collected also writes the cells the\n"
    "             workbook marks as changed by the user. The file is written under a temporary name\n"
    "             and renamed over FILE.dat.\n"
    "  import     applies the file's records to the workbook as input, recalculates and prints the\n"
    "             cells as calc does (--cells, --json). Records for cells that hold formulas, or for\n"
    "             sheets the workbook lacks, are refused and counted on stderr. A file that cannot be\n"
    "             read fails with its reason.\n"
    "  dump       prints the header's fields and each record (sheet index, cell, kind, value); --json\n"
    "             prints one object.\n"
    "Exit status: 0 done, 1 a file that cannot be read or written or records that cannot be applied,\n"
    "2 a usage error.\n";

namespace {

// The reason of a read status, as the import reports it.
std::string readFailure(DataFileStatus status, const std::string& path) {
  switch (status) {
  case DataFileCannotOpen:
    return "cannot open file '" + path + "'";
  case DataFileCannotRead:
    return "cannot read data from file '" + path + "'";
  default:
    return "data file '" + path + "' is not a valid file format or corrupted";
  }
}

DataFileContent readOrFail(const std::string& path) {
  DataFileContent content;
  DataFileStatus status = readDataFile(path, content);
  if (status != DataFileRead) throw std::runtime_error(readFailure(status, path));
  return content;
}

const char* kindName(const CalcValue& v) {
  static const char* const names[] = {"Empty",   "Integer",   "Double",        "ShortText", "LongText",
                                      "Boolean", "Reference", "ReferenceList", "Array",     "Error"};
  return v.kind() < std::size(names) ? names[v.kind()] : "?";
}

std::string cellText(CellAddress a) {
  return cellName(a.rowIndex(), a.column());
}

// A record's value as text (json: as JSON): arrays row by row, references by sheet index and cells.
std::string recordValue(const CalcValue& v, bool json) {
  if (v.isArray()) {
    std::string out = json ? "[" : "{";
    for (uint32_t r = 0; r < v.arrayRows(); ++r) {
      if (r) out += json ? "," : ";";
      if (json) out += "[";
      for (uint32_t c = 0; c < v.arrayColumns(); ++c) {
        if (c) out += ",";
        const CalcValue* e = v.element(c, r);
        out += e ? recordValue(*e, json) : (json ? "null" : "");
      }
      if (json) out += "]";
    }
    return out + (json ? "]" : "}");
  }
  if (v.kind() == CalcValue::Reference) {
    std::string text = "sheet " + std::to_string(v.firstCorner().sheet()) + " " + cellText(v.firstCorner()) +
                       ":" + cellText(v.secondCorner());
    return json ? jsonString(text) : text;
  }
  if (json) return valueJson(v);
  if (v.isText()) return jsonString(valueText(v));
  return v.isEmpty() ? "(empty)" : valueText(v);
}

int runExport(Arguments& args) {
  std::optional<std::string> input, output;
  std::vector<std::string> sets;
  bool collected = false;
  while (!args.empty()) {
    std::string a = args.next();
    if (a == "-o" || a == "--output") {
      output = args.value(a);
    } else if (a == "--set") {
      sets.push_back(args.value(a));
    } else if (a == "--collected") {
      collected = true;
    } else if (!a.empty() && a[0] == '-') {
      throw UsageError("unknown option " + a);
    } else if (!input) {
      input = a;
    } else {
      throw UsageError("more than one input: " + a);
    }
  }
  if (!input) throw UsageError("no input workbook");
  if (!output) throw UsageError("give -o FILE.dat");
  CompileOptions options;
  options.lenient = true;
  LoadedWorkbook loaded = loadForCommand("data export", *input, options);
  CompiledWorkbook& wb = *loaded.workbook;
  std::vector<std::pair<CellAddress, CalcValue>> changes = parseSets(wb, sets);
  calculating([&] {
    calculateAll(wb);
    if (!changes.empty()) applyChanges(wb, changes);
  });
  std::vector<uint8_t> records = collectDataRecords(wb, collected);
  std::vector<DataRecord> parsed;
  readDataRecords(records.data(), records.size(), kDataFileWriterVersion, parsed);
  if (!writeDataFile(*output, records, {}, wb.workbookWord(), 0))
    throw std::runtime_error(*output + ": cannot be written");
  std::printf("%zu records written to %s\n", parsed.size(), output->c_str());
  return reportFailedCells(wb, "data export") ? 1 : 0;
}

int runImport(Arguments& args) {
  std::vector<std::string> inputs, cellLists;
  bool json = false;
  while (!args.empty()) {
    std::string a = args.next();
    if (a == "--cells") {
      cellLists.push_back(args.value(a));
    } else if (a == "--json") {
      json = true;
    } else if (!a.empty() && a[0] == '-') {
      throw UsageError("unknown option " + a);
    } else {
      inputs.push_back(a);
    }
  }
  if (inputs.size() != 2) throw UsageError("give WORKBOOK and FILE.dat");
  CompileOptions options;
  options.lenient = true;
  LoadedWorkbook loaded = loadForCommand("data import", inputs[0], options);
  CompiledWorkbook& wb = *loaded.workbook;
  std::vector<Area> selected = parseSelection(wb, cellLists);
  DataFileContent content = readOrFail(inputs[1]);
  calculating([&] { calculateAll(wb); });
  DataApplyResult result = applyDataRecords(content.records, content.header.writerVersion, wb);
  if (result.status == DataApplyStatus::Unreadable)
    throw std::runtime_error(readFailure(DataFileInvalid, inputs[1]) + ": its records cannot be read");
  if (result.refusedFormulaCells)
    std::fprintf(stderr, "cwbk data import: %zu record%s refused: the cell holds a formula\n",
                 result.refusedFormulaCells, result.refusedFormulaCells == 1 ? "" : "s");
  if (result.refusedNoSheet)
    std::fprintf(stderr, "cwbk data import: %zu record%s refused: no such sheet in the workbook\n",
                 result.refusedNoSheet, result.refusedNoSheet == 1 ? "" : "s");
  if (result.status == DataApplyStatus::Failed)
    throw std::runtime_error("applying the records failed after " + std::to_string(result.imported.size()) +
                             " cells");
  calculating([&] { wb.recalculate(result.imported, true); });
  printCells(wb, selected, json);
  return reportFailedCells(wb, "data import") ? 1 : 0;
}

int runDataDump(Arguments& args) {
  std::optional<std::string> input;
  bool json = false;
  while (!args.empty()) {
    std::string a = args.next();
    if (a == "--json") {
      json = true;
    } else if (!a.empty() && a[0] == '-') {
      throw UsageError("unknown option " + a);
    } else if (!input) {
      input = a;
    } else {
      throw UsageError("more than one input: " + a);
    }
  }
  if (!input) throw UsageError("no data file");
  DataFileContent content = readOrFail(*input);
  const DataFileHeader& h = content.header;
  std::vector<DataRecord> records;
  if (!readDataRecords(content.records.data(), content.records.size(), h.writerVersion, records))
    throw std::runtime_error(readFailure(DataFileInvalid, *input) + ": its records cannot be read");
  uint32_t v = h.writerVersion;
  std::string version = std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 0xFF) + "." +
                        std::to_string((v >> 8) & 0xFF) + "." + std::to_string(v & 0xFF);
  std::string textA = utf16ToUtf8(content.owner.textA), textB = utf16ToUtf8(content.owner.textB);
  if (json) {
    std::printf("{\n  \"writerVersion\": %s,\n  \"currentLayout\": %s,\n  \"applicationId\": %u,\n"
                "  \"exportTime\": %u,\n  \"ownerKind\": %u,\n  \"ownerTextA\": %s,\n  \"ownerTextB\": %s,\n"
                "  \"payloadSize\": %u,\n  \"formatMark\": %u,\n  \"records\": [",
                jsonString(version).c_str(), h.currentWriter() ? "true" : "false", h.applicationId,
                h.exportTime, unsigned(h.ownerKind), jsonString(textA).c_str(), jsonString(textB).c_str(),
                h.payloadSize, unsigned(h.formatMark));
    for (size_t i = 0; i < records.size(); ++i) {
      const DataRecord& r = records[i];
      std::printf("%s\n    {\"sheet\": %u, \"cell\": %s, \"kind\": \"%s\", \"value\": %s}", i ? "," : "",
                  r.address.sheet(), jsonString(cellText(r.address)).c_str(), kindName(r.value),
                  recordValue(r.value, true).c_str());
    }
    std::printf("%s]\n}\n", records.empty() ? "" : "\n  ");
    return 0;
  }
  std::printf("writer version %s (%s layout)\n", version.c_str(), h.currentWriter() ? "current" : "older");
  std::printf("application id %u\nexport time %u\nowner kind %u\nowner text A %s\nowner text B %s\n",
              h.applicationId, h.exportTime, unsigned(h.ownerKind), jsonString(textA).c_str(),
              jsonString(textB).c_str());
  std::printf("payload size %u\nformat mark %u\n%zu records\n", h.payloadSize, unsigned(h.formatMark),
              records.size());
  for (const DataRecord& r : records)
    std::printf("sheet %u %s %s %s\n", r.address.sheet(), cellText(r.address).c_str(), kindName(r.value),
                recordValue(r.value, false).c_str());
  return 0;
}

} // namespace

int runData(Arguments args) {
  if (args.empty()) throw UsageError("give export, import or dump");
  std::string command = args.next();
  if (command == "export") return runExport(args);
  if (command == "import") return runImport(args);
  if (command == "dump") return runDataDump(args);
  throw UsageError("unknown data command '" + command + "'");
}

} // namespace cwbk::cli
