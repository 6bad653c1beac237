// The user data file: its header with the rotated words, the compressed body with the owner texts and
// the records, writing through a temporary file, reading with its status codes, the choice of the
// cells an export writes and the application of the records to the model.
#include "app/data_file.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <random>
#include <system_error>

#include "app/user_data.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/compressed_block.h"
#include "values/little_endian.h"

namespace cwbk {

namespace {

constexpr uint8_t kMagic[4] = {'V', 'Q', 'L', 'F'};
constexpr int kRotation = 7;
constexpr uint16_t kMaxTextBLength = 0xFFFF;
// The largest file a reader takes in: a header and a block of the largest body at zlib's bound.
constexpr uint64_t kMaxFileSize = DataFileHeader::kSize + CompressedBlock::kHeaderSize +
                                  uint64_t(CompressedBlock::kMaxRawLength) * 1001 / 1000 + 4096;

// Appends a text and its NUL as UTF-16LE.
void putText(std::vector<uint8_t>& out, const std::u16string& text) {
  for (char16_t unit : text)
    putLE<uint16_t>(out, unit);
  putLE<uint16_t>(out, 0);
}

// Returns the UTF-16LE text in n bytes, up to its first NUL.
std::u16string textAt(const uint8_t* p, size_t n) {
  std::u16string text;
  for (size_t i = 0; i + 1 < n; i += 2) {
    auto unit = getLE<uint16_t>(p + i);
    if (unit == 0) break;
    text.push_back(static_cast<char16_t>(unit));
  }
  return text;
}

// A cell whose value comes from a formula: its own template, one the host computes, or an array
// formula. A record written into it would silently set the formula aside.
bool holdsOwnFormula(const Cell& cell) {
  return cell.hasFormula() || cell.hasFlag(CellArrayFormula) || cell.arrayFormulaIndex() >= 0;
}

// Gives the record's cell its value as input: reported when the value changed or a hyperlink waits.
bool applyRecord(CompiledWorkbook& workbook, const DataRecord& record, std::vector<Cell*>& imported) {
  Cell* cell = workbook.findOrCreateCell(record.address);
  if (!cell) return false;
  CalcValue old;
  if (cell->value()) old.copyFrom(*cell->value());
  cell->ensureValue();
  workbook.setCellValue(record.value, *cell);
  if (!old.sameAs(*cell->value()) || cell->hasFlag(CellHyperlinkPending)) {
    cell->setFlags(CellValueChanged);
    if (!cell->hasFlag(CellHostComputed)) workbook.reportChange(*cell, &old);
  }
  imported.push_back(cell);
  return true;
}

} // namespace

// ---------------------------------------------------------------- header

std::array<uint8_t, DataFileHeader::kSize> DataFileHeader::encode() const {
  const uint32_t words[7] = {uint32_t(headerSize) | uint32_t(textALength & kMaxTextLength) << 16 |
                                 uint32_t(ownerKind & 0xF) << 28,
                             textBLength,
                             applicationId,
                             exportTime,
                             writerVersion,
                             payloadSize,
                             formatMark};
  std::array<uint8_t, kSize> bytes{};
  std::copy(std::begin(kMagic), std::end(kMagic), bytes.begin());
  for (size_t i = 0; i < 7; ++i) {
    uint32_t stored = std::rotr(words[i], kRotation);
    std::memcpy(bytes.data() + 4 + 4 * i, &stored, 4);
  }
  return bytes;
}

bool DataFileHeader::decode(const uint8_t* bytes, size_t n, DataFileHeader& out) {
  if (!bytes || n < kSize || !std::equal(std::begin(kMagic), std::end(kMagic), bytes)) return false;
  uint32_t words[7];
  for (size_t i = 0; i < 7; ++i)
    words[i] = std::rotl(getLE<uint32_t>(bytes + 4 + 4 * i), kRotation);
  if ((words[0] & 0xFFFF) != kSize) return false;
  out.headerSize = kSize;
  out.textALength = (words[0] >> 16) & kMaxTextLength;
  out.ownerKind = static_cast<uint8_t>(words[0] >> 28);
  out.textBLength = static_cast<uint16_t>(words[1]);
  out.applicationId = words[2];
  out.exportTime = words[3];
  out.writerVersion = words[4];
  out.payloadSize = words[5];
  out.formatMark = static_cast<uint16_t>(words[6]);
  return true;
}

bool DataFileHeader::currentWriter() const {
  return currentDataLayout(writerVersion);
}

// ---------------------------------------------------------------- writing

std::vector<uint8_t> encodeDataFile(const std::vector<uint8_t>& records, const DataFileOwner& owner,
                                    uint32_t applicationId, uint32_t exportTime, uint32_t writerVersion) {
  if (owner.textA.size() >= DataFileHeader::kMaxTextLength || owner.textB.size() >= kMaxTextBLength ||
      owner.kind > 0xF)
    return {};
  std::vector<uint8_t> body;
  body.reserve(2 * (owner.textA.size() + owner.textB.size() + 2) + records.size());
  putText(body, owner.textA);
  putText(body, owner.textB);
  body.insert(body.end(), records.begin(), records.end());
  std::vector<uint8_t> block = CompressedBlock::write(body.data(), body.size());
  if (block.empty()) return {};

  DataFileHeader header;
  header.textALength = static_cast<uint16_t>(owner.textA.size() + 1);
  header.textBLength = static_cast<uint16_t>(owner.textB.size() + 1);
  header.ownerKind = owner.kind;
  header.applicationId = applicationId;
  header.exportTime = exportTime;
  header.writerVersion = writerVersion;
  header.payloadSize = static_cast<uint32_t>(records.size());
  std::array<uint8_t, DataFileHeader::kSize> head = header.encode();
  std::vector<uint8_t> file(head.begin(), head.end());
  file.insert(file.end(), block.begin(), block.end());
  return file;
}

bool writeDataFile(const std::filesystem::path& target, const std::vector<uint8_t>& records,
                   const DataFileOwner& owner, uint32_t applicationId, uint32_t exportTime,
                   uint32_t writerVersion) {
  std::vector<uint8_t> bytes = encodeDataFile(records, owner, applicationId, exportTime, writerVersion);
  if (bytes.empty() || target.empty() || !target.has_filename()) return false;
  // The temporary file sits beside the target, so the rename stays on one volume.
  std::filesystem::path temporary = target;
  std::u16string suffix = u".tmp";
  try {
    uint32_t r = std::random_device{}();
    for (int i = 0; i < 8; ++i)
      suffix.push_back(u"0123456789abcdef"[(r >> (4 * i)) & 0xF]);
  } catch (...) {
    // no random source: the fixed suffix still keeps the target whole
  }
  temporary += suffix;
  std::error_code ignored;
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    out.close();
    if (!out) {
      std::filesystem::remove(temporary, ignored);
      return false;
    }
  }
  std::error_code renamed;
  std::filesystem::rename(temporary, target, renamed);
  if (renamed) {
    std::filesystem::remove(temporary, ignored);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- reading

DataFileStatus decodeDataFile(const uint8_t* bytes, size_t n, DataFileContent& out) {
  DataFileHeader header;
  if (n <= DataFileHeader::kSize || !DataFileHeader::decode(bytes, n, header)) return DataFileInvalid;
  std::vector<uint8_t> body;
  if (!CompressedBlock::read(bytes + header.headerSize, n - header.headerSize, body)) return DataFileInvalid;
  // A current writer counts the texts in code units, an older one in bytes.
  size_t unitSize = header.currentWriter() ? 2 : 1;
  size_t textA = unitSize * header.textALength, textB = unitSize * header.textBLength;
  if (textA + textB > body.size()) return DataFileInvalid;
  out.header = header;
  out.owner.textA = textAt(body.data(), textA);
  out.owner.textB = textAt(body.data() + textA, textB);
  out.owner.kind = header.ownerKind;
  out.records.assign(body.begin() + static_cast<ptrdiff_t>(textA + textB), body.end());
  return DataFileRead;
}

DataFileStatus readDataFile(const std::filesystem::path& path, DataFileContent& out) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return DataFileCannotOpen;
  std::ifstream in(path, std::ios::binary);
  if (!in) return DataFileCannotOpen;
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size < 0) return DataFileCannotRead;
  if (size <= std::streamoff(DataFileHeader::kSize) || uint64_t(size) > kMaxFileSize) return DataFileInvalid;
  in.seekg(0, std::ios::beg);
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) return DataFileCannotRead;
  try {
    return decodeDataFile(bytes.data(), bytes.size(), out);
  } catch (...) {
    return DataFileInvalid; // out of memory inflating: not a file this reader can take
  }
}

