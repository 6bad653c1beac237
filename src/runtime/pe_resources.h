// Lists the resources of a Windows executable image held in memory: the three levels of the resource
// directory (type, name, language) down to each resource's data. Portable; the image is untrusted.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cwbk {

// One resource. A type or name is either a text (then its id is 0) or an integer id (then its text is
// empty).
struct PeResource {
  std::u16string typeName;
  uint16_t typeId = 0;
  std::u16string name;
  uint16_t nameId = 0;
  uint16_t language = 0;
  std::span<const uint8_t> data; // a view into the image
};

// Returns the image's resources in directory order; an empty list when the image has no resource
// directory. nullopt when it is not an executable image or its resource directory is malformed: a
// directory, name or data entry outside the resource data, a directory reached twice (one that points
// back into itself), a data entry where a directory belongs or the reverse, or data that does not lie
// inside the image.
std::optional<std::vector<PeResource>> listResources(std::span<const uint8_t> image);

// Returns the first resource of the named type (compared without regard to ASCII case, as the system
// does), integer id and language; null when there is none.
const PeResource* findResource(const std::vector<PeResource>& resources, std::u16string_view type,
                               uint16_t id, uint16_t language);
// True when the resource's type is the named one, compared without regard to ASCII case.
bool hasTypeName(const PeResource& resource, std::u16string_view type);

} // namespace cwbk
