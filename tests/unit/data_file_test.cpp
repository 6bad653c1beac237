// The user data file: header bytes and their rules, export then import of every value kind, files of
// older writers, corrupt and cut input that must change nothing, records refused for formula cells,
// failures of writing and of applying kept apart from format failures, and named control groups.
#include "app/data_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/user_data.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/compressed_block.h"
#include "recalculation_support.h"

using namespace cwbk;

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

void put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t get32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

CellAddress at(uint32_t sheet, uint32_t column, uint32_t row) {
  return CellAddress::make(sheet, column, row);
}

// A data file made by hand as an older writer wrote it: text lengths as given (bytes for an older
// writer), the body's bytes as they stand.
Bytes handMadeFile(uint32_t writerVersion, uint16_t textALength, uint16_t textBLength, const Bytes& body) {
  DataFileHeader header;
  header.textALength = textALength;
  header.textBLength = textBLength;
  header.writerVersion = writerVersion;
  auto head = header.encode();
  Bytes file(head.begin(), head.end());
  Bytes block = CompressedBlock::write(body.data(), body.size());
  file.insert(file.end(), block.begin(), block.end());
  return file;
}

// A temporary folder, removed with everything in it.
struct TempFolder {
  fs::path path;
  TempFolder() {
    path =
        fs::temp_directory_path() / ("data_file_test_" + std::to_string(reinterpret_cast<uintptr_t>(this)) +
                                     "_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::create_directories(path);
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

Bytes fileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A workbook of two sheets whose host mirrors every reported change.
class DataFileTest : public ::testing::Test {
protected:
  DataFileTest() {
    workbook.addSheet(u"Sheet1");
    workbook.addSheet(u"Sheet2");
    workbook.state().host = &host;
  }
  Cell& cellWith(CellAddress a, const CalcValue& v, uint32_t flags) {
    Cell* cell = workbook.findOrCreateCell(a);
    cell->setValue(v);
    cell->setFlags(flags);
    return *cell;
  }

  cwbk::testing::MirrorHost host;
  CompiledWorkbook workbook;
};

// Every value kind a cell holds, with its address.
std::vector<DataRecord> everyKind() {
  CalcValue reference, array, nested;
  reference.setReference(at(0, 5, 5), at(1, 6, 9));
  nested.appendToArray(CalcValue::number(1));
  nested.appendToArray(CalcValue::text(u"a longer text"));
  array.appendToArray(nested);
  nested.setEmpty();
  nested.appendToArray(CalcValue::boolean(false));
  CalcValue error;
  error.setError(ErrNA);
  nested.appendToArray(error);
  array.appendToArray(nested);
  std::vector<DataRecord> kinds(11);
  kinds[0].value.setEmpty();
  kinds[1].value.setInteger(-123456);
  kinds[2].value.setDouble(0.1 + 0.2);
  kinds[3].value.setDouble(-0.0);
  kinds[4].value.setDouble(std::numeric_limits<double>::denorm_min());
  kinds[5].value = CalcValue::text(u"");
  kinds[6].value = CalcValue::text(u"\u00e9\u4e2d\U0001F600"); // 4 units: short
  kinds[7].value = CalcValue::text(std::u16string(3000, u'x') + u"\u2603");
  kinds[8].value = CalcValue::boolean(true);
  kinds[9].value.copyFrom(reference);
  kinds[10].value.copyFrom(array);
  kinds.emplace_back().value.setError(ErrDiv0);
  for (size_t i = 0; i < kinds.size(); ++i)
    kinds[i].address = at(i % 2, 3, uint32_t(i * 70000)); // rows across the 65536-row blocks
  return kinds;
}

} // namespace

TEST(DataFileHeaderTest, WordsAreStoredRotatedAndCheckedOnReading) {
  DataFileHeader header;
  header.textALength = 5;
  header.ownerKind = 3;
  header.textBLength = 7;
  header.applicationId = 0xDEADBEEF;
  header.exportTime = 1700000000;
  header.payloadSize = 42;
  auto bytes = header.encode();
  Bytes b(bytes.begin(), bytes.end());
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "VQLF");
  EXPECT_EQ(get32(b, 4), std::rotr(uint32_t(32 | 5 << 16 | 3 << 28), 7));
  EXPECT_EQ(get32(b, 12), std::rotr(0xDEADBEEFu, 7));
  EXPECT_EQ(get32(b, 20), std::rotr(packVersion(1, 9, 6, 11), 7));
  EXPECT_EQ(get32(b, 28), std::rotr(uint32_t(7213), 7));
  DataFileHeader back;
  ASSERT_TRUE(DataFileHeader::decode(b.data(), b.size(), back));
  EXPECT_EQ(back.textALength, 5);
  EXPECT_EQ(back.ownerKind, 3);
  EXPECT_EQ(back.textBLength, 7);
  EXPECT_EQ(back.applicationId, 0xDEADBEEF);
  EXPECT_EQ(back.exportTime, 1700000000u);
  EXPECT_EQ(back.payloadSize, 42u);
  EXPECT_EQ(back.formatMark, 7213);

  // The header size stored unrotated is no header; nor is a wrong magic or a short buffer.
  Bytes plain = b;
  plain[4] = 0x20, plain[5] = plain[6] = plain[7] = 0;
  EXPECT_FALSE(DataFileHeader::decode(plain.data(), plain.size(), back));
  Bytes magic = b;
  magic[3] = 'X';
  EXPECT_FALSE(DataFileHeader::decode(magic.data(), magic.size(), back));
  EXPECT_FALSE(DataFileHeader::decode(b.data(), 31, back));

  // Which writers wrote the current layout.
  for (auto [version, current] : std::vector<std::pair<uint32_t, bool>>{{packVersion(1, 9, 6, 10), false},
                                                                        {packVersion(1, 9, 6, 11), true},
                                                                        {packVersion(8, 255, 0, 0), true},
                                                                        {packVersion(9, 0, 0, 0), false}}) {
    header.writerVersion = version;
    EXPECT_EQ(header.currentWriter(), current) << std::hex << version;
  }
}

TEST(DataFileReadTest, StatusCodesOfFilesThatAreNotDataFiles) {
  TempFolder folder;
  DataFileContent content;
  EXPECT_EQ(readDataFile(folder.path / "missing.dat", content), DataFileCannotOpen);
  EXPECT_EQ(readDataFile(folder.path, content), DataFileCannotOpen);

  Bytes good = encodeDataFile({}, {u"owner", u"", 2}, 77, 0);
  ASSERT_FALSE(good.empty());
  auto statusOf = [&](const Bytes& bytes) {
    fs::path p = folder.path / "f.dat";
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    DataFileContent c;
    return readDataFile(p, c);
  };
  EXPECT_EQ(statusOf(good), DataFileRead);
  EXPECT_EQ(statusOf(Bytes(good.begin(), good.begin() + 32)), DataFileInvalid); // exactly 32 bytes
  EXPECT_EQ(statusOf(Bytes(good.begin(), good.end() - 1)), DataFileInvalid);    // a cut block
  EXPECT_EQ(statusOf(Bytes()), DataFileInvalid);
  Bytes magic = good;
  magic[0] = 'W';
  EXPECT_EQ(statusOf(magic), DataFileInvalid);
  // Texts longer than the body.
  EXPECT_EQ(statusOf(handMadeFile(kDataFileWriterVersion, 100, 1, Bytes(10, 0))), DataFileInvalid);
}

TEST(DataFileReadTest, EmptyOwnerTextsAreWrittenAsOneNul) {
  Bytes file = encodeDataFile({}, {}, 1, 0);
  DataFileContent content;
  ASSERT_EQ(decodeDataFile(file.data(), file.size(), content), DataFileRead);
  EXPECT_EQ(content.header.textALength, 1);
  EXPECT_EQ(content.header.textBLength, 1);
  EXPECT_TRUE(content.records.empty());
  Bytes body;
  ASSERT_TRUE(CompressedBlock::read(file.data() + 32, file.size() - 32, body));
  EXPECT_EQ(body, Bytes(4, 0));
  // Texts that do not fit their length fields are refused rather than cut.
  EXPECT_TRUE(encodeDataFile({}, {std::u16string(4095, u'a'), u"", 0}, 1, 0).empty());
  EXPECT_FALSE(encodeDataFile({}, {std::u16string(4094, u'a'), u"", 0}, 1, 0).empty());
  EXPECT_TRUE(encodeDataFile({}, {u"", u"", 16}, 1, 0).empty());
}

TEST_F(DataFileTest, ExportThenImportReproducesEveryValueKind) {
  std::vector<DataRecord> kinds = everyKind();
  for (const DataRecord& r : kinds)
    cellWith(r.address, r.value, CellDirtyInput);
  // Not written: a formula cell, a cell without a value, and one changed by the user only.
  cellWith(at(0, 9, 0), CalcValue::number(1), CellDirtyInput).setTemplateIndex(0);
  workbook.findOrCreateCell(at(0, 9, 1))->setFlags(CellDirtyInput);
  cellWith(at(0, 9, 2), CalcValue::number(2), CellChangedByUser);
  // Written: a formula the host computes.
  cellWith(at(0, 9, 3), CalcValue::text(u"host"), CellDirtyInput | CellHostComputed);

  TempFolder folder;
  fs::path target = folder.path / "data.dat";
  ASSERT_TRUE(writeDataFile(target, collectDataRecords(workbook, false), {u"A", u"BB", 5}, 0x1234, 99));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path), fs::directory_iterator()), 1);

  DataFileContent content;
  ASSERT_EQ(readDataFile(target, content), DataFileRead);
  EXPECT_EQ(content.owner.textA, u"A");
  EXPECT_EQ(content.owner.textB, u"BB");
  EXPECT_EQ(content.owner.kind, 5);
  EXPECT_EQ(content.header.applicationId, 0x1234u);
  EXPECT_EQ(content.header.exportTime, 99u);
  EXPECT_EQ(content.header.payloadSize, content.records.size());

  CompiledWorkbook fresh;
  fresh.addSheet(u"Sheet1");
  fresh.addSheet(u"Sheet2");
  DataApplyResult result = applyDataRecords(content.records, content.header.writerVersion, fresh);
  ASSERT_EQ(result.status, DataApplyStatus::Applied);
  EXPECT_EQ(result.imported.size(), kinds.size() + 1);
  for (const DataRecord& r : kinds) {
    const Cell* cell = fresh.findCell(r.address);
    ASSERT_TRUE(cell && cell->value());
    // (The model keeps an integral double as an Integer, -0.0 as 0: compare with what the cell held.)
    EXPECT_TRUE(cell->value()->sameAs(*workbook.findCell(r.address)->value())) << r.address.rowIndex();
    EXPECT_EQ(cell->value()->kind(), r.value.kind() == CalcValue::Double && r.value.doubleValue() == 0
                                         ? CalcValue::Integer
                                         : r.value.kind());
  }
  EXPECT_EQ(fresh.findCell(at(0, 9, 0)), nullptr);
  EXPECT_EQ(fresh.findCell(at(0, 9, 2)), nullptr);
  EXPECT_EQ(fresh.findCell(at(0, 9, 3))->value()->textView(), u"host");

  // "Export Collected Data" adds the cell changed by the user.
  std::vector<DataRecord> collected;
  Bytes withChanged = collectDataRecords(workbook, true);
  ASSERT_TRUE(readDataRecords(withChanged.data(), withChanged.size(), kDataFileWriterVersion, collected));
  EXPECT_EQ(collected.size(), kinds.size() + 2);
}

