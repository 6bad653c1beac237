// cwbk compile (a workbook into the compiled stream, whole or as chunks) and cwbk dump (a readable
// listing of what a stream holds).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "cli.h"
#include "compiler/formula_decompiler.h"
#include "compiler/source_workbook.h"
#include "compiler/workbook_calc.h"
#include "compiler/workbook_compiler.h"
#include "formula/compiled_workbook.h"
#include "formula/formula_node.h"

namespace cwbk::cli {

using namespace cwbk::compiler;

const char* const kCompileHelp =
    "usage: cwbk compile IN -o OUT [--chunks DIR] [--chunk-size BYTES] [--lenient] [--no-values]\n"
    "                              [--data-cells LIST]\n"
    "\n"
    "Compiles a workbook (.xlsx or text workbook) into the compiled formula stream.\n"
    "  -o OUT             write the stream to OUT\n"
    "  --chunks DIR       also (or instead) write it as the compressed chunks the host sends,\n"
    "                     DIR/chunk-00000.bin, chunk-00001.bin, ...\n"
    "  --chunk-size BYTES raw bytes per chunk (default 65536)\n"
    "  --lenient          leave formulas that cannot be compiled to the host instead of failing\n"
    "  --no-values        do not store the cached results of formulas\n"
    "  --data-cells LIST  the data cells, whose values a user data file carries, comma-separated:\n"
    "                     Sheet1!B2:B9,Sheet2!C3 (default: the cells the workbook leaves unlocked;\n"
    "                     where it unlocks none, every cell holding a constant)\n";

const char* const kDumpHelp =
    "usage: cwbk dump IN\n"
    "\n"
    "Lists a compiled stream (or a workbook, compiled on the fly): sheets, defined names, every cell\n"
    "with its value, flags and formula as text, and the data tables.\n";

namespace {

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error(path + ": cannot be written");
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error(path + ": cannot be written");
}

std::string flagNames(uint32_t flags) {
  static const std::pair<uint32_t, const char*> names[] = {{CellVolatile, "volatile"},
                                                           {CellStored, "stored"},
                                                           {CellHostComputed, "host"},
                                                           {CellDynamicReferences, "dynamic"},
                                                           {CellHyperlinkPending, "hyperlink"},
                                                           {CellSubtotal, "subtotal"},
                                                           {CellDirtyInput, "data"},
                                                           {CellChangedByUser, "changed"}};
  std::string out;
  for (const auto& [bit, name] : names)
    if (flags & bit) out += std::string(out.empty() ? "" : ",") + name;
  return out;
}

std::string shown(const CalcValue& v) {
  if (v.isText()) return jsonString(valueText(v));
  if (v.isArray())
    return "{" + std::to_string(v.arrayColumns()) + "x" + std::to_string(v.arrayRows()) + " array}";
  return valueText(v);
}

std::string areaName(const CompiledWorkbook& wb, const Area& area) {
  std::string text = addressName(wb, area.first);
  if (area.second != area.first) text += ":" + cellName(area.second.rowIndex(), area.second.column());
  return text;
}

// Returns the progress report of a compile: "cwbk: compiling: N of M formulas" lines on stderr, none
// in the first second and then one every half second at most, so that quick compiles stay silent.
std::function<void(size_t, size_t)> formulaProgress() {
  using Clock = std::chrono::steady_clock;
  Clock::time_point next = Clock::now() + std::chrono::seconds(1);
  return [next](size_t done, size_t total) mutable {
    Clock::time_point now = Clock::now();
    if (now < next) return;
    next = now + std::chrono::milliseconds(500);
    std::fprintf(stderr, "cwbk: compiling: %zu of %zu formulas\n", done, total);
  };
}

} // namespace

int runCompile(Arguments args) {
  std::optional<std::string> input, output, chunks;
  size_t chunkSize = 1 << 16;
  CompileOptions options;
  while (!args.empty()) {
    std::string a = args.next();
    if (a == "-o" || a == "--output") {
      output = args.value(a);
    } else if (a == "--chunks") {
      chunks = args.value(a);
    } else if (a == "--chunk-size") {
      std::string v = args.value(a);
      char* end = nullptr;
      unsigned long long n = std::strtoull(v.c_str(), &end, 10);
      if (!end || *end || n == 0 || n > (64u << 20))
        throw UsageError("--chunk-size takes 1 to 67108864 bytes");
      chunkSize = static_cast<size_t>(n);
    } else if (a == "--lenient") {
      options.lenient = true;
    } else if (a == "--no-values") {
      options.storeFormulaValues = false;
    } else if (a == "--data-cells") {
      for (std::string& item : splitList(args.value(a)))
        options.dataCells.push_back(std::move(item));
    } else if (!a.empty() && a[0] == '-') {
      throw UsageError("unknown option " + a);
    } else if (!input) {
      input = a;
    } else {
      throw UsageError("more than one input: " + a);
    }
  }
  if (!input) throw UsageError("no input workbook");
  if (!output && !chunks) throw UsageError("give -o OUT or --chunks DIR");

  progress("reading " + *input);
  {
    std::ifstream probe(*input, std::ios::binary);
    char magic[4] = {};
    if (probe.read(magic, 4) &&
        (std::string(magic, 4) == "CWBK" || std::string(magic, 4) == std::string("VQK\0", 4)))
      throw std::runtime_error(*input + ": already a compiled stream");
  }
  SourceWorkbook source = readSourceWorkbook(*input);
  warnAboutSource("compile", source);
  progress("compiling " + std::to_string(source.cells.size()) + " cells");
  CompileReport report;
  options.progress = formulaProgress();
  std::vector<uint8_t> stream;
  try {
    stream = compileToStream(source, options, &report);
  } catch (const CompileError& e) {
    throw CompileError(*input + ": " + e.what());
  }
  if (output) writeFile(*output, stream);
  size_t chunkCount = 0;
  if (chunks) {
    std::error_code ec;
    std::filesystem::create_directories(*chunks, ec);
    if (ec) throw std::runtime_error(*chunks + ": cannot create the folder");
    auto blocks = streamToChunks(stream, chunkSize);
    for (size_t i = 0; i < blocks.size(); ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "chunk-%05zu.bin", i);
      writeFile((std::filesystem::path(*chunks) / name).string(), blocks[i]);
    }
    chunkCount = blocks.size();
  }
  for (const std::string& note : report.hostComputed)
    std::fprintf(stderr, "cwbk compile: left to the host: %s\n", note.c_str());
  std::printf("%zu sheets, %zu cells, %zu formulas, %zu templates, %zu bytes", source.sheets.size(),
              source.cells.size(), report.formulaCells, report.templates, stream.size());
  if (chunks) std::printf(", %zu chunks", chunkCount);
  std::printf("\n");
  return 0;
}

