// The heap the library's objects, buffers and lent message blocks come from.
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

// Constructs a T on memory from `heap`; null when the heap refuses. The one
// way the library makes objects at run time: `new (std::nothrow)` throws and
// catches bad_alloc inside the runtime, and any throw inside the module
// terminates a host that has the runtime's shared unwinder loaded.
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
