// The stream reader: holds the chunks of a compiled workbook stream as they arrive and reads them as
// one continuous byte stream, inflating each chunk only when reading reaches it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cwbk {

// One reader per load; it owns its chunks. The stream is the chunks' bytes, inflated and concatenated
// in the order they were added; a compressed chunk that is rejected or does not inflate adds no bytes.
// Reads are exact across any number of chunk boundaries, including empty and rejected chunks.
//
// Callers reading records in a loop should stop on atEnd(); when atEnd() is false but a record header
// cannot be ensured, the rest is a short tail: skip(SIZE_MAX) consumes it, after which atEnd() holds.
class StreamReader {
public:
  StreamReader() = default;
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;
  StreamReader(StreamReader&&) = default;
  StreamReader& operator=(StreamReader&&) = default;

  // Appends a compressed block as the next chunk. Returns the number of chunks held.
  size_t addChunk(std::vector<uint8_t> block);
  // Appends bytes that are already plain as the next chunk. Returns the number of chunks held.
  size_t addInflated(std::vector<uint8_t> bytes);

  // Returns true when no byte is left: the buffer is consumed and no remaining chunk yields a byte.
  bool atEnd();
  // Returns true when n bytes are available at the position, inflating as many chunks as needed.
  bool ensure(size_t n);
  // Returns true and copies n bytes without consuming them; false, leaving destination untouched,
  // when fewer than n bytes remain.
  bool peek(size_t n, void* destination);
  // Returns n and consumes n bytes into destination; 0, consuming and copying nothing, when fewer
  // than n bytes remain (or n is 0).
  size_t read(size_t n, void* destination);
  // Returns 2k and sets destination to k UTF-16LE code units; 0 with nothing consumed when fewer than
  // 2k bytes remain or k is 0. Destination is cleared in every case.
  size_t readText(size_t k, std::u16string& destination);
  // Returns how many bytes were consumed of the n asked for: all of them, or every byte left.
  size_t skip(size_t n);
  // Returns the number of bytes consumed since the start.
  uint64_t consumed() const { return consumed_; }

private:
  struct Chunk {
    std::vector<uint8_t> bytes;
    bool compressed = false;
  };
  size_t available() const { return buffer_.size() - position_; }
  // Drops the consumed part of the buffer, then appends the next chunk's bytes and releases it.
  void inflateNext();

  std::vector<Chunk> chunks_;
  size_t nextChunk_ = 0;
  std::vector<uint8_t> buffer_;
  size_t position_ = 0;
  uint64_t consumed_ = 0;
};

} // namespace cwbk
