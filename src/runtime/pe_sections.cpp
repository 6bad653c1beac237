// Executable image sections: the DOS header's pointer to the PE header, the COFF header's section
// count and optional-header size, then the 40-byte section headers.
#include "runtime/pe_sections.h"

#include <cstring>

namespace cwbk {
namespace {

// Reads a little-endian field of `size` bytes at `at`; false when it does not lie inside the bytes.
bool readField(std::span<const uint8_t> bytes, uint64_t at, unsigned size, uint32_t& out) {
  if (at > bytes.size() || bytes.size() - at < size) return false;
  out = 0;
  for (unsigned i = 0; i < size; ++i)
    out |= uint32_t(bytes[at + i]) << (8 * i);
  return true;
}

} // namespace

std::optional<std::span<const uint8_t>> findSection(std::span<const uint8_t> image, std::string_view name) {
  if (name.size() > 8 || image.size() < 2 || image[0] != 'M' || image[1] != 'Z') return std::nullopt;
  uint32_t pe = 0, signature = 0, count = 0, optionalSize = 0;
  if (!readField(image, 0x3C, 4, pe) || !readField(image, pe, 4, signature) || signature != 0x00004550)
    return std::nullopt;
  if (!readField(image, uint64_t(pe) + 6, 2, count) || !readField(image, uint64_t(pe) + 20, 2, optionalSize))
    return std::nullopt;
  const uint64_t table = uint64_t(pe) + 24 + optionalSize;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t header = table + uint64_t(i) * 40;
    if (header > image.size() || image.size() - header < 40) return std::nullopt;
    char sectionName[9] = {};
    std::memcpy(sectionName, image.data() + header, 8);
    if (std::string_view(sectionName) != name) continue;
    uint32_t size = 0, offset = 0;
    readField(image, header + 16, 4, size);
    readField(image, header + 20, 4, offset);
    if (offset > image.size() || image.size() - offset < size) return std::nullopt;
    return image.subspan(offset, size);
  }
  return std::nullopt;
}

} // namespace cwbk
