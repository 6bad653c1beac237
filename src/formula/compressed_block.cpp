// The compressed block: writing with zlib's one-call compress and checked reading with uncompress.
#include "formula/compressed_block.h"

#include <zlib.h>

#include <cstring>
#include <new>

namespace cwbk {

namespace {

constexpr uint8_t kMagic[4] = {'V', 'Q', 'K', 0};

uint32_t readU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void writeU32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

} // namespace

bool CompressedBlock::hasMagic(const uint8_t* bytes, size_t n) {
  return n >= sizeof kMagic && std::memcmp(bytes, kMagic, sizeof kMagic) == 0;
}

std::vector<uint8_t> CompressedBlock::write(const uint8_t* data, size_t n) {
  if (n > kMaxRawLength) return {};
  static const uint8_t nothing = 0;
  if (n == 0) data = &nothing; // zlib wants a valid pointer even for no input
  // The block's traditional output bound; should zlib ever need more, retry with its own bound
  // rather than fail.
  uLong capacity = uLong(n + (n >> 12) + (n >> 14) + 11);
  std::vector<uint8_t> block;
  for (int attempt = 0; attempt < 2; ++attempt) {
    block.assign(kHeaderSize + capacity, 0);
    uLongf stored = capacity;
    int rc = compress2(block.data() + kHeaderSize, &stored, data, uLong(n), 6);
    if (rc == Z_OK) {
      block.resize(kHeaderSize + stored);
      std::memcpy(block.data(), kMagic, 4);
      writeU32(block.data() + 4, uint32_t(kHeaderSize));
      writeU32(block.data() + 8, kBlockVersion);
      writeU32(block.data() + 12, uint32_t(stored));
      writeU32(block.data() + 16, uint32_t(n));
      writeU32(block.data() + 20, 0);
      return block;
    }
    if (rc != Z_BUF_ERROR) break;
    capacity = compressBound(uLong(n));
  }
  return {};
}

bool CompressedBlock::read(const uint8_t* block, size_t n, std::vector<uint8_t>& out) {
  out.clear();
  if (block == nullptr || n < kHeaderSize) return false;
  if (std::memcmp(block, kMagic, 4) != 0 || readU32(block + 4) != kHeaderSize) return false;
  uint32_t storedLength = readU32(block + 12);
  uint32_t rawLength = readU32(block + 16);
  if (storedLength == 0 || rawLength == 0) return false;
  // Refuse before allocating: a length beyond the cap, or more than the bytes after the header could
  // ever inflate to.
  size_t rest = n - kHeaderSize;
  if (rawLength > kMaxRawLength) return false;
  if ((uint64_t(rawLength) + kMaxInflateRatio - 1) / kMaxInflateRatio > uint64_t(rest)) return false;
  try {
    out.resize(rawLength);
  } catch (const std::bad_alloc&) {
    out.clear();
    return false;
  }
  uLongf produced = rawLength;
  if (uncompress(out.data(), &produced, block + kHeaderSize, uLong(rest)) != Z_OK) {
    out.clear();
    out.shrink_to_fit();
    return false;
  }
  out.resize(produced);
  return true;
}

} // namespace cwbk
