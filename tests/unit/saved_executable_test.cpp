// Reading a saved executable: the resource directory of an image, the workbook resource, and the
// compiled stream put together from its sections, with every way a section list can be wrong.
#include "runtime/saved_executable.h"

#include <gtest/gtest.h>

#include "formula/compressed_block.h"
#include "pe_image_builder.h"
#include "runtime/encoded_strings.h"
#include "runtime/pe_resources.h"
#include "runtime/section_writer.h"

using namespace cwbk;
using cwbk::testing::buildPeImage;
using cwbk::testing::ImageResource;

namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + i] = uint8_t(v >> (8 * i));
}

Bytes pattern(size_t n) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = uint8_t(i * i % 13 + i / 1000);
  return v;
}

SectionKey testKey(uint8_t seed = 1) {
  const uint8_t a[] = {seed, 2, 3}, b[] = {4, 5};
  return SectionKey::fromSections(a, b);
}

// Collects the sections as the resources of an image.
struct ImageSink : ResourceSink {
  std::vector<ImageResource> resources;
  bool writeResource(std::u16string_view type, uint16_t id, std::span<const uint8_t> data) override {
    resources.push_back({std::u16string(type), 0, id, kResourceLanguage, Bytes(data.begin(), data.end())});
    return true;
  }
};

// The resources a save writes for a stream (its sections combined with the key), with the workbook
// resource first.
std::vector<ImageResource> savedResources(const Bytes& stream, const SectionKey& key) {
  SectionWriter writer(key);
  appendStreamToSections(writer, stream);
  ImageSink sink;
  sink.resources.push_back({u"CWBKBOOK", 0, kWorkbookResourceId, kResourceLanguage,
                            buildWorkbookBlock(0x1234ABCD, Bytes{'P', 'K', 3, 4})});
  EXPECT_EQ(writer.writeSections(sink, key), SectionWriteStatus::Written);
  return sink.resources;
}

ImageResource section(uint16_t id, Bytes data, uint16_t language = kResourceLanguage) {
  return {u"EXTRSC", 0, id, language, std::move(data)};
}

Bytes block(const Bytes& raw, const SectionKey& key) {
  Bytes b = CompressedBlock::write(raw.data(), raw.size());
  key.combineBlock(b);
  return b;
}

} // namespace

TEST(WorkbookResource, CarriesTheTagAndTheFile) {
  EXPECT_EQ(encodedString(EncodedString::WorkbookResourceType), u"CWBKBOOK");
  const Bytes file = pattern(10000);
  const Bytes b = buildWorkbookBlock(0xFEDCBA98, file);
  auto read = readWorkbookBlock(b);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->tag, 0xFEDCBA98u);
  EXPECT_EQ(read->file, file);
  Bytes raw;
  ASSERT_TRUE(CompressedBlock::read(b.data(), b.size(), raw));
  EXPECT_EQ(Bytes(raw.begin(), raw.begin() + 4), (Bytes{0x98, 0xBA, 0xDC, 0xFE})); // little-endian tag

  auto empty = readWorkbookBlock(buildWorkbookBlock(7, {}));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->tag, 7u);
  EXPECT_TRUE(empty->file.empty());

  const Bytes three{1, 2, 3};
  EXPECT_FALSE(readWorkbookBlock(CompressedBlock::write(three.data(), three.size()))) << "shorter than a tag";
  EXPECT_FALSE(readWorkbookBlock(Bytes(b.begin(), b.end() - 5))) << "cut short";
  EXPECT_FALSE(readWorkbookBlock(Bytes{}));
}

