// Inputs the fuzzers found faults with, kept as regression fixtures: each must load, prepare, write
// and load again without fault.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "formula/compiled_workbook.h"
#include "formula/stream_reader.h"
#include "formula/workbook_stream.h"

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
