// cwbk sections: what a saved executable carries. Lists its "EXTRSC" sections and its workbook
// resource, writes the compiled stream they make up (-o) and extracts the workbook file and each
// section's bytes (--extract).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>

#include "cli.h"
#include "runtime/encoded_strings.h"
#include "runtime/pe_resources.h"
#include "runtime/saved_executable.h"
#include "runtime/section_writer.h"

namespace cwbk::cli {

const char* const kSectionsHelp =
    "usage: cwbk sections FILE.exe [--key KEYFILE] [--extract DIR] [-o STREAM]\n"
    "\n"
    "Lists what a saved executable carries: each section of the compiled workbook stream (resources\n"
    "of type EXTRSC, ids from 1200: id, stored size, raw size) and the workbook resource (CWBKBOOK,\n"
    "id 1020: the workbook tag and the file's size).\n"
    "  --key KEYFILE  the section key the sections are combined with: a file of its 64 bytes, raw;\n"
    "                 without it the sections are read as stored plain\n"
    "  -o STREAM      write the stream the sections make up, which calc and dump read\n"
    "  --extract DIR  write the workbook file (DIR/workbook.xlsx, .xls or .bin by its content) and each\n"
    "                 section's inflated bytes (DIR/section-1200.bin, ...)\n"
    "Exit status: 0 done, 1 a file that cannot be read or written, or sections that are missing, out of\n"
    "order, oversized, damaged or combined with another key, 2 a usage error.\n";

namespace {

constexpr uintmax_t kMaxImageSize = uintmax_t(1) << 31;

std::vector<uint8_t> readFile(const std::string& path, const char* what) {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(path, error);
  if (error) throw std::runtime_error(std::string("cannot open ") + what + " '" + path + "'");
  if (size > kMaxImageSize) throw std::runtime_error(std::string(what) + " '" + path + "' is too large");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(std::string("cannot open ") + what + " '" + path + "'");
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() != size) throw std::runtime_error(std::string("cannot read ") + what + " '" + path + "'");
  return bytes;
}

void writeFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write '" + path.string() + "'");
}

SectionKey readKey(const std::string& path) {
  std::vector<uint8_t> bytes = readFile(path, "key file");
  if (bytes.size() != SectionKey::kSize)
    throw std::runtime_error("key file '" + path + "' holds " + std::to_string(bytes.size()) +
                             " bytes, not " + std::to_string(SectionKey::kSize));
  return SectionKey::fromBytes(bytes);
}

// The workbook file's name by its content: a zip archive, a compound document, or anything else.
std::string workbookFileName(const std::vector<uint8_t>& file) {
  auto starts = [&](std::initializer_list<uint8_t> magic) {
    return file.size() >= magic.size() && std::equal(magic.begin(), magic.end(), file.begin());
  };
  if (starts({'P', 'K', 3, 4})) return "workbook.xlsx";
  if (starts({0xD0, 0xCF, 0x11, 0xE0})) return "workbook.xls";
  return "workbook.bin";
}

} // namespace

int runSections(Arguments args) {
  std::optional<std::string> input, keyFile, extract, output;
  while (!args.empty()) {
    std::string a = args.next();
    if (a == "--key") {
      keyFile = args.value(a);
    } else if (a == "--extract") {
      extract = args.value(a);
    } else if (a == "-o" || a == "--output") {
      output = args.value(a);
    } else if (!a.empty() && a[0] == '-') {
      throw UsageError("unknown option " + a);
    } else if (!input) {
      input = a;
    } else {
      throw UsageError("more than one input: " + a);
    }
  }
  if (!input) throw UsageError("no input executable");
  const SectionKey key = keyFile ? readKey(*keyFile) : SectionKey{};
  const std::vector<uint8_t> image = readFile(*input, "file");

  std::optional<std::vector<PeResource>> resources = listResources(image);
  if (!resources)
    throw std::runtime_error(*input + ": not an executable image, or its resources are malformed");
  std::optional<WorkbookResource> workbook;
  const std::u16string bookType = encodedString(EncodedString::WorkbookResourceType);
  if (const PeResource* book = findResource(*resources, bookType, kWorkbookResourceId, kResourceLanguage)) {
    workbook = readWorkbookBlock(book->data);
    if (!workbook) throw std::runtime_error(*input + ": the workbook resource cannot be read");
  }
  SavedStream saved = readSavedStream(image, key);
  if (saved.status != SavedStreamStatus::Read) throw std::runtime_error(*input + ": " + saved.message);

  for (const SavedSection& s : saved.sections)
    std::printf("section %u: stored %u bytes, raw %u bytes\n", unsigned(s.id), unsigned(s.storedSize),
                unsigned(s.rawSize));
  std::printf("stream: %zu sections, %zu bytes\n", saved.sections.size(), saved.stream.size());
  if (workbook)
    std::printf("workbook: tag 0x%08X, %zu bytes\n", unsigned(workbook->tag), workbook->file.size());
  else
    std::printf("workbook: none\n");

  if (output) writeFile(*output, saved.stream);
  if (extract) {
    const std::filesystem::path dir(*extract);
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) throw std::runtime_error("cannot create folder '" + *extract + "'");
    if (workbook) writeFile(dir / workbookFileName(workbook->file), workbook->file);
    size_t at = 0;
    for (const SavedSection& s : saved.sections) {
      writeFile(dir / ("section-" + std::to_string(s.id) + ".bin"),
                std::span<const uint8_t>(saved.stream).subspan(at, s.rawSize));
      at += s.rawSize;
    }
  }
  return 0;
}

} // namespace cwbk::cli
