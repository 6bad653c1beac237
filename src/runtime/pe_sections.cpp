// Executable image sections: the DOS header's pointer to the PE header, the COFF header's section
// count and optional-header size, the optional header's resource directory entry, then the 40-byte
// section headers.
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

bool inside(std::span<const uint8_t> image, uint64_t offset, uint64_t size) {
  return offset <= image.size() && image.size() - offset >= size;
}

// Optional header magics and where their data directories (count, then 8-byte entries) begin.
constexpr uint32_t kPe32Magic = 0x10B, kPe32PlusMagic = 0x20B;
constexpr uint32_t kPe32Directories = 92, kPe32PlusDirectories = 108;
constexpr uint32_t kResourceDirectoryIndex = 2;

} // namespace

std::optional<PeLayout> readPeLayout(std::span<const uint8_t> image) {
  if (image.size() < 2 || image[0] != 'M' || image[1] != 'Z') return std::nullopt;
  uint32_t pe = 0, signature = 0, count = 0, optionalSize = 0;
  if (!readField(image, 0x3C, 4, pe) || !readField(image, pe, 4, signature) || signature != 0x00004550)
    return std::nullopt;
  if (!readField(image, uint64_t(pe) + 6, 2, count) || !readField(image, uint64_t(pe) + 20, 2, optionalSize))
    return std::nullopt;
  const uint64_t optional = uint64_t(pe) + 24;
  const uint64_t table = optional + optionalSize;
  if (!inside(image, table, uint64_t(count) * 40)) return std::nullopt;

  PeLayout layout;
  uint32_t magic = 0, directories = 0;
  if (optionalSize >= 2 && readField(image, optional, 2, magic) &&
      (magic == kPe32Magic || magic == kPe32PlusMagic)) {
    const uint32_t at = magic == kPe32Magic ? kPe32Directories : kPe32PlusDirectories;
    const uint64_t entry = optional + at + 4 + 8 * kResourceDirectoryIndex;
    if (readField(image, optional + at, 4, directories) && directories > kResourceDirectoryIndex &&
        entry + 8 <= table) {
      readField(image, entry, 4, layout.resourceRva);
      readField(image, entry + 4, 4, layout.resourceSize);
    }
  }
  layout.sections.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t header = table + uint64_t(i) * 40;
    char name[9] = {};
    std::memcpy(name, image.data() + header, 8);
    PeSection section;
    section.name = name;
    readField(image, header + 8, 4, section.virtualSize);
    readField(image, header + 12, 4, section.virtualAddress);
    readField(image, header + 16, 4, section.rawSize);
    readField(image, header + 20, 4, section.rawOffset);
    layout.sections.push_back(std::move(section));
  }
  return layout;
}

std::optional<std::span<const uint8_t>> bytesFromRva(std::span<const uint8_t> image, const PeLayout& layout,
                                                     uint32_t rva) {
  for (const PeSection& section : layout.sections) {
    if (rva < section.virtualAddress || rva - section.virtualAddress >= section.rawSize) continue;
    if (!inside(image, section.rawOffset, section.rawSize)) return std::nullopt;
    return image.subspan(section.rawOffset + (rva - section.virtualAddress),
                         section.rawSize - (rva - section.virtualAddress));
  }
  return std::nullopt;
}

std::optional<std::span<const uint8_t>> findSection(std::span<const uint8_t> image, std::string_view name) {
  if (name.size() > 8) return std::nullopt;
  std::optional<PeLayout> layout = readPeLayout(image);
  if (!layout) return std::nullopt;
  for (const PeSection& section : layout->sections) {
    if (section.name != name) continue;
    if (!inside(image, section.rawOffset, section.rawSize)) return std::nullopt;
    return image.subspan(section.rawOffset, section.rawSize);
  }
  return std::nullopt;
}

} // namespace cwbk