TEST_F(DataFileTest, FilesOfOlderWritersReadByTheirVersion) {
  double x = 4.25;
  const auto* xb = reinterpret_cast<const uint8_t*>(&x);
  // Texts counted in bytes and 4-byte addresses: sheet 1, column C, row 5.
  auto oldBody = [&](uint8_t doubleTag) {
    Bytes body = {'o', 0, 'k', 0, 0, 0};
    put32(body, 1u << 24 | 2u << 16 | 4);
    body.push_back(doubleTag);
    body.insert(body.end(), xb, xb + 8);
    return body;
  };
  // 8-byte addresses; texts counted in code units.
  Bytes currentBody = {'o', 0, 0, 0, 0, 0};
  put32(currentBody, 4);
  put32(currentBody, 1u << 16 | 2);
  currentBody.push_back(2);
  currentBody.insert(currentBody.end(), xb, xb + 8);
  // Before 1.2.8.0: tags one less and single-byte texts, with one byte after the terminator.
  Bytes ancientBody = {0, 0};
  put32(ancientBody, 0u << 24 | 1u << 16 | 7);
  for (uint8_t b : std::initializer_list<uint8_t>{2, 'a', 'b', 0xE9, 0, 0xEE})
    ancientBody.push_back(b);
  put32(ancientBody, 0);
  ancientBody.push_back(1); // tag 1 before adjustment: a Double
  ancientBody.insert(ancientBody.end(), xb, xb + 8);

  struct Case {
    const char* name;
    Bytes file;
  } cases[] = {
      {"1.9.6.10", handMadeFile(packVersion(1, 9, 6, 10), 4, 2, oldBody(2))},
      {"1.9.6.11", handMadeFile(packVersion(1, 9, 6, 11), 2, 1, currentBody)},
      {"9.0.0.0", handMadeFile(packVersion(9, 0, 0, 0), 4, 2, oldBody(1))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DataFileContent content;
    ASSERT_EQ(decodeDataFile(c.file.data(), c.file.size(), content), DataFileRead);
    CompiledWorkbook fresh;
    fresh.addSheet(u"Sheet1");
    fresh.addSheet(u"Sheet2");
    DataApplyResult result = applyDataRecords(content.records, content.header.writerVersion, fresh);
    ASSERT_EQ(result.status, DataApplyStatus::Applied);
    ASSERT_EQ(result.imported.size(), 1u);
    EXPECT_EQ(result.imported[0]->address(), at(1, 2, 4));
    EXPECT_EQ(result.imported[0]->value()->doubleValue(), 4.25);
  }

  DataFileContent content;
  Bytes ancient = handMadeFile(packVersion(1, 2, 7, 0), 1, 1, ancientBody);
  ASSERT_EQ(decodeDataFile(ancient.data(), ancient.size(), content), DataFileRead);
  DataApplyResult result = applyDataRecords(content.records, content.header.writerVersion, workbook);
  ASSERT_EQ(result.status, DataApplyStatus::Applied);
  ASSERT_EQ(result.imported.size(), 2u);
  EXPECT_EQ(result.imported[0]->address(), at(0, 1, 7));
  EXPECT_EQ(result.imported[0]->value()->textView(), u"ab\u00e9");
  EXPECT_EQ(result.imported[1]->value()->kind(), CalcValue::Double);
  EXPECT_EQ(result.imported[1]->value()->doubleValue(), 4.25);
}

TEST(DataFileApplyTest, RecordsThatCannotBeReadChangeNothing) {
  // Four records; a cut anywhere but at a record's end is refused before any cell changes, the cells
  // of the whole records before the cut included.
  Bytes all;
  std::vector<size_t> ends;
  auto record = [&](CellAddress a, const CalcValue& v) {
    writeDataRecord(all, a, v);
    ends.push_back(all.size());
  };
  CalcValue reference;
  reference.setReference(at(0, 5, 5), at(0, 6, 6));
  record(at(0, 0, 0), CalcValue::text(u"abc"));
  record(at(0, 1, 0), reference);
  record(at(0, 2, 0), CalcValue::number(0.5));
  record(at(0, 3, 0), CalcValue::boolean(true));
  Bytes badTag = all;
  badTag[ends[0] + 8] = 10; // the second record's tag names no value

  auto applyTo = [](const Bytes& bytes, size_t expectedImports) {
    CompiledWorkbook fresh;
    fresh.addSheet(u"Sheet1");
    cwbk::testing::MirrorHost host;
    fresh.state().host = &host;
    fresh.findOrCreateCell(at(0, 0, 0))->setValue(CalcValue::number(7));
    DataApplyResult result = applyDataRecords(bytes, kDataFileWriterVersion, fresh);
    EXPECT_EQ(result.imported.size(), expectedImports);
    if (result.status == DataApplyStatus::Unreadable) {
      EXPECT_EQ(fresh.cellCount(), 1u);
      EXPECT_EQ(fresh.findCell(at(0, 0, 0))->value()->numberValue(), 7);
      EXPECT_TRUE(host.order.empty());
    }
    return result.status;
  };
  for (size_t cut = 1; cut < all.size(); ++cut) {
    SCOPED_TRACE(cut);
    Bytes part(all.begin(), all.begin() + cut); // its own buffer, so a read past the cut is caught
    auto whole = std::find(ends.begin(), ends.end(), cut);
    if (whole == ends.end()) {
      EXPECT_EQ(applyTo(part, 0), DataApplyStatus::Unreadable);
    } else {
      EXPECT_EQ(applyTo(part, size_t(whole - ends.begin()) + 1), DataApplyStatus::Applied);
    }
  }
  EXPECT_EQ(applyTo(badTag, 0), DataApplyStatus::Unreadable);
}

TEST_F(DataFileTest, FormulaCellsAndMissingSheetsAreRefusedAndCounted) {
  Cell& formula = cellWith(at(0, 1, 1), CalcValue::number(10), 0);
  formula.setTemplateIndex(0);
  cellWith(at(0, 1, 2), CalcValue::number(10), CellHostComputed);
  cellWith(at(0, 1, 3), CalcValue::number(10), CellArrayFormula);
  Bytes records;
  writeDataRecord(records, at(0, 1, 1), CalcValue::number(1));
  writeDataRecord(records, at(0, 1, 2), CalcValue::number(1));
  writeDataRecord(records, at(0, 1, 3), CalcValue::number(1));
  writeDataRecord(records, at(5, 0, 0), CalcValue::number(1));      // no such sheet
  writeDataRecord(records, at(0xFFFF, 0, 0), CalcValue::number(1)); // names no sheet
  writeDataRecord(records, at(1, 4, 4), CalcValue::number(3));      // a new cell
  DataApplyResult result = applyDataRecords(records, kDataFileWriterVersion, workbook);
  EXPECT_EQ(result.status, DataApplyStatus::Applied);
  EXPECT_EQ(result.refusedFormulaCells, 3u);
  EXPECT_EQ(result.refusedNoSheet, 2u);
  ASSERT_EQ(result.imported.size(), 1u);
  EXPECT_EQ(result.imported[0]->address(), at(1, 4, 4));
  EXPECT_EQ(formula.templateIndex(), 0);
  EXPECT_EQ(formula.value()->numberValue(), 10);
  EXPECT_EQ(host.order, std::vector<CellAddress>{at(1, 4, 4)});
}

TEST_F(DataFileTest, AHostFailureWhileApplyingIsNotAFormatFailure) {
  struct FailingHost : cwbk::testing::MirrorHost {
    int cellChanged(Cell& cell) override {
      if (cell.address().rowIndex() == 1) throw std::runtime_error("host refused");
      return MirrorHost::cellChanged(cell);
    }
  } failing;
  workbook.state().host = &failing;
  Bytes records;
  writeDataRecord(records, at(0, 0, 0), CalcValue::number(1));
  writeDataRecord(records, at(0, 0, 1), CalcValue::number(2));
  writeDataRecord(records, at(0, 0, 2), CalcValue::number(3));
  DataApplyResult result = applyDataRecords(records, kDataFileWriterVersion, workbook);
  EXPECT_EQ(result.status, DataApplyStatus::Failed);
  EXPECT_EQ(result.imported.size(), 1u);
  EXPECT_EQ(workbook.findCell(at(0, 0, 2)), nullptr);
}

TEST(DataFileWriteTest, AFailedWriteLeavesTheOldFileAndReportsFailure) {
  TempFolder folder;
  fs::path target = folder.path / "old.dat";
  std::ofstream(target, std::ios::binary) << "the user's old file";
  Bytes records;
  writeDataRecord(records, at(0, 0, 0), CalcValue::number(1));
  // A body that cannot be encoded, a folder that does not exist, a target that is a folder.
  EXPECT_FALSE(writeDataFile(target, records, {std::u16string(5000, u'x'), u"", 0}, 1, 0));
  EXPECT_FALSE(writeDataFile(folder.path / "no" / "such.dat", records, {}, 1, 0));
  fs::create_directory(folder.path / "dir.dat");
  EXPECT_FALSE(writeDataFile(folder.path / "dir.dat", records, {}, 1, 0));
  EXPECT_EQ(fileBytes(target), Bytes({'t', 'h', 'e', ' ', 'u', 's', 'e', 'r', '\'', 's', ' ', 'o', 'l', 'd',
                                      ' ', 'f', 'i', 'l', 'e'}));
  // A good write replaces it, and no temporary file is left behind.
  EXPECT_TRUE(writeDataFile(target, records, {}, 1, 0));
  DataFileContent content;
  EXPECT_EQ(readDataFile(target, content), DataFileRead);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path), fs::directory_iterator()), 2);
}

