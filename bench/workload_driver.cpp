// Workload driver: generates the Sheet A, Sheet B, Big and Big1M workloads, compiles them into a stream,
// and measures load + preparation + first calculation, five edits of A1 with recalculation, and memory.
// Built natively and for Windows (run under Wine), where the allocator is the C runtime's heap.
#include "compiler/text_workbook.h"
#include "compiler/workbook_calc.h"
#include "compiler/workbook_compiler.h"
#include "formula/compiled_workbook.h"
#include "formula/stream_reader.h"
#include "formula/workbook_stream.h"
#include "functions/function_library.h"
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <malloc.h>
#include <stdexcept>
#include <string>
#include <vector>
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

using namespace cwbk;
using namespace cwbk::compiler;

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

#ifdef _WIN32
// The engine's name in the figures: the Windows builds are told apart from the native one.
const char* const engineLabel = sizeof(void*) == 4 ? "ours-win32" : "ours-win64";

// Returns the bytes of the C runtime's heap in use: the sum of its blocks in use, walked one by one.
size_t heapInUse() {
  _HEAPINFO entry{};
  size_t used = 0;
  while (_heapwalk(&entry) == _HEAPOK)
    if (entry._useflag == _USEDENTRY) used += entry._size;
  return used;
}

// Gives the heap's free memory back to the system where it can.
void trimHeap() {
  _heapmin();
}

int processId() {
  return _getpid();
}

std::string executablePath() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n == MAX_PATH) throw std::runtime_error("cannot find this program's path");
  return std::string(path, n);
}

// Runs this program again with `arguments` and waits; returns its exit status.
int runSelf(const std::string& self, const std::vector<std::string>& arguments) {
  std::vector<std::string> quoted{"\"" + self + "\""};
  for (const auto& a : arguments)
    quoted.push_back("\"" + a + "\"");
  std::vector<const char*> argv;
  for (const auto& q : quoted)
    argv.push_back(q.c_str());
  argv.push_back(nullptr);
  std::fflush(stdout);
  return int(_spawnv(_P_WAIT, self.c_str(), argv.data()));
}
#else
// The 32-bit build (run under qemu-i386 where the machine cannot run it) is told apart from the native one.
const char* const engineLabel = sizeof(void*) == 4 ? "ours-i386" : "ours";

// Returns the bytes the allocator holds in use.
size_t heapInUse() {
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

void trimHeap() {
  malloc_trim(0);
}

int processId() {
  return getpid();
}

std::string executablePath() {
  return std::filesystem::read_symlink("/proc/self/exe").string();
}

int runSelf(const std::string& self, const std::vector<std::string>& arguments) {
  std::string command = "'" + self + "'";
  for (const auto& a : arguments)
    command += " '" + a + "'";
  std::fflush(stdout);
  return std::system(command.c_str());
}
#endif

struct Workload {
  std::string text;
  size_t formulaCells = 0;
};

void cell(Workload& w, const char* column, int row, const std::string& content, bool formula) {
  w.text += "Sheet1!";
  w.text += column;
  w.text += std::to_string(row);
  w.text += ": ";
  w.text += content;
  w.text += '\n';
  if (formula) ++w.formulaCells;
}

// Returns the workload named `name` as a text workbook; row 1 holds the seed values of the chains. Big1M
// is Big with as many rows as make 1,000,000 formula cells (1,000,002).
Workload makeWorkload(const std::string& name, bool withLookup) {
  Workload w;
  w.text = "[sheets]\nSheet1\n\n[cells]\n";
  if (name == "SheetA") {
    for (int r = 1; r <= 10000; ++r) {
      cell(w, "A", r, std::to_string(r), false);
      cell(w, "B", r, "3", false);
      if (r == 1) continue;
      std::string p = std::to_string(r - 1);
      cell(w, "C", r, "=A" + p + "*A" + p, true);
      cell(w, "D", r, "=C" + std::to_string(r) + "*A" + p + "+B" + p, true);
      cell(w, "E", r, "=C" + p + "-D" + p + "*D" + p + "+D" + p + "*C" + p + "/7+C" + p + "*C" + p + "*3+7*2",
           true);
    }
  } else if (name == "SheetB") {
    for (int r = 1; r <= 5000; ++r) {
      cell(w, "A", r, std::to_string(r), false);
      cell(w, "B", r, "2", false);
      cell(w, "C", r, "=3*5", true);
      if (r == 1) {
        cell(w, "D", r, "0", false);
        continue;
      }
      std::string p = std::to_string(r - 1);
      cell(w, "D", r, "=A" + p + "+D" + p, true);
      cell(w, "E", r, "=SUM($A$1:A" + p + ")", true);
    }
  } else {
    const int rows = name == "Big1M" ? 333334 : 100000;
    for (int r = 1; r <= rows; ++r) {
      std::string s = std::to_string(r);
      cell(w, "A", r, s, false);
      if (r == 1)
        cell(w, "B", r, "=A1", true);
      else
        cell(w, "B", r, "=B" + std::to_string(r - 1) + "+A" + s, true);
      cell(w, "C", r, "=IF(A" + s + ">5,A" + s + "*1.1,ROUND(A" + s + "/3,2))", true);
      if (withLookup)
        cell(w, "D", r, "=VLOOKUP(" + std::to_string((r * 7LL) % rows + 1) + ",A$1:A$1000,1,TRUE)", true);
    }
  }
  return w;
}

// Returns the stream file of a workload, compiled without stored formula results.
std::string compileWorkload(const std::string& label, const Workload& w) {
  CompileOptions options;
  options.storeFormulaValues = false;
  std::vector<uint8_t> stream = compileToStream(readTextWorkbook(w.text, label), options);
  std::string path = (std::filesystem::temp_directory_path() /
                      ("cwbk-bench-" + label + "-" + std::to_string(processId()) + ".stream"))
                         .string();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(stream.data(), 1, stream.size(), f) != stream.size() || std::fclose(f) != 0)
    throw std::runtime_error("cannot write " + path);
  return path;
}

