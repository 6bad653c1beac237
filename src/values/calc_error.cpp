// The error codes' display texts and the boolean texts, process-wide.
#include "values/calc_error.h"

namespace cwbk {

const DisplayTexts& defaultDisplayTexts() {
  static const DisplayTexts texts = {u"#NULL!", u"#DIV/0!", u"#VALUE!", u"#REF!", u"#NAME?",
                                     u"#NUM!",  u"#N/A",    u"TRUE",    u"FALSE"};
  return texts;
}

static DisplayTexts& currentTexts() {
  static DisplayTexts texts = defaultDisplayTexts();
  return texts;
}

const DisplayTexts& displayTexts() {
  return currentTexts();
}
void setDisplayTexts(const DisplayTexts& texts) {
  currentTexts() = texts;
}

int errorIndex(int32_t code) {
  for (size_t i = 0; i < kAllErrors.size(); ++i)
    if (kAllErrors[i] == code) return static_cast<int>(i);
  return -1;
}

std::u16string_view errorText(int32_t code) {
  int i = errorIndex(code);
  return i < 0 ? std::u16string_view() : std::u16string_view(currentTexts()[i]);
}

std::u16string_view trueText() {
  return currentTexts()[7];
}
std::u16string_view falseText() {
  return currentTexts()[8];
}

std::optional<CalcError> errorFromText(std::u16string_view text) {
  const DisplayTexts& texts = currentTexts();
  for (size_t i = 0; i < kAllErrors.size(); ++i)
    if (texts[i] == text) return kAllErrors[i];
  return std::nullopt;
}

} // namespace cwbk
