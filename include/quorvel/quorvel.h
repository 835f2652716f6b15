// Host-facing interface of QUORVEL.DLL, for C (C11 or later) and C++ (C++11
// or later).
//
// The library serves requests that the port messaging driver raises. A host
// calls Init once, Register once per service it offers (ids 0 to 15), and
// UnInit to stop everything. The four entry points are exported by ordinal
// only (1 Init, 2 UnInit, 3 Register, 4 Unregister), with the stdcall
// convention. Two ways to reach them:
//  - link the import library (CMake: target_link_libraries(host PRIVATE
//    quorvel::quorvel), which also defines QUORVEL_IMPORTS) and call Init
//    and the others directly: the import library binds them by ordinal;
//  - or, in C++, define QUORVEL_HOST_LOADER before including this header and
//    load the module at run time with quorvel::HostLibrary, which checks
//    that it is QUORVEL.DLL and says why a load failed (quorvel/host_loader.h,
//    which this header then includes).
//
// What to pass and what comes back:
//  - Init takes one 32-bit argument that is never read: pass 0. It opens the
//    driver's control device \\.\QRVDev and starts the heartbeat.
//  - Every entry point returns QUORVEL_OK (0) or QUORVEL_E_FAIL
//    (0x80004005); UnInit returns nothing. No other code is ever returned:
//    the reason for a failure goes to the log (below), not to the caller.
//  - Init while initialised, with the heartbeat running, returns 0 and does
//    nothing. UnInit before Init, or twice, does nothing.
//  - Register for an id that is already registered returns 0 and keeps the
//    first callback and context; the new ones are not used. Unregister first
//    to change them.
//  - At most 15 services run at once: the driver has 16 ports and the
//    heartbeat holds one, so the 16th Register fails although ids 0 to 15
//    are all valid.
//  - QUORVEL_MAX_RUNNING_SERVICES (15) is that limit; QUORVEL_MAX_SERVICES
//    (16) is the number of valid ids, not how many can run.
//  - Register and Unregister before Init (or after UnInit) return
//    QUORVEL_E_FAIL and log nothing: the log channel opens with Init, so
//    no line anywhere says why. The same holds for an id above 15 and for a
//    null callback. Call Init first and check ids before calling.
//
// The heartbeat: Init starts a thread that pings the driver once a second.
// When a ping fails the library takes the driver for lost and stops every
// service (their callbacks are awaited, as by Unregister). It stays
// initialised: Unregister fails for the services so stopped, Register starts
// a fresh service for any id (no heartbeat watches it), and Init starts a new
// heartbeat: 0 from Init always means a heartbeat runs. A loss takes effect
// before the next entry point does anything else, even one that began while
// the heartbeat thread still waited to stop the services: a service whose
// Register returned 0 is never stopped by a loss that happened before that
// Register began; only a ping that fails later stops it.
//
// Recovering from a lost heartbeat. No return code or callback tells the
// host; it notices by the log line "quorvel: echo error." (each service's
// "free port" and "quit." lines follow), or on the driver's side: posts to
// its services fail for want of a port (the test kit's qrvctl says "no
// port"). To recover, call Init, then Register for each of its service ids
// with the same callbacks and contexts. After a loss Init logs "quorvel:
// stop echo." and "quorvel-Initialize successfully.", each Register
// "quorvel: allocate port[P] for service[S]" and "quorvel-Register( S ):
// success.". Both are harmless when nothing was lost: Init returns 0 and
// logs nothing; Register returns 0, keeps the running service and logs
// "quorvel-Register( S ): connection has been created.". So a host that
// cannot watch the log may run the recovery on a timer, at the cost of that
// line per service each time, but never after its UnInit: that Init would
// initialise the library again. The sample host's --recover does so
// (examples/windows-host/echo_host.c).
//
// A failed Init gives back only what it took: when it found the library not
// initialised, it closes the device and the log channel again. When it found
// the library initialised (services registered, or a lost heartbeat being
// replaced), it returns QUORVEL_E_FAIL and leaves everything running: the
// services keep serving, Register and Unregister keep working, and UnInit
// stops it all.
//
// A ping the driver leaves unanswered for a whole second counts as failed.
// No entry point waits on a driver that stops answering: a port request it
// holds for a second is cancelled and Init or Register fails. A stop frees
// the port (or closes the heartbeat's), and the driver completes what its
// threads still wait for; what is still pending one second after the free
// returned is cancelled. That second covers a completion on its way to a
// thread on a busy machine, and a cancel is never sent while the driver may
// be completing the same request. UnInit and a lost heartbeat, which stop
// several services in turn, wait that second once: after a stop that had
// to cancel, the next ones cancel right after their free.
// A driver that ignores the cancellation (one without a cancel routine) is
// given one second more; then the request is abandoned to it: its memory,
// and every buffer of the thread that sent it, stay allocated for the driver
// to complete into until it does, and one line is logged (below). The next
// entry point after that completion frees them. An abandoned port request fails
// Init or Register; an abandoned free-port or close request lets
// Unregister and UnInit go on. A port that the driver grants to an abandoned
// request after all is given back by the next entry point (at the latest as
// it returns), with one line: "quorvel: port[N] granted after its request
// was abandoned, given back; control code C" (C 8300240c for the heartbeat's
// port, 83002414 for a service's), so that a Register of that service's id
// then succeeds. Only the library's own threads cannot walk
// away: on Windows a thread that ends with a request outstanding is held by
// the kernel until that request completes. So such a driver can still hold
// exactly two waits: the library thread that sent the request (the
// heartbeat's ping, a worker's bind, receive or reply), and a stop that
// waits for that thread (Unregister, UnInit, a lost heartbeat's teardown),
// with the library's lock held; the stop logs "still waiting" (below).
//
// Diagnostics:
//  - Messages ("quorvel-Init: open device failed.", ...) go to the log
//    component of the product's framework module PXCOM.dll when the host has
//    loaded that module before Init; without it the library runs silently.
//    To see them while testing, load the test kit's stand-in PXCOM.dll
//    before Init and call its PxControl_SetEcho(1) (declared in the test
//    kit's px_control.h): every line then goes to standard error too.
//  - A worker writes "DeviceIoControl : N.\n" (N the Win32 error in
//    decimal) to the process's standard output each time a receive fails at
//    once. That includes every message of more than 1020 payload bytes
//    (the worker's first buffer holds 1024 bytes, the 4-byte header
//    included) when the driver reports it at once: five lines with
//    122 before the message is received into a larger block. These lines
//    cannot be turned off; a host whose standard output matters redirects
//    it.
//  - Those lines go to the standard output of msvcrt.dll, the C runtime the
//    library uses, not to that of the host's own runtime: a host on another
//    C runtime (ucrtbase.dll, a static one) does not capture them with
//    freopen or _dup2 on its stdout. msvcrt.dll takes the process's standard
//    output handle when it is first loaded into the process. To capture the
//    lines, either redirect at the OS level (the process's standard output
//    given at its creation: a shell redirection, STARTUPINFO.hStdOutput of
//    CreateProcess), or call SetStdHandle(STD_OUTPUT_HANDLE, ...) before
//    msvcrt.dll is first loaded, in practice before the first load of
//    QUORVEL.DLL, and so before the library prints its first line.
//  - While the log is open (from Init to UnInit) the library holds one
//    reference on PXCOM.dll: a host that frees the framework meanwhile
//    keeps logging working, and the module unloads at UnInit.
//  - A stop (Unregister, UnInit, a lost heartbeat) that has waited 5 s for
//    a service's threads logs once "quorvel: still waiting for service[S]
//    port[P] thread id[T, ...] after 5 s." naming the threads (Windows
//    thread ids, decimal) that have not ended, usually in a callback that
//    has not returned, and waits on. The heartbeat's thread would be
//    reported as service[15] with the heartbeat's port; a ping the driver
//    holds is cancelled one second into the stop, so only a driver that
//    ignores the cancellation can keep it. An "abandoned" line for one of those threads'
//    requests says that the driver holds the thread, not a callback.
//  - A request whose cancellation the driver ignores is abandoned with one
//    line: "quorvel: request abandoned, the driver ignored its cancellation;
//    control code C" (C the control code in hexadecimal: 83002404 create
//    echo port, 83002408 ping, 8300240c close echo port, 83002410 allocate
//    port, 83002414 free port, 83002418 bind, 8300241e receive, 83002421
//    reply).
//
// Threads: any host thread may call any entry point at any time. One lock
// inside the library serialises the four entry points (and the heartbeat's
// teardown after a lost ping), so a call waits while another runs, and each
// holds the lock for all of its own waits:
//  - Init waits for the driver's answer to the heartbeat's port request (a
//    request held for a second is cancelled and Init fails), and, when it
//    replaces a lost heartbeat, for that heartbeat's thread to end;
//  - Register waits for the driver's answer to its port request (likewise),
//    and, when it replaces a service that no longer serves, for that
//    service's threads to end;
//  - Unregister and UnInit wait, without a time limit, until every running
//    callback of the services they stop has returned and the threads have
//    ended; UnInit then waits for the heartbeat's thread (at most about one
//    ping).
// A callback that does not return therefore holds up every entry point on
// every thread: a callback must return in bounded time.
//
// Rules for callbacks and threads:
//  - A service callback runs on one of the service's three worker threads;
//    up to three calls for one service may run at once, with the same
//    context.
//  - Re-entry, for every thread: an entry point may be called only on a
//    host thread that is not already inside an entry point. Called on one
//    of the library's own threads (inside a service callback, or inside
//    PXCOM.dll's log sink while a worker or the heartbeat logs) it would
//    wait for its own thread, or for a stop that waits for it. Called on a
//    host thread that is inside an entry point already (PXCOM.dll's log
//    sink runs on whichever thread logs, so during an entry point it runs on
//    the caller's thread, under the library's lock) it would tear state down
//    under the entry point that runs. Either way it returns at once, before
//    it takes the lock: Init, Register and Unregister return QUORVEL_E_FAIL
//    and UnInit does nothing, and each logs one line:
//      "quorvel-Init: refused on a library thread (inside a callback)."
//      "quorvel-UnInit: ignored on a library thread (inside a callback)."
//      "quorvel-Register( S ): refused on a library thread (inside a callback)."
//      "quorvel-Unregister( S ): refused on a library thread (inside a callback)."
//      "quorvel-Init: refused inside an entry point."
//      "quorvel-UnInit: ignored inside an entry point."
//      "quorvel-Register( S ): refused inside an entry point."
//      "quorvel-Unregister( S ): refused inside an entry point."
//    A refusal made while the sink is handling another refusal's line is
//    not logged, so a sink that calls an entry point for every line cannot
//    recurse without end. The message in hand is still answered, the
//    service goes on serving and the outer entry point goes on undisturbed.
//    To end a service from its callback or from the sink, have another host
//    thread call Unregister.
//  - Every entry point may wait for library threads to end: Init after a
//    failed start, Register when it replaces a stopped service or after a
//    failed thread start, Unregister, and UnInit. A thread that ends needs
//    the loader lock, so no entry point may be called while the caller
//    holds it: not from DllMain, a TLS callback, or the constructor or
//    destructor of a static object in a DLL. Such a call deadlocks.
//  - A callback that lets an exception escape costs its service one of its
//    three workers for good: that worker ends, without a reply for the
//    message, and nothing replaces it. It logs one line, then its "quit."
//    line:
//      "quorvel: callback exception. service[S] port[P] thread[T] code[0xC]"
//    (C the exception code in hexadecimal: e06d7363 for a C++ exception).
//    After three such exceptions the service takes no more messages (they
//    wait at the driver until Unregister or UnInit fails them back) and logs
//    nothing more, yet it stays registered: Register for its id then
//    replaces it with a fresh service (with the new callback and context),
//    and Unregister returns 0 for it. Hosts built with MSVC raise
//    C++ exceptions as structured exceptions (code 0xE06D7363), which the
//    library catches; it destroys the thrown object as a catch-all would,
//    except for an exception that leaves a catch block (`throw;`, or a new
//    throw inside a catch): that object stays with the C++ runtime and may
//    leak, at most one per ended worker. A C++ exception thrown by code built with mingw-w64
//    (DWARF-2 unwinding, its own static runtime) cannot cross into the
//    library at all: the process terminates. Catch everything inside the
//    callback. Processor faults (access violations) are never caught.
//  - Unloading the library without UnInit stops nothing. Each library
//    thread holds its own reference on the module, so FreeLibrary leaves it
//    mapped while services or the heartbeat run: the services keep serving
//    and calling the host's callbacks (whose code must stay loaded), and a
//    second LoadLibrary gets the same module, still initialised (Init
//    returns 0 at once; UnInit stops everything). The reference the open log
//    holds on PXCOM.dll is never dropped then (the module's detach runs
//    under the loader lock, where freeing a library is unsafe), so the
//    framework stays loaded for the life of the process. Call UnInit before
//    the last FreeLibrary.
//
// Buffer lifetimes: see UcServiceCallback and the allocator below.
#ifndef QUORVEL_QUORVEL_H_
#define QUORVEL_QUORVEL_H_

