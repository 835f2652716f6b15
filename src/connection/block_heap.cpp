#include "connection/block_heap.h"

#include <cstdlib>

namespace {

class CRuntimeHeap final : public BlockHeap {
 public:
  void* Allocate(size_t size) override { return std::malloc(size); }
  void Free(void* block) override { std::free(block); }
};

}  // namespace

BlockHeap& BlockHeap::Process() {
  static CRuntimeHeap heap;
  return heap;
}
