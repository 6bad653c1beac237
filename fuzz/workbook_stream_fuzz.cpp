// Fuzz target for the whole compiled workbook stream: any bytes load into the model without fault,
// prepare and calculate, the loaded model writes back, and what it wrote loads again.
#include <cstdint>
#include <vector>

#include "formula/compiled_workbook.h"
#include "formula/stream_reader.h"
#include "formula/workbook_stream.h"
#include "functions/function_library.h"

using namespace cwbk;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  installFunctionLibrary();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CompiledWorkbook workbook;
  StreamReader reader;
  reader.addInflated(std::vector<uint8_t>(data, data + size));
  loadWorkbook(reader, workbook);
  workbook.prepareAfterLoad();

  std::vector<uint8_t> written;
  if (writeWorkbook(workbook, written).ok) {
    CompiledWorkbook again;
    StreamReader second;
    second.addInflated(std::move(written));
    loadWorkbook(second, again);
  }
  return 0;
}
