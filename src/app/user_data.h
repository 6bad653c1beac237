// The user data file's records: address/value pairs that the host saved from the workbook's input
// cells, read back into a compiled workbook through the model's setCellValue and change reporting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cwbk {

class Cell;
class CompiledWorkbook;

// Applies the address/value records of a user data file written by writerVersion: each record's cell
// is found or created, takes the value, is reported to the host when its value changed (or a
// hyperlink is pending) and is appended to changed. Returns false, keeping what was applied, at the
// first record that cannot be read or applied (a cut record, a tag beyond Error, an address on no
// sheet) and when reporting to the host fails.
//
// Record layout: the cell's address (8 bytes), then the value packed as a tag byte and its payload.
// Older writers differ: before 1.9.6.11 (or with a major version beyond 8) the address is one 32-bit
// word (sheet in bits 24-31, column 16-23, row 0-15); before 1.9.6.6 (or major 9 and up) the tag is
// one less; before 1.2.8.0 a text is single-byte, ends in a NUL and is followed by one more byte.
bool applyUserValues(CompiledWorkbook& workbook, const uint8_t* data, size_t size, uint32_t writerVersion,
                     std::vector<Cell*>& changed);

} // namespace cwbk
