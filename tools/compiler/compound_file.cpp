// Reading the directory of an OLE2 compound file: the header gives the sector size, the sectors of the
// allocation table (109 in the header, more in a chain of DIFAT sectors) and the first directory
// sector; the directory's sectors follow the allocation table, 128 bytes to an entry.
#include "compiler/compound_file.h"

#include <cstdint>
#include <cstring>

#include "compiler/source_workbook.h"

namespace cwbk::compiler {

namespace {

constexpr char kSignature[] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
constexpr uint32_t kLastRegularSector = 0xFFFFFFFA; // above it: end of chain, free and special marks
constexpr size_t kHeaderSize = 512;
constexpr size_t kEntrySize = 128;
constexpr size_t kHeaderDifatEntries = 109;

uint32_t readU32(std::string_view bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i)
    value |= uint32_t(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return value;
}

uint16_t readU16(std::string_view bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                               (static_cast<unsigned char>(bytes[at + 1]) << 8));
}

class CompoundFile {
public:
  explicit CompoundFile(std::string_view bytes) : bytes_(bytes) {}

  std::vector<std::u16string> entries() {
    std::vector<std::u16string> names;
    if (!isCompoundFile(bytes_) || bytes_.size() < kHeaderSize) return names;
    uint16_t shift = readU16(bytes_, 0x1E);
    if (shift != 9 && shift != 12) return names;
    sectorSize_ = size_t(1) << shift;
    readAllocationSectors();
    // A chain never holds more sectors than the file; a longer walk is a loop.
    size_t limit = bytes_.size() / sectorSize_;
    uint32_t sector = readU32(bytes_, 0x30);
    for (size_t walked = 0; sector <= kLastRegularSector && walked < limit; ++walked) {
      size_t start = sectorOffset(sector);
      if (start == 0) break;
      for (size_t at = start; at + kEntrySize <= start + sectorSize_; at += kEntrySize) {
        uint8_t type = static_cast<uint8_t>(bytes_[at + 0x42]);
        uint16_t length = readU16(bytes_, at + 0x40); // in bytes, with the closing zero
        if (type == 0 || length < 2 || length > 64 || length % 2 != 0) continue;
        std::u16string name;
        for (size_t i = 0; i + 2 < length; i += 2)
          name.push_back(static_cast<char16_t>(readU16(bytes_, at + i)));
        names.push_back(std::move(name));
      }
      sector = nextSector(sector);
    }
    return names;
  }

private:
  // Returns the offset of a sector that lies whole inside the file, or 0.
  size_t sectorOffset(uint32_t sector) const {
    uint64_t start = (uint64_t(sector) + 1) * sectorSize_;
    return start + sectorSize_ <= bytes_.size() ? static_cast<size_t>(start) : 0;
  }

  void readAllocationSectors() {
    for (size_t i = 0; i < kHeaderDifatEntries; ++i)
      allocationSectors_.push_back(readU32(bytes_, 0x4C + 4 * i));
    size_t perSector = sectorSize_ / 4 - 1; // the last entry links to the next DIFAT sector
    uint32_t sector = readU32(bytes_, 0x44);
    size_t limit = bytes_.size() / sectorSize_;
    for (size_t walked = 0; sector <= kLastRegularSector && walked < limit; ++walked) {
      size_t start = sectorOffset(sector);
      if (start == 0) break;
      for (size_t i = 0; i < perSector; ++i)
        allocationSectors_.push_back(readU32(bytes_, start + 4 * i));
      sector = readU32(bytes_, start + 4 * perSector);
    }
  }

  // Returns the sector after `sector` in its chain, or an end mark when the table does not say.
  uint32_t nextSector(uint32_t sector) const {
    size_t perSector = sectorSize_ / 4;
    size_t index = sector / perSector;
    if (index >= allocationSectors_.size()) return 0xFFFFFFFE;
    uint32_t tableSector = allocationSectors_[index];
    size_t start = tableSector <= kLastRegularSector ? sectorOffset(tableSector) : 0;
    if (start == 0) return 0xFFFFFFFE;
    return readU32(bytes_, start + 4 * (sector % perSector));
  }

  std::string_view bytes_;
  size_t sectorSize_ = 512;
  std::vector<uint32_t> allocationSectors_;
};

} // namespace

bool isCompoundFile(std::string_view bytes) {
  return bytes.size() >= 8 && std::memcmp(bytes.data(), kSignature, 8) == 0;
}

std::vector<std::u16string> compoundFileEntries(std::string_view bytes) {
  return CompoundFile(bytes).entries();
}

std::string describeCompoundFile(std::string_view bytes) {
  bool workbook = false;
  for (const std::u16string& name : compoundFileEntries(bytes)) {
    if (sameName(name, u"EncryptedPackage") || sameName(name, u"EncryptionInfo"))
      return "encrypted workbook: remove the password in Excel first";
    workbook = workbook || sameName(name, u"Workbook") || sameName(name, u"Book");
  }
  return workbook ? "binary .xls workbook: save it as .xlsx" : "OLE2 compound file, not an .xlsx workbook";
}

} // namespace cwbk::compiler
