/* A service callback compiled with the MSVC ABI and its C++ exceptions
 * (clang-cl /EHsc, the runtime's _CxxThrowException and frame handler), as
 * a host built with Visual Studio writes one, and the counters that tell what
 * became of the objects it threw. Built as msvc_eh_callbacks.dll by its own
 * project (CMakeLists.txt here) with cmake/i686-pc-windows-msvc.cmake; the
 * Windows suite loads it at run time. C linkage: both ABIs read this. */
#ifndef QRV_TESTS_WINDOWS_MSVC_EH_MSVC_EH_CALLBACKS_H_
#define QRV_TESTS_WINDOWS_MSVC_EH_MSVC_EH_CALLBACKS_H_

#include <quorvel/quorvel.h>
#include <stdint.h>

/* What the callback does with a message, chosen by its first byte; any other
 * message is answered with a copy of itself. */
enum MsvcEhBehaviour {
  kMsvcEhThrow = 1,        /* throw Counted() out of the callback */
  kMsvcEhRethrow = 2,      /* catch it, then `throw;` */
  kMsvcEhThrowInCatch = 3, /* catch it, then throw a new Counted() */
  kMsvcEhCaughtInside = 4, /* throw and catch it inside, then answer */
};

/* Counted objects: each owns a heap block, so destroying one twice is a
 * double free in msvcrt's heap. `misdestroyed` counts destructor calls on an
 * object that was not intact (destroyed before, or its frame gone). */
typedef struct {
  int32_t made;
  int32_t destroyed;
  int32_t misdestroyed;
} MsvcEhCounts;

#define MSVC_EH_API QUORVEL_EXTERN_C __declspec(dllexport)

MSVC_EH_API void QUORVEL_STDCALL MsvcEhServe(QuorvelAllocator* allocator, void* message,
                                             uint32_t length, void* context, void** answer,
                                             uint32_t* answerLength);
MSVC_EH_API void __cdecl MsvcEhReadCounts(MsvcEhCounts* counts);
/* HeapValidate of msvcrt's heap: nonzero while it is sound. */
MSVC_EH_API int __cdecl MsvcEhHeapValid(void);
/* A host catching its own exceptions around the entry points: registers
 * `serviceId` with `callback`, throws and catches a Counted() inside the same
 * try block, unregisters it. Returns what Register returned, or -1 when the
 * catch block did not run. */
MSVC_EH_API int32_t __cdecl MsvcEhHostCatches(QuorvelRegisterFn registerService,
                                              QuorvelUnregisterFn unregisterService,
                                              uint32_t serviceId);

#endif /* QRV_TESTS_WINDOWS_MSVC_EH_MSVC_EH_CALLBACKS_H_ */
