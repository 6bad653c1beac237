// Fuzz target for the settings block: any bytes parse without reading past their end, as they come and
// with the header size replaced by each layout the parser knows (and a size beside each).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "formula/compressed_block.h"
#include "runtime/app_settings.h"

using namespace cwbk;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// Every field is a piece of the block: none can be longer than the block itself.
void checkBounded(const AppSettings& s, size_t size) {
  check(s.AppName.size() * 2 <= size && s.legalNotice.size() * 2 <= size);
  check(s.protectionPassword.size() <= size && s.text4.size() * 2 <= size && s.text5.size() * 2 <= size);
  check(s.byteString6.size() <= size && s.text7.size() * 2 <= size && s.text8.size() <= size);
  check(s.workbookPassword.size() <= size);
  if (s.perSheetFlags) {
    check(s.perSheetFlags->sheets.size() * 4 <= size);
    for (const SheetProtection& sheet : s.perSheetFlags->sheets)
      check((sheet.flags & ~PerSheetFlags::kSheetFlagsMask) == 0 && sheet.password.size() <= size);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A compressed block is inflated first and may hold more than it takes.
  bool compressed = CompressedBlock::hasMagic(data, size);
  checkBounded(parseAppSettings({data, size}), compressed ? CompressedBlock::kMaxRawLength : size);
  if (size < 2) return 0;
  static const uint16_t sizes[] = {0,  1,  2,  23, 24, 25, 27,  28,  29,  71,
                                   72, 73, 79, 80, 81, 90, 103, 104, 105, 0xFFFF};
  std::vector<uint8_t> copy(data, data + size);
  for (uint16_t headerSize : sizes) {
    copy[0] = uint8_t(headerSize);
    copy[1] = uint8_t(headerSize >> 8);
    AppSettings s = parseAppSettings(copy);
    check(s.headerSize == headerSize);
    checkBounded(s, size);
  }
  return 0;
}
