// The whole compiled workbook stream: loading every section into the workbook model, and writing the
// model back in the same layout.
#pragma once

#include <cstdint>
#include <vector>

#include "values/cell_address.h"

namespace cwbk {

class CompiledWorkbook;
class StreamReader;

// The stream's magic, the size of its header and the format version written.
constexpr uint32_t kWorkbookMagic = 0x4B425743; // "CWBK"
constexpr uint32_t kWorkbookHeaderSize = 24;
constexpr uint16_t kWorkbookFormatVersion = 1;

// Reads the whole stream into the (empty) workbook: header, grid layout, sheet table, sheet controls,
// macro constants, external links, DDE links, defined names, cells, formula cells, areas, shared
// expressions and formula templates. Every byte is untrusted: short data leaves defaults, counts
// larger than the data stop at its end, and nothing is allocated beyond what the data holds.
void loadWorkbook(StreamReader& reader, CompiledWorkbook& workbook);

// The outcome of writing: ok, or the first cell whose stored value cannot be written.
struct WriteResult {
  bool ok = true;
  CellAddress failedCell = CellAddress::invalid();
};

// Appends the workbook to out in the stream layout that loadWorkbook reads. A stored value longer than
// its 16-bit length field allows is left out for a cell with a formula (its value is computed again);
// for any other cell writing fails with that cell, and out holds no partial stream.
WriteResult writeWorkbook(const CompiledWorkbook& workbook, std::vector<uint8_t>& out);

} // namespace cwbk
