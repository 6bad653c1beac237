// The parts of the text services common to both backends: case-insensitive equality, and the
// weighing of hyphens and apostrophes when two texts are otherwise equal.
#include "platform/text_services.h"
#include "platform/text_services_detail.h"

namespace cwbk {

static bool isAscii(std::u16string_view text) {
  for (char16_t c : text)
    if (c >= 0x80) return false;
  return true;
}

bool equalIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a == b) return true;
  if (isAscii(a) && isAscii(b)) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      char16_t x = a[i], y = b[i];
      if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
      if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
      if (x != y) return false;
    }
    return true;
  }
  return toUpperText(a) == toUpperText(b);
}

} // namespace cwbk

namespace cwbk::detail {

bool isWordSortSpecial(char16_t c) {
  return c == u'-' || c == u'\'';
}

std::u16string withoutWordSortSpecials(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char16_t c : text)
    if (!isWordSortSpecial(c)) out.push_back(c);
  return out;
}

int compareWordSortSpecials(std::u16string_view a, std::u16string_view b) {
  size_t i = 0, j = 0;
  for (;;) {
    while (i < a.size() && !isWordSortSpecial(a[i]))
      ++i;
    while (j < b.size() && !isWordSortSpecial(b[j]))
      ++j;
    bool endA = i >= a.size(), endB = j >= b.size();
    if (endA || endB) return endA == endB ? 0 : endA ? -1 : 1;
    // An earlier hyphen or apostrophe weighs more; at the same place the hyphen outweighs the
    // apostrophe.
    if (i != j) return i < j ? 1 : -1;
    if (a[i] != b[j]) return a[i] == u'-' ? 1 : -1;
    ++i;
    ++j;
  }
}

} // namespace cwbk::detail
