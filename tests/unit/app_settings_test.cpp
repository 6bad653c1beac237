// The settings block: every header layout widened and parsed, both entry forms of the per-sheet flag
// table, a compressed block, and cut or hostile blocks that must not be read beyond their end.
#include "runtime/app_settings.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>

#include "formula/compressed_block.h"

using namespace cwbk;

namespace {

using Bytes = std::vector<uint8_t>;

void set(Bytes& b, size_t at, size_t width, uint32_t v) {
  if (b.size() < at + width) b.resize(at + width);
  for (size_t i = 0; i < width; ++i)
    b[at + i] = uint8_t(v >> (8 * i));
}
uint32_t get(const Bytes& b, size_t at, size_t width) {
  uint32_t v = 0;
  for (size_t i = 0; i < width; ++i)
    v |= uint32_t(b[at + i]) << (8 * i);
  return v;
}
void append(Bytes& b, std::u16string_view text) {
  for (char16_t c : text) {
    b.push_back(uint8_t(c));
    b.push_back(uint8_t(c >> 8));
  }
}
void append(Bytes& b, std::string_view text) {
  b.insert(b.end(), text.begin(), text.end());
}
void append32(Bytes& b, uint32_t v) {
  set(b, b.size(), 4, v);
}

// The contents every layout carries as far as its header has room for them.
constexpr uint32_t kVersion = 0x01020300;
constexpr uint16_t kFlags = 0x08C9;
constexpr uint32_t kTag = 0x12345678;
const std::u16string kName = u"Loan";
const std::u16string kLegal = u"(c) Us";
const std::string kText3 = "prot";
const std::u16string kText4 = u"t4";
const std::u16string kText5 = u"a|b|";
const Bytes kString6 = {1, 2, 3};
const std::u16string kText7 = u"seven";
const std::string kText8 = "eight";
const std::string kText9 = "pw9";

// Which fields a header layout has: all of them, up to text 8 (72), or only up to text 2 (24, 28).
enum class Reach { UpToText2, UpToText8, All };

struct Layout {
  uint16_t size;
  Reach reach;
  bool writerVersion;
  // Offsets of the fields in this layout (0 when the layout has no such field).
  size_t flags, nameLength, text2Length, string6Length, string6Width, tag, text7Length, text8Length,
      text9Length;
};

const Layout kLayouts[] = {
    {104, Reach::All, true, 24, 26, 28, 64, 4, 68, 72, 76, 80},
    {90, Reach::All, false, 24, 26, 28, 64, 4, 68, 72, 76, 80},
    {80, Reach::All, false, 24, 26, 28, 56, 2, 60, 64, 68, 72},
    {72, Reach::UpToText8, false, 24, 26, 28, 56, 2, 60, 64, 68, 0},
    {28, Reach::UpToText2, false, 20, 22, 24, 0, 0, 0, 0, 0, 0},
    {24, Reach::UpToText2, false, 16, 18, 20, 0, 0, 0, 0, 0, 0},
};

// The flag table in the entry form that the writer version selects.
Bytes flagTable(bool withPasswords) {
  Bytes t;
  append32(t, 3);
  append32(t, 2);
  append32(t, 0x01000024); // only the low 24 bits count
  if (withPasswords) {
    append32(t, 2);
    append(t, std::string("s1"));
  }
  append32(t, 0x100);
  if (withPasswords) {
    append32(t, 2);
    append(t, std::string("zz"));
  }
  return t;
}

Bytes blockOf(const Layout& l) {
  Bytes b(l.size, 0);
  set(b, 0, 2, l.size);
  set(b, 4, 4, kVersion);
  set(b, 8, 4, 0xA0A0A0A0);
  set(b, l.flags, 2, kFlags);
  set(b, l.nameLength, 1, uint32_t(kName.size() * 2));
  set(b, l.text2Length, 2, uint32_t(kLegal.size() * 2));
  if (l.reach != Reach::UpToText2) {
    set(b, 32, 4, uint32_t(kText3.size()));
    set(b, 36, 4, uint32_t(kText4.size() * 2));
    set(b, 40, 4, uint32_t(kText5.size() * 2));
    set(b, l.string6Length, l.string6Width, uint32_t(kString6.size()));
    set(b, l.tag, 4, kTag);
    set(b, l.text7Length, 2, uint32_t(kText7.size() * 2));
    set(b, l.text8Length, 4, uint32_t(kText8.size()));
  }
  if (l.reach == Reach::All) set(b, l.text9Length, 4, uint32_t(kText9.size()));
  if (l.writerVersion) set(b, 92, 4, 0x02000001);

  append(b, kName);
  append(b, kLegal);
  if (l.reach != Reach::UpToText2) {
    append(b, kText3);
    append(b, kText4);
    append(b, kText5);
    b.insert(b.end(), kString6.begin(), kString6.end());
    append(b, kText7);
  }
  b.insert(b.end(), 12, 0xEE);
  if (l.reach != Reach::UpToText2) append(b, kText8);
  if (l.reach == Reach::All) append(b, kText9);
  Bytes table = flagTable(l.writerVersion);
  b.insert(b.end(), table.begin(), table.end());
  return b;
}

PerSheetFlags expectedTable(bool withPasswords, const std::string& protectionPassword) {
  PerSheetFlags t;
  t.workbookFlags = 3;
  t.sheets = {{0x24, withPasswords ? "s1" : ""}, {0x100, withPasswords ? "zz" : ""}};
  t.protectionPassword = protectionPassword;
  return t;
}

} // namespace

