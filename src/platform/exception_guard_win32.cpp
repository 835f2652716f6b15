#include <cstddef>
#include <cstdint>

#include "platform/exception_guard.h"
#include "platform/win32.h"

namespace qrv {

// unwind_thunk_win32.S: RtlUnwind(frame, 0, record, 0) with the callee-saved
// registers kept across it, which Windows' own RtlUnwind clears.
extern "C" void __stdcall qrv_unwind_to_frame(void* frame, EXCEPTION_RECORD* record);

// GCC on i686 has no __try. The guard therefore links a registration record
// of its own into the thread's chain of structured exception handlers
// (FS:[0]) around the call. Frame-based handlers run innermost first, so a
// host that catches its own exceptions inside the call keeps them; only what
// would leave the call reaches this frame. It then lets the inner frames
// unwind (RtlUnwind runs their cleanup, MSVC destructors included), destroys
// a caught C++ object as a catch-all would (at most once: see
// ObjectToDestroy), and resumes after the call with the registers saved
// before it.
namespace {

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
  volatile DWORD code;  // of the exception caught, read after the longjmp
  void* resume[5];      // __builtin_setjmp buffer
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
  return code == kCppExceptionCode;
}

// True when a frame between the head of the chain and the guard's own was
// linked by a C++ runtime module (one that exports _CxxThrowException)
// rather than by compiled code: runtimes run catch blocks under such a frame,
// so the exception is leaving a catch block. Read before the unwind, while
// the chain is intact.
bool LeavesCatchBlock(const EXCEPTION_REGISTRATION_RECORD* guard) {
  const auto* end = reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD*>(~uintptr_t{0});
  for (auto* frame = static_cast<const EXCEPTION_REGISTRATION_RECORD*>(ChainHead());
       frame != nullptr && frame != end && frame != guard; frame = frame->Next) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(reinterpret_cast<const void*>(frame->Handler), &region, sizeof region) == 0 ||
        region.Type != MEM_IMAGE) {
      continue;
    }
    auto* module = static_cast<HMODULE>(region.AllocationBase);
    if (GetProcAddress(module, "_CxxThrowException") != nullptr) return true;
  }
  return false;
}

// The object of an MSVC C++ throw that the guard must destroy, as the end of
// a catch-all would, or null. The rule: the guard destroys an object at most
// once, and only one the runtime has no claim on.
//  - A record that is not of the throw protocol, or names no object, no
//    throw info or no destructor, carries nothing to destroy; a null field is
//    never followed. MSVC's runtime raises a rethrow (`throw;`) so, and
//    keeps the object for its eventual catcher: here that object leaks, one
//    per ended worker, because the guard cannot reach it.
//  - An exception leaving a catch block is left alone: Wine's runtime turns a
//    rethrow's record into a copy of the one it was handling and destroys
//    that object itself when it unwinds the catch block, and a record alone
//    cannot tell that rethrow from a new throw inside the catch block. The
//    new object of such a throw leaks, again at most one per ended worker.
//  - Any other throw's object lives in the thrower's frame, which is intact
//    until the guard resumes; nobody else destroys it.
void* ObjectToDestroy(const EXCEPTION_RECORD& exception, const GuardFrame& frame,
                      const ThrowInfo** info) {
  if (exception.ExceptionCode != kCppExceptionCode ||
      exception.NumberParameters < kThrowParameters ||
      !Contains(kThrowMagics, exception.ExceptionInformation[0])) {
    return nullptr;
  }
  void* object = reinterpret_cast<void*>(exception.ExceptionInformation[1]);
  *info = reinterpret_cast<const ThrowInfo*>(exception.ExceptionInformation[2]);
  if (object == nullptr || *info == nullptr || (*info)->destructor == nullptr) return nullptr;
  return LeavesCatchBlock(&frame.record) ? nullptr : object;
}

EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* exception, void* establisher, CONTEXT*,
                                           void*) {
  auto* frame = static_cast<GuardFrame*>(establisher);
  if ((exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0 ||
      !Catches(frame->scope, exception->ExceptionCode)) {
    return ExceptionContinueSearch;
  }
  // Decided before the unwind, which takes down the frames the rule reads.
  const ThrowInfo* info = nullptr;
  void* object = ObjectToDestroy(*exception, *frame, &info);
  frame->code = exception->ExceptionCode;
  qrv_unwind_to_frame(establisher, exception);
  // Whatever the destructor raises meets this guard's frame again.
  if (object != nullptr) info->destructor(object);
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

Result CallGuarded(void (*call)(void* context), void* context, GuardScope scope) {
  GuardFrame frame;
  frame.scope = scope;
  frame.code = kCppExceptionCode;  // unless the handler catches a structured exception
  // The dispatcher calls a frame's handler __cdecl and restores the stack
  // itself; the headers declare the slot stdcall, hence the cast via void*.
  frame.record.Handler =
      reinterpret_cast<PEXCEPTION_ROUTINE>(reinterpret_cast<void*>(&GuardHandler));
  frame.record.Next = static_cast<EXCEPTION_REGISTRATION_RECORD*>(ChainHead());
  volatile bool returned = false;
  if (__builtin_setjmp(frame.resume) == 0) {
    SetChainHead(&frame.record);
    bool completed = false;
    CallCatchingCpp(call, context, &completed);
    returned = completed;
  }
  SetChainHead(frame.record.Next);
  return returned ? Result::Success() : Result::Failure(frame.code);
}

}  // namespace qrv
