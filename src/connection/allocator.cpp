#include "connection/allocator.h"

#include <new>

namespace {

// Enough list entries for the blocks of a typical message, reserved up front
// so that steady traffic costs the list no heap call.
constexpr size_t kReservedEntries = 8;

}  // namespace

CNimUCAllocator::CNimUCAllocator(BlockHeap& heap) : heap_(heap) {
  try {
    blocks_.reserve(kReservedEntries);
  } catch (const std::bad_alloc&) {
    // The list grows on demand instead.
  }
}

CNimUCAllocator::~CNimUCAllocator() { ReleaseAll(); }

void* QUORVEL_STDCALL CNimUCAllocator::Allocate(uint32_t size) {
  // A zero-byte request still yields a distinct block, whatever the C
  // runtime makes of malloc(0).
  void* block = heap_.Allocate(size == 0 ? 1 : size);
  if (block == nullptr) return nullptr;
  try {
    blocks_.push_back(block);
  } catch (const std::bad_alloc&) {
    heap_.Free(block);
    return nullptr;
  }
  return block;
}

void CNimUCAllocator::ReleaseAll() {
  for (void* block : blocks_) heap_.Free(block);
  blocks_.clear();
}
