// Fuzz target for the compound file directory reader: any bytes yield the names read before any damage
// and one of the three descriptions, never a read outside the bytes or an endless walk.
#include <cstdint>
#include <string_view>

#include "compiler/compound_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  cwbk::compiler::compoundFileEntries(bytes);
  cwbk::compiler::describeCompoundFile(bytes);
  return 0;
}
