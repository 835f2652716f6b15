// The heap from which workers take their buffers and lend message blocks.
#ifndef QUORVEL_CONNECTION_BLOCK_HEAP_H_
#define QUORVEL_CONNECTION_BLOCK_HEAP_H_

#include <cstddef>

namespace qrv {

// One heap call per block, no header or rounding of its own. Replaceable so
// that tests can count heap calls and make them fail. Thread-safe.
class BlockHeap {
 public:
  // Null when no memory can be had.
  virtual void* Allocate(size_t size) = 0;
  virtual void Free(void* block) = 0;

  // The C runtime's malloc and free.
  static BlockHeap& Process();

 protected:
  ~BlockHeap() = default;
};

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_BLOCK_HEAP_H_
