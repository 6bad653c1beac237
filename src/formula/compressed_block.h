// The compressed block: a 24-byte header followed by one zlib stream. It carries the stream chunks,
// the user data file body, the texts the host sends compressed and the sections of a saved executable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cwbk {

// Header, all fields little-endian u32:
//   0 magic "VQK\0", 4 header size (24), 8 blockVersion (256, not checked on reading),
//   12 storedLength (bytes of zlib data), 16 rawLength (bytes before compression), 20 reserved (0).
class CompressedBlock {
public:
  static constexpr size_t kHeaderSize = 24;
  static constexpr uint32_t kBlockVersion = 256;
  // Largest rawLength a block may declare; readers refuse larger ones before allocating and the
  // writer refuses to produce a block that no reader would accept.
  static constexpr uint32_t kMaxRawLength = 256u << 20;
  // Deflate never expands input by more than this factor, so a rawLength above it is a lie.
  static constexpr uint32_t kMaxInflateRatio = 1032;

  // Returns true when the bytes begin with the block's magic "VQK\0" (and so are meant as a block).
  static bool hasMagic(const uint8_t* bytes, size_t n);

  // Returns the block for n raw bytes: the header and zlib's one-call compression at level 6.
  // An empty input gives a well-formed block with rawLength 0 (and the zlib stream of no bytes); a
  // reader rejects it, which is what an empty piece of data amounts to: no bytes. Returns an empty
  // vector when n exceeds kMaxRawLength or zlib fails.
  static std::vector<uint8_t> write(const uint8_t* data, size_t n);

  // Returns true and sets out to the inflated bytes when the block is accepted (magic, header size
  // 24, both lengths nonzero, rawLength plausible for the bytes that follow) and everything after
  // the header inflates. The result is as long as the inflater reports, up to rawLength; storedLength,
  // blockVersion and the reserved word are not used. Otherwise returns false with out empty.
  static bool read(const uint8_t* block, size_t n, std::vector<uint8_t>& out);
};

} // namespace cwbk
