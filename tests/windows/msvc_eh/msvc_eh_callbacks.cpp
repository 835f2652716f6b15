// The MSVC-ABI service callback of msvc_eh_callbacks.h. Its exceptions are
// real ones: the compiler's throw, catch, rethrow and frame handler, and
// msvcrt's _CxxThrowException.
#include "msvc_eh_callbacks.h"

#include <malloc.h>
#include <windows.h>

#include <cstring>

namespace {

volatile LONG made = 0;
volatile LONG destroyed = 0;
volatile LONG misdestroyed = 0;

constexpr size_t kPayload = 64;
constexpr uint32_t kAlive = 0xA11BE;

// A thrown object that owns heap memory and knows whether it is intact.
class Counted {
 public:
  Counted() : self_(this), payload_(new char[kPayload]) { InterlockedIncrement(&made); }
  Counted(const Counted&) : self_(this), payload_(new char[kPayload]) {
    InterlockedIncrement(&made);
  }
  Counted& operator=(const Counted&) = delete;
  ~Counted() {
    if (self_ != this || canary_ != kAlive) {
      InterlockedIncrement(&misdestroyed);
      return;
    }
    canary_ = 0;
    delete[] payload_;
    InterlockedIncrement(&destroyed);
  }

 private:
  const Counted* self_;
  char* payload_;
  uint32_t canary_ = kAlive;
};

// Raises what the behaviour asks for; returns only when nothing escapes.
void Behave(uint8_t behaviour) {
  switch (behaviour) {
    case kMsvcEhThrow:
      throw Counted();
    case kMsvcEhRethrow:
      try {
        throw Counted();
      } catch (const Counted&) {
        throw;
      }
    case kMsvcEhThrowInCatch:
      try {
        throw Counted();
      } catch (const Counted&) {
        throw Counted();
      }
    case kMsvcEhCaughtInside:
      try {
        throw Counted();
      } catch (const Counted&) {
      }
      return;
    default:
      return;
  }
}

}  // namespace

void QUORVEL_STDCALL MsvcEhServe(QuorvelAllocator* allocator, void* message, uint32_t length, void*,
                                 void** answer, uint32_t* answerLength) {
  if (length == 0) return;
  Behave(*static_cast<const uint8_t*>(message));
  void* copy = allocator->Allocate(length);
  if (copy == nullptr) return;
  std::memcpy(copy, message, length);
  *answer = copy;
  *answerLength = length;
}

void __cdecl MsvcEhReadCounts(MsvcEhCounts* counts) {
  counts->made = InterlockedCompareExchange(&made, 0, 0);
  counts->destroyed = InterlockedCompareExchange(&destroyed, 0, 0);
  counts->misdestroyed = InterlockedCompareExchange(&misdestroyed, 0, 0);
}

int __cdecl MsvcEhHeapValid(void) {
  return HeapValidate(reinterpret_cast<HANDLE>(_get_heap_handle()), 0, nullptr) ? 1 : 0;
}

int32_t __cdecl MsvcEhHostCatches(QuorvelRegisterFn registerService,
                                  QuorvelUnregisterFn unregisterService, uint32_t serviceId) {
  int32_t registered = -1;
  try {
    registered = registerService(serviceId, &MsvcEhServe, nullptr);
    throw Counted();
  } catch (const Counted&) {
    unregisterService(serviceId);
    return registered;
  }
}