#include <stdint.h>

#define QUORVEL_VERSION_MAJOR 1
#define QUORVEL_VERSION_MINOR 0
#define QUORVEL_VERSION_PATCH 0

#if defined(_WIN32)
#define QUORVEL_STDCALL __stdcall
#else
#define QUORVEL_STDCALL
#endif

#if defined(__cplusplus)
#define QUORVEL_EXTERN_C extern "C"
#else
#define QUORVEL_EXTERN_C
#endif

typedef enum QuorvelOrdinal {
  kQuorvelOrdinalInit = 1,
  kQuorvelOrdinalUnInit = 2,
  kQuorvelOrdinalRegister = 3,
  kQuorvelOrdinalUnregister = 4
} QuorvelOrdinal;

#define QUORVEL_OK 0
#if defined(__cplusplus)
#define QUORVEL_E_FAIL (static_cast<int32_t>(0x80004005u))
#else
#define QUORVEL_E_FAIL ((int32_t)0x80004005u)
#endif
#define QUORVEL_MAX_SERVICES 16u
// At most this many services run at once: the heartbeat holds one of the
// driver's 16 ports.
#define QUORVEL_MAX_RUNNING_SERVICES 15u

#if defined(__cplusplus)
namespace NIMUC {

// Lends memory for one message. Every block stays valid until the worker has
// sent the reply, then the worker releases all of them at once: never release
// a block, never keep one, never hand the allocator to another thread.
class IAllocator {
 public:
  // Returns a block of at least `size` bytes, or null when no memory can be
  // had. The only slot of the table; stdcall, 8 bytes of arguments.
  virtual void* QUORVEL_STDCALL Allocate(uint32_t size) = 0;