TEST(PeResources, ListsTypesNamesAndLanguages) {
  const Bytes image = buildPeImage({
      {u"CWBKBOOK", 0, 1020, 1033, {1, 2, 3}},
      {u"EXTRSC", 0, 1200, 1033, {4}},
      {u"EXTRSC", 0, 1200, 1031, {5, 6}},
      {u"EXTRSC", 0, 1201, 1033, {}},
      {u"", 3, 1, 0, {7, 8, 9, 10}},
  });
  auto resources = listResources(image);
  ASSERT_TRUE(resources);
  ASSERT_EQ(resources->size(), 5u);
  const PeResource& icon = (*resources)[4];
  EXPECT_TRUE(icon.typeName.empty());
  EXPECT_EQ(icon.typeId, 3);
  EXPECT_EQ(Bytes(icon.data.begin(), icon.data.end()), (Bytes{7, 8, 9, 10}));
  EXPECT_EQ((*resources)[2].language, 1031);
  EXPECT_TRUE((*resources)[3].data.empty());

  const PeResource* book = findResource(*resources, u"cwbkbook", 1020, 1033);
  ASSERT_TRUE(book);
  EXPECT_EQ(Bytes(book->data.begin(), book->data.end()), (Bytes{1, 2, 3}));
  EXPECT_EQ(findResource(*resources, u"EXTRSC", 1200, 1031)->data.size(), 2u);
  EXPECT_FALSE(findResource(*resources, u"EXTRSC", 1202, 1033));
  EXPECT_FALSE(findResource(*resources, u"CWBKBOO", 1020, 1033));
}

TEST(PeResources, MalformedDirectoriesYieldNothing) {
  const Bytes good = buildPeImage({{u"AB", 0, 1, 1033, {1, 2, 3, 4}}});
  ASSERT_TRUE(listResources(good));
  const size_t dir = cwbk::testing::kResourceFileOffset;
  // Directory layout of the image: root at 0 (entry at 16), type directory at 24 (entry at 40), name
  // directory at 48 (entry at 64), the type name at 72, the data entry at 80.
  auto patched = [&](size_t at, uint32_t v) {
    Bytes b = good;
    put32(b, dir + at, v);
    return b;
  };
  struct Case {
    const char* what;
    Bytes image;
  } cases[] = {
      {"not an image", Bytes(good.begin() + 1, good.end())},
      {"directory points back at the root", patched(20, 0x80000000u)},
      {"type directory points at itself", patched(44, 0x80000000u | 24)},
      {"subdirectory past the end", patched(20, 0x80FFFFF0u)},
      {"entry counts past the end", patched(12, 0xFFFF0000u)},
      {"type name past the end", patched(16, 0x8000FFF0u)},
      {"type name length past the end", patched(72, 0xFFFF)},
      {"data entry where a directory belongs", patched(20, 80)},
      {"directory where a data entry belongs", patched(68, 0x80000000u | 48)},
      {"data entry past the end", patched(68, 0xFFFFFFF0u & 0x7FFFFFFF)},
      {"data outside every section", patched(80, 0x9000)},
      {"data longer than its section", patched(84, 0x10000)},
      {"resource directory outside every section",
       [&] {
         Bytes b = good;
         put32(b, 0x40 + 24 + 96 + 16, 0x7000);
         return b;
       }()},
      {"section data cut off", Bytes(good.begin(), good.end() - 4)},
  };
  for (const Case& c : cases)
    EXPECT_FALSE(listResources(c.image)) << c.what;

  // Without a resource directory there is nothing to list.
  Bytes none = good;
  put32(none, 0x40 + 24 + 96 + 16, 0);
  auto resources = listResources(none);
  ASSERT_TRUE(resources);
  EXPECT_TRUE(resources->empty());
}

TEST(SavedStream, RoundTripsThroughTheSectionWriterAndAnImage) {
  const SectionKey key = testKey();
  const Bytes stream = pattern(SectionWriter::kCutSize + 300000);
  const Bytes image = buildPeImage(savedResources(stream, key));

  SavedStream read = readSavedStream(image, key);
  ASSERT_EQ(read.status, SavedStreamStatus::Read) << read.message;
  EXPECT_EQ(read.stream, stream);
  ASSERT_EQ(read.sections.size(), 2u);
  EXPECT_EQ(read.sections[0].id, 1200);
  EXPECT_EQ(read.sections[1].id, 1201);
  EXPECT_EQ(uint64_t(read.sections[0].rawSize) + read.sections[1].rawSize, stream.size());

  auto resources = listResources(image);
  const PeResource* book = findResource(*resources, encodedString(EncodedString::WorkbookResourceType),
                                        kWorkbookResourceId, kResourceLanguage);
  ASSERT_TRUE(book);
  auto workbook = readWorkbookBlock(book->data);
  ASSERT_TRUE(workbook);
  EXPECT_EQ(workbook->tag, 0x1234ABCDu);

  // Without a key the sections are stored plain.
  const Bytes plain = buildPeImage(savedResources(stream, SectionKey{}));
  EXPECT_EQ(readSavedStream(plain, SectionKey{}).stream, stream);
}