TEST(AppSettings, EveryHeaderLayoutIsWidenedAndParsed) {
  for (const Layout& l : kLayouts) {
    SCOPED_TRACE("header size " + std::to_string(l.size));
    Bytes block = blockOf(l);
    AppSettings s = parseAppSettings(block);
    bool middle = l.reach != Reach::UpToText2;
    EXPECT_EQ(s.headerSize, l.size);
    EXPECT_EQ(s.appVersion, kVersion);
    EXPECT_EQ(s.flags, kFlags);
    EXPECT_TRUE(s.has(SettingsFlag::dataExchange) && s.has(SettingsFlag::saveIntoExe) &&
                s.has(SettingsFlag::keepHidden) && s.has(SettingsFlag::restrictedWorkbook) &&
                s.has(SettingsFlag::cellIndexMode));
    EXPECT_FALSE(s.has(SettingsFlag::quietRecalc));
    EXPECT_EQ(s.AppName, kName);
    EXPECT_EQ(s.legalNotice, kLegal);
    EXPECT_EQ(s.protectionPassword, middle ? kText3 : "");
    EXPECT_EQ(s.text4, middle ? kText4 : u"");
    EXPECT_EQ(s.text5, middle ? kText5 : u"");
    EXPECT_EQ(s.byteString6, middle ? kString6 : Bytes{});
    EXPECT_EQ(s.workbookTag, middle ? std::rotr(kTag, 5) : 0u);
    EXPECT_EQ(s.text7, middle ? kText7 : u"");
    EXPECT_EQ(s.text8, middle ? kText8 : "");
    EXPECT_EQ(s.workbookPassword, l.reach == Reach::All ? kText9 : "");
    EXPECT_EQ(s.settingsWriterVersion, l.writerVersion ? 0x02000001u : 0u);
    ASSERT_TRUE(s.perSheetFlags.has_value());
    EXPECT_EQ(*s.perSheetFlags, expectedTable(l.writerVersion, s.protectionPassword));
    EXPECT_EQ(s.perSheetFlags->sheetFlags(2), 0x100u);
    EXPECT_EQ(s.perSheetFlags->sheetFlags(3), 0u);

    // Fields the runtime does not use move to their place in the current layout too.
    Bytes header = widenSettingsHeader(l.size, block);
    ASSERT_EQ(header.size(), 104u);
    EXPECT_EQ(get(header, 0, 2), l.size);
    EXPECT_EQ(get(header, 8, 4), 0xA0A0A0A0u);
  }
}

