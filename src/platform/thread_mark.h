// What the library knows about the calling thread, kept in one thread-local
// slot taken at module attach and given back at detach.
#ifndef QUORVEL_PLATFORM_THREAD_MARK_H_
#define QUORVEL_PLATFORM_THREAD_MARK_H_

#include <cstdint>

#include "platform/result.h"
#include "platform/win32.h"

namespace qrv {

enum ThreadMark : uintptr_t {
  kLibraryThread = 1,     // made by CreateModuleThread; set for the thread's life
  kInsideEntryPoint = 2,  // a host thread between an entry point's start and return
  kLoggingRefusal = 4,    // logging the line of an entry point that refused
};

// Takes the slot; fails with TlsAlloc's error when none is left.
Result TakeThreadMarks();
// Gives the slot back. REQUIRES: no library thread runs and no entry point
// is under way.
void ReleaseThreadMarks();

// True when the calling thread carries `mark`. Takes no lock.
bool HasThreadMark(ThreadMark mark);

// Sets `mark` on the calling thread until the scope ends, when the thread's
// marks are put back as they were.
class ScopedThreadMark {
 public:
  explicit ScopedThreadMark(ThreadMark mark);
  ScopedThreadMark(const ScopedThreadMark&) = delete;
  ScopedThreadMark& operator=(const ScopedThreadMark&) = delete;
  ~ScopedThreadMark();

 private:
  uintptr_t before_;
};

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_THREAD_MARK_H_
