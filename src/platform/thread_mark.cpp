#include "platform/thread_mark.h"

#include <atomic>

namespace qrv {

namespace {

// A slot through the seam rather than thread_local: implicit TLS in a DLL
// that the host loads with LoadLibrary is unreliable on old Windows and under
// some loaders. The marks are bits of the slot's value, null on a thread
// that carries none.
std::atomic<DWORD> markSlot{TLS_OUT_OF_INDEXES};

DWORD Slot() { return markSlot.load(std::memory_order_acquire); }

uintptr_t Marks() {
  const DWORD slot = Slot();
  return slot == TLS_OUT_OF_INDEXES ? 0 : reinterpret_cast<uintptr_t>(TlsGetValue(slot));
}

void SetMarks(uintptr_t marks) { TlsSetValue(Slot(), reinterpret_cast<LPVOID>(marks)); }

}  // namespace

bool ThreadMarksAvailable() {
  if (Slot() != TLS_OUT_OF_INDEXES) return true;
  const DWORD slot = TlsAlloc();
  if (slot == TLS_OUT_OF_INDEXES) return false;
  DWORD expected = TLS_OUT_OF_INDEXES;
  if (!markSlot.compare_exchange_strong(expected, slot)) TlsFree(slot);  // another was first
  return true;
}

bool HasThreadMark(ThreadMark mark) { return (Marks() & mark) != 0; }

ScopedThreadMark::ScopedThreadMark(ThreadMark mark) : before_(Marks()) { SetMarks(before_ | mark); }

ScopedThreadMark::~ScopedThreadMark() { SetMarks(before_); }

void ReleaseThreadMarks() {
  const DWORD slot = markSlot.exchange(TLS_OUT_OF_INDEXES, std::memory_order_acq_rel);
  if (slot != TLS_OUT_OF_INDEXES) TlsFree(slot);
}

}  // namespace qrv
