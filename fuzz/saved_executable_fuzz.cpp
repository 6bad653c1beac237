// Fuzz target for the saved-executable reader: any bytes read as an executable image, its resources
// listed, its workbook resource and its sections read with a fixed key (the digest of two empty
// sections, which the seed corpus is combined with) and with none. A stream
// that is read must be exactly its sections' declared sizes; each resource's data must lie inside the
// input.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "runtime/encoded_strings.h"
#include "runtime/pe_resources.h"
#include "runtime/saved_executable.h"
#include "runtime/section_writer.h"

using namespace cwbk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> image(data, size);
  auto resources = listResources(image);
  if (resources) {
    for (const PeResource& r : *resources)
      if (!r.data.empty() && (r.data.data() < data || r.data.data() + r.data.size() > data + size))
        std::abort();
    if (const PeResource* book = findResource(*resources, encodedString(EncodedString::WorkbookResourceType),
                                              kWorkbookResourceId, kResourceLanguage))
      readWorkbookBlock(book->data);
  }
  for (const SectionKey& key : {SectionKey::fromSections({}, {}), SectionKey{}}) {
    SavedStream saved = readSavedStream(image, key);
    if (saved.status != SavedStreamStatus::Read) {
      if (!saved.stream.empty() || !saved.sections.empty() || saved.message.empty()) std::abort();
      continue;
    }
    if (!resources) std::abort();
    uint64_t total = 0;
    for (size_t i = 0; i < saved.sections.size(); ++i) {
      if (saved.sections[i].id != kFirstSectionId + i) std::abort();
      total += saved.sections[i].rawSize;
    }
    if (total != saved.stream.size() || saved.sections.empty() || saved.sections.size() > kMaxSections)
      std::abort();
  }
  return 0;
}