 protected:
  ~IAllocator() = default;
};

}  // namespace NIMUC
typedef NIMUC::IAllocator QuorvelAllocator;
#else
// The same object seen from C: a pointer to a table whose one slot is
// Allocate, called with the object itself as its first argument. Use
// QuorvelAllocate(allocator, size). The lending rules are those of
// NIMUC::IAllocator above.
typedef struct QuorvelAllocator QuorvelAllocator;
typedef struct QuorvelAllocatorTable {
  void*(QUORVEL_STDCALL* Allocate)(QuorvelAllocator* self, uint32_t size);
} QuorvelAllocatorTable;
struct QuorvelAllocator {
  const QuorvelAllocatorTable* table;
};

static inline void* QuorvelAllocate(QuorvelAllocator* allocator, uint32_t size) {
  return allocator->table->Allocate(allocator, size);
}
#endif

// Called for every message of a service. `message` and `length` hold the
// payload, valid until the callback returns. The callback may store the
// address and length of its answer in *answer and *answerLength (null and 0
// on entry); the answer must lie in allocator blocks or in memory that stays
// valid until the reply is sent, after the callback has returned. The answer
// is only ever read, by the library and by the driver, never written: it may
// lie in read-only memory (a constant), in the message itself, or anywhere
// inside a block the allocator lent. Whether a reply is sent depends only on
// the driver's message header, never on the callback. When the driver keeps
// a reply after the service has stopped (it ignores the cancellation), every
// allocator block of the message, and the message buffer, stay allocated
// for the driver until it completes the reply.
typedef void(QUORVEL_STDCALL* UcServiceCallback)(QuorvelAllocator* allocator, void* message,
                                                 uint32_t length, void* context, void** answer,
                                                 uint32_t* answerLength);

