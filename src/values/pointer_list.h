// PointerList: the small lists of pointers a cell owns (its operand trees, the cells it reads and the
// cells that read it). One word each: empty, one non-null pointer held in place, or a pooled block with
// the size and capacity in front of the elements. Most cells read one or two cells and are read by one, so
// most lists never allocate.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>

#include "values/pool.h"

namespace cwbk {

template <typename T> class PointerList {
  static_assert(sizeof(T) == sizeof(uintptr_t) && alignof(T) >= 2, "holds pointers to aligned objects");

public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  PointerList() = default;
  ~PointerList() { release(); }
  PointerList(const PointerList&) = delete;
  PointerList& operator=(const PointerList&) = delete;

  bool empty() const { return slot_ == T(); }
  size_t size() const {
    if (empty()) return 0;
    return isBlock() ? block()->size : 1;
  }
  T* data() { return isBlock() ? block()->items() : &slot_; }
  const T* data() const { return isBlock() ? block()->items() : &slot_; }
  T* begin() { return data(); }
  T* end() { return data() + size(); }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size(); }
  T& operator[](size_t i) { return data()[i]; }
  const T& operator[](size_t i) const { return data()[i]; }
  T& back() { return data()[size() - 1]; }

  void push_back(T value) { insert(end(), value); }
  // Inserts a pointer before position; returns the position of the new element.
  T* insert(T* position, T value) {
    size_t at = static_cast<size_t>(position - begin());
    size_t n = size();
    // A single null pointer goes to a block: held in place it would read as the empty list.
    if (n == 0 && value != T()) {
      slot_ = value;
      return &slot_;
    }
    if (!isBlock() || block()->size == block()->capacity) grow(n + 1);
    Block* b = block();
    T* items = b->items();
    std::memmove(items + at + 1, items + at, (n - at) * sizeof(T));
    items[at] = value;
    ++b->size;
    return items + at;
  }
  // Removes the element at position.
  void erase(T* position) {
    size_t at = static_cast<size_t>(position - begin());
    size_t n = size();
    if (at >= n) return;
    if (!isBlock()) {
      slot_ = T();
      return;
    }
    Block* b = block();
    T* items = b->items();
    std::memmove(items + at, items + at + 1, (n - at - 1) * sizeof(T));
    if (--b->size == 0) release();
  }
  void clear() { release(); }

private:
  struct Block {
    uint32_t size;
    uint32_t capacity;
    T* items() { return reinterpret_cast<T*>(this + 1); }
  };

  bool isBlock() const { return (reinterpret_cast<uintptr_t>(slot_) & 1) != 0; }
  Block* block() const {
    return reinterpret_cast<Block*>(reinterpret_cast<uintptr_t>(slot_) & ~uintptr_t(1));
  }
  static size_t bytesFor(uint32_t capacity) { return sizeof(Block) + capacity * sizeof(T); }

  void grow(size_t needed) {
    uint32_t capacity = 2;
    while (capacity < needed)
      capacity *= 2;
    void* memory = poolAllocate(bytesFor(capacity));
    Block* b = new (memory) Block{0, capacity};
    size_t n = size();
    std::memcpy(b->items(), data(), n * sizeof(T));
    b->size = static_cast<uint32_t>(n);
    release();
    slot_ = reinterpret_cast<T>(reinterpret_cast<uintptr_t>(b) | 1);
  }

  void release() {
    if (isBlock()) {
      Block* b = block();
      poolRelease(b, bytesFor(b->capacity));
    }
    slot_ = T();
  }

  T slot_ = T();
};

} // namespace cwbk
