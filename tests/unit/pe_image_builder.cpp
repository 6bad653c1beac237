// Test support: the resource directory laid out as directories (root, types, names), then the type
// names, then the data entries, then the data, each piece 4-byte aligned.
#include "pe_image_builder.h"

#include <algorithm>

namespace cwbk::testing {
namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}

void put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + i] = uint8_t(v >> (8 * i));
}

void align(Bytes& b) {
  while (b.size() % 4)
    b.push_back(0);
}

// A directory header with its counts; returns its offset. Entries are filled in afterwards.
size_t addDirectory(Bytes& b, size_t named, size_t ids) {
  const size_t at = b.size();
  b.resize(at + 16 + 8 * (named + ids), 0);
  put16(b, at + 12, uint32_t(named));
  put16(b, at + 14, uint32_t(ids));
  return at;
}

} // namespace

std::vector<uint8_t> buildPeImage(const std::vector<ImageResource>& resources) {
  // Types in order of first appearance, names and languages in the order given.
  struct Name {
    uint16_t id;
    std::vector<std::pair<uint16_t, const Bytes*>> languages;
  };
  struct Type {
    std::u16string name;
    uint16_t id;
    std::vector<Name> names;
  };
  std::vector<Type> tree;
  for (const ImageResource& r : resources) {
    auto type = std::find_if(tree.begin(), tree.end(),
                             [&](const Type& t) { return t.name == r.typeName && t.id == r.typeId; });
    if (type == tree.end()) type = tree.insert(tree.end(), Type{r.typeName, r.typeId, {}});
    if (type->names.empty() || type->names.back().id != r.id) type->names.push_back(Name{r.id, {}});
    type->names.back().languages.push_back({r.language, &r.data});
  }
  Bytes rsrc;
  size_t namedTypes = 0;
  for (const Type& type : tree)
    namedTypes += !type.name.empty();
  const size_t root = addDirectory(rsrc, namedTypes, tree.size() - namedTypes);
  struct Pending {
    size_t entry; // where the entry's data-entry offset goes
    const Bytes* data;
  };
  std::vector<Pending> leaves;
  std::vector<std::pair<size_t, std::u16string>> typeNames; // entry offset, name
  size_t typeIndex = 0;
  for (const Type& type : tree) {
    const size_t typeEntry = root + 16 + 8 * typeIndex++;
    if (type.name.empty())
      put32(rsrc, typeEntry, type.id);
    else
      typeNames.push_back({typeEntry, type.name});
    const size_t typeDir = addDirectory(rsrc, 0, type.names.size());
    put32(rsrc, typeEntry + 4, 0x80000000u | uint32_t(typeDir));
    size_t nameIndex = 0;
    for (const Name& name : type.names) {
      const size_t nameEntry = typeDir + 16 + 8 * nameIndex++;
      put32(rsrc, nameEntry, name.id);
      const size_t nameDir = addDirectory(rsrc, 0, name.languages.size());
      put32(rsrc, nameEntry + 4, 0x80000000u | uint32_t(nameDir));
      size_t languageIndex = 0;
      for (const auto& [language, data] : name.languages) {
        const size_t languageEntry = nameDir + 16 + 8 * languageIndex++;
        put32(rsrc, languageEntry, language);
        leaves.push_back({languageEntry, data});
      }
    }
  }
  for (const auto& [entry, name] : typeNames) {
    align(rsrc);
    put32(rsrc, entry, 0x80000000u | uint32_t(rsrc.size()));
    const size_t at = rsrc.size();
    rsrc.resize(at + 2 + 2 * name.size());
    put16(rsrc, at, uint32_t(name.size()));
    for (size_t i = 0; i < name.size(); ++i)
      put16(rsrc, at + 2 + 2 * i, name[i]);
  }
  align(rsrc);
  std::vector<size_t> dataEntries;
  for (const Pending& leaf : leaves) {
    put32(rsrc, leaf.entry + 4, uint32_t(rsrc.size()));
    dataEntries.push_back(rsrc.size());
    rsrc.resize(rsrc.size() + 16, 0);
  }
  for (size_t i = 0; i < leaves.size(); ++i) {
    align(rsrc);
    put32(rsrc, dataEntries[i], kResourceRva + uint32_t(rsrc.size()));
    put32(rsrc, dataEntries[i] + 4, uint32_t(leaves[i].data->size()));
    rsrc.insert(rsrc.end(), leaves[i].data->begin(), leaves[i].data->end());
  }
  align(rsrc);

  constexpr size_t pe = 0x40, optional = pe + 24, optionalSize = 224, table = optional + optionalSize;
  Bytes image(kResourceFileOffset + rsrc.size(), 0);
  std::copy(rsrc.begin(), rsrc.end(), image.begin() + kResourceFileOffset);
  image[0] = 'M';
  image[1] = 'Z';
  put32(image, 0x3C, pe);
  put32(image, pe, 0x00004550);
  put16(image, pe + 4, 0x14C); // i386
  put16(image, pe + 6, 1);
  put16(image, pe + 20, optionalSize);
  put16(image, pe + 22, 0x0102); // executable, 32-bit
  put16(image, optional, 0x10B);
  put32(image, optional + 32, 0x1000);                               // section alignment
  put32(image, optional + 36, 0x200);                                // file alignment
  put32(image, optional + 56, kResourceRva + uint32_t(rsrc.size())); // image size
  put32(image, optional + 60, kResourceFileOffset);                  // headers size
  put32(image, optional + 92, 16);
  put32(image, optional + 96 + 8 * 2, kResourceRva);
  put32(image, optional + 96 + 8 * 2 + 4, uint32_t(rsrc.size()));
  const char name[8] = {'.', 'r', 's', 'r', 'c'};
  std::copy(name, name + 8, image.begin() + table);
  put32(image, table + 8, uint32_t(rsrc.size()));
  put32(image, table + 12, kResourceRva);
  put32(image, table + 16, uint32_t(rsrc.size()));
  put32(image, table + 20, kResourceFileOffset);
  put32(image, table + 36, 0x40000040); // initialised data, readable
  return image;
}

} // namespace cwbk::testing
