#include "host/host_catch.h"

namespace qrv {
namespace wintest {
namespace {

// A registration record linked into the thread's chain (FS:[0]) for the
// call, with where to resume once an exception has been unwound to it.
struct CatchFrame {
  EXCEPTION_REGISTRATION_RECORD record;  // first: the chain points at it
  void* resume[5];
  volatile DWORD code;
};

EXCEPTION_DISPOSITION __cdecl CatchAll(EXCEPTION_RECORD* exception, void* establisher, CONTEXT*,
                                       void*) {
  if ((exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0)
    return ExceptionContinueSearch;
  auto* frame = static_cast<CatchFrame*>(establisher);
  frame->code = exception->ExceptionCode;
  RtlUnwind(establisher, nullptr, exception, nullptr);
  __builtin_longjmp(frame->resume, 1);
}

}  // namespace

DWORD CallCatchingAll(const std::function<void()>& call) {
  CatchFrame frame = {};
  // Handlers are called __cdecl; the headers declare the slot stdcall.
  frame.record.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(reinterpret_cast<void*>(&CatchAll));
  __asm__ volatile("movl %%fs:0, %0" : "=r"(frame.record.Next));
  __asm__ volatile("movl %0, %%fs:0" : : "r"(&frame.record) : "memory");
  if (__builtin_setjmp(frame.resume) == 0) call();
  __asm__ volatile("movl %0, %%fs:0" : : "r"(frame.record.Next) : "memory");
  return frame.code;
}

}  // namespace wintest
}  // namespace qrv
