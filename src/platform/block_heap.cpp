#include "platform/block_heap.h"

#include <cstdlib>

namespace qrv {

namespace {

class CRuntimeHeap final : public BlockHeap {
 public:
  constexpr CRuntimeHeap() = default;
  void* Allocate(size_t size) override { return std::malloc(size); }
  void Free(void* block) override { std::free(block); }
};

// Constant-initialised and trivially destroyed: usable from load to unload
// without a guard variable or an exit-time destructor.
CRuntimeHeap processHeap;

}  // namespace

BlockHeap& BlockHeap::Process() { return processHeap; }

}  // namespace qrv
