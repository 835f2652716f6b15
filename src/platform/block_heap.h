// The heap from which the library takes its objects, and from which workers
// take their buffers and lend message blocks.
#ifndef QUORVEL_PLATFORM_BLOCK_HEAP_H_
#define QUORVEL_PLATFORM_BLOCK_HEAP_H_

#include <cstddef>
#include <new>
#include <utility>

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

// Constructs a T on memory from `heap`; null when the heap refuses. Used for
// every object the library makes at run time instead of `new (std::nothrow)`,
// which the toolchain's runtime implements by throwing and catching
// bad_alloc: a throw inside the module terminates a host that has the
// runtime's shared copy (libgcc_s_dw2-1.dll) loaded, since the module's
// unwind tables were registered with that copy.
template <typename T, typename... Arguments>
T* NewOnHeap(BlockHeap& heap, Arguments&&... arguments) {
  void* memory = heap.Allocate(sizeof(T));
  return memory == nullptr ? nullptr : new (memory) T(std::forward<Arguments>(arguments)...);
}

// Destroys and frees what NewOnHeap made from the same heap; null is ignored.
template <typename T>
void DeleteOnHeap(BlockHeap& heap, T* object) {
  if (object == nullptr) return;
  object->~T();
  heap.Free(object);
}

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_BLOCK_HEAP_H_
