// The user data file: the values of the workbook's data cells carried out of one copy of the
// application and into another. A 32-byte header whose words are stored rotated, then one compressed
// block holding two owner texts and the cell records. Reading, writing, choosing the cells to export and
// applying the records to the workbook model.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace cwbk {

class Cell;
class CompiledWorkbook;

// Returns the packed product version ((major << 8 | minor) << 8 | build) << 8 | revision; the parts
// are expected below 256 and are not masked.
constexpr uint32_t packVersion(uint32_t major, uint32_t minor, uint32_t build, uint32_t revision) {
  return ((major << 8 | minor) << 8 | build) << 8 | revision;
}

// The version this writer puts in a file when the host names none: the first writer of the current
// layout. A file marked with an older version, or a major version of 9 or more, is read in the old
// layout, so a host that passes its own module's version must pass one that reads as current.
constexpr uint32_t kDataFileWriterVersion = packVersion(1, 9, 6, 11);

// The header's fields after the rotation is undone.
struct DataFileHeader {
  static constexpr size_t kSize = 32;
  static constexpr uint16_t kFormatMark = 7213;
  static constexpr uint16_t kMaxTextLength = 0xFFF; // the text A length has 12 bits

  uint16_t headerSize = kSize;
  // Lengths of the owner texts with their NUL: code units for a current writer, bytes for an older one.
  uint16_t textALength = 1;
  uint16_t textBLength = 1;
  uint8_t ownerKind = 0; // 4 bits, kept beside the text A length
  uint32_t applicationId = 0;
  uint32_t exportTime = 0; // seconds since 1970 UTC when exported through the file dialog, else 0
  uint32_t writerVersion = kDataFileWriterVersion;
  uint32_t payloadSize = 0; // bytes of the records
  uint16_t formatMark = kFormatMark;

  // Returns the 32 header bytes: the magic "VQLF", then the seven words each rotated right by 7.
  std::array<uint8_t, kSize> encode() const;
  // Takes the header apart from the first n bytes (rotating each word left by 7). False when fewer
  // than 32 bytes are given, the magic is wrong or the header size is not 32.
  static bool decode(const uint8_t* bytes, size_t n, DataFileHeader& out);
  // True when the file was written in the current layout: version 1.9.6.11 or later with a major
  // version of at most 8. Older writers count text lengths in bytes and write 4-byte addresses.
  bool currentWriter() const;
};

// What the host configuration says about the file's owner; readers skip it.
struct DataFileOwner {
  std::u16string textA;
  std::u16string textB;
  uint8_t kind = 0; // 0..15
};

// A data file as read: its header, owner texts (without their NUL) and the record bytes.
struct DataFileContent {
  DataFileHeader header;
  DataFileOwner owner;
  std::vector<uint8_t> records;
};

// Reading status; the import turns 2, 3 and 4 into their messages.
enum DataFileStatus : int {
  DataFileRead = 0,
  DataFileCannotOpen = 2,
  DataFileCannotRead = 3,
  DataFileInvalid = 4, // wrong size, magic, header size, block, texts or decompression failure
};

// Returns the bytes of a data file holding the records (as collectDataRecords gives them): the header,
// then the body (text A, text B, records) as one compressed block. Empty when an owner text does not
// fit its length field (text A 4094 units, text B 65534), the kind exceeds 15 or the body cannot be
// compressed.
std::vector<uint8_t> encodeDataFile(const std::vector<uint8_t>& records, const DataFileOwner& owner,
                                    uint32_t applicationId, uint32_t exportTime,
                                    uint32_t writerVersion = kDataFileWriterVersion);

// Writes a data file (encodeDataFile) to target. The bytes go to a temporary file in the target's
// folder, which is then renamed over the target, so a failed write leaves an existing target as it
// was. Returns true only when the whole file was written and is in place.
bool writeDataFile(const std::filesystem::path& target, const std::vector<uint8_t>& records,
                   const DataFileOwner& owner, uint32_t applicationId, uint32_t exportTime,
                   uint32_t writerVersion = kDataFileWriterVersion);

// Reads the file at path into out: status 2 when it cannot be opened, 3 when its bytes cannot be read,
// 4 when they are not a data file (decodeDataFile), 0 when read. Only status 0 fills out.
DataFileStatus readDataFile(const std::filesystem::path& path, DataFileContent& out);
// Reads a data file from memory: status 0 or 4 as for readDataFile. Only the header and the block are
// checked here; the records are checked when they are applied.
DataFileStatus decodeDataFile(const uint8_t* bytes, size_t n, DataFileContent& out);

// Returns the records an export writes, in the current layout, in the model's cell order (sheet,
// column, row). A cell is written when it is a data cell (flag 0x80), or a cell changed by the user
// (0x8000) and collected is set; when it has no formula of its own or one the host computes (0x10);
// and when it holds a value. First, every such cell with flag 0x08 that is the linked cell of a
// control in a named group brings the linked cells of all controls of that group, on any sheet, into
// the export: they get flags 0x8080 (created when missing).
std::vector<uint8_t> collectDataRecords(CompiledWorkbook& workbook, bool collected);

enum class DataApplyStatus {
  Applied,    // every readable record was applied (refused ones aside)
  Unreadable, // the records are cut short or malformed: nothing was applied
  Failed,     // applying failed part way (the host refused a change); the file itself was fine
};

struct DataApplyResult {
  DataApplyStatus status = DataApplyStatus::Applied;
  // The cells that took a value, in record order (the import colours and recalculates them).
  std::vector<Cell*> imported;
  // Records left out because their cell holds a formula of its own (a template, a formula the host
  // computes or part of an array formula): importing would silently detach it.
  size_t refusedFormulaCells = 0;
  // Records left out because their address names no sheet of this workbook.
  size_t refusedNoSheet = 0;
};

// Applies the records of a file written by writerVersion to the model as input. Every record is read
// and checked before any cell changes, so records that cannot be read change nothing. Each accepted
// record's cell is found or created, takes the value and is reported to the host when its value
// changed (or a hyperlink waits). Recalculation is the caller's.
DataApplyResult applyDataRecords(const std::vector<uint8_t>& records, uint32_t writerVersion,
                                 CompiledWorkbook& workbook);

} // namespace cwbk
