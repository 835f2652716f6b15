#include "connection/allocator.h"

#include <cstdint>
#include <cstring>

namespace qrv {

CNimUCAllocator::~CNimUCAllocator() {
  ReleaseAll();
  if (blocks_ != inline_) heap_.Free(blocks_);
}

void* QUORVEL_STDCALL CNimUCAllocator::Allocate(uint32_t size) {
  if (!HasRoom()) return nullptr;
  // A distinct block for 0 bytes, whatever malloc(0) gives.
  const size_t bytes = size == 0 ? 1 : size;
  void* block = heap_.Allocate(bytes);
  if (block == nullptr) return nullptr;
  blocks_[count_++] = Lent{block, bytes};
  return block;
}

// Doubles the list, from the blocks' heap, never by a throw (see NewOnHeap);
// the larger one is kept for later messages.
bool CNimUCAllocator::Reserve() {
  const size_t capacity = capacity_ * 2;
  if (capacity > SIZE_MAX / sizeof(Lent)) return false;
  auto* larger = static_cast<Lent*>(heap_.Allocate(capacity * sizeof(Lent)));
  if (larger == nullptr) return false;
  std::memcpy(static_cast<void*>(larger), blocks_, count_ * sizeof(Lent));
  if (blocks_ != inline_) heap_.Free(blocks_);
  blocks_ = larger;
  capacity_ = capacity;
  return true;
}

void CNimUCAllocator::ReleaseAll() {
  for (size_t i = 0; i < count_; ++i) heap_.Free(blocks_[i].block);
  count_ = 0;
}

bool CNimUCAllocator::Adopt(void* block, size_t size) {
  if (!HasRoom()) return false;
  blocks_[count_++] = Lent{block, size};
  return true;
}

void CNimUCAllocator::HandOver(CNimUCAllocator& keeper) {
  for (size_t i = 0; i < count_; ++i)
    static_cast<void>(keeper.Adopt(blocks_[i].block, blocks_[i].size));
  count_ = 0;
}

}  // namespace qrv
