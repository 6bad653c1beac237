// The section writer: the buffer and its cuts, compressed sections in memory or in temporary files,
// and the writing of the sections as resources.
#include "runtime/section_writer.h"

#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

#include "formula/compressed_block.h"

namespace cwbk {
namespace {

constexpr char kNameCharacters[] = "0123456789abcdefghijklmnopqrstuvwxyz";
constexpr size_t kNameCharacterCount = 36, kFirstLetter = 10, kNameLength = 10;
// Drawing stops here rather than loop for ever on a random source that keeps repeating itself.
constexpr int kMaxNameDraws = 10000;
// The pieces in which appendStreamToSections hands a stream over.
constexpr size_t kStreamPiece = 64 * 1024;

std::string displayName(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

[[noreturn]] void cannotOpen(const std::filesystem::path& path) {
  throw std::runtime_error("Cannot open file \"" + displayName(path) + "\"");
}

void removeQuietly(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

// Reads a whole temporary section file; false when it cannot be opened or read, or is larger than any
// block the writer makes.
bool readWhole(const std::filesystem::path& path, std::vector<uint8_t>& out) {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size > CompressedBlock::kHeaderSize + uint64_t(CompressedBlock::kMaxRawLength) * 2)
    return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.resize(size_t(size));
  in.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
  return in.gcount() == std::streamsize(out.size());
}

} // namespace

TempFiles TempFiles::system() {
  std::error_code error;
  std::filesystem::path folder = std::filesystem::temp_directory_path(error);
  if (error) folder = ".";
  auto engine = std::make_shared<std::mt19937>(std::random_device{}());
  return {folder, [engine] { return uint32_t((*engine)()); }};
}

std::filesystem::path freshTempFileName(const TempFiles& temp) {
  for (int draw = 0; draw < kMaxNameDraws; ++draw) {
    size_t picked[kNameLength];
    std::string name;
    for (size_t i = 0; i < kNameLength; ++i) {
      if (i == 0) {
        picked[i] = kFirstLetter + temp.random() % (kNameCharacterCount - kFirstLetter);
      } else if (i == 1) {
        picked[i] = temp.random() % kNameCharacterCount;
      } else {
        // One of the 35 characters other than the one two places before.
        picked[i] = temp.random() % (kNameCharacterCount - 1);
        if (picked[i] >= picked[i - 2]) ++picked[i];
      }
      name += kNameCharacters[picked[i]];
    }
    std::filesystem::path path = temp.folder / name;
    std::error_code error;
    if (!std::filesystem::exists(path, error) && !error) return path;
  }
  throw std::runtime_error("no free temporary file name in \"" + displayName(temp.folder) + "\"");
}

SectionWriter::SectionWriter(SectionKey fileKey, TempFiles temp)
    : fileKey_(std::move(fileKey)), temp_(std::move(temp)) {}

SectionWriter::~SectionWriter() {
  discardSections();
}

void SectionWriter::appendToSections(std::span<const uint8_t> bytes) {
  const size_t need = buffer_.size() + bytes.size();
  if (buffer_.capacity() < need) buffer_.reserve(need + kGrowthSlack);
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  total_ += bytes.size();
  if (buffer_.size() > kCutSize) cut();
}

void SectionWriter::finishSections() {
  if (!buffer_.empty()) cut();
}

void SectionWriter::cut() {
  std::vector<uint8_t> block = CompressedBlock::write(buffer_.data(), buffer_.size());
  if (block.empty())
    throw std::runtime_error("a section of " + std::to_string(buffer_.size()) +
                             " bytes cannot be compressed");
  Section section;
  section.rawSize = uint32_t(buffer_.size());
  section.storedSize = uint32_t(block.size());
  if (buffer_.size() > kMaxRawInMemory) {
    section.file = freshTempFileName(temp_);
    fileKey_.combineBlock(block);
    std::ofstream out(section.file, std::ios::binary | std::ios::trunc);
    if (!out) cannotOpen(section.file);
    out.write(reinterpret_cast<const char*>(block.data()), std::streamsize(block.size()));
    out.close();
    if (!out) {
      removeQuietly(section.file);
      throw std::runtime_error("Cannot write file \"" + displayName(section.file) + "\"");
    }
  } else {
    section.block = std::move(block);
  }
  sections_.push_back(std::move(section));
  buffer_.clear();
}

SectionWriteStatus SectionWriter::writeSections(ResourceSink& sink, const SectionKey& key) {
  SectionWriteStatus status = SectionWriteStatus::Written;
  if (sections_.size() > kMaxSections) status = SectionWriteStatus::TooManySections;
  uint16_t id = kFirstSectionId;
  for (size_t i = 0; i < sections_.size() && status == SectionWriteStatus::Written; ++i) {
    Section& section = sections_[i];
    std::vector<uint8_t> block;
    if (section.file.empty()) {
      block = std::move(section.block);
    } else if (readWhole(section.file, block)) {
      fileKey_.combineBlock(block); // undoes the combining of the file
    } else {
      status = SectionWriteStatus::FileUnreadable;
      break;
    }
    if (!key.empty() && !key.combineBlock(block)) {
      status = SectionWriteStatus::NotABlock;
    } else if (!sink.writeResource(kSectionResourceType, id++, block)) {
      status = SectionWriteStatus::SinkFailed;
    } else if (!section.file.empty()) {
      removeQuietly(section.file);
      section.file.clear();
    }
  }
  discardSections();
  return status;
}

void SectionWriter::discardSections() {
  for (const Section& section : sections_)
    if (!section.file.empty()) removeQuietly(section.file);
  sections_.clear();
}

void appendStreamToSections(SectionWriter& writer, std::span<const uint8_t> stream) {
  for (size_t at = 0; at < stream.size(); at += kStreamPiece)
    writer.appendToSections(stream.subspan(at, std::min(kStreamPiece, stream.size() - at)));
  writer.finishSections();
}

} // namespace cwbk
