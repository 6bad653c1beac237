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
    stored<u"XLMAIN">(),       stored<u"XLCELLEDIT">(),
    stored<u"XLNAMEBOX">(),    stored<u"Calculation runtime">(),
    stored<u".text">(),        stored<u".rdata">(),
    stored<u"bosa_sdm_XL9">(), stored<u"Static">(),
    stored<u"Edit">(),         stored<u"Button">(),
    stored<u"Excel">(),        stored<u"Undo Entry">(),
    stored<u"DummyFunc4">(),   stored<u"Unattended">(),
    stored<u"AppPath">(),      stored<u"AppName">(),
    stored<u"AppVersion">(),   stored<u"Companion.xlsm">(),
    stored<u"AppCommand">(),   stored<u"Application notice">(),
    stored<u"Made with the workbook compiler's calculation runtime">(),
    stored<u"OK">(),
    stored<u"CWBKBOOK">(),
    stored<u"The application file '%s' is read-only, so your work cannot be saved into it. Choose another name to save it under.">(),
    stored<u"Save">(),
    stored<u"Microsoft Enhanced Cryptographic Provider v1.0">(),
    stored<u"RC4">(),
    stored<u"Application">(),
    stored<u"RecalcMode">(),
    stored<u"Close">(),
    stored<u"Your data has changed since it was last exported. Export it before closing?">(),
    stored<u"This workbook cannot be saved in Excel. Use Export Data in the %s menu to keep your data.">(),
};
static_assert(std::size(kTable) == size_t(EncodedString::Count));

constexpr std::span<const uint16_t> kRegistrarTable[] = {
    stored<u"Stub0">(),
    stored<u"Stub1">(),
    stored<u"Stub2">(),
    stored<u"Stub3">(),
    stored<u"Stub4">(),
    stored<u"Stub5">(),
    stored<u"Stub6">(),
    stored<u"Stub7">(),
    stored<u"Stub8">(),
    stored<u"Stub9">(),
    stored<u"{F9}">(),
    stored<u"^%{F9}">(),
    stored<u"">(),
    stored<u"RequestRecalc">(),
    stored<u"LastDuration">(),
    stored<u"LastSeconds">(),
    stored<u"AppCommand">(),
    stored<u"RunCompanion">(),
    stored<u"TakeRange">(),
    stored<u"deveduveve.dll">(),
};

std::u16string decode(std::span<const uint16_t> units) {
  std::u16string text;
  text.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i)
    text.push_back(char16_t(units[i] ^ keyUnit(i)));
  return text;
}

} // namespace

std::u16string registrarString(int number) {
  return number >= 0 && size_t(number) < std::size(kRegistrarTable) ? decode(kRegistrarTable[number])
                                                                    : std::u16string();
}

std::u16string encodedString(EncodedString which) {
  const auto index = size_t(which);
  return index < std::size(kTable) ? decode(kTable[index]) : std::u16string();
}

std::string encodedAscii(EncodedString which) {
  std::string text;
  for (char16_t c : encodedString(which))
    text.push_back(c < 0x80 ? char(c) : '?');
  return text;
}

} // namespace cwbk
