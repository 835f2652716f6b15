#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/posix/creation_failures.h"
#include "platform/posix/thread_io.h"
#include "platform/posix/waitable.h"

namespace qrv {
namespace posix {
namespace {

// Thread ids are the seam's own, like Windows' small non-zero DWORDs.
std::atomic<DWORD> g_next_thread_id{4};
thread_local DWORD t_thread_id = 0;
// True on threads that run inside Thread::Run, the only place that catches
// a ThreadExit.
thread_local bool t_in_seam_thread = false;

DWORD NewThreadId() { return g_next_thread_id.fetch_add(4, std::memory_order_relaxed); }

// Thrown by FreeLibraryAndExitThread, caught only by Thread::Run. Not derived
// from std::exception, so that handlers of std::exception let it pass. A
// catch-all handler that swallows it would let a [[noreturn]] call return;
// the exception object's destructor turns that into a loud abort instead.
class ThreadExit {
 public:
  ThreadExit(HMODULE module, DWORD code) : module_(module), code_(code) {}
  ThreadExit(const ThreadExit&) = default;
  ThreadExit& operator=(const ThreadExit&) = delete;
  ~ThreadExit() {
    if (delivered_) return;
    std::fputs("FreeLibraryAndExitThread was swallowed by a catch-all handler\n", stderr);
    std::abort();
  }

  // Called by the thread's entry, which ends the thread as asked.
  void Deliver(HMODULE* module, DWORD* code) {
    delivered_ = true;
    *module = module_;
    *code = code_;
  }

 private:
  const HMODULE module_;
  const DWORD code_;
  bool delivered_ = false;
};

class Thread final : public Waitable {
 public:
  Thread(LPTHREAD_START_ROUTINE start, LPVOID parameter)
      : start_(start), parameter_(parameter), id_(NewThreadId()) {}

  DWORD id() const { return id_; }

  DWORD ExitCode() const {
    std::lock_guard<std::mutex> lock(WaitLock());
    return exit_code_;
  }

  // Runs on the new thread; signals the handle when the thread is done.
  void Run() {
    t_thread_id = id_;
    t_in_seam_thread = true;
    DWORD code;
    HMODULE module = nullptr;
    try {
      code = start_(parameter_);
    } catch (ThreadExit& exit) {
      exit.Deliver(&module, &code);
    }
    AwaitRequestsOfEndingThread();
    // No frame of the start routine is left: the module that holds it may go
    // now, since this code lives in the seam's own library.
    if (module != nullptr) dlclose(module);
    std::lock_guard<std::mutex> lock(WaitLock());
    exit_code_ = code;
    Signal();
  }

 private:
  const LPTHREAD_START_ROUTINE start_;
  const LPVOID parameter_;
  const DWORD id_;
  DWORD exit_code_ = STILL_ACTIVE;  // GUARDED_BY(WaitLock())
};

// The running thread owns one reference on its object, released on exit.
void* ThreadMain(void* argument) {
  std::unique_ptr<std::shared_ptr<Thread>> self(static_cast<std::shared_ptr<Thread>*>(argument));
  (*self)->Run();
  return nullptr;
}

// Starts a detached pthread running the object; returns the pthread error.
int StartThread(const std::shared_ptr<Thread>& thread) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  auto* reference = new std::shared_ptr<Thread>(thread);
  pthread_t pthread;
  const int error = pthread_create(&pthread, &attributes, ThreadMain, reference);
  pthread_attr_destroy(&attributes);
  if (error != 0) delete reference;
  return error;
}

}  // namespace
}  // namespace posix
}  // namespace qrv

using qrv::posix::Fail;
using qrv::posix::Thread;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD creationFlags, LPDWORD threadId) {
  // Suspended creation and the other flags are not offered: refusing them
  // beats running a thread the caller expected to be held.
  if (start == nullptr || creationFlags != 0) {
    return Fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  }
  DWORD error;
  if (qrv::posix::CreationMustFail(qrv::posix::CreationKind::kThread, &error)) {
    return Fail<HANDLE>(error, nullptr);
  }
  auto thread = std::make_shared<Thread>(start, parameter);
  if (qrv::posix::StartThread(thread) != 0) {
    return Fail<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
  if (threadId != nullptr) *threadId = thread->id();
  return qrv::posix::HandleTable::Instance().Insert(std::move(thread));
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  if (exitCode == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::shared_ptr<Thread> object = qrv::posix::FindObject<Thread>(thread);
  if (object == nullptr) return FALSE;
  *exitCode = object->ExitCode();
  return TRUE;
}

DWORD GetCurrentThreadId() {
  if (qrv::posix::t_thread_id == 0) qrv::posix::t_thread_id = qrv::posix::NewThreadId();
  return qrv::posix::t_thread_id;
}

DWORD GetThreadId(HANDLE thread) {
  std::shared_ptr<Thread> object = qrv::posix::FindObject<Thread>(thread);
  return object == nullptr ? 0 : object->id();
}

void FreeLibraryAndExitThread(HMODULE module, DWORD exitCode) {
  if (!qrv::posix::t_in_seam_thread) {
    // Without the seam's frame below there is nowhere safe to release the
    // module from; going on would unmap code still on this stack.
    std::fputs("FreeLibraryAndExitThread on a thread not made by CreateThread\n", stderr);
    std::abort();
  }
  throw qrv::posix::ThreadExit(module, exitCode);
}
