// A heap that counts its calls and can be told to refuse blocks.
#ifndef QUORVEL_TESTS_LIB_COUNTING_HEAP_H_
#define QUORVEL_TESTS_LIB_COUNTING_HEAP_H_

#include <atomic>
#include <cstdlib>

#include "platform/block_heap.h"

namespace qrv {

class CountingHeap final : public BlockHeap {
 public:
  void* Allocate(size_t size) override {
    allocations++;
    for (size_t seen = largest; size > seen && !largest.compare_exchange_weak(seen, size);) {
    }
    if (size >= refuseFrom.load()) return nullptr;
    live++;
    return std::malloc(size);
  }
  void Free(void* block) override {
    if (block == nullptr) return;
    frees++;
    live--;
    std::free(block);
  }

  std::atomic<size_t> refuseFrom{~size_t{0}};  // blocks this large are refused
  std::atomic<int> allocations{0};
  std::atomic<int> frees{0};
  std::atomic<int> live{0};
  std::atomic<size_t> largest{0};  // the largest block asked for
};

}  // namespace qrv

#endif  // QUORVEL_TESTS_LIB_COUNTING_HEAP_H_
