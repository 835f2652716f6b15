// The allocator lent to a service callback for one message.
#ifndef QUORVEL_CONNECTION_ALLOCATOR_H_
#define QUORVEL_CONNECTION_ALLOCATOR_H_

#include <cstddef>

#include "platform/block_heap.h"
#include "quorvel/quorvel.h"

namespace qrv {

// Lends heap blocks and records each until ReleaseAll gives them back.
// Used only on its worker's thread; takes no lock.
class CNimUCAllocator final : public NIMUC::IAllocator {
 public:
  explicit CNimUCAllocator(BlockHeap& heap = BlockHeap::Process()) : heap_(heap) {}
  CNimUCAllocator(const CNimUCAllocator&) = delete;
  CNimUCAllocator& operator=(const CNimUCAllocator&) = delete;
  // Releases whatever is still lent, so that no way out of a worker leaks.
  ~CNimUCAllocator();

  // A block of exactly `size` bytes (a distinct one for 0), recorded for the
  // next ReleaseAll; null when no memory can be had, recording nothing.
  void* QUORVEL_STDCALL Allocate(uint32_t size) override;
  // Releases every lent block, first to last; the list is then empty.
  void ReleaseAll();
  // Records `block`, `size` bytes from this allocator's heap, for the next
  // ReleaseAll; false, recording nothing, when the list cannot grow.
  bool Adopt(void* block, size_t size);
  // Moves every lent block to `keeper` (same heap), which then releases
  // them; a block it cannot record stays allocated for good.
  void HandOver(CNimUCAllocator& keeper);

  size_t BlockCount() const { return count_; }

 private:
  // Entries for a typical message's blocks, so steady traffic costs the
  // list no heap call.
  static constexpr size_t kInlineEntries = 8;

  // Makes room for one more entry; false, with the list unchanged, when the
  // heap refuses a larger one.
  bool Reserve();
  bool HasRoom() { return count_ < capacity_ || Reserve(); }

  BlockHeap& heap_;
  struct Lent {
    void* block;
    size_t size;
  };

  Lent inline_[kInlineEntries] = {};
  Lent* blocks_ = inline_;  // inline_, or a list taken from heap_
  size_t capacity_ = kInlineEntries;
  size_t count_ = 0;
};

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_ALLOCATOR_H_
