// The user data file's records: reading address/value records of every writer generation and applying
// them to the workbook model as input.
#include "app/user_data.h"

#include <algorithm>
#include <string>

#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "values/calc_value.h"
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
  uint32_t major = writerVersion >> 24;
  return RecordLayout{writerVersion >= 0x0109060B && major <= 8, writerVersion < 0x01090606 || major >= 9,
                      writerVersion < 0x01020800};
}

// Reads the record at pos into address and value and moves pos past it; false when the record is cut
// short or its tag names no value.
bool readRecord(const uint8_t* data, size_t size, size_t& pos, const RecordLayout& layout,
                CellAddress& address, CalcValue& v) {
  size_t addressSize = layout.wideAddresses ? 8 : 4;
  if (!data || pos > size || size - pos < addressSize + 1) return false;
  if (layout.wideAddresses) {
    address = addressAt(data + pos);
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

// Gives the record's cell its value as input: reported when the value changed or a hyperlink waits.
bool applyRecord(CompiledWorkbook& workbook, CellAddress address, const CalcValue& v,
                 std::vector<Cell*>& changed) {
  Cell* cell = workbook.findOrCreateCell(address);
  if (!cell) return false;
  CalcValue old;
  if (cell->value()) old.copyFrom(*cell->value());
  cell->ensureValue();
  workbook.setCellValue(v, *cell);
  if (!old.sameAs(*cell->value()) || cell->hasFlag(CellHyperlinkPending)) {
    cell->setFlags(CellValueChanged);
    if (!cell->hasFlag(CellHostComputed)) workbook.reportChange(*cell, &old);
  }
  changed.push_back(cell);
  return true;
}

} // namespace

bool applyUserValues(CompiledWorkbook& workbook, const uint8_t* data, size_t size, uint32_t writerVersion,
                     std::vector<Cell*>& changed) {
  RecordLayout layout = layoutOf(writerVersion);
  size_t pos = 0;
  try {
    while (pos < size) {
      CellAddress address;
      CalcValue v;
      if (!readRecord(data, size, pos, layout, address, v)) return false;
      if (!applyRecord(workbook, address, v, changed)) return false;
    }
  } catch (...) {
    return false; // a host failure while reporting ends the application
  }
  return true;
}

} // namespace cwbk
