// The resource directory: a tree of 16-byte directory headers, each followed by its named entries and
// then its id entries (8 bytes each). An entry's first word is a name (high bit set: the offset of a
// counted UTF-16 text) or an integer id; its second word is the offset of a subdirectory (high bit set)
// or of a data entry {data RVA, size, code page, reserved}. Offsets count from the directory's start;
// data RVAs go through the section table. Every directory is visited at most once, so the walk ends
// whatever the offsets say.
#include "runtime/pe_resources.h"

#include <algorithm>
#include <set>

#include "runtime/pe_sections.h"
#include "values/little_endian.h"

namespace cwbk {
namespace {

constexpr uint32_t kHighBit = 0x80000000u;
constexpr int kLevels = 3; // type, name, language

class ResourceWalk {
public:
  ResourceWalk(std::span<const uint8_t> image, const PeLayout& layout, std::span<const uint8_t> directory)
      : image_(image), layout_(layout), directory_(directory) {}

  // Walks the directory at `offset` of the given level (0 type, 1 name, 2 language), appending each
  // resource under `path`. False when anything is malformed.
  bool walk(uint32_t offset, int level, PeResource path, std::vector<PeResource>& out) {
    if (!visited_.insert(offset).second || !inside(offset, 16)) return false;
    const uint8_t* header = directory_.data() + offset;
    const uint64_t entries = uint64_t(getLE<uint16_t>(header + 12)) + getLE<uint16_t>(header + 14);
    if (!inside(uint64_t(offset) + 16, entries * 8)) return false;
    for (uint64_t i = 0; i < entries; ++i) {
      const uint8_t* entry = header + 16 + i * 8;
      const uint32_t nameWord = getLE<uint32_t>(entry), target = getLE<uint32_t>(entry + 4);
      std::u16string text;
      if (nameWord & kHighBit && !readName(nameWord & ~kHighBit, text)) return false;
      const uint16_t id = nameWord & kHighBit ? 0 : uint16_t(nameWord);
      if (level == 0) {
        path.typeName = std::move(text);
        path.typeId = id;
      } else if (level == 1) {
        path.name = std::move(text);
        path.nameId = id;
      } else {
        path.language = id;
      }
      const bool subdirectory = target & kHighBit;
      if (subdirectory != (level + 1 < kLevels)) return false;
      if (subdirectory) {
        if (!walk(target & ~kHighBit, level + 1, path, out)) return false;
      } else {
        if (!readData(target, path.data)) return false;
        out.push_back(path);
      }
    }
    return true;
  }

private:
  bool inside(uint64_t offset, uint64_t size) const {
    return offset <= directory_.size() && directory_.size() - offset >= size;
  }

  bool readName(uint32_t offset, std::u16string& text) const {
    if (!inside(offset, 2)) return false;
    const uint16_t length = getLE<uint16_t>(directory_.data() + offset);
    if (!inside(uint64_t(offset) + 2, uint64_t(length) * 2)) return false;
    text.resize(length);
    for (uint16_t i = 0; i < length; ++i)
      text[i] = char16_t(getLE<uint16_t>(directory_.data() + offset + 2 + 2 * i));
    return true;
  }

  bool readData(uint32_t offset, std::span<const uint8_t>& data) const {
    if (!inside(offset, 16)) return false;
    const uint32_t rva = getLE<uint32_t>(directory_.data() + offset);
    const uint32_t size = getLE<uint32_t>(directory_.data() + offset + 4);
    if (size == 0) {
      data = {};
      return true;
    }
    std::optional<std::span<const uint8_t>> bytes = bytesFromRva(image_, layout_, rva);
    if (!bytes || bytes->size() < size) return false;
    data = bytes->first(size);
    return true;
  }

  std::span<const uint8_t> image_;
  const PeLayout& layout_;
  std::span<const uint8_t> directory_;
  std::set<uint32_t> visited_;
};

} // namespace

std::optional<std::vector<PeResource>> listResources(std::span<const uint8_t> image) {
  std::optional<PeLayout> layout = readPeLayout(image);
  if (!layout) return std::nullopt;
  std::vector<PeResource> resources;
  if (layout->resourceRva == 0) return resources;
  // The directory's offsets may reach anywhere in the section that holds it, not only within the size
  // the data directory gives.
  std::optional<std::span<const uint8_t>> directory = bytesFromRva(image, *layout, layout->resourceRva);
  if (!directory) return std::nullopt;
  ResourceWalk walk(image, *layout, *directory);
  if (!walk.walk(0, 0, PeResource{}, resources)) return std::nullopt;
  return resources;
}

bool hasTypeName(const PeResource& resource, std::u16string_view type) {
  auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; };
  return resource.typeId == 0 &&
         std::equal(resource.typeName.begin(), resource.typeName.end(), type.begin(), type.end(),
                    [&](char16_t a, char16_t b) { return upper(a) == upper(b); });
}

const PeResource* findResource(const std::vector<PeResource>& resources, std::u16string_view type,
                               uint16_t id, uint16_t language) {
  for (const PeResource& resource : resources)
    if (hasTypeName(resource, type) && resource.name.empty() && resource.nameId == id &&
        resource.language == language)
      return &resource;
  return nullptr;
}

} // namespace cwbk
