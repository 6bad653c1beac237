// Fixed-size block pools and the size-class front end.
#include "values/pool.h"

#include <array>
#include <cstdlib>
#include <memory>

namespace cwbk {

namespace {
constexpr size_t kGranule = 8;
constexpr size_t kLargestPooled = 256;
constexpr size_t kPageHeader = 16; // keeps blocks 16-byte aligned behind the page link
} // namespace

FixedPool::FixedPool(size_t blockSize, size_t blocksPerPage)
    : blockSize_((blockSize < sizeof(FreeBlock) ? sizeof(FreeBlock) : blockSize + kGranule - 1) / kGranule *
                 kGranule),
      blocksPerPage_(blocksPerPage ? blocksPerPage : 1) {}

FixedPool::~FixedPool() {
  while (pages_) {
    void* next = *static_cast<void**>(pages_);
    std::free(pages_);
    pages_ = next;
  }
}

void* FixedPool::allocate() {
  if (FreeBlock* block = free_) {
    free_ = block->next;
    ++inUse_;
    return block;
  }
  // Blocks of the newest page are handed out in turn, so a page is touched only as far as it is used.
  if (fresh_ == freshEnd_) {
    char* page = static_cast<char*>(std::malloc(kPageHeader + blockSize_ * blocksPerPage_));
    if (!page) throw std::bad_alloc();
    *reinterpret_cast<void**>(page) = pages_;
    pages_ = page;
    fresh_ = page + kPageHeader;
    freshEnd_ = fresh_ + blockSize_ * blocksPerPage_;
  }
  void* block = fresh_;
  fresh_ += blockSize_;
  ++inUse_;
  return block;
}

void FixedPool::release(void* p) {
  if (!p) return;
  auto* block = static_cast<FreeBlock*>(p);
  block->next = free_;
  free_ = block;
  --inUse_;
}

static FixedPool& poolFor(size_t size) {
  // One pool per size class; never destroyed, so objects released during static
  // destruction still find their pool.
  static auto* pools = [] {
    auto* p = new std::array<FixedPool*, kLargestPooled / kGranule>();
    for (size_t i = 0; i < p->size(); ++i)
      (*p)[i] = new FixedPool((i + 1) * kGranule);
    return p;
  }();
  return *(*pools)[(size + kGranule - 1) / kGranule - 1];
}

void* poolAllocate(size_t size) {
  if (size == 0) size = 1;
  if (size > kLargestPooled) return ::operator new(size);
  return poolFor(size).allocate();
}

void poolRelease(void* p, size_t size) noexcept {
  if (!p) return;
  if (size == 0) size = 1;
  if (size > kLargestPooled) {
    ::operator delete(p);
    return;
  }
  poolFor(size).release(p);
}

} // namespace cwbk
