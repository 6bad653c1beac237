// CompressedBlock: header layout, round trips, and the blocks a reader must refuse.
#include "formula/compressed_block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

using namespace cwbk;

namespace {

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v)
    b = uint8_t(gen());
  return v;
}

std::vector<uint8_t> repetitive(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = uint8_t("formula stream "[i % 15]);
  return v;
}

uint32_t u32At(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

void setU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + i] = uint8_t(v >> (8 * i));
}

std::vector<uint8_t> writeBlock(const std::vector<uint8_t>& raw) {
  return CompressedBlock::write(raw.data(), raw.size());
}

} // namespace

TEST(CompressedBlock, RoundTripsWithHeader) {
  struct Case {
    const char* name;
    std::vector<uint8_t> raw;
  } cases[] = {
      {"one byte", {0x42}},
      {"small", {'h', 'e', 'l', 'l', 'o'}},
      {"large repetitive", repetitive(1 << 20)},
      {"incompressible", randomBytes(300000, 7)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    size_t n = c.raw.size();
    auto block = writeBlock(c.raw);
    ASSERT_GT(block.size(), CompressedBlock::kHeaderSize);
    EXPECT_EQ(0, std::memcmp(block.data(), "VQK\0", 4));
    EXPECT_EQ(u32At(block, 4), 24u);
    EXPECT_EQ(u32At(block, 8), 256u);
    EXPECT_EQ(u32At(block, 12), block.size() - 24);
    EXPECT_EQ(u32At(block, 16), n);
    EXPECT_EQ(u32At(block, 20), 0u);
    EXPECT_LE(block.size() - 24, n + (n >> 12) + (n >> 14) + 11);
    // A zlib wrapper for a 32 KiB window at the default level (what level 6 writes).
    EXPECT_EQ(block[24], 0x78);
    EXPECT_EQ(block[25], 0x9C);

    std::vector<uint8_t> out;
    ASSERT_TRUE(CompressedBlock::read(block.data(), block.size(), out));
    EXPECT_EQ(out, c.raw);
  }
}

TEST(CompressedBlock, EmptyInputGivesBlockThatReadsAsNothing) {
  auto block = CompressedBlock::write(nullptr, 0);
  ASSERT_GT(block.size(), CompressedBlock::kHeaderSize);
  EXPECT_EQ(u32At(block, 16), 0u);
  EXPECT_NE(u32At(block, 12), 0u);
  std::vector<uint8_t> out{1, 2};
  EXPECT_FALSE(CompressedBlock::read(block.data(), block.size(), out));
  EXPECT_TRUE(out.empty());
}

// Fields readers do not look at, and a rawLength larger than the data: the result is what inflates.
TEST(CompressedBlock, AcceptsWhatReadersIgnore) {
  const auto raw = repetitive(5000);
  struct Case {
    const char* name;
    size_t at;
    uint32_t value;
  } cases[] = {
      {"blockVersion", 8, 7},
      {"storedLength", 12, 1},
      {"reserved", 20, 0xFFFFFFFF},
      {"rawLength above data", 16, 6000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto block = writeBlock(raw);
    setU32(block, c.at, c.value);
    std::vector<uint8_t> out;
    ASSERT_TRUE(CompressedBlock::read(block.data(), block.size(), out));
    EXPECT_EQ(out, raw);
  }
}

TEST(CompressedBlock, RejectsBadBlocksWithoutBytes) {
  const auto raw = repetitive(5000);
  const auto good = writeBlock(raw);
  using Mutate = void (*)(std::vector<uint8_t>&);
  struct Case {
    const char* name;
    Mutate mutate;
  } cases[] = {
      {"empty buffer", [](std::vector<uint8_t>& b) { b.clear(); }},
      {"short header", [](std::vector<uint8_t>& b) { b.resize(23); }},
      {"header only", [](std::vector<uint8_t>& b) { b.resize(24); }},
      {"wrong magic", [](std::vector<uint8_t>& b) { b[0] = 'W'; }},
      {"magic without zero byte", [](std::vector<uint8_t>& b) { b[3] = 'X'; }},
      {"header size 20", [](std::vector<uint8_t>& b) { setU32(b, 4, 20); }},
      {"header size 28", [](std::vector<uint8_t>& b) { setU32(b, 4, 28); }},
      {"storedLength 0", [](std::vector<uint8_t>& b) { setU32(b, 12, 0); }},
      {"rawLength 0", [](std::vector<uint8_t>& b) { setU32(b, 16, 0); }},
      {"rawLength below data", [](std::vector<uint8_t>& b) { setU32(b, 16, 4999); }},
      {"rawLength absurd", [](std::vector<uint8_t>& b) { setU32(b, 16, 0xFFFFFFFF); }},
      {"rawLength beyond cap",
       [](std::vector<uint8_t>& b) { setU32(b, 16, CompressedBlock::kMaxRawLength + 1); }},
      {"rawLength beyond inflate ratio",
       [](std::vector<uint8_t>& b) { setU32(b, 16, uint32_t((b.size() - 24) * 1032 + 1)); }},
      {"corrupt zlib header", [](std::vector<uint8_t>& b) { b[24] ^= 0xFF; }},
      {"corrupt checksum", [](std::vector<uint8_t>& b) { b.back() ^= 0x01; }},
      {"truncated stream", [](std::vector<uint8_t>& b) { b.resize(b.size() - 5); }},
      {"garbage stream", [](std::vector<uint8_t>& b) { std::fill(b.begin() + 24, b.end(), uint8_t(0xA5)); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto block = good;
    c.mutate(block);
    std::vector<uint8_t> out{9, 9, 9};
    EXPECT_FALSE(CompressedBlock::read(block.data(), block.size(), out));
    EXPECT_TRUE(out.empty());
  }
}
