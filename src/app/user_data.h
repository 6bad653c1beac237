// The user data file's records: address/value pairs that the host saved from the workbook's input
// cells, in the layouts of every writer generation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "values/calc_value.h"
#include "values/cell_address.h"

namespace cwbk {

struct DataRecord {
  CellAddress address;
  CalcValue value;
};

// True when a writer of this packed version wrote the current layout: 1.9.6.11 or later with a major
// version of at most 8.
constexpr bool currentDataLayout(uint32_t writerVersion) {
  return writerVersion >= 0x0109060B && (writerVersion >> 24) <= 8;
}

// Reads every address/value record of a user data file written by writerVersion into records. Returns
// false, with records empty, when any record cannot be read: a cut record, a text without its
// terminator, a tag beyond Error, a malformed array.
//
// Record layout: the cell's address (8 bytes), then the value packed as a tag byte and its payload.
// Older writers differ: before 1.9.6.11 (or with a major version beyond 8) the address is one 32-bit
// word (sheet in bits 24-31, column 16-23, row 0-15); before 1.9.6.6 (or major 9 and up) the tag is
// one less; before 1.2.8.0 a text is single-byte, ends in a NUL and is followed by one more byte.
bool readDataRecords(const uint8_t* data, size_t size, uint32_t writerVersion,
                     std::vector<DataRecord>& records);

// Appends one record in the current layout: the 8-byte address, then the packed value.
void writeDataRecord(std::vector<uint8_t>& out, CellAddress address, const CalcValue& value);

} // namespace cwbk
