// Payload checks with VirtualQuery, and their release with VirtualFree.
#include "runtime/win32/payload.h"

#include <cstring>

namespace cwbk {
namespace {

bool readable(const MEMORY_BASIC_INFORMATION& info) {
  if (info.State != MEM_COMMIT || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS))) return false;
  return (info.Protect & (PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                          PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
}

} // namespace

MessagePayload::MessagePayload(WPARAM wParam, LPARAM lParam, size_t unitSize) {
  if (wParam == 0) {
    none_ = true;
    return;
  }
  if (lParam < 0 || uint64_t(lParam) > SIZE_MAX / unitSize) return;
  const size_t size = size_t(lParam) * unitSize;
  void* address = reinterpret_cast<void*>(wParam);
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(address, &info, sizeof info) != sizeof info) return;
  // Only a private allocation that starts here can be released whole with VirtualFree.
  if (info.AllocationBase != address || info.BaseAddress != address || info.Type != MEM_PRIVATE ||
      !readable(info) || size > info.RegionSize)
    return;
  base_ = address;
  size_ = size;
}

MessagePayload::~MessagePayload() {
  if (base_) VirtualFree(base_, 0, MEM_RELEASE);
}

std::u16string MessagePayload::text() const {
  std::u16string out(size_ / 2, u'\0');
  if (!out.empty()) std::memcpy(out.data(), base_, out.size() * 2);
  return out;
}

std::optional<std::u16string> terminatedTextAt(LPARAM address, size_t maxUnits) {
  if (address == 0 || (address & 1)) return std::nullopt;
  std::u16string out;
  auto at = reinterpret_cast<const uint8_t*>(address);
  while (out.size() <= maxUnits) {
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(at, &info, sizeof info) != sizeof info || !readable(info)) return std::nullopt;
    const uint8_t* end = static_cast<const uint8_t*>(info.BaseAddress) + info.RegionSize;
    for (; at + 1 < end; at += 2) {
      char16_t unit;
      std::memcpy(&unit, at, 2);
      if (unit == 0) return out;
      out.push_back(unit);
      if (out.size() > maxUnits) return std::nullopt;
    }
    if (at != end) return std::nullopt; // a unit would straddle the region's end: stop there
  }
  return std::nullopt;
}

} // namespace cwbk
