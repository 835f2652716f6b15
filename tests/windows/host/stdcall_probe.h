// Calls across the library's stdcall boundary with the stack pointer
// watched (stdcall_probe.S), in both directions: the host calling the
// library (the four entry points, IAllocator::Allocate) and the library
// calling the host (the service callback).
#ifndef QRV_TESTS_WINDOWS_HOST_STDCALL_PROBE_H_
#define QRV_TESTS_WINDOWS_HOST_STDCALL_PROBE_H_

#include <cstdint>

#include "quorvel/quorvel.h"

namespace qrv {
namespace wintest {

// The six arguments of a UcServiceCallback as stdcall lays them out above
// the return address.
struct CallbackFrame {
  NIMUC::IAllocator* allocator;
  void* message;
  uint32_t length;
  void* context;
  void** answer;
  uint32_t* answerLength;
};
static_assert(sizeof(CallbackFrame) == 24, "a UcServiceCallback takes 24 bytes of arguments");

}  // namespace wintest
}  // namespace qrv

extern "C" {

// Calls `function` with `count` 32-bit arguments pushed right to left, and
// args[0] also in ECX. Stores in *bytesLeft how many argument bytes the
// callee left on the stack (0 for a stdcall callee of exactly these
// arguments) and returns the callee's 32-bit result. Survives any imbalance.
uint32_t qrv_stdcall_probe(const void* function, const uint32_t* args, uint32_t count,
                           int32_t* bytesLeft);

// The service callback the host registers: an assembly entry stub that hands
// its arguments to qrv_service_entry and returns with `ret $24`.
void __stdcall qrv_service_stub(NIMUC::IAllocator* allocator, void* message, uint32_t length,
                                void* context, void** answer, uint32_t* answerLength);

// Called by the stub on the library's worker thread with the address of the
// callback's arguments and the stack pointer at the stub's entry. Defined in
// host_service.cc.
void qrv_service_entry(const qrv::wintest::CallbackFrame* frame, uintptr_t entryStack);

}  // extern "C"

#endif  // QRV_TESTS_WINDOWS_HOST_STDCALL_PROBE_H_