typedef int32_t(QUORVEL_STDCALL* QuorvelInitFn)(uint32_t unused);
typedef void(QUORVEL_STDCALL* QuorvelUnInitFn)(void);
typedef int32_t(QUORVEL_STDCALL* QuorvelRegisterFn)(uint32_t serviceId, UcServiceCallback callback,
                                                    void* context);
typedef int32_t(QUORVEL_STDCALL* QuorvelUnregisterFn)(uint32_t serviceId);

#if defined(QUORVEL_IMPORTS)
// The entry points themselves, for hosts that link the import library, which
// binds them by ordinal. Defined by the CMake target quorvel::quorvel; a host
// with functions of these names of its own uses the loader (host_loader.h)
// instead.
#if defined(_WIN32)
#define QUORVEL_IMPORT __declspec(dllimport)
#else
#define QUORVEL_IMPORT
#endif
QUORVEL_EXTERN_C QUORVEL_IMPORT int32_t QUORVEL_STDCALL Init(uint32_t unused);
QUORVEL_EXTERN_C QUORVEL_IMPORT void QUORVEL_STDCALL UnInit(void);
QUORVEL_EXTERN_C QUORVEL_IMPORT int32_t QUORVEL_STDCALL Register(uint32_t serviceId,
                                                                 UcServiceCallback callback,
                                                                 void* context);
QUORVEL_EXTERN_C QUORVEL_IMPORT int32_t QUORVEL_STDCALL Unregister(uint32_t serviceId);
#endif  // QUORVEL_IMPORTS

#if defined(QUORVEL_HOST_LOADER) && defined(__cplusplus)
#include "host_loader.h"
#endif

#endif  // QUORVEL_QUORVEL_H_
