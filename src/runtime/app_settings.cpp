// Parsing of the settings block: header widening, the variable part and the per-sheet flag table, with
// every read checked against the bytes that are there.
#include "runtime/app_settings.h"

#include <algorithm>
#include <bit>
#include <charconv>

#include "formula/compressed_block.h"

namespace cwbk {

namespace {

uint32_t readLe(const uint8_t* p, size_t width) {
  uint32_t v = 0;
  for (size_t i = 0; i < width; ++i)
    v |= uint32_t(p[i]) << (8 * i);
  return v;
}

// A cursor over the block: every take is bounded by what remains.
class Cursor {
public:
  explicit Cursor(std::span<const uint8_t> bytes, size_t at)
      : bytes_(bytes), at_(std::min(at, bytes.size())) {}

  size_t remaining() const { return bytes_.size() - at_; }
  std::span<const uint8_t> rest() const { return bytes_.subspan(at_); }

  // Takes n bytes when they are all there; otherwise takes nothing and returns an empty span.
  std::span<const uint8_t> take(size_t n) {
    if (n == 0 || n > remaining()) return {};
    return takeUpTo(n);
  }
  // Takes n bytes, or as many as remain.
  std::span<const uint8_t> takeUpTo(size_t n) {
    auto piece = bytes_.subspan(at_, std::min(n, remaining()));
    at_ += piece.size();
    return piece;
  }
  // Takes a little-endian word of the width when it is all there.
  std::optional<uint32_t> word(size_t width) {
    auto piece = take(width);
    if (piece.size() != width) return std::nullopt;
    return readLe(piece.data(), width);
  }

private:
  std::span<const uint8_t> bytes_;
  size_t at_;
};

std::u16string utf16(std::span<const uint8_t> bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = char16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
  return text;
}

std::string narrow(std::span<const uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// A field copied from an older layout: old offset, new offset, old width, new width (a wider new field
// takes the old value zero-extended). A field the old header's bytes do not hold whole stays zero.
struct Move {
  uint8_t from, to, width, newWidth;
};

constexpr Move kLayout24[] = {{4, 4, 4, 4},   {8, 8, 4, 4},   {12, 12, 4, 4},
                              {16, 24, 2, 2}, {18, 26, 1, 1}, {20, 28, 2, 2}};
constexpr Move kLayout28[] = {{4, 4, 4, 4},   {8, 8, 4, 4},   {12, 12, 4, 4}, {16, 16, 4, 4},
                              {20, 24, 2, 2}, {22, 26, 1, 1}, {24, 28, 2, 2}};
// The fields from 4 up to the 2-byte field at 44 keep their place; the rest move.
constexpr Move kLayout72[] = {{4, 4, 4, 4},   {8, 8, 4, 4},   {12, 12, 4, 4}, {16, 16, 4, 4}, {20, 20, 4, 4},
                              {24, 24, 2, 2}, {26, 26, 1, 1}, {28, 28, 2, 2}, {32, 32, 4, 4}, {36, 36, 4, 4},
                              {40, 40, 4, 4}, {44, 44, 2, 2}, {48, 56, 8, 8}, {56, 64, 2, 4}, {60, 68, 4, 4},
                              {64, 72, 2, 2}, {68, 76, 4, 4}};
constexpr Move kLayout80Extra[] = {{72, 80, 4, 4}, {76, 84, 4, 4}};

void apply(std::span<const Move> moves, std::span<const uint8_t> header, std::vector<uint8_t>& out) {
  for (const Move& m : moves) {
    if (size_t(m.from) + m.width > header.size()) continue;
    std::copy_n(header.begin() + m.from, m.width, out.begin() + m.to);
  }
}

// Reads the per-sheet flag table; a cut entry ends the table (a sheet whose flags word arrived keeps it).
PerSheetFlags parseFlagTable(std::span<const uint8_t> bytes, bool withPasswords) {
  PerSheetFlags table;
  Cursor cursor(bytes, 0);
  table.workbookFlags = cursor.word(4).value_or(0);
  uint32_t count = cursor.word(4).value_or(0);
  size_t smallestEntry = withPasswords ? 8 : 4;
  table.sheets.reserve(std::min<size_t>(count, cursor.remaining() / smallestEntry));
  for (uint32_t i = 0; i < count; ++i) {
    auto flags = cursor.word(4);
    if (!flags) break;
    SheetProtection& entry = table.sheets.emplace_back();
    entry.flags = *flags & PerSheetFlags::kSheetFlagsMask;
    if (!withPasswords) continue;
    auto length = cursor.word(4);
    if (!length || *length > cursor.remaining()) break;
    entry.password = narrow(cursor.take(*length));
  }
  return table;
}

} // namespace

std::vector<uint8_t> widenSettingsHeader(uint16_t declaredSize, std::span<const uint8_t> header) {
  std::vector<uint8_t> out(AppSettings::kCurrentHeaderSize, 0);
  header = header.first(std::min<size_t>(header.size(), declaredSize));
  switch (declaredSize) {
  case 24:
    apply(kLayout24, header, out);
    break;
  case 28:
    apply(kLayout28, header, out);
    break;
  case 80:
    apply(kLayout80Extra, header, out);
    [[fallthrough]];
  case 72:
    apply(kLayout72, header, out);
    break;
  default:
    // The current layout, or its leading bytes; a larger header is not understood at all.
    if (declaredSize <= AppSettings::kCurrentHeaderSize) std::copy(header.begin(), header.end(), out.begin());
    break;
  }
  out[0] = uint8_t(declaredSize);
  out[1] = uint8_t(declaredSize >> 8);
  return out;
}

std::vector<std::u16string> AppSettings::text5Items() const {
  std::vector<std::u16string> items;
  if (text5.empty()) return items;
  size_t start = 0;
  for (size_t bar = text5.find(u'|'); bar != std::u16string::npos; bar = text5.find(u'|', start)) {
    items.push_back(text5.substr(start, bar - start));
    start = bar + 1;
  }
  items.push_back(text5.substr(start));
  return items;
}

AppSettings parseAppSettings(std::span<const uint8_t> block) {
  std::vector<uint8_t> inflated;
  if (CompressedBlock::hasMagic(block.data(), block.size())) {
    CompressedBlock::read(block.data(), block.size(), inflated);
    block = inflated;
  }

  AppSettings settings;
  if (block.size() < 2) return settings;
  uint16_t declared = uint16_t(readLe(block.data(), 2));
  std::vector<uint8_t> header = widenSettingsHeader(declared, block);
  auto at = [&](size_t offset, size_t width) { return readLe(header.data() + offset, width); };

  settings.headerSize = declared;
  settings.appVersion = at(4, 4);
  settings.flags = uint16_t(at(24, 2));
  settings.workbookTag = std::rotr(at(68, 4), 5);
  settings.settingsWriterVersion = at(92, 4);

  // The variable part starts right after the declared header (capped by the block).
  Cursor cursor(block, declared);
  // The name is taken as far as the block holds it; every other field only when it is there whole.
  settings.AppName = utf16(cursor.takeUpTo(at(26, 1)));
  settings.legalNotice = utf16(cursor.take(at(28, 2)));
  settings.protectionPassword = narrow(cursor.take(at(32, 4)));
  settings.text4 = utf16(cursor.take(at(36, 4)));
  settings.text5 = utf16(cursor.take(at(40, 4)));
  auto string6 = cursor.take(at(64, 4));
  settings.byteString6.assign(string6.begin(), string6.end());
  int16_t text7Length = int16_t(at(72, 2)); // signed: a negative length means no text
  if (text7Length > 0) settings.text7 = utf16(cursor.take(size_t(text7Length)));
  cursor.takeUpTo(12); // a fixed block the runtime does not use
  settings.text8 = narrow(cursor.take(at(76, 4)));
  settings.workbookPassword = narrow(cursor.take(at(80, 4)));

  if (cursor.remaining() > 1) {
    PerSheetFlags table =
        parseFlagTable(cursor.rest(), settings.settingsWriterVersion > AppSettings::kPasswordEntriesAfter);
    if (!table.empty()) table.protectionPassword = settings.protectionPassword;
    settings.perSheetFlags = std::move(table);
  }
  return settings;
}

std::u16string AppSettings::appVersionText() const {
  std::u16string text;
  for (int shift : {24, 16, 8}) {
    if (shift != 24) text += u'.';
    char digits[4];
    const auto end = std::to_chars(digits, digits + sizeof digits, (appVersion >> shift) & 0xFF).ptr;
    text.append(digits, end);
  }
  return text;
}

} // namespace cwbk