TEST_F(DataFileTest, AGroupAnchoredAtAnExportedCellBringsItsLinkedCells) {
  auto control = [&](uint32_t sheet, const char16_t* name, CellAddress linked, const char16_t* group) {
    SheetControl c;
    c.name = name;
    c.linkedCell = linked;
    c.groupName = group;
    workbook.sheetControls()[sheet][name] = c;
  };
  cellWith(at(0, 0, 0), CalcValue::number(1), CellDirtyInput | CellStored);
  workbook.findOrCreateCell(at(1, 0, 5))->setValue(CalcValue::number(2));
  control(0, u"Option1", at(0, 0, 0), u"Choice");
  control(1, u"Option2", at(1, 0, 5), u"Choice");  // on another sheet, not flagged yet
  control(1, u"Option3", at(1, 0, 6), u"Choice");  // a cell the model does not have: created, no value
  control(1, u"Other", at(1, 0, 7), u"Elsewhere"); // another group
  cellWith(at(1, 0, 7), CalcValue::number(4), 0);
  Bytes records = collectDataRecords(workbook, false);
  std::vector<DataRecord> read;
  ASSERT_TRUE(readDataRecords(records.data(), records.size(), kDataFileWriterVersion, read));
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0].address, at(0, 0, 0));
  EXPECT_EQ(read[1].address, at(1, 0, 5));
  ASSERT_NE(workbook.findCell(at(1, 0, 6)), nullptr);
  EXPECT_TRUE(workbook.findCell(at(1, 0, 6))->hasFlag(CellDirtyInput | CellChangedByUser));
  EXPECT_FALSE(workbook.findCell(at(1, 0, 7))->hasFlag(CellDirtyInput));
}