TEST(AppSettings, OlderHeadersMoveTheirUnusedFieldsToo) {
  struct Case {
    uint16_t size;
    size_t from, width, to;
  } cases[] = {
      {24, 12, 4, 12}, {28, 16, 4, 16}, {72, 48, 8, 56}, {72, 44, 2, 44},
      {80, 48, 8, 56}, {80, 76, 4, 84}, {90, 84, 4, 84}, {104, 96, 8, 96},
  };
  for (const Case& c : cases) {
    Bytes block(c.size, 0);
    set(block, 0, 2, c.size);
    for (size_t i = 0; i < c.width; ++i)
      block[c.from + i] = uint8_t(0x51 + i);
    Bytes header = widenSettingsHeader(c.size, block);
    for (size_t i = 0; i < c.width; ++i)
      EXPECT_EQ(header[c.to + i], 0x51 + i) << c.size << " byte " << c.from + i;
  }
  // A header larger than the current layout is not understood: every field but the size is zero.
  Bytes big(120, 0x77);
  set(big, 0, 2, 120);
  Bytes header = widenSettingsHeader(120, big);
  EXPECT_EQ(get(header, 0, 2), 120u);
  EXPECT_TRUE(std::all_of(header.begin() + 2, header.end(), [](uint8_t b) { return b == 0; }));
}

TEST(AppSettings, OtherHeaderSizesAndCompressedBlocks) {
  // 50 bytes: the leading bytes of the current layout; the rest of it reads as zero.
  Bytes current = blockOf(kLayouts[0]);
  Bytes fifty(current.begin(), current.begin() + 50);
  set(fifty, 0, 2, 50);
  AppSettings s = parseAppSettings(fifty);
  EXPECT_EQ(s.headerSize, 50);
  EXPECT_EQ(s.appVersion, kVersion);
  EXPECT_EQ(s.appVersionText(), u"1.2.3");
  EXPECT_EQ(s.flags, kFlags);
  EXPECT_EQ(s.workbookTag, 0u);
  EXPECT_FALSE(s.perSheetFlags.has_value());

  // Above 104 every header field is zero and the variable part starts after the declared size: no
  // texts, the fixed 12 bytes, then the table.
  Bytes large(130, 0x41);
  set(large, 0, 2, 130);
  large.insert(large.end(), 12, 0xEE);
  Bytes table = flagTable(false);
  large.insert(large.end(), table.begin(), table.end());
  s = parseAppSettings(large);
  EXPECT_EQ(s.headerSize, 130);
  EXPECT_EQ(s.appVersion, 0u);
  EXPECT_TRUE(s.AppName.empty());
  ASSERT_TRUE(s.perSheetFlags.has_value());
  EXPECT_EQ(*s.perSheetFlags, expectedTable(false, ""));

  // A block that arrives compressed is inflated first; one that does not inflate is empty.
  Bytes packed = CompressedBlock::write(current.data(), current.size());
  AppSettings plain = parseAppSettings(current);
  AppSettings inflated = parseAppSettings(packed);
  EXPECT_EQ(inflated.AppName, plain.AppName);
  EXPECT_EQ(inflated.workbookPassword, plain.workbookPassword);
  EXPECT_EQ(inflated.perSheetFlags, plain.perSheetFlags);
  packed.resize(packed.size() - 3);
  s = parseAppSettings(packed);
  EXPECT_EQ(s.headerSize, 0);
  EXPECT_FALSE(s.perSheetFlags.has_value());

  EXPECT_EQ(plain.text5Items(), (std::vector<std::u16string>{u"a", u"b", u""}));
}

