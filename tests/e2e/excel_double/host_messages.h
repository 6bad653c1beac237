// The application executable's side of the host messages, for the end-to-end scenarios and the demo
// host: the settings block, the executable that the section key is made of, the workbook's chunks.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cwbk::testing {

using Bytes = std::vector<uint8_t>;

inline void put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + i] = uint8_t(v >> (8 * i));
}

// An executable image with the two sections the section key is made of.
inline Bytes keySourceImage(const std::string& first, const std::string& second) {
  Bytes image(0x40 + 24 + 80, 0);
  image[0] = 'M';
  image[1] = 'Z';
  put32(image, 0x3C, 0x40);
  put32(image, 0x40, 0x00004550);
  image[0x46] = 2;
  const std::pair<const char*, const std::string*> sections[] = {{".text", &first}, {".rdata", &second}};
  for (size_t i = 0; i < 2; ++i) {
    const size_t header = 0x40 + 24 + 40 * i;
    std::memcpy(image.data() + header, sections[i].first, std::strlen(sections[i].first));
    put32(image, header + 16, uint32_t(sections[i].second->size()));
    put32(image, header + 20, uint32_t(image.size()));
    image.insert(image.end(), sections[i].second->begin(), sections[i].second->end());
  }
  return image;
}

// A settings block of the current layout: version 1.2.3, the flags, the application name and its
// legal notice.
inline Bytes settingsBlock(uint16_t flags, std::u16string_view name, std::u16string_view notice = {}) {
  Bytes block(104 + name.size() * 2 + notice.size() * 2, 0);
  block[0] = 104;
  put32(block, 4, 0x01020300);
  block[24] = uint8_t(flags);
  block[25] = uint8_t(flags >> 8);
  block[26] = uint8_t(name.size() * 2);
  block[28] = uint8_t(notice.size() * 2);
  block[29] = uint8_t((notice.size() * 2) >> 8);
  std::memcpy(block.data() + 104, name.data(), name.size() * 2);
  std::memcpy(block.data() + 104 + name.size() * 2, notice.data(), notice.size() * 2);
  return block;
}

} // namespace cwbk::testing
