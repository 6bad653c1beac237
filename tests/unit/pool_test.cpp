// Fixed-size pools: blocks are distinct, aligned and usable across several pages, released blocks
// are handed out again before fresh ones, and the count of blocks in use follows.
#include "values/pool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

using namespace cwbk;

TEST(FixedPoolTest, BlocksAcrossPagesAreDistinctAlignedAndRecycled) {
  FixedPool pool(40, 16); // small pages: the test spans many of them
  std::vector<void*> blocks;
  for (int i = 0; i < 100; ++i) {
    void* p = pool.allocate();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
    std::memset(p, i, 40);
    blocks.push_back(p);
  }
  EXPECT_EQ(pool.blocksInUse(), 100u);
  EXPECT_EQ(std::set<void*>(blocks.begin(), blocks.end()).size(), 100u);
  for (int i = 0; i < 100; ++i) // no block overlaps another
    EXPECT_EQ(static_cast<unsigned char*>(blocks[i])[39], static_cast<unsigned char>(i));
  std::set<void*> released;
  for (int i = 0; i < 100; i += 3) {
    pool.release(blocks[i]);
    released.insert(blocks[i]);
  }
  EXPECT_EQ(pool.blocksInUse(), 100u - released.size());
  for (size_t i = 0; i < released.size(); ++i)
    EXPECT_TRUE(released.count(pool.allocate())) << "a released block comes back first";
  EXPECT_FALSE(released.count(pool.allocate()));
  EXPECT_EQ(pool.blocksInUse(), 101u);
}
