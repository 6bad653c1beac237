// The encoded string table: each text is encoded by a constant evaluation, so only the encoded units
// reach the module; reading one undoes the encoding.
#include "runtime/encoded_strings.h"

#include <array>
#include <cstddef>
#include <span>

namespace cwbk {
namespace {

constexpr uint16_t keyUnit(size_t i) {
  return uint16_t(0x5A3C + 0x9E37 * (i + 1));
}

template <size_t N> struct Encoded {
  std::array<uint16_t, N - 1> units{};
  consteval Encoded(const char16_t (&text)[N]) {
    for (size_t i = 0; i + 1 < N; ++i)
      units[i] = uint16_t(text[i]) ^ keyUnit(i);
  }
};

template <Encoded E> constexpr std::span<const uint16_t> stored() {
  return E.units;
}

constexpr std::span<const uint16_t> kTable[] = {
    stored<u"XLMAIN">(), stored<u"XLCELLEDIT">(), stored<u"XLNAMEBOX">(), stored<u"Calculation runtime">(),
    stored<u".text">(),  stored<u".rdata">(), stored<u"bosa_sdm_XL9">(), stored<u"Static">(),
    stored<u"Edit">(),   stored<u"Button">(), stored<u"Excel">(), stored<u"Undo Entry">(),
    stored<u"DummyFunc4">(), stored<u"Unattended">(), stored<u"AppPath">(), stored<u"AppName">(),
    stored<u"AppVersion">(), stored<u"Companion.xlsm">(),
};
static_assert(std::size(kTable) == size_t(EncodedString::Count));

} // namespace

std::u16string encodedString(EncodedString which) {
  const auto index = size_t(which);
  if (index >= std::size(kTable)) return {};
  std::u16string text;
  text.reserve(kTable[index].size());
  for (size_t i = 0; i < kTable[index].size(); ++i)
    text.push_back(char16_t(kTable[index][i] ^ keyUnit(i)));
  return text;
}

std::string encodedAscii(EncodedString which) {
  std::string text;
  for (char16_t c : encodedString(which))
    text.push_back(c < 0x80 ? char(c) : '?');
  return text;
}

} // namespace cwbk
