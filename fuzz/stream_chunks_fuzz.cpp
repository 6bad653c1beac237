// Fuzz target for the host's stream chunks: a blob is cut into chunks, some compressed and combined
// with a section key that arrives before, between or after them; the end of the stream loads what they
// hold, the loaded model is prepared, and it writes back.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "formula/compiled_workbook.h"
#include "formula/compressed_block.h"
#include "formula/workbook_stream.h"
#include "runtime/stream_chunks.h"

using namespace cwbk;

// Blob layout: byte 0: bits 0-3 the number of chunks (1 to 16), bits 4-7 the index of the chunk before
// which the key arrives (past the last: at the end of the stream; 15: never). Then two bytes per
// chunk: bits 0-13 the chunk's length (the last chunk takes what is left), bits 14-15 its kind:
// 0 the bytes as they are (an untrusted chunk), 1 the bytes compressed and combined with the key,
// 2 compressed and not combined, 3 compressed, combined, then cut by one byte.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  size_t chunkCount = (data[0] & 15) + 1;
  size_t keyBefore = data[0] >> 4;
  size_t at = 1;
  std::vector<uint16_t> descriptors;
  for (size_t i = 0; i < chunkCount && at + 1 < size; ++i, at += 2)
    descriptors.push_back(uint16_t(data[at] | data[at + 1] << 8));
  const SectionKey key = SectionKey::fromSections({data, 1}, {data + 1, std::min<size_t>(size - 1, 8)});

  StreamChunks host;
  for (size_t i = 0; i < descriptors.size(); ++i) {
    size_t length =
        i + 1 == descriptors.size() ? size - at : std::min<size_t>(descriptors[i] & 0x3FFF, size - at);
    std::vector<uint8_t> chunk(data + at, data + at + length);
    at += length;
    unsigned kind = descriptors[i] >> 14;
    if (kind != 0) {
      chunk = CompressedBlock::write(chunk.data(), chunk.size());
      if (kind != 2) key.combineBlock(chunk);
      if (kind == 3 && !chunk.empty()) chunk.pop_back();
    }
    host.addChunk(chunk, i >= keyBefore && keyBefore != 15 ? key : SectionKey());
  }

  std::unique_ptr<CompiledWorkbook> workbook;
  StreamChunks::EndResult result = host.endOfStream(keyBefore == 15 ? SectionKey() : key, workbook);
  if (result != StreamChunks::EndResult::Loaded) return 0;
  workbook->prepareAfterLoad();
  std::vector<uint8_t> written;
  writeWorkbook(*workbook, written);
  return 0;
}
