// Reads the layout of a Windows executable image held in memory: its section table, the location of
// its resource directory, and the raw contents of named sections. Portable; the image is untrusted and
// nothing is read beyond its end.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cwbk {

// One entry of the section table.
struct PeSection {
  std::string name; // up to 8 characters, cut at the first NUL
  uint32_t virtualSize = 0;
  uint32_t virtualAddress = 0;
  uint32_t rawSize = 0;
  uint32_t rawOffset = 0;
};

// What the headers say: the sections, and the resource directory's address and size from the optional
// header's data directory (both 0 when the optional header has no such entry).
struct PeLayout {
  std::vector<PeSection> sections;
  uint32_t resourceRva = 0;
  uint32_t resourceSize = 0;
};

// Returns the layout of the image; nullopt when it is not an executable image ("MZ", the PE signature)
// or its section table does not lie wholly inside it.
std::optional<PeLayout> readPeLayout(std::span<const uint8_t> image);

// Returns the bytes of the image from the relative virtual address `rva` to the end of the raw data of
// the first section that holds it; nullopt when no section's raw data holds it or that data does not
// lie wholly inside the image.
std::optional<std::span<const uint8_t>> bytesFromRva(std::span<const uint8_t> image, const PeLayout& layout,
                                                     uint32_t rva);

// Returns the raw data of the first section called `name` (at most 8 characters, compared exactly), as
// a view into the image; nullopt when the image is not an executable, has no such section, or the
// section's data does not lie wholly inside the image.
std::optional<std::span<const uint8_t>> findSection(std::span<const uint8_t> image, std::string_view name);

} // namespace cwbk
