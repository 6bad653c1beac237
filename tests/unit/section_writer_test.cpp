// The section writer of a saved executable: where sections are cut, which stay in memory and which go
// to temporary files (and their names), the 201-section limit, and the key combining of what is written.
#include "runtime/section_writer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

#include "formula/compressed_block.h"

using namespace cwbk;

namespace {

using Bytes = std::vector<uint8_t>;

// A fresh, empty folder under the system's temporary folder, removed with everything in it.
class ScratchFolder {
public:
  ScratchFolder() {
    path_ = std::filesystem::temp_directory_path() /
            ("section_writer_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() { std::filesystem::remove_all(path_); }
  const std::filesystem::path& path() const { return path_; }
  size_t fileCount() const {
    return size_t(
        std::distance(std::filesystem::directory_iterator(path_), std::filesystem::directory_iterator()));
  }

private:
  std::filesystem::path path_;
};

// Random words taken from a list in turn (then from its start again).
TempFiles pinned(const std::filesystem::path& folder, std::vector<uint32_t> words) {
  auto at = std::make_shared<size_t>(0);
  return {folder, [words, at] { return words[(*at)++ % words.size()]; }};
}

Bytes pattern(size_t n, uint32_t seed = 1) {
  Bytes v(n);
  uint32_t x = seed;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    v[i] = uint8_t(i % 251 < 200 ? i % 7 : x >> 24); // compressible, not trivially so
  }
  return v;
}

SectionKey testKey() {
  const uint8_t a[] = {1, 2, 3}, b[] = {4, 5};
  return SectionKey::fromSections(a, b);
}

// Keeps every resource written, in order.
struct RecordingSink : ResourceSink {
  struct Written {
    std::u16string type;
    uint16_t id;
    Bytes data;
  };
  std::vector<Written> written;
  size_t failAt = SIZE_MAX; // the index of the write that fails

