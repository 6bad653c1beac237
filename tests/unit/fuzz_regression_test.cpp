// Inputs the fuzzers found faults with, kept as regression fixtures: each must load, prepare, write
// and load again without fault. The saved-executable target's seeds are replayed too.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "formula/compiled_workbook.h"
#include "formula/stream_reader.h"
#include "formula/workbook_stream.h"
#include "runtime/pe_resources.h"
#include "runtime/saved_executable.h"

using namespace cwbk;

TEST(FuzzRegression, WorkbookStreams) {
  std::filesystem::path dir = std::filesystem::path(CWBK_SOURCE_DIR) / "tests/fixtures/fuzz/workbook_stream";
  size_t seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    CompiledWorkbook workbook;
    StreamReader reader;
    reader.addInflated(std::move(bytes));
    loadWorkbook(reader, workbook);
    workbook.prepareAfterLoad();
    std::vector<uint8_t> written;
    ASSERT_TRUE(writeWorkbook(workbook, written).ok) << entry.path();
    CompiledWorkbook again;
    StreamReader second;
    second.addInflated(std::move(written));
    loadWorkbook(second, again);
    ++seen;
  }
  EXPECT_GT(seen, 0u);
}

// The seeds of the saved-executable target (images saved with its key) and any fault it found: each is
// read without fault, and a seed's stream loads.
TEST(FuzzRegression, SavedExecutables) {
  const std::filesystem::path source(CWBK_SOURCE_DIR);
  const SectionKey key = SectionKey::fromSections({}, {});
  size_t seeds = 0;
  for (const char* folder : {"fuzz/corpus/saved_executable_fuzz", "tests/fixtures/fuzz/saved_executable"}) {
    if (!std::filesystem::exists(source / folder)) continue;
    const bool seed = folder[0] == 'f';
    for (const auto& entry : std::filesystem::directory_iterator(source / folder)) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      listResources(image);
      SavedStream saved = readSavedStream(image, key);
      if (!seed) continue;
      ASSERT_EQ(saved.status, SavedStreamStatus::Read) << entry.path() << ": " << saved.message;
      CompiledWorkbook workbook;
      StreamReader reader;
      reader.addInflated(std::move(saved.stream));
      loadWorkbook(reader, workbook);
      EXPECT_GT(workbook.cellCount(), 0u) << entry.path();
      ++seeds;
    }
  }
  EXPECT_GT(seeds, 0u);
}
