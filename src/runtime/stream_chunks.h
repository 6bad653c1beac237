// The compiled workbook stream as the host sends it (message 1157): chunk after chunk, each combined
// with the section key, then an end-of-stream message that loads the workbook model. Portable; the
// window message handling calls it with the bytes it has copied out of the message buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "formula/stream_reader.h"
#include "runtime/section_key.h"

namespace cwbk {

class CompiledWorkbook;

class StreamChunks {
public:
  // What the end of the stream did.
  enum class EndResult {
    Loaded,        // the stream was loaded into the model
    NothingLoaded, // no chunk came, or none yielded a byte: the model is untouched
    Failed,        // loading failed: the model is empty again
    AlreadyEnded,  // the stream had ended before: nothing happened
  };

  StreamChunks();
  ~StreamChunks();

  // The chunk step: copies the bytes, undoes the combining with the key when they start with the
  // compressed-block magic, and hands them to the stream reader (which rejects a chunk that is not a
  // good block). While the key is empty (it has not arrived yet) the chunk is held as it came and
  // decoded once a key is there, at the latest when the stream ends; chunks keep their order. Returns
  // false, keeping nothing, once the stream has ended.
  bool addChunk(std::span<const uint8_t> bytes, const SectionKey& key);

  // The end of the stream: decodes the chunks held back with the key as it is now, and when the stream
  // holds any byte, loads it into the workbook (created when null). A load that fails leaves an empty
  // workbook in its place, never a partly loaded one. The reader and its chunks are released; later
  // chunks and ends do nothing.
  EndResult endOfStream(const SectionKey& key, std::unique_ptr<CompiledWorkbook>& workbook);

  bool ended() const { return reader_ == nullptr; }
  // Returns how many chunks wait for the key.
  size_t heldBack() const { return heldBack_.size(); }

private:
  void decodeHeldBack(const SectionKey& key);
  void decodeAndAdd(std::vector<uint8_t> chunk, const SectionKey& key);

  std::unique_ptr<StreamReader> reader_;
  std::vector<std::vector<uint8_t>> heldBack_;
};

} // namespace cwbk
