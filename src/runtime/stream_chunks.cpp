// The stream chunks of the host: un-combining with the section key, holding chunks back until the key
// is known, and the all-or-nothing load at the end of the stream.
#include "runtime/stream_chunks.h"

#include "formula/compiled_workbook.h"
#include "formula/workbook_stream.h"

namespace cwbk {

StreamChunks::StreamChunks() : reader_(std::make_unique<StreamReader>()) {}

StreamChunks::~StreamChunks() = default;

void StreamChunks::decodeAndAdd(std::vector<uint8_t> chunk, const SectionKey& key) {
  key.combineBlock(chunk);
  reader_->addChunk(std::move(chunk));
}

void StreamChunks::decodeHeldBack(const SectionKey& key) {
  for (auto& chunk : heldBack_)
    decodeAndAdd(std::move(chunk), key);
  heldBack_.clear();
}

bool StreamChunks::addChunk(std::span<const uint8_t> bytes, const SectionKey& key) {
  if (ended()) return false;
  std::vector<uint8_t> chunk(bytes.begin(), bytes.end());
  if (key.empty()) {
    heldBack_.push_back(std::move(chunk));
    return true;
  }
  decodeHeldBack(key);
  decodeAndAdd(std::move(chunk), key);
  return true;
}

StreamChunks::EndResult StreamChunks::endOfStream(const SectionKey& key,
                                                  std::unique_ptr<CompiledWorkbook>& workbook) {
  if (ended()) return EndResult::AlreadyEnded;
  EndResult result = EndResult::NothingLoaded;
  try {
    decodeHeldBack(key);
    if (!reader_->atEnd()) {
      if (!workbook) workbook = std::make_unique<CompiledWorkbook>();
      result = EndResult::Failed;
      loadWorkbook(*reader_, *workbook);
      result = EndResult::Loaded;
    }
  } catch (...) {
    if (result == EndResult::Failed) {
      // Nothing of a partly loaded model survives; should even the empty one fail, there is none.
      workbook.reset();
      try {
        workbook = std::make_unique<CompiledWorkbook>();
      } catch (...) {
      }
    }
  }
  heldBack_.clear();
  reader_.reset();
  return result;
}

} // namespace cwbk
