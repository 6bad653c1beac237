// Reading a saved executable: its resources listed from the image, the sections checked one by one
// (ids, block header, declared sizes) before they are inflated, and the workbook resource's block.
#include "runtime/saved_executable.h"

#include "formula/compressed_block.h"
#include "runtime/pe_resources.h"
#include "runtime/section_writer.h"
#include "values/little_endian.h"

namespace cwbk {
namespace {

SavedStream failure(SavedStreamStatus status, std::string message) {
  SavedStream result;
  result.status = status;
  result.message = std::move(message);
  return result;
}

std::string sectionName(uint16_t id) {
  return "section " + std::to_string(id);
}

} // namespace

std::vector<uint8_t> buildWorkbookBlock(uint32_t tag, std::span<const uint8_t> workbookFile) {
  std::vector<uint8_t> raw;
  raw.reserve(4 + workbookFile.size());
  putLE<uint32_t>(raw, tag);
  raw.insert(raw.end(), workbookFile.begin(), workbookFile.end());
  return CompressedBlock::write(raw.data(), raw.size());
}

std::optional<WorkbookResource> readWorkbookBlock(std::span<const uint8_t> block) {
  std::vector<uint8_t> raw;
  if (!CompressedBlock::read(block.data(), block.size(), raw) || raw.size() < 4) return std::nullopt;
  WorkbookResource resource;
  resource.tag = getLE<uint32_t>(raw.data());
  resource.file.assign(raw.begin() + 4, raw.end());
  return resource;
}

SavedStream readSavedStream(std::span<const uint8_t> image, const SectionKey& key) {
  std::optional<std::vector<PeResource>> resources = listResources(image);
  if (!resources)
    return failure(SavedStreamStatus::NotAnImage, "not an executable image, or its resources are malformed");
  std::vector<const PeResource*> found;
  for (const PeResource& resource : *resources)
    if (hasTypeName(resource, kSectionResourceType) && resource.name.empty() &&
        resource.language == kResourceLanguage)
      found.push_back(&resource);
  if (found.empty()) return failure(SavedStreamStatus::NoSections, "the executable holds no sections");
  if (found.size() > kMaxSections)
    return failure(SavedStreamStatus::TooMany, std::to_string(found.size()) + " sections, more than " +
                                                   std::to_string(kMaxSections) + " ids allow");

  // Every header is checked before anything is inflated, so a bad last section costs no work.
  SavedStream result;
  uint64_t total = 0;
  for (size_t i = 0; i < found.size(); ++i) {
    const uint16_t id = found[i]->nameId, expected = uint16_t(kFirstSectionId + i);
    if (id > expected) return failure(SavedStreamStatus::Missing, sectionName(expected) + " is missing");
    if (id < expected)
      return failure(SavedStreamStatus::OutOfOrder, sectionName(id) + " is out of order or repeated");
    const std::span<const uint8_t> data = found[i]->data;
    if (!CompressedBlock::hasMagic(data.data(), data.size()) || data.size() < CompressedBlock::kHeaderSize ||
        getLE<uint32_t>(data.data() + 4) != CompressedBlock::kHeaderSize ||
        getLE<uint32_t>(data.data() + 16) == 0)
      return failure(SavedStreamStatus::NotABlock, sectionName(id) + " is not a compressed block");
    const uint32_t raw = getLE<uint32_t>(data.data() + 16);
    const uint64_t stored = data.size() - CompressedBlock::kHeaderSize;
    if (raw > CompressedBlock::kMaxRawLength || raw > stored * CompressedBlock::kMaxInflateRatio)
      return failure(SavedStreamStatus::Oversized, sectionName(id) + " declares " + std::to_string(raw) +
                                                       " bytes, more than a section holds");
    total += raw;
    if (total > kMaxSavedStreamSize)
      return failure(SavedStreamStatus::Oversized,
                     "the sections declare more than " + std::to_string(kMaxSavedStreamSize) + " bytes");
    result.sections.push_back({id, uint32_t(data.size()), raw});
  }

  result.stream.reserve(size_t(total));
  std::vector<uint8_t> block, inflated;
  for (size_t i = 0; i < found.size(); ++i) {
    const SavedSection& section = result.sections[i];
    block.assign(found[i]->data.begin(), found[i]->data.end());
    key.combineBlock(block);
    if (!CompressedBlock::read(block.data(), block.size(), inflated) || inflated.size() != section.rawSize)
      return failure(SavedStreamStatus::Undecodable, sectionName(section.id) + " does not inflate to its " +
                                                         std::to_string(section.rawSize) +
                                                         " bytes (a wrong key or damaged data)");
    result.stream.insert(result.stream.end(), inflated.begin(), inflated.end());
  }
  return result;
}

} // namespace cwbk
