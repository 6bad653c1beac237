// The sections of a saved executable: the compiled workbook stream cut into pieces of about 5 MB, each
// compressed, kept in memory or (when large) in a temporary file until it is written as one "EXTRSC"
// resource of the target executable. Portable; the Windows layer writes the resources.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "runtime/section_key.h"

namespace cwbk {

// Every resource of a saved executable is written in this language (U.S. English).
constexpr uint16_t kResourceLanguage = 1033;
// The section resources: their type and the ids they take, in stream order.
constexpr std::u16string_view kSectionResourceType = u"EXTRSC";
constexpr uint16_t kFirstSectionId = 1200;
constexpr uint16_t kLastSectionId = 1400;
constexpr size_t kMaxSections = kLastSectionId - kFirstSectionId + 1; // 201

// Where resources go: the Windows layer writes them into the target with UpdateResourceW (language
// kResourceLanguage). Returns false when a resource could not be written.
class ResourceSink {
public:
  virtual ~ResourceSink() = default;
  virtual bool writeResource(std::u16string_view type, uint16_t id, std::span<const uint8_t> data) = 0;
};

// Where temporary files are made: a folder and a source of random words.
struct TempFiles {
  std::filesystem::path folder;
  std::function<uint32_t()> random;

  // The system's temporary folder and a randomly seeded generator.
  static TempFiles system();
};

// Returns a fresh temporary file name: the folder and 10 characters from 0-9 and a-z, the first a
// letter and each further one different from the character two places before it; names are drawn
// until one does not exist.
std::filesystem::path freshTempFileName(const TempFiles& temp);

// One finished section: its block in memory, or the name of the temporary file that holds it
// (combined with the writer's key).
struct Section {
  uint32_t rawSize = 0;
  uint32_t storedSize = 0; // bytes of the block, header included
  std::vector<uint8_t> block;
  std::filesystem::path file; // empty for a section in memory
};

enum class SectionWriteStatus {
  Written,
  TooManySections, // more than kMaxSections: nothing was written
  FileUnreadable,  // a temporary section file could not be read back
  NotABlock,       // a section does not start with the compressed-block magic
  SinkFailed,      // the sink refused a resource
};

class SectionWriter {
public:
  // A section is cut when an append leaves more than this many bytes in the buffer.
  static constexpr size_t kCutSize = 0x4CFFFF;
  // When the buffer is too small it grows to what is needed plus this much.
  static constexpr size_t kGrowthSlack = 50000;
  // A section of more raw bytes than this goes to a temporary file.
  static constexpr size_t kMaxRawInMemory = 504626;

  // `fileKey` combines the blocks kept in temporary files; `temp` says where those go.
  explicit SectionWriter(SectionKey fileKey = {}, TempFiles temp = TempFiles::system());
  // Deletes the temporary files of sections not written.
  ~SectionWriter();
  SectionWriter(const SectionWriter&) = delete;
  SectionWriter& operator=(const SectionWriter&) = delete;

  // Appends bytes to the buffer and adds them to the total; when the buffer then holds more than
  // kCutSize bytes, they become a section. Throws std::runtime_error "Cannot open file "NAME"" when a
  // section's temporary file cannot be written, and std::runtime_error when a section cannot be
  // compressed.
  void appendToSections(std::span<const uint8_t> bytes);
  // Cuts the bytes left in the buffer, if any, into a last section.
  void finishSections();

  // Writes each section in order through the sink as type "EXTRSC", ids from 1200. With a key, the
  // block's zlib stream (everything from its header-size field's offset on) is combined with it; the
  // header stays plain. More than 201 sections fail before anything is written. A section's temporary
  // file is deleted once the section is written; the writer holds no sections afterwards, whatever the
  // outcome.
  SectionWriteStatus writeSections(ResourceSink& sink, const SectionKey& key);

  uint64_t total() const { return total_; }
  const std::vector<Section>& sections() const { return sections_; }
  size_t buffered() const { return buffer_.size(); }

private:
  void cut();
  void discardSections();

  SectionKey fileKey_;
  TempFiles temp_;
  std::vector<uint8_t> buffer_;
  uint64_t total_ = 0;
  std::vector<Section> sections_;
};

// The stream writer's way through a section writer: appends a whole compiled workbook stream (as
// writeWorkbook gives it) in pieces, as its records would come, and finishes the sections, so that
// each section holds a little more than kCutSize bytes.
void appendStreamToSections(SectionWriter& writer, std::span<const uint8_t> stream);

} // namespace cwbk
