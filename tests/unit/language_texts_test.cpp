// The function-name translations and the language texts, as the host sends them: compressed blocks of
// UTF-16 text.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "formula/compressed_block.h"
#include "formula/function_table.h"
#include "platform/text_services.h"
#include "runtime/language_texts.h"
#include "values/conversions.h"

using namespace cwbk;

namespace {

std::vector<uint8_t> block(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(uint8_t(c));
    bytes.push_back(uint8_t(c >> 8));
  }
  return CompressedBlock::write(bytes.data(), bytes.size());
}

constexpr std::u16string_view kNames = u"Number;English;GERMAN;French\r\n"
                                       u"4;SUM;SUMME;SOMME\r\n"
                                       u"1;IF;WENN\r\n" // no French name: skipped there
                                       u"3;;;\r\n"      // empty names are refused
                                       u"x1;A;B;C\r\n"  // no number
                                       u"-4;A;B;C\r\n"
                                       u"999999;A;B;C\r\n"
                                       u"5;AVERAGE;MITTELWERT;MOYENNE";

TEST(LanguageTexts, TranslationsNameFunctionsInTheLanguagesColumn) {
  FunctionTable table;
  auto rename = [&](int number, std::u16string_view name) { return table.setNameOf(number, name); };
  const std::vector<uint8_t> names = block(kNames);

  EXPECT_EQ(applyFunctionNameTranslations(names, u"German", rename), 3u);
  EXPECT_EQ(*table.nameOf(4), u"SUMME");
  EXPECT_EQ(*table.nameOf(1), u"WENN");
  EXPECT_EQ(*table.nameOf(5), u"MITTELWERT");
  EXPECT_EQ(*table.nameOf(3), u"ISERROR"); // the empty name left the English one
  // Only the shown name changes: formulas keep reading English names.
  EXPECT_EQ(table.lookupNumber(u"SUM"), 4);

  EXPECT_EQ(applyFunctionNameTranslations(names, u"french", rename), 2u);
  EXPECT_EQ(*table.nameOf(4), u"SOMME");
  EXPECT_EQ(*table.nameOf(1), u"WENN");

  // English, a language without a column and a block that is none change nothing.
  for (std::u16string_view language : {u"English", u"english", u"Swedish"})
    EXPECT_EQ(applyFunctionNameTranslations(names, language, rename), 0u)
        << std::string(language.begin(), language.end());
  std::vector<uint8_t> broken = names;
  broken[0] ^= 0xFF;
  EXPECT_EQ(applyFunctionNameTranslations(broken, u"German", rename), 0u);
  EXPECT_EQ(applyFunctionNameTranslations({}, u"German", rename), 0u);
  EXPECT_EQ(*table.nameOf(4), u"SOMME");
}

class LanguageTextsDisplay : public ::testing::Test {
protected:
  void TearDown() override {
    setDisplayTexts(defaultDisplayTexts());
    setRuntimeLanguage(u"English");
  }
};

TEST_F(LanguageTextsDisplay, LanguageTextsReplaceTheDisplayTextsExceptInEnglish) {
  const std::vector<uint8_t> texts = block(u"Key;English;German\r\n#VALUE!;#VALUE!;#WERT!\r\nTRUE;TRUE;WAHR");
  EXPECT_TRUE(applyLanguageTexts(texts, 9));
  EXPECT_EQ(displayTexts(), defaultDisplayTexts());
  EXPECT_TRUE(applyLanguageTexts(texts, 7));
  EXPECT_EQ(errorText(ErrValue), u"#WERT!");
  EXPECT_EQ(trueText(), u"WAHR");

  std::vector<uint8_t> truncated(texts.begin(), texts.begin() + 20);
  EXPECT_FALSE(applyLanguageTexts(truncated, 7));
}

TEST(LanguageTexts, InflatedTextDropsAnOddLastByte) {
  const uint8_t odd[] = {'A', 0, 'B', 0, 'C'};
  EXPECT_EQ(inflateText(CompressedBlock::write(odd, sizeof odd)), u"AB");
  EXPECT_EQ(inflateText(std::vector<uint8_t>(3, 0)), std::nullopt);
}

} // namespace
