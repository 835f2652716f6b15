#include "host/failing_heap.h"

#include <atomic>
#include <cstddef>

#include "host/import_slot.h"

namespace qrv {
namespace wintest {
namespace {

using Malloc = void*(__cdecl*)(size_t);
using Calloc = void*(__cdecl*)(size_t, size_t);
using Realloc = void*(__cdecl*)(void*, size_t);

void* realMalloc = nullptr;
void* realCalloc = nullptr;
void* realRealloc = nullptr;

// Calls left until the one that fails; 0: none fails.
std::atomic<int> countdown{0};
std::atomic<bool> failed{false};

bool ThisCallFails() {
  int left = countdown.load();
  while (left > 0) {
    if (countdown.compare_exchange_weak(left, left - 1)) {
      if (left != 1) return false;
      failed.store(true);
      return true;
    }
  }
  return false;
}

void* __cdecl FailingMalloc(size_t size) {
  return ThisCallFails() ? nullptr : reinterpret_cast<Malloc>(realMalloc)(size);
}

void* __cdecl FailingCalloc(size_t count, size_t size) {
  return ThisCallFails() ? nullptr : reinterpret_cast<Calloc>(realCalloc)(count, size);
}

// A refused realloc leaves the block as it was, as the C runtime's does.
void* __cdecl FailingRealloc(void* block, size_t size) {
  return ThisCallFails() ? nullptr : reinterpret_cast<Realloc>(realRealloc)(block, size);
}

// Points `module`'s import of `name` at `replacement`, keeping the real
// function in *real first: a thread can reach the replacement only through
// the slot. Idempotent.
bool Patch(HMODULE module, const char* name, void* replacement, void** real, std::string* reason) {
  void** slot = ImportSlot(module, name);
  if (slot == nullptr) {
    *reason = std::string("the module imports no ") + name;
    return false;
  }
  if (*slot == replacement) return true;
  *real = *slot;
  return WriteImportSlot(slot, replacement, reason);
}

}  // namespace

bool InstallFailingHeap(HMODULE module, std::string* reason) {
  return Patch(module, "malloc", reinterpret_cast<void*>(&FailingMalloc), &realMalloc, reason) &&
         Patch(module, "calloc", reinterpret_cast<void*>(&FailingCalloc), &realCalloc, reason) &&
         Patch(module, "realloc", reinterpret_cast<void*>(&FailingRealloc), &realRealloc, reason);
}

void FailNthAllocation(int n) {
  failed.store(false);
  countdown.store(n);
}

bool StopFailingAllocations() {
  countdown.store(0);
  return failed.exchange(false);
}

}  // namespace wintest
}  // namespace qrv
