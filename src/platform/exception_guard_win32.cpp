#include "platform/exception_guard.h"
#include "platform/win32.h"

// GCC on i686 has no __try. The guard therefore links a registration record
// of its own into the thread's chain of structured exception handlers
// (FS:[0]) around the call. Frame-based handlers run innermost first, so a
// host that catches its own exceptions inside the call keeps them; only what
// would leave the call reaches this frame. It then lets the inner frames
// unwind (RtlUnwind runs their cleanup, MSVC destructors included) and
// resumes after the call with the registers saved before it.
namespace {

constexpr DWORD kMsvcCppException = 0xE06D7363;

struct GuardFrame {
  // Must come first: the chain points at it and the handler casts back.
  EXCEPTION_REGISTRATION_RECORD record;
  GuardScope scope;
  void* resume[5];  // __builtin_setjmp buffer
};

void* ChainHead() {
  void* head;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

void SetChainHead(void* head) { __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory"); }

bool Catches(GuardScope scope, DWORD code) {
  return scope == GuardScope::kEverything || code == kMsvcCppException;
}

EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* exception, void* establisher, CONTEXT*,
                                           void*) {
  auto* frame = static_cast<GuardFrame*>(establisher);
  if ((exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0 ||
      !Catches(frame->scope, exception->ExceptionCode)) {
    return ExceptionContinueSearch;
  }
  RtlUnwind(establisher, nullptr, exception, nullptr);
  __builtin_longjmp(frame->resume, 1);
}

// Own-runtime C++ exceptions unwind by DWARF tables, not through the chain.
void CallCatchingCpp(void (*call)(void*), void* context, bool* returned) {
  try {
    call(context);
    *returned = true;
  } catch (...) {
    *returned = false;
  }
}

}  // namespace

bool CallGuarded(void (*call)(void* context), void* context, GuardScope scope) {
  GuardFrame frame;
  frame.scope = scope;
  frame.record.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(&GuardHandler);
  frame.record.Next = static_cast<EXCEPTION_REGISTRATION_RECORD*>(ChainHead());
  volatile bool returned = false;
  if (__builtin_setjmp(frame.resume) == 0) {
    SetChainHead(&frame.record);
    bool completed = false;
    CallCatchingCpp(call, context, &completed);
    returned = completed;
  }
  SetChainHead(frame.record.Next);
  return returned;
}
