// The section key: Whirlpool through Crypto++, and the repeating-key XOR.
#include "runtime/section_key.h"

#include <cryptopp/whrlpool.h>

#include "formula/compressed_block.h"

namespace cwbk {

static_assert(CryptoPP::Whirlpool::DIGESTSIZE == SectionKey::kSize);

SectionKey SectionKey::fromSections(std::span<const uint8_t> first, std::span<const uint8_t> second) {
  CryptoPP::Whirlpool hash;
  hash.Update(first.data(), first.size());
  hash.Update(second.data(), second.size());
  SectionKey key;
  key.bytes_.resize(kSize);
  hash.Final(key.bytes_.data());
  return key;
}

SectionKey SectionKey::fromBytes(std::span<const uint8_t> bytes) {
  SectionKey key;
  key.bytes_.assign(bytes.begin(), bytes.end());
  return key;
}

void SectionKey::combine(std::span<uint8_t> data) const {
  if (bytes_.empty()) return;
  size_t k = 0;
  for (uint8_t& b : data) {
    b ^= bytes_[k];
    if (++k == bytes_.size()) k = 0;
  }
}

bool SectionKey::combineBlock(std::span<uint8_t> block) const {
  if (!CompressedBlock::hasMagic(block.data(), block.size())) return false;
  if (block.size() < 8) return true;
  uint32_t from =
      uint32_t(block[4]) | uint32_t(block[5]) << 8 | uint32_t(block[6]) << 16 | uint32_t(block[7]) << 24;
  if (from < block.size()) combine(block.subspan(from));
  return true;
}

} // namespace cwbk
