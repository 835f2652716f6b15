// What the library knows about the calling thread, kept in one thread-local
// slot: whether it is one of the library's own threads, whether it is inside
// an entry point, and whether it is logging an entry point's refusal.
#ifndef QUORVEL_PLATFORM_THREAD_MARK_H_
#define QUORVEL_PLATFORM_THREAD_MARK_H_

#include <cstdint>

#include "platform/win32.h"

namespace qrv {

enum ThreadMark : uintptr_t {
  kLibraryThread = 1,     // made by CreateModuleThread; set for the thread's life
  kInsideEntryPoint = 2,  // a host thread between an entry point's start and return
  kLoggingRefusal = 4,    // logging the line of an entry point that refused
};

// Allocates the slot on first use; false (with TlsAlloc's last error) when
// none can be had, and then no mark can be set or seen.
bool ThreadMarksAvailable();

// True when the calling thread carries `mark`. Takes no lock.
bool HasThreadMark(ThreadMark mark);

// Sets `mark` on the calling thread until the scope ends, when the thread's
// marks are put back as they were. REQUIRES: ThreadMarksAvailable().
class ScopedThreadMark {
 public:
  explicit ScopedThreadMark(ThreadMark mark);
  ScopedThreadMark(const ScopedThreadMark&) = delete;
  ScopedThreadMark& operator=(const ScopedThreadMark&) = delete;
  ~ScopedThreadMark();

 private:
  uintptr_t before_;
};

// Gives the slot back. REQUIRES: no library thread runs and no entry point
// is under way (the module is being unloaded).
void ReleaseThreadMarks();

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_THREAD_MARK_H_
