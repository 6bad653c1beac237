// Test helper: writes what a save into an executable would, outside Windows. The compiled stream goes
// through the section writer (combined with the key) and, with the workbook file as the workbook
// resource, into a minimal executable image.
// Usage: make_saved_executable STREAM KEYFILE WORKBOOK OUT.exe [TAG]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pe_image_builder.h"
#include "runtime/saved_executable.h"
#include "runtime/section_writer.h"

using namespace cwbk;

namespace {

std::vector<uint8_t> readFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "make_saved_executable: cannot open %s\n", path);
    std::exit(1);
  }
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct ImageSink : ResourceSink {
  std::vector<testing::ImageResource> resources;
  bool writeResource(std::u16string_view type, uint16_t id, std::span<const uint8_t> data) override {
    resources.push_back({std::u16string(type), 0, id, kResourceLanguage, {data.begin(), data.end()}});
    return true;
  }
};

} // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: make_saved_executable STREAM KEYFILE WORKBOOK OUT.exe [TAG]\n");
    return 2;
  }
  const SectionKey key = SectionKey::fromBytes(readFile(argv[2]));
  const uint32_t tag = argc > 5 ? uint32_t(std::stoul(argv[5], nullptr, 0)) : 0;
  ImageSink sink;
  sink.resources.push_back(
      {u"CWBKBOOK", 0, kWorkbookResourceId, kResourceLanguage, buildWorkbookBlock(tag, readFile(argv[3]))});
  SectionWriter writer(key);
  appendStreamToSections(writer, readFile(argv[1]));
  if (writer.writeSections(sink, key) != SectionWriteStatus::Written) return 1;
  const std::vector<uint8_t> image = testing::buildPeImage(sink.resources);
  std::ofstream out(argv[4], std::ios::binary);
  out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  return out ? 0 : 1;
}
