// The user data file's records: reading address/value records of every writer generation, and writing
// them in the current layout.
#include "app/user_data.h"

#include <algorithm>
#include <string>

#include "values/little_endian.h"

namespace cwbk {

namespace {

// How the records of one writer generation are laid out.
struct RecordLayout {
  bool wideAddresses; // 8-byte addresses; otherwise one packed 32-bit word
  bool shiftedTags;   // the stored tag is one less than the value's tag
  bool byteTexts;     // texts are single-byte, NUL-terminated and followed by one more byte
};

RecordLayout layoutOf(uint32_t writerVersion) {
  return RecordLayout{currentDataLayout(writerVersion),
                      writerVersion < 0x01090606 || (writerVersion >> 24) >= 9, writerVersion < 0x01020800};
}

// Reads the record at pos into address and value and moves pos past it; false when the record is cut
// short or its tag names no value.
bool readRecord(const uint8_t* data, size_t size, size_t& pos, const RecordLayout& layout,
                CellAddress& address, CalcValue& v) {
  size_t addressSize = layout.wideAddresses ? 8 : 4;
  if (!data || pos > size || size - pos < addressSize + 1) return false;
  if (layout.wideAddresses) {
    CellAddress stored = addressAt(data + pos);
    address = CellAddress::make(stored.sheetColumn >> 16, stored.column(), stored.rowIndex());
  } else {
    uint32_t word = getLE<uint32_t>(data + pos);
    address = CellAddress::make(word >> 24, (word >> 16) & 0xFF, word & 0xFFFF);
  }
  pos += addressSize;
  auto tag = static_cast<uint8_t>(data[pos] + (layout.shiftedTags ? 1 : 0));
  ++pos;
  const uint8_t* payload = data + pos;
  size_t available = size - pos;
  size_t used = 0;
  if (tag > CalcValue::Error) return false;
  bool text = tag == CalcValue::ShortText || tag == CalcValue::LongText;
  if (size_t fixed = CalcValue::fixedPackedSize(tag)) {
    if (available < fixed) return false;
    v.unpack(tag, payload, available);
    used = fixed;
  } else if (text && layout.byteTexts) {
    size_t length = 0;
    while (length < available && payload[length] != 0)
      ++length;
    if (length + 2 > available) return false;
    v.setText(std::u16string(payload, payload + length));
    used = length + 2;
  } else if (text) {
    size_t units = available / 2, length = 0;
    while (length < units && getLE<uint16_t>(payload + 2 * length) != 0)
      ++length;
    if (length == units) return false; // no terminator: the record is cut short
    used = v.unpack(tag, payload, available);
  } else {
    used = v.unpack(tag, payload, available);
    if (tag == CalcValue::Array && !v.isArray()) return false;
  }
  pos += std::min(used, available);
  return true;
}

} // namespace

bool readDataRecords(const uint8_t* data, size_t size, uint32_t writerVersion,
                     std::vector<DataRecord>& records) {
  records.clear();
  RecordLayout layout = layoutOf(writerVersion);
  size_t pos = 0;
  while (pos < size) {
    DataRecord& record = records.emplace_back();
    if (!readRecord(data, size, pos, layout, record.address, record.value)) {
      records.clear();
      return false;
    }
  }
  return true;
}

void writeDataRecord(std::vector<uint8_t>& out, CellAddress address, const CalcValue& value) {
  putLE(out, address.row);
  putLE(out, address.sheetColumn);
  value.pack(out);
}

} // namespace cwbk
