#include <cstddef>
#include <cstdint>

#include "platform/exception_guard.h"
#include "platform/win32.h"

// unwind_thunk_win32.S: RtlUnwind(frame, 0, record, 0) with the callee-saved
// registers kept across it, which Windows' own RtlUnwind clears.
extern "C" void __stdcall qrv_unwind_to_frame(void* frame, EXCEPTION_RECORD* record);

// GCC on i686 has no __try. The guard therefore links a registration record
// of its own into the thread's chain of structured exception handlers
// (FS:[0]) around the call. Frame-based handlers run innermost first, so a
// host that catches its own exceptions inside the call keeps them; only what
// would leave the call reaches this frame. It then lets the inner frames
// unwind (RtlUnwind runs their cleanup, MSVC destructors included), destroys
// a caught C++ object as a catch-all would, and resumes after the call with
// the registers saved before it.
namespace {

constexpr DWORD kMsvcCppException = 0xE06D7363;

// Codes the everything-catching scope lets through, because swallowing them
// breaks what comes after: a stack overflow leaves the thread without the
// guard page that only returning through the fault restores, a breakpoint,
// single step or assertion failure is addressed to a debugger, a possible
// deadlock is raised from inside a lock wait that unwinding would abandon
// half-done, and heap corruption and a stack buffer overrun report memory
// that can no longer be trusted. Whether a code is marked noncontinuable
// does not matter: the guard never continues, it unwinds.
constexpr DWORD kNeverSwallowed[] = {
    0xC00000FD,  // stack overflow
    0x80000003,  // breakpoint
    0x80000004,  // single step
    0xC0000420,  // assertion failure
    0xC0000194,  // possible deadlock
    0xC0000374,  // heap corruption
    0xC0000409,  // stack buffer overrun
};

// The magic numbers in ExceptionInformation[0] of an MSVC C++ throw whose
// record carries the thrown object in [1] and its throw info in [2].
constexpr ULONG_PTR kThrowMagics[] = {0x19930520, 0x19930521, 0x19930522};
constexpr DWORD kThrowParameters = 3;

// The leading part of the x86 throw info record that MSVC-built code hands
// over with each throw.
struct ThrowInfo {
  uint32_t attributes;
  void(__thiscall* destructor)(void* object);  // null for a trivially destructible object
  const void* forwardCompat;
  const void* catchableTypes;
};
static_assert(offsetof(ThrowInfo, destructor) == 4 && sizeof(ThrowInfo) == 16,
              "the x86 throw info record");

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

template <typename T, size_t N>
bool Contains(const T (&values)[N], T value) {
  for (T candidate : values) {
    if (candidate == value) return true;
  }
  return false;
}

bool Catches(GuardScope scope, DWORD code) {
  if (scope == GuardScope::kEverything) return !Contains(kNeverSwallowed, code);
  return code == kMsvcCppException;
}

// Runs the destructor of the object an MSVC C++ throw carries, as the end of
// a catch does. Anything else carries no object of ours to destroy. The
// object lives in the thrower's frame, which is intact until the guard
// resumes. Whatever the destructor raises meets this guard's frame again.
void DestroyThrownObject(const EXCEPTION_RECORD& exception) {
  if (exception.ExceptionCode != kMsvcCppException ||
      exception.NumberParameters < kThrowParameters ||
      !Contains(kThrowMagics, exception.ExceptionInformation[0])) {
    return;
  }
  void* object = reinterpret_cast<void*>(exception.ExceptionInformation[1]);
  const auto* info = reinterpret_cast<const ThrowInfo*>(exception.ExceptionInformation[2]);
  if (object != nullptr && info != nullptr && info->destructor != nullptr) info->destructor(object);
}

EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* exception, void* establisher, CONTEXT*,
                                           void*) {
  auto* frame = static_cast<GuardFrame*>(establisher);
  if ((exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0 ||
      !Catches(frame->scope, exception->ExceptionCode)) {
    return ExceptionContinueSearch;
  }
  qrv_unwind_to_frame(establisher, exception);
  DestroyThrownObject(*exception);
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
