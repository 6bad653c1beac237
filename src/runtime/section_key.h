// The section key: the 64-byte key with which the compiled workbook's chunks and the sections of a
// saved executable are combined, derived from two sections of the application executable, and the
// repeating-key combining itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace cwbk {

class SectionKey {
public:
  static constexpr size_t kSize = 64;

  // The empty key: combining with it changes nothing.
  SectionKey() = default;
  // Returns the key of two sections: the Whirlpool digest of the first section's bytes followed by the
  // second's.
  static SectionKey fromSections(std::span<const uint8_t> first, std::span<const uint8_t> second);
  // Returns the key of the given bytes as they are (a key kept in a file, say); the empty key for none.
  static SectionKey fromBytes(std::span<const uint8_t> bytes);

  bool empty() const { return bytes_.empty(); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

  // XORs byte i of data with key byte i mod 64. Applying it twice restores the data; the empty key
  // leaves it unchanged.
  void combine(std::span<uint8_t> data) const;
  // Combines a compressed block's zlib stream: when the bytes start with the block magic, everything
  // from the offset that the block's header-size field gives to the end, the key starting over at that
  // offset. Returns false, changing nothing, when the magic is missing; a header-size field that is cut
  // off or points past the end combines nothing.
  bool combineBlock(std::span<uint8_t> block) const;

private:
  std::vector<uint8_t> bytes_;
};

} // namespace cwbk
