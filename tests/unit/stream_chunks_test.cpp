// The host's stream chunks: un-combining with the section key whenever the key arrives, the end of the
// stream loading the model, and chunks or ends that must leave the model alone.
#include "runtime/stream_chunks.h"

#include <gtest/gtest.h>

#include <string_view>

#include "formula/compiled_workbook.h"
#include "formula/compressed_block.h"
#include "formula/workbook_stream.h"

using namespace cwbk;

namespace {

using Bytes = std::vector<uint8_t>;

SectionKey keyOf(std::string_view first, std::string_view second) {
  return SectionKey::fromSections({reinterpret_cast<const uint8_t*>(first.data()), first.size()},
                                  {reinterpret_cast<const uint8_t*>(second.data()), second.size()});
}

// A stream written by the core's writer: one sheet with a column of numbers and texts, long enough to
// need several chunks.
Bytes sampleStream() {
  CompiledWorkbook wb;
  SheetInfo sheet;
  sheet.name = u"Data";
  wb.setSheet(0, sheet);
  for (uint32_t row = 0; row < 120; ++row) {
    Cell* cell = wb.findOrCreateCell(CellAddress::make(0, 0, row));
    cell->setValue(row % 3 ? CalcValue::number(row * 1.5) : CalcValue::text(u"row"));
    cell->setFlags(CellStored);
    wb.enterCell(*cell);
  }
  Bytes out;
  EXPECT_TRUE(writeWorkbook(wb, out).ok);
  return out;
}

// The stream cut into compressed chunks of at most size raw bytes, each combined with the key.
std::vector<Bytes> chunksOf(const Bytes& stream, size_t size, const SectionKey& key) {
  std::vector<Bytes> chunks;
  for (size_t at = 0; at < stream.size(); at += size) {
    Bytes block = CompressedBlock::write(stream.data() + at, std::min(size, stream.size() - at));
    key.combineBlock(block);
    chunks.push_back(std::move(block));
  }
  return chunks;
}

Bytes rewrite(const CompiledWorkbook& wb) {
  Bytes out;
  EXPECT_TRUE(writeWorkbook(wb, out).ok);
  return out;
}

} // namespace

TEST(StreamChunks, ChunksLoadWhicheverTimeTheKeyArrives) {
  const Bytes stream = sampleStream();
  const SectionKey key = keyOf("text section", "data section");
  const std::vector<Bytes> combined = chunksOf(stream, 400, key);
  ASSERT_GE(combined.size(), 4u);
  struct Case {
    const char* what;
    size_t keyFrom; // chunks before this index arrive before the key
    bool combinedChunks;
  } cases[] = {
      {"key first", 0, true},
      {"key after two chunks", 2, true},
      {"key only at the end", combined.size(), true},
      {"no key and plain chunks", SIZE_MAX, false},
  };
  for (const Case& c : cases) {
    const std::vector<Bytes> chunks = c.combinedChunks ? combined : chunksOf(stream, 400, SectionKey());
    StreamChunks host;
    for (size_t i = 0; i < chunks.size(); ++i) {
      EXPECT_TRUE(host.addChunk(chunks[i], i >= c.keyFrom ? key : SectionKey())) << c.what;
      EXPECT_EQ(host.heldBack(), i >= c.keyFrom ? 0 : i + 1) << c.what;
    }
    std::unique_ptr<CompiledWorkbook> wb;
    ASSERT_EQ(host.endOfStream(c.keyFrom == SIZE_MAX ? SectionKey() : key, wb),
              StreamChunks::EndResult::Loaded)
        << c.what;
    ASSERT_NE(wb, nullptr);
    EXPECT_EQ(rewrite(*wb), stream) << c.what;
    EXPECT_TRUE(host.ended());
  }
}

TEST(StreamChunks, EndsThatLoadNothingLeaveTheModelAlone) {
  const Bytes stream = sampleStream();
  const SectionKey key = keyOf("a", "b");
  Bytes good = chunksOf(stream, stream.size(), key)[0];
  Bytes truncated(good.begin(), good.begin() + std::ptrdiff_t(good.size() / 2));
  Bytes wrongMagic = good;
  wrongMagic[0] = 'X';
  struct Case {
    const char* what;
    std::vector<Bytes> chunks;
    SectionKey key;
  } cases[] = {
      {"no chunk", {}, key},
      {"wrong key", {good}, keyOf("b", "a")},
      {"no key for combined chunks", {good}, SectionKey()},
      {"wrong magic", {wrongMagic}, key},
      {"truncated", {truncated}, key},
      {"empty chunk", {Bytes{}}, key},
  };
  for (const Case& c : cases) {
    StreamChunks host;
    for (const Bytes& chunk : c.chunks)
      host.addChunk(chunk, c.key);
    auto wb = std::make_unique<CompiledWorkbook>();
    wb->setWorkbookWord(0x5EED);
    CompiledWorkbook* before = wb.get();
    EXPECT_EQ(host.endOfStream(c.key, wb), StreamChunks::EndResult::NothingLoaded) << c.what;
    EXPECT_EQ(wb.get(), before) << c.what;
    EXPECT_EQ(wb->workbookWord(), 0x5EEDu) << c.what;
    EXPECT_EQ(wb->cellCount(), 0u) << c.what;

    std::unique_ptr<CompiledWorkbook> none;
    EXPECT_EQ(host.endOfStream(c.key, none), StreamChunks::EndResult::AlreadyEnded) << c.what;
    EXPECT_EQ(none, nullptr);
  }
}

TEST(StreamChunks, NothingFollowsTheEndOfTheStream) {
  const Bytes stream = sampleStream();
  const SectionKey key = keyOf("a", "b");
  StreamChunks host;
  // A chunk held back for want of a key is decoded with the key known at the end.
  ASSERT_TRUE(host.addChunk(chunksOf(stream, stream.size(), key)[0], SectionKey()));
  std::unique_ptr<CompiledWorkbook> wb;
  ASSERT_EQ(host.endOfStream(key, wb), StreamChunks::EndResult::Loaded);
  ASSERT_NE(wb, nullptr);
  size_t cells = wb->cellCount();
  EXPECT_EQ(cells, 120u);

  // Later chunks are refused and a second end changes nothing.
  EXPECT_FALSE(host.addChunk(chunksOf(stream, stream.size(), key)[0], key));
  EXPECT_EQ(host.heldBack(), 0u);
  EXPECT_EQ(host.endOfStream(key, wb), StreamChunks::EndResult::AlreadyEnded);
  EXPECT_EQ(wb->cellCount(), cells);
}
