// What a saved executable carries: the workbook resource (the workbook file with its tag, compressed)
// and the compiled workbook stream in "EXTRSC" sections. Building the workbook resource, and reading
// both back out of an executable image in memory. Portable; images are untrusted.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "runtime/section_key.h"

namespace cwbk {

// The workbook resource's id; its type is the encoded string WorkbookResourceType ("CWBKBOOK"), its
// language kResourceLanguage.
constexpr uint16_t kWorkbookResourceId = 1020;
// The largest stream readSavedStream puts together: what one compressed block may hold.
constexpr uint64_t kMaxSavedStreamSize = 256u << 20;

// The workbook resource as read back.
struct WorkbookResource {
  uint32_t tag = 0;
  std::vector<uint8_t> file;
};

// Returns the workbook resource's block: one compressed block of the tag (32-bit little-endian)
// followed by the workbook file's bytes. Empty when the bytes cannot be compressed.
std::vector<uint8_t> buildWorkbookBlock(uint32_t tag, std::span<const uint8_t> workbookFile);
// Returns the tag and the file bytes of a workbook resource's block; nullopt when the block is not
// accepted, does not inflate or holds fewer than the tag's 4 bytes.
std::optional<WorkbookResource> readWorkbookBlock(std::span<const uint8_t> block);

enum class SavedStreamStatus {
  Read,
  NotAnImage,  // not an executable image, or its resource directory is malformed
  NoSections,  // no "EXTRSC" resource in language 1033
  Missing,     // the ids leave a gap (or do not start at 1200)
  OutOfOrder,  // an id comes after a higher one, or twice
  TooMany,     // more sections than ids 1200 to 1400 allow
  NotABlock,   // a section lacks the block magic or has a malformed header
  Oversized,   // a section, or the stream, declares more bytes than it can hold
  Undecodable, // a section does not inflate to its declared size (wrong key, damaged data)
};

// One section as stored.
struct SavedSection {
  uint16_t id = 0;
  uint32_t storedSize = 0; // the resource's bytes, block header included
  uint32_t rawSize = 0;    // the bytes it inflates to
};

struct SavedStream {
  SavedStreamStatus status = SavedStreamStatus::Read;
  std::string message; // for a failure, what is wrong and with which section
  std::vector<SavedSection> sections;
  std::vector<uint8_t> stream; // the sections inflated and concatenated in id order
};

// Reads the compiled workbook stream out of a saved executable: its "EXTRSC" resources of language
// 1033, in directory order, must have the ids 1200, 1201, ... without a gap; each one's zlib stream is
// combined with the key again (nothing for the empty key) and inflated. On any failure the status and
// message say why, and no section or byte is returned.
SavedStream readSavedStream(std::span<const uint8_t> image, const SectionKey& key);

} // namespace cwbk