int runDump(Arguments args) {
  std::optional<std::string> input;
  while (!args.empty()) {
    std::string a = args.next();
    if (!a.empty() && a[0] == '-') throw UsageError("unknown option " + a);
    if (input) throw UsageError("more than one input: " + a);
    input = a;
  }
  if (!input) throw UsageError("no input");
  progress("loading " + *input);
  CompileOptions options;
  options.lenient = true;
  LoadedWorkbook loaded = loadForCommand("dump", *input, options);
  const CompiledWorkbook& wb = *loaded.workbook;

  std::printf("workbook: %zu sheets, %zu names, %zu cells, %zu calculated, %zu templates\n",
              wb.sheets().size(), wb.definedNames().size(), wb.cellCount(), wb.calculatedCells().size(),
              wb.formulaTemplates().size());
  for (const auto& [index, info] : wb.sheets()) {
    std::printf("sheet %u %s", index, utf16ToUtf8(info.name).c_str());
    if (!info.codeName.empty()) std::printf(" (code name %s)", utf16ToUtf8(info.codeName).c_str());
    if (info.firstUsed.isValid())
      std::printf(" used %s", areaName(wb, Area{info.firstUsed, info.lastUsed}).c_str());
    std::printf("\n");
  }
  for (const DefinedName& name : wb.definedNames()) {
    std::string scope = name.scope >= 0 ? sheetPrefix(wb, static_cast<uint32_t>(name.scope)) : "";
    std::string formula = name.root ? formulaToTextUtf8(decompileNode(wb, *name.root, nullptr)) : "";
    std::printf("name %s%s = %s\n", scope.c_str(), utf16ToUtf8(name.name).c_str(), formula.c_str());
  }
  for (size_t i = 0; i < wb.externalLinks().size(); ++i)
    std::printf("link [%zu] %s%s\n", i + 1, utf16ToUtf8(wb.externalLinks()[i].folder).c_str(),
                utf16ToUtf8(wb.externalLinks()[i].fileName).c_str());
  wb.forEachCell([&](Cell& cell) {
    std::string line = "cell " + addressName(wb, cell.address());
    if (cell.templateIndex() >= 0) {
      bool array = cell.hasFlag(CellArrayFormula);
      line += array ? " {=" + cellFormulaText(wb, cell) + "}" : " =" + cellFormulaText(wb, cell);
      line += " [template " + std::to_string(cell.templateIndex()) + "]";
    }
    if (cell.hasFlag(CellArrayFormula) && cell.arrayArea().isValid())
      line += std::string(cell.hasFlag(CellArrayMaster) ? " array " : " in array ") +
              areaName(wb, cell.arrayArea());
    else if (cell.hasFlag(CellArrayMaster) && cell.arrayArea().isValid())
      line += " in table " + areaName(wb, cell.arrayArea());
    if (const CalcValue* v = cell.value()) line += (cell.templateIndex() >= 0 ? " -> " : " ") + shown(*v);
    std::string flags = flagNames(cell.flags());
    if (!flags.empty()) line += " (" + flags + ")";
    if (const HyperlinkRecord* h = cell.hyperlink()) line += " link " + utf16ToUtf8(h->source);
    std::printf("%s\n", line.c_str());
  });
  for (const Area& area : wb.areaSet()) {
    std::string inputs;
    CellAddress body =
        CellAddress::make(area.first.sheet(), area.first.column() + 1, area.first.rowIndex() + 1);
    if (Cell* first = wb.findCell(body)) {
      const char* labels[] = {"row input ", "column input "};
      for (size_t i = 0; i < first->operandRoots().size() && i < 2; ++i)
        if (FormulaNode* operand = first->operandRoots()[i]; operand && operand->kind() != NodeKind::Empty)
          inputs += std::string(" ") + labels[i] + formulaToTextUtf8(decompileNode(wb, *operand, first));
    }
    std::printf("data table %s%s\n", areaName(wb, area).c_str(), inputs.c_str());
  }
  return 0;
}

} // namespace cwbk::cli
