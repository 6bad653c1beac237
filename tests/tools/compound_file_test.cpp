// Tests of telling OLE2 compound files apart (binary .xls, encrypted packages, others) on small files
// built here, and of the one-line refusal a workbook file of that kind gets.
#include "compiler/compound_file.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "compiler/source_workbook.h"
#include "compiler/workbook_calc.h"

namespace cwbk::compiler {
namespace {

void putU32(std::string& bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i)
    bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// Returns a compound file of 512-byte sectors whose directory holds a root entry and `streams`: sector
// 0 is the allocation table, the directory's sectors follow, chained through the table.
std::string compoundFile(const std::vector<std::u16string>& streams) {
  size_t entries = streams.size() + 1;
  size_t directorySectors = (entries + 3) / 4;
  std::string bytes(512 * (2 + directorySectors), '\0');
  bytes.replace(0, 8, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
  bytes[0x1E] = 9; // 512-byte sectors
  putU32(bytes, 0x2C, 1);
  putU32(bytes, 0x30, 1);
  putU32(bytes, 0x44, 0xFFFFFFFE);
  for (size_t i = 0; i < 109; ++i)
    putU32(bytes, 0x4C + 4 * i, i == 0 ? 0 : 0xFFFFFFFF);
  size_t table = 512;
  putU32(bytes, table, 0xFFFFFFFD);
  for (size_t k = 0; k < directorySectors; ++k)
    putU32(bytes, table + 4 * (1 + k), k + 1 < directorySectors ? uint32_t(k + 2) : 0xFFFFFFFE);
  for (size_t e = 0; e < entries; ++e) {
    std::u16string name = e == 0 ? u"Root Entry" : streams[e - 1];
    size_t at = 1024 + 128 * e;
    for (size_t i = 0; i < name.size(); ++i) {
      bytes[at + 2 * i] = static_cast<char>(name[i] & 0xFF);
      bytes[at + 2 * i + 1] = static_cast<char>(name[i] >> 8);
    }
    bytes[at + 0x40] = static_cast<char>(2 * (name.size() + 1));
    bytes[at + 0x42] = e == 0 ? 5 : 2;
  }
  return bytes;
}

const char* const kEncrypted = "encrypted workbook: remove the password in Excel first";
const char* const kBinary = "binary .xls workbook: save it as .xlsx";
const char* const kOther = "OLE2 compound file, not an .xlsx workbook";

TEST(CompoundFile, SaysWhatItHolds) {
  // The names past the first directory sector are reached through the allocation table.
  std::vector<std::u16string> many = {u"a", u"b", u"c", u"d", u"e", u"WORKBOOK"};
  std::string looped = compoundFile({u"x", u"y", u"z", u"w", u"Workbook"});
  putU32(looped, 512 + 4 * 2, 1); // the directory's second sector leads back to its first
  struct Case {
    const char* what;
    std::string bytes;
    const char* expected;
  };
  const Case cases[] = {
      {"encrypted package",
       compoundFile({u"\x06"
                     u"DataSpaces",
                     u"EncryptionInfo", u"EncryptedPackage"}),
       kEncrypted},
      {"binary workbook", compoundFile({u"\x05SummaryInformation", u"Workbook"}), kBinary},
      {"older binary workbook", compoundFile({u"Book"}), kBinary},
      {"second directory sector", compoundFile(many), kBinary},
      {"a loop in the chain", looped, kBinary},
      {"a document", compoundFile({u"WordDocument"}), kOther},
      {"header only", compoundFile({u"Workbook"}).substr(0, 512), kOther},
      {"cut inside the directory", compoundFile({u"Workbook"}).substr(0, 1100), kOther},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(isCompoundFile(c.bytes));
    EXPECT_EQ(describeCompoundFile(c.bytes), c.expected);
  }
  EXPECT_EQ(compoundFileEntries(compoundFile(many)).size(), 7u);
  EXPECT_FALSE(isCompoundFile("\xD0\xCF\x11\xE0"));
}

TEST(CompoundFile, AWorkbookFileOfThatKindIsRefusedInOneLine) {
  std::filesystem::path path = std::filesystem::temp_directory_path() / "cwbk_compound_test.xlsx";
  {
    std::ofstream out(path, std::ios::binary);
    std::string bytes = compoundFile({u"EncryptionInfo", u"EncryptedPackage"});
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::string expected = path.string() + ": " + kEncrypted;
  try {
    readSourceWorkbook(path.string());
    ADD_FAILURE() << "read";
  } catch (const SourceError& e) {
    EXPECT_EQ(e.what(), expected);
  }
  try {
    loadAnyWorkbook(path.string());
    ADD_FAILURE() << "loaded";
  } catch (const SourceError& e) {
    EXPECT_EQ(e.what(), expected);
  }
  std::filesystem::remove(path);
}

} // namespace
} // namespace cwbk::compiler
