// Test support: a minimal 32-bit executable image holding given resources in a ".rsrc" section. The
// directory keeps the order given (types in order of first appearance; a name repeated right after
// itself gathers languages), so tests can also build what the system's writer never would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cwbk::testing {

struct ImageResource {
  std::u16string typeName; // empty: the type is typeId
  uint16_t typeId = 0;
  uint16_t id = 0;
  uint16_t language = 1033;
  std::vector<uint8_t> data;
};

// File offset of the resource directory in a built image (and its relative virtual address).
constexpr uint32_t kResourceFileOffset = 0x200;
constexpr uint32_t kResourceRva = 0x1000;

// Returns the image: DOS header, PE header, a PE32 optional header whose resource entry points at the
// one section, and the section with the resource directory, names, data entries and data.
std::vector<uint8_t> buildPeImage(const std::vector<ImageResource>& resources);

} // namespace cwbk::testing
