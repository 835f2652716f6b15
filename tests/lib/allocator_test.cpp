#include "connection/allocator.h"

#include <gtest/gtest.h>

#include <set>

#include "counting_heap.h"

namespace qrv {

TEST(Allocator, LendsDistinctBlocksAndReleasesThemAllInOneSweep) {
  CountingHeap heap;
  CNimUCAllocator allocator(heap);
  NIMUC::IAllocator& lent = allocator;
  std::set<void*> blocks;
  for (uint32_t size : {0u, 0u, 16u, 5000u}) {
    void* block = lent.Allocate(size);
    ASSERT_NE(block, nullptr);
    blocks.insert(block);
  }
  EXPECT_EQ(blocks.size(), 4u);  // size 0 too yields distinct blocks
  EXPECT_EQ(allocator.BlockCount(), 4u);
  allocator.ReleaseAll();
  EXPECT_EQ(allocator.BlockCount(), 0u);
  EXPECT_EQ(heap.live, 0);
  allocator.ReleaseAll();  // empty: no heap call
  EXPECT_EQ(heap.frees, 4);
}

TEST(Allocator, RefusedBlockRecordsNothing) {
  CountingHeap heap;
  heap.refuseFrom = 100;
  CNimUCAllocator allocator(heap);
  EXPECT_EQ(allocator.Allocate(100), nullptr);
  EXPECT_EQ(allocator.BlockCount(), 0u);
}

TEST(Allocator, DestructionReleasesWhatIsStillLent) {
  CountingHeap heap;
  {
    CNimUCAllocator allocator(heap);
    allocator.Allocate(8);
    allocator.Allocate(8);
  }
  EXPECT_EQ(heap.live, 0);
}

// Blocks past the entries held in the object grow the list from the same
// heap; a refused growth lends nothing, keeps every earlier block recorded
// and leaks nothing, and the grown list is given back with the allocator.
TEST(Allocator, RefusedListGrowthLendsNothingAndLeaksNothing) {
  CountingHeap heap;
  {
    CNimUCAllocator allocator(heap);
    heap.refuseFrom = 2 * 8 * sizeof(void*);  // the first growth, not the blocks
    size_t lent = 0;
    while (allocator.Allocate(1) != nullptr) ++lent;
    EXPECT_EQ(lent, 8u);
    EXPECT_EQ(allocator.BlockCount(), 8u);
    EXPECT_EQ(heap.live, 8) << "a block was taken for a refused entry";
    heap.refuseFrom = ~size_t{0};
    for (int i = 0; i < 100; ++i) ASSERT_NE(allocator.Allocate(1), nullptr);
    EXPECT_EQ(allocator.BlockCount(), 108u);
    allocator.ReleaseAll();
    EXPECT_EQ(heap.live, 1);  // the grown list, kept for the next message
  }
  EXPECT_EQ(heap.live, 0);
}

}  // namespace qrv
