// The stream reader: lazy inflation of chunks into a buffer that keeps only the unread tail.
#include "formula/stream_reader.h"

#include <algorithm>
#include <cstring>

#include "formula/compressed_block.h"

namespace cwbk {

size_t StreamReader::addChunk(std::vector<uint8_t> block) {
  chunks_.push_back(Chunk{std::move(block), true});
  return chunks_.size();
}

size_t StreamReader::addInflated(std::vector<uint8_t> bytes) {
  chunks_.push_back(Chunk{std::move(bytes), false});
  return chunks_.size();
}

void StreamReader::inflateNext() {
  if (position_ > 0) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(position_));
    position_ = 0;
  }
  Chunk& chunk = chunks_[nextChunk_++];
  std::vector<uint8_t> bytes;
  if (chunk.compressed)
    CompressedBlock::read(chunk.bytes.data(), chunk.bytes.size(), bytes);
  else
    bytes.swap(chunk.bytes);
  std::vector<uint8_t>().swap(chunk.bytes); // the chunk is no longer needed
  if (buffer_.empty())
    buffer_.swap(bytes);
  else
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

bool StreamReader::ensure(size_t n) {
  while (available() < n && nextChunk_ < chunks_.size())
    inflateNext();
  return available() >= n;
}

bool StreamReader::atEnd() {
  return !ensure(1);
}

bool StreamReader::peek(size_t n, void* destination) {
  if (!ensure(n)) return false;
  if (n > 0) std::memcpy(destination, buffer_.data() + position_, n);
  return true;
}

size_t StreamReader::read(size_t n, void* destination) {
  if (n == 0 || !ensure(n)) return 0;
  std::memcpy(destination, buffer_.data() + position_, n);
  position_ += n;
  consumed_ += n;
  return n;
}

size_t StreamReader::readText(size_t k, std::u16string& destination) {
  destination.clear();
  if (k == 0 || k > SIZE_MAX / 2 || !ensure(2 * k)) return 0;
  destination.resize(k);
  const uint8_t* p = buffer_.data() + position_;
  for (size_t i = 0; i < k; ++i)
    destination[i] = char16_t(p[2 * i] | p[2 * i + 1] << 8);
  position_ += 2 * k;
  consumed_ += 2 * k;
  return 2 * k;
}

size_t StreamReader::skip(size_t n) {
  // Chunks are taken one at a time, so skipping a long run never holds more than one chunk.
  size_t done = 0;
  while (done < n) {
    if (available() == 0) {
      if (nextChunk_ >= chunks_.size()) break;
      inflateNext();
      continue;
    }
    size_t step = std::min(available(), n - done);
    position_ += step;
    done += step;
  }
  consumed_ += done;
  return done;
}

} // namespace cwbk
