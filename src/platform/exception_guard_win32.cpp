#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "platform/exception_guard.h"
#include "platform/win32.h"

namespace qrv {

// unwind_thunk_win32.S: RtlUnwind(frame, 0, record, 0) with the callee-saved
// registers kept across it, which Windows' own RtlUnwind clears.
extern "C" void __stdcall qrv_unwind_to_frame(void* frame, EXCEPTION_RECORD* record);

// The i686 MinGW toolchain has no __try, so the guard links its own record
// into the thread's handler chain (FS:[0]) around the call. Handlers run
// innermost first: the host keeps what it catches inside the call. What would
// leave the call is caught here: the inner frames are unwound (their cleanup
// runs), a C++ object destroyed as a catch-all would (see ObjectToDestroy),
// and execution resumes after the call with the registers saved before it.
namespace {

// Let through even by kEverything: only returning through a stack overflow
// restores the guard page, debugger events belong to a debugger, a possible
// deadlock comes from inside a lock wait that unwinding would abandon, and a
// corrupted heap or stack cannot be trusted. The guard never continues, so
// whether a code is noncontinuable does not matter.
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

// The leading part of the x86 throw info that MSVC-built code throws with.
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
  return std::find(values, values + N, value) != values + N;
}

bool Catches(GuardScope scope, DWORD code) {
  if (scope == GuardScope::kEverything) return !Contains(kNeverSwallowed, code);
  return code == kCppExceptionCode;
}

// True when a frame between the chain's head and the guard's was linked by a
// C++ runtime module (one exporting _CxxThrowException), under which runtimes
// run catch blocks: the exception is leaving one. Read before the unwind.
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

// The MSVC throw's object the guard must destroy, or null: at most once, and
// only one the runtime has no claim on.
//  - A record outside the throw protocol, or naming no object, throw info or
//    destructor, carries nothing (a null field is never followed). MSVC's
//    rethrow (`throw;`) looks so; its object, kept for a catcher, leaks.
//  - An exception leaving a catch block is left alone: Wine's runtime gives a
//    rethrow a copy of the handled record and destroys that object itself. A
//    new throw there looks the same, and its object leaks.
//  - Any other throw's object lives in the thrower's frame, intact until the
//    guard resumes; nobody else destroys it.
// Each leak is at most one object per ended worker.
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

// True when the call returned. Own-runtime C++ exceptions unwind by DWARF
// tables, not through the chain.
bool CallCatchingCpp(void (*call)(void*), void* context) {
  try {
    call(context);
    return true;
  } catch (...) {
    return false;
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
    returned = CallCatchingCpp(call, context);
  }
  SetChainHead(frame.record.Next);
  return returned ? Result::Success() : Result::Failure(frame.code);
}

}  // namespace qrv
