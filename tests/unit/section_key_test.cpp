// The section key: the Whirlpool digest of two sections against the published test vectors, and the
// repeating-key combining of whole buffers and of compressed blocks.
#include "runtime/section_key.h"

#include <gtest/gtest.h>

#include <string_view>

#include "formula/compressed_block.h"

using namespace cwbk;

namespace {

using Bytes = std::vector<uint8_t>;

std::span<const uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string hex(const Bytes& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

Bytes counting(size_t n) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = uint8_t(i * 7 + 3);
  return v;
}

// Whirlpool (ISO/IEC 10118-3) test vectors.
constexpr const char* kDigestOfNothing = "19FA61D75522A4669B44E39C1D2E1726C530232130D407F89AFEE0964997F7A7"
                                         "3E83BE698B288FEBCF88E3E03C4F0757EA8964E59B63D93708B138CC42A66EB3";
constexpr const char* kDigestOfAbc = "4E2448A4C6F486BB16B6562C73B4020BF3043E3A731BCE721AE1B303D97E6D4C"
                                     "7181EEBDB6C57E277D0E34957114CBD6C797FC9D95D8B582D225292076D4EEF5";
constexpr const char* kDigestOfMessageDigest =
    "378C84A4126E2DC6E56DCC7458377AAC838D00032230F53CE1F5700C0FFB4D3B"
    "8421557659EF55C106B4B52AC5A4AAA692ED920052838F3362E86DBD37A8903E";

} // namespace

TEST(SectionKey, IsTheWhirlpoolDigestOfTheFirstSectionThenTheSecond) {
  struct Case {
    std::string_view first, second;
    const char* digest;
  } cases[] = {
      {"abc", "", kDigestOfAbc},
      {"", "abc", kDigestOfAbc},
      {"ab", "c", kDigestOfAbc},
      {"", "", kDigestOfNothing},
      {"message ", "digest", kDigestOfMessageDigest},
  };
  for (const Case& c : cases) {
    SectionKey key = SectionKey::fromSections(bytesOf(c.first), bytesOf(c.second));
    EXPECT_EQ(hex(key.bytes()), c.digest) << c.first << " + " << c.second;
  }
  // The order of the sections matters.
  EXPECT_NE(SectionKey::fromSections(bytesOf("c"), bytesOf("ab")).bytes(),
            SectionKey::fromSections(bytesOf("ab"), bytesOf("c")).bytes());
}

TEST(SectionKey, CombiningRepeatsTheKeyAndUndoesItself) {
  SectionKey key = SectionKey::fromSections(bytesOf("first section"), bytesOf("second section"));
  ASSERT_EQ(key.bytes().size(), SectionKey::kSize);
  const Bytes plain = counting(150); // more than two rounds of the key
  Bytes data = plain;
  key.combine(data);
  for (size_t i = 0; i < data.size(); ++i)
    ASSERT_EQ(data[i], plain[i] ^ key.bytes()[i % 64]) << i;
  key.combine(data);
  EXPECT_EQ(data, plain);

  SectionKey none;
  EXPECT_TRUE(none.empty());
  none.combine(data);
  EXPECT_EQ(data, plain);
}

TEST(SectionKey, BlocksAreCombinedFromTheirHeaderSizeOn) {
  SectionKey key = SectionKey::fromSections(bytesOf("a"), bytesOf("b"));
  const Bytes raw = counting(500);
  const Bytes block = CompressedBlock::write(raw.data(), raw.size());
  ASSERT_GT(block.size(), CompressedBlock::kHeaderSize);

  Bytes combined = block;
  ASSERT_TRUE(key.combineBlock(combined));
  // The header stays plain; the zlib stream is combined with the key starting over at its first byte.
  EXPECT_TRUE(std::equal(block.begin(), block.begin() + 24, combined.begin()));
  for (size_t i = 24; i < block.size(); ++i)
    ASSERT_EQ(combined[i], block[i] ^ key.bytes()[(i - 24) % 64]) << i;
  Bytes inflated;
  EXPECT_FALSE(CompressedBlock::read(combined.data(), combined.size(), inflated));
  ASSERT_TRUE(key.combineBlock(combined));
  EXPECT_EQ(combined, block);

  // The start comes from the header-size field, whatever it says.
  Bytes moved = block;
  moved[4] = 30;
  Bytes expected = moved;
  for (size_t i = 30; i < moved.size(); ++i)
    expected[i] ^= key.bytes()[(i - 30) % 64];
  ASSERT_TRUE(key.combineBlock(moved));
  EXPECT_EQ(moved, expected);

  // Without the magic nothing changes; a header size that is cut off or points past the end combines
  // nothing.
  struct Case {
    const char* what;
    Bytes bytes;
    bool magic;
  } cases[] = {
      {"plain bytes", counting(40), false},
      {"magic alone", {'V', 'Q', 'K', 0}, true},
      {"header size cut off", {'V', 'Q', 'K', 0, 24, 0}, true},
      {"header size past the end", {'V', 'Q', 'K', 0, 9, 0, 0, 0, 1}, true},
      {"header size far past the end", {'V', 'Q', 'K', 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2}, true},
      {"nothing", {}, false},
  };
  for (Case& c : cases) {
    Bytes before = c.bytes;
    EXPECT_EQ(key.combineBlock(c.bytes), c.magic) << c.what;
    EXPECT_EQ(c.bytes, before) << c.what;
  }
}
