// The function-name translations and the language texts the host sends.
#include "runtime/language_texts.h"

#include <charconv>

#include "formula/compressed_block.h"
#include "platform/text_services.h"
#include "values/conversions.h"

namespace cwbk {
namespace {

// Reads a whole field as a decimal function number; nothing for anything else.
std::optional<int> functionNumber(std::u16string_view field) {
  std::string digits;
  for (char16_t c : field) {
    if (c > 0x7F || digits.size() > 9) return std::nullopt;
    digits += char(c);
  }
  int number = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || end != digits.data() + digits.size() || digits.empty()) return std::nullopt;
  return number;
}

} // namespace

std::optional<std::u16string> inflateText(std::span<const uint8_t> block) {
  std::vector<uint8_t> bytes;
  if (!CompressedBlock::read(block.data(), block.size(), bytes)) return std::nullopt;
  std::u16string text(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = char16_t(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  return text;
}

size_t
applyFunctionNameTranslations(std::span<const uint8_t> block, std::u16string_view language,
                              const std::function<bool(int number, std::u16string_view name)>& rename) {
  if (equalIgnoringCase(language, u"English")) return 0;
  const std::optional<std::u16string> text = inflateText(block);
  if (!text) return 0;
  size_t named = 0;
  forEachTranslation(*text, language, [&](std::u16string_view key, std::u16string_view name) {
    if (std::optional<int> number = functionNumber(key); number && rename(*number, name)) ++named;
  });
  return named;
}

bool applyLanguageTexts(std::span<const uint8_t> block, int languageId) {
  if (languageId == 9) return true;
  const std::optional<std::u16string> text = inflateText(block);
  if (!text) return false;
  applyLocalization(*text, languageId);
  return true;
}

} // namespace cwbk
