// Fuzz target for the user data file: any bytes read as a data file (or, failing that, as bare records
// under the writer version in their first four bytes) and applied to a small model. Records that
// cannot be read must leave the model untouched; applied records must write back and read again.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "app/data_file.h"
#include "app/user_data.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "values/little_endian.h"

using namespace cwbk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t version = 0;
  std::vector<uint8_t> records;
  DataFileContent content;
  if (decodeDataFile(data, size, content) == DataFileRead) {
    version = content.header.writerVersion;
    records = std::move(content.records);
  } else if (size >= 4) {
    // The record reader is reached without a valid compressed block.
    version = getLE<uint32_t>(data);
    records.assign(data + 4, data + size);
  } else {
    return 0;
  }

  CompiledWorkbook workbook;
  workbook.addSheet(u"Sheet1");
  workbook.addSheet(u"Sheet2");
  Cell* formula = workbook.findOrCreateCell(CellAddress::make(0, 0, 0));
  formula->setValue(CalcValue::number(1));
  formula->setTemplateIndex(0);
  size_t cellsBefore = workbook.cellCount();

  DataApplyResult result = applyDataRecords(records, version, workbook);
  if (formula->value()->numberValue() != 1) std::abort(); // a formula cell took a record
  if (result.status == DataApplyStatus::Unreadable) {
    if (workbook.cellCount() != cellsBefore || !result.imported.empty()) std::abort();
    return 0;
  }
  std::vector<uint8_t> again;
  for (Cell* cell : result.imported)
    writeDataRecord(again, cell->address(), *cell->value());
  std::vector<DataRecord> read;
  if (!readDataRecords(again.data(), again.size(), kDataFileWriterVersion, read) ||
      read.size() != result.imported.size())
    std::abort();
  return 0;
}
