// Little-endian, unaligned reads and writes of the byte formats (streams, packed values, data files).
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "values/cell_address.h"

namespace cwbk {

// Returns the T stored at p (both targets are little-endian, so this is a plain unaligned copy).
template <typename T> T getLE(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

// Appends the bytes of v.
template <typename T> void putLE(std::vector<uint8_t>& out, T v) {
  uint8_t bytes[sizeof(T)];
  std::memcpy(bytes, &v, sizeof(T));
  out.insert(out.end(), bytes, bytes + sizeof(T));
}

// Returns the CellAddress stored at p (row word, then sheet-and-column word).
inline CellAddress addressAt(const uint8_t* p) {
  return CellAddress{getLE<uint32_t>(p), getLE<uint32_t>(p + 4)};
}

} // namespace cwbk
