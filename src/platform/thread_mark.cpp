#include "platform/thread_mark.h"

namespace qrv {

namespace {

// A slot rather than thread_local, which is unreliable in a DLL loaded by
// LoadLibrary on old Windows. The marks are bits of the slot's value. Written
// only at attach and detach, when no other thread can reach the library.
DWORD markSlot = TLS_OUT_OF_INDEXES;

uintptr_t Marks() { return reinterpret_cast<uintptr_t>(TlsGetValue(markSlot)); }

void SetMarks(uintptr_t marks) { TlsSetValue(markSlot, reinterpret_cast<LPVOID>(marks)); }

}  // namespace

Result TakeThreadMarks() {
  markSlot = TlsAlloc();
  return markSlot == TLS_OUT_OF_INDEXES ? Result::LastError() : Result::Success();
}

void ReleaseThreadMarks() {
  TlsFree(markSlot);
  markSlot = TLS_OUT_OF_INDEXES;
}

bool HasThreadMark(ThreadMark mark) { return (Marks() & mark) != 0; }

ScopedThreadMark::ScopedThreadMark(ThreadMark mark) : before_(Marks()) { SetMarks(before_ | mark); }

ScopedThreadMark::~ScopedThreadMark() { SetMarks(before_); }

}  // namespace qrv
