// Fuzz target for the .xlsx reader: any bytes either read into a source workbook or fail with a
// SourceError, within small limits on inflated sizes and texts; what reads compiles or fails with a
// CompileError (shared formulas moved to their cells included).
#include <cstdint>
#include <string_view>

#include "compiler/workbook_compiler.h"
#include "compiler/xlsx_reader.h"

using namespace cwbk::compiler;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  XlsxReadOptions options;
  options.maxPartSize = 1 << 20;
  options.maxTotalSize = 4 << 20;
  options.maxTextUnits = 1 << 20;
  try {
    SourceWorkbook workbook =
        readXlsxBuffer(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.xlsx", options);
    CompileOptions compile;
    compile.lenient = true;
    compileToStream(workbook, compile);
  } catch (const SourceError&) {
  } catch (const CompileError&) {
  }
  return 0;
}
