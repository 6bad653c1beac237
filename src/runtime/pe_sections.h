// Reads the raw contents of named sections out of a Windows executable image held in memory. Portable;
// the image is untrusted and nothing is read beyond its end.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace cwbk {

// Returns the raw data of the first section called `name` (at most 8 characters, compared exactly), as
// a view into the image; nullopt when the image is not an executable, has no such section, or the
// section's data does not lie wholly inside the image.
std::optional<std::span<const uint8_t>> findSection(std::span<const uint8_t> image, std::string_view name);

} // namespace cwbk