// Loads a stream in this process, which has allocated nothing of the model before, and measures.
void measure(const std::string& label, const std::string& path, size_t formulaCells) {
  std::vector<uint8_t> stream;
  {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) throw std::runtime_error("cannot read " + path);
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
      stream.insert(stream.end(), buffer, buffer + n);
    std::fclose(f);
  }
  // The host hands the stream over as compressed chunks, inflated one at a time while loading.
  std::vector<std::vector<uint8_t>> chunks = streamToChunks(stream);
  size_t chunkBytes = 0;
  for (auto& c : chunks) {
    c.shrink_to_fit();
    chunkBytes += c.size();
  }
  trimHeap();
  // The reader lets go of each chunk once inflated: the chunks are the host's, not the model's, so the
  // heap before loading is counted without them.
  size_t before = heapInUse() - chunkBytes;
  auto start = Clock::now();
  auto workbook = std::make_unique<CompiledWorkbook>();
  {
    StreamReader reader;
    for (auto& c : chunks)
      reader.addChunk(std::move(c));
    loadWorkbook(reader, *workbook);
  }
  calculateAll(*workbook);
  double loadMs = msSince(start);
  size_t bytes = heapInUse() - before;

  double editMs = 0;
  uint64_t evaluated = workbook->state().formulaEvaluations;
  for (int i = 0; i < 5; ++i) {
    auto editStart = Clock::now();
    applyChanges(*workbook, {{CellAddress::make(0, 0, 0), CalcValue::number(100.0 + i)}});
    editMs += msSince(editStart);
  }
  evaluated = workbook->state().formulaEvaluations - evaluated;
  std::printf(
      "%s %s load_ms %.3f edit_ms %.4f bytes_per_formula %.1f recalculated_per_edit %.0f formulas %zu "
      "stream_bytes %zu chunk_bytes %zu\n",
      engineLabel, label.c_str(), loadMs, editMs / 5, double(bytes) / double(formulaCells),
      double(evaluated) / 5, formulaCells, stream.size(), chunkBytes);
  std::fflush(stdout);
}

// Compiles the workload here and measures it in a fresh process, so that the memory the compiler's
// own model left in the allocators is not reused and counted as free.
void run(const std::string& self, const std::string& name, bool withLookup) {
  Workload w = makeWorkload(name, withLookup);
  std::string label = name;
  if (name == "Big") label += withLookup ? "" : "-noD";
  std::string path = compileWorkload(label, w);
  int status = runSelf(self, {"--measure", label, path, std::to_string(w.formulaCells)});
  if (!std::getenv("CWBK_BENCH_KEEP")) std::remove(path.c_str());
  if (status != 0) throw std::runtime_error("measuring " + label + " failed");
}

} // namespace

// Usage: workload_driver [SheetA|SheetB|Big|Big-noD|Big1M]... | --text NAME (prints the workload)
// (--measure LABEL STREAM FORMULAS is the measuring child.)
int main(int argc, char** argv) {
  cwbk::installFunctionLibrary();
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i)
    names.push_back(argv[i]);
  if (names.size() == 2 && names[0] == "--text") {
    std::fputs(makeWorkload(names[1], true).text.c_str(), stdout);
    return 0;
  }
  if (names.empty()) names = {"SheetA", "SheetB", "Big", "Big-noD", "Big1M"};
  try {
    if (names.size() == 4 && names[0] == "--measure") {
      measure(names[1], names[2], std::stoul(names[3]));
      return 0;
    }
    std::string self = executablePath();
    for (const auto& n : names)
      if (n != "SheetA" && n != "SheetB" && n != "Big" && n != "Big-noD" && n != "Big1M")
        throw std::runtime_error("unknown workload " + n);
    for (const auto& n : names)
      run(self, n == "Big-noD" ? "Big" : n, n != "Big-noD");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "workload_driver: %s\n", e.what());
    return 1;
  }
  return 0;
}
