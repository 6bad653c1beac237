// Fuzz target for the stream reader and the compressed block: a blob is cut into chunks, and a
// mix of peek, read, readText, ensure and skip runs to the end, checked against the plain stream.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formula/compressed_block.h"
#include "formula/stream_reader.h"

using namespace cwbk;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

} // namespace

// Blob layout: byte 0 gives the number of chunks (1 to 16); then one descriptor byte per chunk:
// bits 0-5 the chunk's length (the last chunk takes whatever is left), bits 6-7 its kind: 0 and 1
// plain bytes, 2 the bytes as a compressed block (untrusted), 3 the bytes compressed by the writer.
// The same blob, read cyclically from its start, then drives the operations.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t chunkCount = data[0] % 16 + 1;
  size_t at = 1;
  std::vector<uint8_t> descriptors;
  for (size_t i = 0; i < chunkCount && at < size; ++i)
    descriptors.push_back(data[at++]);

  StreamReader reader;
  std::vector<uint8_t> expected; // the stream as the chunks should yield it
  for (size_t i = 0; i < descriptors.size(); ++i) {
    size_t length =
        i + 1 == descriptors.size() ? size - at : std::min<size_t>(descriptors[i] & 0x3F, size - at);
    std::vector<uint8_t> piece(data + at, data + at + length);
    at += length;
    std::vector<uint8_t> inflated;
    switch (descriptors[i] >> 6) {
    case 2:
      CompressedBlock::read(piece.data(), piece.size(), inflated);
      reader.addChunk(std::move(piece));
      break;
    case 3: {
      auto block = CompressedBlock::write(piece.data(), piece.size());
      check(!CompressedBlock::read(block.data(), block.size(), inflated) == piece.empty());
      check(inflated == piece);
      reader.addChunk(std::move(block));
      break;
    }
    default:
      inflated = piece;
      reader.addInflated(std::move(piece));
      break;
    }
    expected.insert(expected.end(), inflated.begin(), inflated.end());
  }

  std::vector<uint8_t> buffer;
  std::vector<uint8_t> second;
  std::u16string text;
  size_t op = 0;
  while (!reader.atEnd()) {
    uint64_t before = reader.consumed();
    check(before < expected.size());
    size_t remaining = expected.size() - size_t(before);
    uint8_t code = data[op++ % size];
    size_t n = data[op++ % size] % 24;
    if (code & 0x20) n *= 37; // now and then ask for more than is left
    switch (code % 5) {
    case 0: {
      buffer.assign(n + 1, 0xEE);
      bool got = reader.peek(n, buffer.data());
      check(got == (n <= remaining));
      check(reader.consumed() == before);
      if (got)
        check(std::memcmp(buffer.data(), expected.data() + before, n) == 0);
      else
        check(buffer[0] == 0xEE);
      break;
    }
    case 1: {
      buffer.assign(n + 1, 0);
      size_t got = reader.read(n, buffer.data());
      check(got == (n > 0 && n <= remaining ? n : 0));
      check(reader.consumed() == before + got);
      check(std::memcmp(buffer.data(), expected.data() + before, got) == 0);
      break;
    }
    case 2: {
      text = u"x";
      size_t got = reader.readText(n, text);
      check(got == (n > 0 && 2 * n <= remaining ? 2 * n : 0));
      check(text.size() * 2 == got);
      check(reader.consumed() == before + got);
      for (size_t i = 0; i < text.size(); ++i)
        check(text[i] == char16_t(expected[before + 2 * i] | expected[before + 2 * i + 1] << 8));
      break;
    }
    case 3: {
      size_t got = reader.skip(n);
      check(got == std::min(n, remaining));
      check(reader.consumed() == before + got);
      break;
    }
    default:
      check(reader.ensure(n) == (n <= remaining));
      check(reader.consumed() == before);
      break;
    }
    // A loop over records must always finish: step over a byte when nothing was consumed.
    if (reader.consumed() == before) check(reader.skip(1) == 1);
  }
  check(reader.consumed() == expected.size());
  check(reader.skip(SIZE_MAX) == 0);
  second.resize(1);
  check(reader.read(1, second.data()) == 0);
  return 0;
}
