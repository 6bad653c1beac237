// The encoded string table and the executable section reader that the section key source uses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/encoded_strings.h"
#include "runtime/pe_sections.h"

using namespace cwbk;

namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + i] = uint8_t(v >> (8 * i));
}

// A minimal executable image: DOS header, PE header without optional header, and the named sections
// with their contents laid out after the section table.
Bytes imageWith(const std::vector<std::pair<std::string, std::string>>& sections) {
  const size_t pe = 0x40, table = pe + 24;
  Bytes image(table + 40 * sections.size(), 0);
  image[0] = 'M';
  image[1] = 'Z';
  put32(image, 0x3C, pe);
  put32(image, pe, 0x00004550);
  image[pe + 6] = uint8_t(sections.size());
  for (size_t i = 0; i < sections.size(); ++i) {
    const size_t header = table + 40 * i;
    std::memcpy(image.data() + header, sections[i].first.data(),
                std::min<size_t>(8, sections[i].first.size()));
    put32(image, header + 16, uint32_t(sections[i].second.size()));
    put32(image, header + 20, uint32_t(image.size()));
    image.insert(image.end(), sections[i].second.begin(), sections[i].second.end());
  }
  return image;
}

std::string text(std::span<const uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

} // namespace

TEST(EncodedStrings, DecodeToTheirTextsAndAreNotStoredPlain) {
  EXPECT_EQ(encodedString(EncodedString::MainWindowClass), u"XLMAIN");
  EXPECT_EQ(encodedAscii(EncodedString::KeySection1), ".text");
  EXPECT_EQ(encodedAscii(EncodedString::KeySection2), ".rdata");
  for (uint32_t i = 0; i < uint32_t(EncodedString::Count); ++i)
    EXPECT_FALSE(encodedString(EncodedString(i)).empty()) << i;
  EXPECT_TRUE(encodedString(EncodedString::Count).empty());
  EXPECT_TRUE(encodedString(EncodedString(1000)).empty());
}

TEST(PeSections, FindsNamedSectionsInsideTheImage) {
  const Bytes image = imageWith({{".text", "code bytes"}, {".rdata", "read-only"}, {".longname", "x"}});
  auto first = findSection(image, ".text");
  auto second = findSection(image, ".rdata");
  ASSERT_TRUE(first && second);
  EXPECT_EQ(text(*first), "code bytes");
  EXPECT_EQ(text(*second), "read-only");
  EXPECT_EQ(text(*findSection(image, ".longnam")), "x"); // names are cut at 8 characters
  EXPECT_FALSE(findSection(image, ".data"));
  EXPECT_FALSE(findSection(image, ".longname"));
}

TEST(PeSections, MalformedImagesYieldNothing) {
  const Bytes good = imageWith({{".text", "code bytes"}});
  struct Case {
    const char* what;
    Bytes image;
  } cases[] = {
      {"empty", {}},
      {"no MZ",
       [&] {
         Bytes b = good;
         b[0] = 'X';
         return b;
       }()},
      {"cut inside DOS header", Bytes(good.begin(), good.begin() + 0x3E)},
      {"PE offset past end",
       [&] {
         Bytes b = good;
         put32(b, 0x3C, 0xFFFFFFF0);
         return b;
       }()},
      {"bad signature",
       [&] {
         Bytes b = good;
         b[0x40] = 'N';
         return b;
       }()},
      {"section count beyond table",
       [&] {
         Bytes b = good;
         b[0x46] = 0xFF;
         b[0x47] = 0xFF;
         b[0x40 + 24 + 1] = 'x';
         return b;
       }()},
      {"optional header past end",
       [&] {
         Bytes b = good;
         b[0x54] = 0xFF;
         b[0x55] = 0xFF;
         return b;
       }()},
      {"data cut off", Bytes(good.begin(), good.end() - 1)},
      {"data offset overflows",
       [&] {
         Bytes b = good;
         put32(b, 0x40 + 24 + 20, 0xFFFFFFFF);
         return b;
       }()},
  };
  for (const Case& c : cases)
    EXPECT_FALSE(findSection(c.image, ".text")) << c.what;
}
