// Fixed-size block pools: node objects and the values they own are carved from pages of equal
// blocks instead of one heap allocation each. Evaluation is single-threaded; so are the pools.
#pragma once

#include <cstddef>
#include <new>

namespace cwbk {

// A pool of blocks of one size, handed out from pages and recycled through a free list.
class FixedPool {
public:
  explicit FixedPool(size_t blockSize, size_t blocksPerPage = 512);
  ~FixedPool();
  FixedPool(const FixedPool&) = delete;
  FixedPool& operator=(const FixedPool&) = delete;

  void* allocate();
  void release(void* block);
  size_t blockSize() const { return blockSize_; }
  size_t blocksInUse() const { return inUse_; }

private:
  struct FreeBlock {
    FreeBlock* next;
  };
  size_t blockSize_;
  size_t blocksPerPage_;
  FreeBlock* free_ = nullptr;
  void* pages_ = nullptr; // singly linked through the first word of each page
  char* fresh_ = nullptr; // the newest page's blocks not handed out yet: [fresh_, freshEnd_)
  char* freshEnd_ = nullptr;
  size_t inUse_ = 0;
};

// Allocates `size` bytes from the pool of its size class (multiples of 8 up to 256 bytes);
// larger sizes go to the heap. Release with the same size.
void* poolAllocate(size_t size);
void poolRelease(void* p, size_t size) noexcept;

// Base that gives a class pooled operator new and delete.
struct PoolAllocated {
  static void* operator new(size_t size) { return poolAllocate(size); }
  static void operator delete(void* p, size_t size) noexcept { poolRelease(p, size); }
};

} // namespace cwbk