// ---------------------------------------------------------------- export and import

std::vector<uint8_t> collectDataRecords(CompiledWorkbook& workbook, bool collected) {
  auto chosen = [collected](const Cell& cell) {
    return cell.hasFlag(CellDirtyInput) || (collected && cell.hasFlag(CellChangedByUser));
  };
  // The named groups anchored at chosen cells: a control of the cell's sheet linked to the cell.
  std::vector<std::u16string> groups;
  const auto& controls = workbook.sheetControls();
  workbook.forEachCell([&](Cell& cell) {
    if (!chosen(cell) || !cell.hasFlag(CellStored)) return;
    auto sheet = controls.find(cell.address().sheet());
    if (sheet == controls.end()) return;
    for (const auto& [name, control] : sheet->second) {
      CellAddress linked = control.linkedCell;
      if (control.groupName.empty() || !linked.isValid() ||
          CellAddress::make(linked.sheet(), linked.column(), linked.rowIndex()) != cell.address())
        continue;
      if (std::find(groups.begin(), groups.end(), control.groupName) == groups.end())
        groups.push_back(control.groupName);
    }
  });
  for (const auto& [sheet, byName] : controls)
    for (const auto& [name, control] : byName)
      if (std::find(groups.begin(), groups.end(), control.groupName) != groups.end())
        if (Cell* cell = workbook.findOrCreateCell(control.linkedCell))
          cell->setFlags(CellDirtyInput | CellChangedByUser);

  std::vector<uint8_t> records;
  workbook.forEachCell([&](Cell& cell) {
    if (chosen(cell) && (cell.templateIndex() < 0 || cell.hasFlag(CellHostComputed)) && cell.value())
      writeDataRecord(records, cell.address(), *cell.value());
  });
  return records;
}

DataApplyResult applyDataRecords(const std::vector<uint8_t>& bytes, uint32_t writerVersion,
                                 CompiledWorkbook& workbook) {
  DataApplyResult result;
  std::vector<DataRecord> records;
  if (!readDataRecords(bytes.data(), bytes.size(), writerVersion, records)) {
    result.status = DataApplyStatus::Unreadable;
    return result;
  }
  std::vector<const DataRecord*> accepted;
  accepted.reserve(records.size());
  for (const DataRecord& record : records) {
    if (!workbook.sheet(record.address.sheet())) {
      ++result.refusedNoSheet;
    } else if (const Cell* cell = workbook.findCell(record.address); cell && holdsOwnFormula(*cell)) {
      ++result.refusedFormulaCells;
    } else {
      accepted.push_back(&record);
    }
  }
  try {
    for (const DataRecord* record : accepted)
      if (!applyRecord(workbook, *record, result.imported)) {
        result.status = DataApplyStatus::Failed;
        break;
      }
  } catch (...) {
    result.status = DataApplyStatus::Failed; // the host failed while taking a change
  }
  return result;
}

} // namespace cwbk