TEST(AppSettings, CutBlocksAreReadOnlyAsFarAsTheyGo) {
  const Bytes full = blockOf(kLayouts[0]);
  // Every prefix parses without reading past its end (the sanitizer builds check that).
  for (size_t n = 0; n <= full.size(); ++n)
    parseAppSettings(std::span(full.data(), n));

  const size_t afterText9 = full.size() - flagTable(true).size();
  struct Case {
    const char* what;
    size_t length;
    std::u16string name;
    bool legal;
    std::optional<PerSheetFlags> table;
  } cases[] = {
      {"inside the header", 60, u"", false, std::nullopt},
      {"inside the name", 104 + 5, u"Lo", false, std::nullopt},
      {"one byte after text 9", afterText9 + 1, kName, true, std::nullopt},
      {"two bytes after text 9", afterText9 + 2, kName, true, PerSheetFlags{}},
      {"inside the last password", full.size() - 1, kName, true,
       PerSheetFlags{3, {{0x24, "s1"}, {0x100, ""}}, kText3}},
      {"whole", full.size(), kName, true, expectedTable(true, kText3)},
  };
  for (const Case& c : cases) {
    Bytes cut(full.begin(), full.begin() + c.length);
    AppSettings s = parseAppSettings(cut);
    EXPECT_EQ(s.headerSize, 104) << c.what;
    EXPECT_EQ(s.flags, kFlags) << c.what;
    EXPECT_EQ(s.AppName, c.name) << c.what;
    EXPECT_EQ(s.legalNotice, c.legal ? kLegal : u"") << c.what;
    EXPECT_EQ(s.perSheetFlags, c.table) << c.what;
  }
}

TEST(AppSettings, HostileLengthsAndCountsAreCapped) {
  Bytes b(104, 0);
  set(b, 0, 2, 104);
  set(b, 26, 1, 255);        // a name longer than the block: taken as far as it goes
  set(b, 28, 2, 0xFFFF);     // text 2 longer than the block: left out
  set(b, 32, 4, 0xFFFFFFFF); // text 3 too
  set(b, 72, 2, 0xFFFE);     // text 7: a negative length means no text
  set(b, 76, 4, 2);          // text 8
  set(b, 92, 4, 0x02000000); // 2.0.0 itself still writes entries without passwords
  Bytes name;
  append(name, std::u16string(u"Name"));
  b.insert(b.end(), name.begin(), name.end());
  AppSettings s = parseAppSettings(b);
  EXPECT_EQ(s.AppName, u"Name");
  EXPECT_FALSE(s.perSheetFlags.has_value());

  // With a short name, the negative text 7 is skipped without consuming anything.
  set(b, 26, 1, 8);
  set(b, 28, 2, 0);
  set(b, 32, 4, 0);
  b.insert(b.end(), 12, 0xEE);
  append(b, std::string("t8"));
  append32(b, 1);          // workbook flags
  append32(b, 0xFFFFFFFF); // entry count far beyond the entries
  append32(b, 0x20);
  append32(b, 0x40);
  b.push_back(0x99); // a stray byte: no entry
  s = parseAppSettings(b);
  EXPECT_TRUE(s.text7.empty());
  EXPECT_EQ(s.text8, "t8");
  ASSERT_TRUE(s.perSheetFlags.has_value());
  EXPECT_EQ(*s.perSheetFlags, (PerSheetFlags{1, {{0x20, ""}, {0x40, ""}}, ""}));

  // A table that says nothing does not take the protection password.
  Bytes empty(104, 0);
  set(empty, 0, 2, 104);
  set(empty, 32, 4, 2);
  append(empty, std::string("pw"));
  empty.insert(empty.end(), 12, 0);
  append32(empty, 0);
  append32(empty, 0);
  s = parseAppSettings(empty);
  EXPECT_EQ(s.protectionPassword, "pw");
  ASSERT_TRUE(s.perSheetFlags.has_value());
  EXPECT_TRUE(s.perSheetFlags->empty());
  EXPECT_TRUE(s.perSheetFlags->protectionPassword.empty());

  // A declared header larger than the block: nothing but the size.
  Bytes tiny = {0xFF, 0xFF, 1, 2, 3};
  s = parseAppSettings(tiny);
  EXPECT_EQ(s.headerSize, 0xFFFF);
  EXPECT_FALSE(s.perSheetFlags.has_value());
}
