// Win32 backend of the UTF-8 conversions: MultiByteToWideChar and WideCharToMultiByte with the UTF-8
// code page; MB_ERR_INVALID_CHARS makes ill-formed input fail, without it each ill-formed part becomes
// U+FFFD, as an unpaired surrogate does on the way back. The same pair over the system code page.
#include <windows.h>

#include <climits>
#include <stdexcept>

#include "platform/utf8.h"
#include "platform/win32/code_page.h"

namespace cwbk {

namespace {

int checkedLength(size_t size) {
  if (size > static_cast<size_t>(INT_MAX) / 4) throw std::length_error("text too long to convert");
  return static_cast<int>(size);
}

std::optional<std::u16string> toUtf16(UINT codePage, std::string_view text, DWORD flags) {
  int length = checkedLength(text.size());
  if (length == 0) return std::u16string();
  int needed = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
  if (needed <= 0) return std::nullopt;
  std::u16string out(static_cast<size_t>(needed), u'\0');
  int written = MultiByteToWideChar(codePage, flags, text.data(), length,
                                    reinterpret_cast<wchar_t*>(out.data()), needed);
  if (written <= 0) return std::nullopt;
  out.resize(static_cast<size_t>(written));
  return out;
}

std::optional<std::u16string> fromUtf8(std::string_view text, DWORD flags) {
  return toUtf16(CP_UTF8, text, flags);
}

std::string fromUtf16(UINT codePage, std::u16string_view text) {
  int length = checkedLength(text.size());
  if (length == 0) return std::string();
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(text.data());
  int needed = WideCharToMultiByte(codePage, 0, wide, length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string out(static_cast<size_t>(needed), '\0');
  int written = WideCharToMultiByte(codePage, 0, wide, length, out.data(), needed, nullptr, nullptr);
  if (written <= 0) return std::string();
  out.resize(static_cast<size_t>(written));
  return out;
}

} // namespace

std::optional<std::u16string> utf8ToUtf16(std::string_view text) {
  return fromUtf8(text, MB_ERR_INVALID_CHARS);
}

std::u16string utf8ToUtf16Replacing(std::string_view text) {
  return fromUtf8(text, 0).value_or(std::u16string());
}

std::string utf16ToUtf8(std::u16string_view text) {
  return fromUtf16(CP_UTF8, text);
}

std::u16string systemCodePageToUtf16(std::string_view text) {
  return toUtf16(CP_ACP, text, 0).value_or(std::u16string());
}

std::string utf16ToSystemCodePage(std::u16string_view text) {
  return fromUtf16(CP_ACP, text);
}

} // namespace cwbk
