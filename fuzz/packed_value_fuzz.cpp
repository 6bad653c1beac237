// Fuzz target for the packed value form: any bytes unpack without reading past their end, and a
// value that unpacked packs back to bytes that unpack to the same value.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "values/calc_value.h"

using namespace cwbk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Copy into an exact-size buffer so that ASan sees any read past the end.
  std::vector<uint8_t> bytes(data + 1, data + size);
  CalcValue v;
  size_t used = v.unpack(data[0], bytes.data(), bytes.size());
  if (used > bytes.size()) std::abort();
  std::vector<uint8_t> packed;
  v.pack(packed);
  CalcValue back;
  size_t again = back.unpack(packed[0], packed.data() + 1, packed.size() - 1);
  if (again + 1 != packed.size() || !back.sameAs(v)) std::abort();
  return 0;
}