  bool writeResource(std::u16string_view type, uint16_t id, std::span<const uint8_t> data) override {
    if (written.size() == failAt) return false;
    written.push_back({std::u16string(type), id, Bytes(data.begin(), data.end())});
    return true;
  }
};

Bytes inflate(const Bytes& block) {
  Bytes out;
  EXPECT_TRUE(CompressedBlock::read(block.data(), block.size(), out));
  return out;
}

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

TEST(SectionWriter, CutsOnlyAfterAnAppendThatLeavesMoreThanTheLimit) {
  ScratchFolder scratch;
  const Bytes data = pattern(SectionWriter::kCutSize + 1);
  const std::span<const uint8_t> all(data);
  struct Case {
    const char* what;
    std::vector<size_t> appends;        // sizes, taken from the data in turn
    std::vector<uint32_t> beforeFinish; // section sizes after the appends
  } cases[] = {
      {"exactly the limit stays buffered", {SectionWriter::kCutSize}, {}},
      {"one byte more in one append", {SectionWriter::kCutSize + 1}, {uint32_t(SectionWriter::kCutSize + 1)}},
      {"the limit, then one byte", {SectionWriter::kCutSize, 1}, {uint32_t(SectionWriter::kCutSize + 1)}},
      {"two appends first over the limit together", {3000000, 2046272}, {3000000 + 2046272}},
      {"small appends", {1000, 2000}, {}},
  };
  for (const Case& c : cases) {
    SectionWriter writer(SectionKey{}, TempFiles{scratch.path(), [] { return 7u; }});
    size_t at = 0;
    for (size_t n : c.appends) {
      writer.appendToSections(all.subspan(at, n));
      at += n;
    }
    std::vector<uint32_t> sizes;
    for (const Section& s : writer.sections())
      sizes.push_back(s.rawSize);
    EXPECT_EQ(sizes, c.beforeFinish) << c.what;
    EXPECT_EQ(writer.total(), at) << c.what;
    writer.finishSections();
    const uint64_t sum = [&] {
      uint64_t n = 0;
      for (const Section& s : writer.sections())
        n += s.rawSize;
      return n;
    }();
    EXPECT_EQ(sum, at) << c.what;
    EXPECT_EQ(writer.buffered(), 0u) << c.what;
    writer.finishSections(); // nothing left: no empty section
    EXPECT_EQ(writer.sections().size(), c.beforeFinish.size() + (c.beforeFinish.empty() ? 1 : 0)) << c.what;
  }
}

TEST(SectionWriter, LargeSectionsGoToTemporaryFilesCombinedWithTheKey) {
  ScratchFolder scratch;
  const SectionKey key = testKey();
  const Bytes data = pattern(SectionWriter::kMaxRawInMemory + 1);
  const std::span<const uint8_t> all(data);
  std::filesystem::path file;
  {
    SectionWriter writer(key, TempFiles{scratch.path(), TempFiles::system().random});
    writer.appendToSections(all.first(SectionWriter::kMaxRawInMemory));
    writer.finishSections();
    writer.appendToSections(all);
    writer.finishSections();
    ASSERT_EQ(writer.sections().size(), 2u);
    const Section& inMemory = writer.sections()[0];
    const Section& onDisk = writer.sections()[1];
    EXPECT_TRUE(inMemory.file.empty());
    EXPECT_EQ(inflate(inMemory.block), Bytes(data.begin(), data.end() - 1));
    ASSERT_FALSE(onDisk.file.empty());
    EXPECT_TRUE(onDisk.block.empty());
    file = onDisk.file;
    EXPECT_EQ(file.parent_path(), scratch.path());

    // The file holds the block with its zlib stream combined with the key; the header stays plain.
    Bytes stored = readFile(file);
    ASSERT_EQ(stored.size(), onDisk.storedSize);
    Bytes plainBlock = stored;
    ASSERT_TRUE(key.combineBlock(plainBlock));
    EXPECT_EQ(inflate(plainBlock), data);
    EXPECT_TRUE(std::equal(stored.begin(), stored.begin() + 24, plainBlock.begin()));
    EXPECT_NE(stored, plainBlock);
  }
  EXPECT_FALSE(std::filesystem::exists(file)) << "an unwritten section's file outlives its writer";
  EXPECT_EQ(scratch.fileCount(), 0u);
}

TEST(SectionWriter, TemporaryFileNames) {
  ScratchFolder scratch;
  auto valid = [](const std::string& name) {
    if (name.size() != 10 || name[0] < 'a' || name[0] > 'z') return false;
    for (size_t i = 0; i < name.size(); ++i) {
      const char c = name[i];
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'))) return false;
      if (i >= 2 && c == name[i - 2]) return false;
    }
    return true;
  };
  // A source that repeats itself still gives names that keep the rule.
  EXPECT_EQ(freshTempFileName(pinned(scratch.path(), {0})).filename(), "a001100110");
  EXPECT_EQ(freshTempFileName(pinned(scratch.path(), {35})).filename(), "jz00110011");

  // A name that exists is passed over for the next one drawn.
  const std::filesystem::path first = freshTempFileName(pinned(scratch.path(), {0}));
  std::ofstream(first).put('x');
  const std::filesystem::path second =
      freshTempFileName(pinned(scratch.path(), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_NE(second, first);
  EXPECT_TRUE(valid(second.filename().string())) << second;

  TempFiles system{scratch.path(), TempFiles::system().random};
  std::map<std::string, int> seen;
  for (int i = 0; i < 2000; ++i) {
    const std::string name = freshTempFileName(system).filename().string();
    ASSERT_TRUE(valid(name)) << name;
    ++seen[name];
  }
  EXPECT_GT(seen.size(), 1990u);
}

TEST(SectionWriter, AFileThatCannotBeOpenedFailsWithItsName) {
  ScratchFolder scratch;
  const std::filesystem::path missing = scratch.path() / "no such folder";
  SectionWriter writer(SectionKey{}, pinned(missing, {0}));
  const Bytes data = pattern(SectionWriter::kMaxRawInMemory + 1);
  writer.appendToSections(data);
  try {
    writer.finishSections();
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + (missing / "a001100110").string() + "\"");
  }
}

TEST(SectionWriter, WritesSectionsInOrderCombinedWithTheKey) {
  ScratchFolder scratch;
  const SectionKey key = testKey();
  const Bytes stream = pattern(2 * SectionWriter::kCutSize + 700000, 5);
  for (const SectionKey& used : {SectionKey{}, key}) {
    SectionWriter writer(key, TempFiles{scratch.path(), TempFiles::system().random});
    appendStreamToSections(writer, stream);
    ASSERT_EQ(writer.sections().size(), 3u);
    EXPECT_GT(writer.sections()[0].rawSize, SectionWriter::kCutSize);
    EXPECT_EQ(scratch.fileCount(), 3u); // the last piece is larger than what stays in memory
    RecordingSink sink;
    ASSERT_EQ(writer.writeSections(sink, used), SectionWriteStatus::Written);
    EXPECT_TRUE(writer.sections().empty());
    EXPECT_EQ(scratch.fileCount(), 0u) << "written sections' files are deleted";

    Bytes joined;
    uint16_t id = kFirstSectionId;
    for (RecordingSink::Written& w : sink.written) {
      EXPECT_EQ(w.type, u"EXTRSC");
      EXPECT_EQ(w.id, id++);
      ASSERT_TRUE(CompressedBlock::hasMagic(w.data.data(), w.data.size()));
      Bytes out;
      // Combined with a key, the stream no longer inflates until the combining is undone.
      EXPECT_EQ(CompressedBlock::read(w.data.data(), w.data.size(), out), used.empty());
      used.combineBlock(w.data);
      Bytes piece = inflate(w.data);
      joined.insert(joined.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(joined, stream);
  }
}

TEST(SectionWriter, WritingFailures) {
  ScratchFolder scratch;
  const SectionKey key = testKey();
  const Bytes stream = pattern(SectionWriter::kCutSize + 600000, 9);
  auto filled = [&] {
    auto writer =
        std::make_unique<SectionWriter>(SectionKey{}, TempFiles{scratch.path(), TempFiles::system().random});
    appendStreamToSections(*writer, stream);
    return writer;
  };
  {
    auto writer = filled();
    RecordingSink sink;
    sink.failAt = 1;
    EXPECT_EQ(writer->writeSections(sink, key), SectionWriteStatus::SinkFailed);
    EXPECT_EQ(sink.written.size(), 1u);
  }
  {
    auto writer = filled();
    std::filesystem::remove(writer->sections()[0].file);
    RecordingSink sink;
    EXPECT_EQ(writer->writeSections(sink, key), SectionWriteStatus::FileUnreadable);
    EXPECT_TRUE(sink.written.empty());
  }
  {
    auto writer = filled();
    std::fstream(writer->sections()[1].file, std::ios::in | std::ios::out | std::ios::binary).put('X');
    RecordingSink sink;
    EXPECT_EQ(writer->writeSections(sink, key), SectionWriteStatus::NotABlock);
    EXPECT_EQ(sink.written.size(), 1u);
  }
  EXPECT_EQ(scratch.fileCount(), 0u);
}

// The limit holds before anything is written: a list of 202 sections writes none of them. (Each
// section takes more than 5 MB of input; zeros keep their blocks small.)
TEST(SectionWriter, MoreThan201SectionsWriteNothing) {
  ScratchFolder scratch;
  const Bytes zeros(SectionWriter::kCutSize + 1, 0);
  SectionWriter writer(SectionKey{}, TempFiles{scratch.path(), TempFiles::system().random});
  for (size_t i = 0; i <= kMaxSections; ++i)
    writer.appendToSections(zeros);
  ASSERT_EQ(writer.sections().size(), kMaxSections + 1);
  RecordingSink sink;
  EXPECT_EQ(writer.writeSections(sink, testKey()), SectionWriteStatus::TooManySections);
  EXPECT_TRUE(sink.written.empty());
  EXPECT_EQ(scratch.fileCount(), 0u);
}
