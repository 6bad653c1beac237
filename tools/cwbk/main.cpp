// The cwbk command-line tool: compile workbooks into the compiled stream, list a stream, calculate a
// workbook with the runtime's engine outside the host, write, apply and list user data files, and read
// what a saved executable carries.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <unistd.h>

#include "cli.h"
#include "compiler/stand_in_host.h"
#include "functions/function_library.h"

namespace cwbk::cli {

void progress(const std::string& text) {
  if (isatty(STDERR_FILENO)) std::fprintf(stderr, "cwbk: %s\n", text.c_str());
}

void warnAboutSource(const char* command, const compiler::SourceWorkbook& source) {
  for (const std::string& warning : source.warnings)
    std::fprintf(stderr, "cwbk %s: warning: %s\n", command, warning.c_str());
}

compiler::LoadedWorkbook loadForCommand(const char* command, const std::string& path,
                                        const compiler::CompileOptions& options) {
  compiler::LoadedWorkbook loaded = compiler::loadAnyWorkbook(path, options);
  if (loaded.source) warnAboutSource(command, *loaded.source);
  return loaded;
}

} // namespace cwbk::cli

namespace {

const char* const kMainHelp =
    "usage: cwbk COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  compile IN -o OUT [--chunks DIR]   compile a workbook (.xlsx or text) into the compiled stream\n"
    "  dump IN                            list a stream or workbook: sheets, names, cells, formulas\n"
    "  calc IN [--set CELL=VALUE ...]     calculate a workbook and print its values\n"
    "  calc IN.xlsx --check               compare computed values with the values the file cached\n"
    "  data export|import|dump ...        write, apply or list a user data file\n"
    "  sections FILE.exe [--key KEYFILE]  list a saved executable's sections; -o writes their stream\n"
    "\n"
    "IN may be an .xlsx file, a text workbook, a compiled stream, one compressed chunk or a folder of\n"
    "chunks. 'cwbk COMMAND --help' describes a command.\n";

// Returns the message on one line: line breaks and other control characters (from formula texts, say)
// become spaces.
std::string oneLine(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return text;
}

bool wantsHelp(int argc, char** argv) {
  for (int i = 2; i < argc; ++i)
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  return false;
}

} // namespace

int main(int argc, char** argv) {
  cwbk::installFunctionLibrary();
  cwbk::compiler::useStandInHost();
  using namespace cwbk::cli;
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
      std::strcmp(argv[1], "help") == 0) {
    std::fputs(kMainHelp, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  std::string command = argv[1];
  struct Entry {
    const char* name;
    int (*run)(Arguments);
    const char* help;
  };
  const Entry commands[] = {{"compile", runCompile, kCompileHelp},
                            {"dump", runDump, kDumpHelp},
                            {"calc", runCalc, kCalcHelp},
                            {"data", runData, kDataHelp},
                            {"sections", runSections, kSectionsHelp}};
  for (const Entry& entry : commands) {
    if (command != entry.name) continue;
    if (wantsHelp(argc, argv)) {
      std::fputs(entry.help, stdout);
      return 0;
    }
    try {
      return entry.run(Arguments(std::vector<std::string>(argv + 2, argv + argc)));
    } catch (const UsageError& e) {
      std::fprintf(stderr, "cwbk %s: %s (see 'cwbk %s --help')\n", entry.name, oneLine(e.what()).c_str(),
                   entry.name);
      return 2;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "cwbk %s: %s\n", entry.name, oneLine(e.what()).c_str());
      return 1;
    }
  }
  std::fprintf(stderr, "cwbk: unknown command '%s' (see 'cwbk --help')\n", command.c_str());
  return 2;
}
