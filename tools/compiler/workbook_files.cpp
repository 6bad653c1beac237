// Reading workbook files by their content: a zip archive as .xlsx, a compiled stream or its compressed
// chunks, an OLE2 compound file refused with what it holds, anything else as a text workbook. Native
// builds only, with the .xlsx reader.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "compiler/compound_file.h"
#include "compiler/source_workbook.h"
#include "compiler/text_workbook.h"
#include "compiler/workbook_calc.h"
#include "compiler/xlsx_reader.h"
#include "formula/compressed_block.h"
#include "formula/stream_reader.h"
#include "formula/workbook_stream.h"

namespace cwbk::compiler {

namespace {

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw SourceError(path + ": cannot be opened");
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw SourceError(path + ": cannot be read");
  return bytes;
}

bool startsWith(const std::vector<uint8_t>& bytes, const char* magic, size_t n) {
  return bytes.size() >= n && std::memcmp(bytes.data(), magic, n) == 0;
}

// Reads a workbook's bytes by their content: a zip archive as .xlsx; an OLE2 compound file (a binary
// .xls or an encrypted package) is refused with what it is; anything else is a text workbook.
SourceWorkbook readSourceBytes(const std::vector<uint8_t>& bytes, const std::string& path) {
  std::string_view data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (startsWith(bytes, "PK", 2)) return readXlsxBuffer(data, path);
  if (isCompoundFile(data)) throw SourceError(path + ": " + describeCompoundFile(data));
  return readTextWorkbook(data, path);
}

// Feeds compressed blocks to a reader and loads the stream they make up.
void loadChunks(std::vector<std::vector<uint8_t>> chunks, CompiledWorkbook& workbook,
                const std::string& path) {
  StreamReader reader;
  for (auto& chunk : chunks) {
    if (!CompressedBlock::hasMagic(chunk.data(), chunk.size()))
      throw SourceError(path + ": a chunk is not a compressed block");
    reader.addChunk(std::move(chunk));
  }
  loadWorkbook(reader, workbook);
}

} // namespace

SourceWorkbook readSourceWorkbook(const std::string& path) {
  return readSourceBytes(readBytes(path), path);
}

LoadedWorkbook loadAnyWorkbook(const std::string& path, const CompileOptions& options) {
  LoadedWorkbook loaded;
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(path, ec))
      if (entry.is_regular_file()) files.push_back(entry.path().string());
    if (ec) throw SourceError(path + ": the folder cannot be read");
    if (files.empty()) throw SourceError(path + ": the folder holds no chunks");
    std::sort(files.begin(), files.end());
    std::vector<std::vector<uint8_t>> chunks;
    for (const std::string& file : files)
      chunks.push_back(readBytes(file));
    loadChunks(std::move(chunks), *loaded.workbook, path);
    return loaded;
  }
  std::vector<uint8_t> bytes = readBytes(path);
  if (startsWith(bytes, "CWBK", 4)) {
    loadStreamBytes(bytes, *loaded.workbook);
    return loaded;
  }
  if (CompressedBlock::hasMagic(bytes.data(), bytes.size())) {
    loadChunks({std::move(bytes)}, *loaded.workbook, path);
    return loaded;
  }
  loaded.source = readSourceBytes(bytes, path);
  try {
    std::vector<uint8_t> stream = compileToStream(*loaded.source, options, &loaded.report);
    loadStreamBytes(stream, *loaded.workbook);
    // The stream does not carry the date system; the host states it, and here the source does.
    loaded.workbook->state().date1904 = loaded.source->date1904;
  } catch (const CompileError& e) {
    throw CompileError(path + ": " + e.what());
  }
  return loaded;
}

} // namespace cwbk::compiler