TEST(SavedStream, FailuresReturnNothing) {
  const SectionKey key = testKey();
  const Bytes a = pattern(1000), b = pattern(2000);
  auto image = [](std::vector<ImageResource> resources) { return buildPeImage(resources); };
  Bytes badMagic = block(a, key);
  badMagic[0] = 'X';
  Bytes badHeaderSize = block(a, key);
  put32(badHeaderSize, 4, 28);
  Bytes huge = block(a, key);
  put32(huge, 16, 0x7FFFFFFF);
  Bytes implausible = block(a, key);
  put32(implausible, 16, uint32_t(implausible.size() * 2000));
  Bytes longer = block(a, key);
  put32(longer, 16, 1001);
  Bytes cut = block(b, key);
  cut.resize(cut.size() - 10);
  std::vector<ImageResource> tooMany;
  for (uint16_t id = kFirstSectionId; id <= kLastSectionId + 1; ++id)
    tooMany.push_back(section(id, {}));

  struct Case {
    const char* what;
    Bytes image;
    SavedStreamStatus status;
    const char* message;
  } cases[] = {
      {"not an image", Bytes(100, 'M'), SavedStreamStatus::NotAnImage, "not an executable image"},
      {"no sections", image({{u"CWBKBOOK", 0, 1020, 1033, {1}}}), SavedStreamStatus::NoSections,
       "no sections"},
      {"sections in another language", image({section(1200, block(a, key), 1031)}),
       SavedStreamStatus::NoSections, "no sections"},
      {"a gap", image({section(1200, block(a, key)), section(1202, block(b, key))}),
       SavedStreamStatus::Missing, "section 1201 is missing"},
      {"not starting at 1200", image({section(1201, block(a, key))}), SavedStreamStatus::Missing,
       "section 1200 is missing"},
      {"out of order",
       image({section(1200, block(a, key)), section(1202, block(a, key)), section(1201, block(b, key))}),
       SavedStreamStatus::Missing, "section 1201 is missing"},
      {"repeated",
       image({section(1200, block(a, key)), section(1201, block(a, key)), section(1201, block(b, key))}),
       SavedStreamStatus::OutOfOrder, "section 1201 is out of order"},
      {"going back", image({section(1200, block(a, key)), section(1200, block(b, key))}),
       SavedStreamStatus::OutOfOrder, "section 1200 is out of order"},
      {"too many", image(tooMany), SavedStreamStatus::TooMany, "202 sections"},
      {"wrong magic", image({section(1200, block(a, key)), section(1201, badMagic)}),
       SavedStreamStatus::NotABlock, "section 1201 is not a compressed block"},
      {"wrong header size", image({section(1200, badHeaderSize)}), SavedStreamStatus::NotABlock,
       "section 1200 is not"},
      {"shorter than a header", image({section(1200, Bytes{'V', 'Q', 'K', 0, 24})}),
       SavedStreamStatus::NotABlock, "section 1200 is not"},
      {"oversized", image({section(1200, block(a, key)), section(1201, huge)}), SavedStreamStatus::Oversized,
       "section 1201 declares 2147483647 bytes"},
      {"more than its data can inflate to", image({section(1200, implausible)}), SavedStreamStatus::Oversized,
       "section 1200 declares"},
      {"wrong key", image({section(1200, block(a, testKey(2)))}), SavedStreamStatus::Undecodable,
       "section 1200 does not inflate"},
      {"plain where a key is expected", image({section(1200, block(a, SectionKey{}))}),
       SavedStreamStatus::Undecodable, "section 1200 does not inflate"},
      {"fewer bytes than declared", image({section(1200, longer)}), SavedStreamStatus::Undecodable,
       "section 1200 does not inflate to its 1001 bytes"},
      {"cut short", image({section(1200, block(a, key)), section(1201, cut)}), SavedStreamStatus::Undecodable,
       "section 1201"},
  };
  for (const Case& c : cases) {
    SavedStream read = readSavedStream(c.image, key);
    EXPECT_EQ(read.status, c.status) << c.what << ": " << read.message;
    EXPECT_NE(read.message.find(c.message), std::string::npos) << c.what << ": " << read.message;
    EXPECT_TRUE(read.stream.empty()) << c.what;
    EXPECT_TRUE(read.sections.empty()) << c.what;
  }
}
