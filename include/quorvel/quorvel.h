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
//    that it is QUORVEL.DLL and says why a load failed.
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
// A failed Init gives back only what it took: when it found the library not
// initialised, it closes the device and the log channel again. When it found
// the library initialised (services registered, or a lost heartbeat being
// replaced), it returns QUORVEL_E_FAIL and leaves everything running: the
// services keep serving, Register and Unregister keep working, and UnInit
// stops it all.
//
// A ping the driver leaves unanswered for a whole second counts as failed.
// No entry point waits on a driver that stops answering: a port request it
// holds for a second is cancelled and Init or Register fails; the requests
// of a stopping service are cancelled, so Unregister and UnInit return.
// A driver that ignores the cancellation (one without a cancel routine) is
// given one second more; then the request is abandoned to it: its memory
// stays allocated for the driver to complete into, for the life of the
// process, and one line is logged (below). An abandoned port request fails
// Init or Register; an abandoned free-port or close request lets
// Unregister and UnInit go on. Only the library's own threads cannot walk
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
//  - A worker writes "DeviceIoControl : N.\n" (N the Win32 error in
//    decimal) to the process's standard output each time a receive fails at
//    once. That includes every message too large for the worker's first
//    1024-byte buffer when the driver reports it at once: five lines with
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
//    holds is cancelled by the stop, so only a driver that ignores the
//    cancellation can keep it. An "abandoned" line for one of those threads'
//    requests says that the driver holds the thread, not a callback.
//  - A request whose cancellation the driver ignores is abandoned with one
//    line: "quorvel: request[0xC] abandoned, the driver ignored its
//    cancellation." (C the control code in hexadecimal: 83002404 create
//    echo port, 83002408 ping, 8300240c close echo port, 83002410 allocate
//    port, 83002414 free port, 83002418 bind, 8300241e receive, 83002421
//    reply).
//
// Rules for callbacks and threads:
//  - A service callback runs on one of the service's three worker threads;
//    up to three calls for one service may run at once, with the same
//    context.
//  - Unregister and UnInit return only after every running callback of the
//    services they stop has returned, and they hold the library's lock while
//    they wait. A callback must therefore return in bounded time and must
//    not call the entry points.
//  - Every entry point may wait for library threads to end: Init after a
//    failed start, Register when it replaces a stopped service or after a
//    failed thread start, Unregister, and UnInit. A thread that ends needs
//    the loader lock, so no entry point may be called while the caller
//    holds it: not from DllMain, a TLS callback, or the constructor or
//    destructor of a static object in a DLL. Such a call deadlocks.
//  - A callback that lets a C++ exception escape ends the worker thread that
//    called it, without a reply for that message. Hosts built with MSVC raise
//    C++ exceptions as structured exceptions (code 0xE06D7363), which the
//    library catches; it destroys the thrown object as a catch-all would,
//    except for an exception that leaves a catch block (`throw;`, or a new
//    throw inside a catch): that object stays with the C++ runtime and may
//    leak, at most one per ended worker. A C++ exception thrown by code built with mingw-w64
//    (DWARF-2 unwinding, its own static runtime) cannot cross into the
//    library at all: the process terminates. Catch everything inside the
//    callback. Processor faults (access violations) are never caught.
//  - Unloading the library without UnInit is safe: threads that still run
//    keep the module mapped until they end.
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
// valid until the reply is sent, after the callback has returned. Whether a
// reply is sent depends only on the driver's message header, never on the
// callback.
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
// with functions of these names of its own uses the loader below instead.
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

#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace quorvel {

// Loads QUORVEL.DLL at run time and resolves its four entry points as a host
// does: by ordinal on Windows, by name elsewhere (ELF has no ordinals).
// Unloads it on destruction.
//
// On Windows the module is looked for only in the directory of the host's
// executable and in the system directory (LoadLibraryEx with
// LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32), or at
// the absolute path given: never in the current directory or on PATH, where
// anyone could plant a QUORVEL.DLL of their own. It accepts only the module
// whose export table names itself QUORVEL.DLL and exports exactly ordinals 1
// to 4 without names; anything else is unloaded again and Loaded() is
// false. Error() then says why, naming the path given: the system's text for
// a module that did not load, the name a foreign module gave itself, or the
// ordinal that is missing.
//
// Which constructor: the wide one takes any path Windows can name. The
// narrow one passes its bytes through the ANSI code page (LoadLibraryExA),
// so a UTF-8 path with characters outside that code page fails with error
// 126 (module not found): convert such a path to UTF-16
// (MultiByteToWideChar with CP_UTF8) and use the wide constructor. Elsewhere
// only the narrow one exists, and it takes the path as the file system does.
class HostLibrary {
 public:
  explicit HostLibrary(const char* path) : module_(Open(path)), error_(LoadError()) { Bind(path); }
#if defined(_WIN32)
  explicit HostLibrary(const wchar_t* path) : module_(Open(path)), error_(LoadError()) {
    Bind(Utf8(path));
  }
#endif
  HostLibrary(const HostLibrary&) = delete;
  HostLibrary& operator=(const HostLibrary&) = delete;
  ~HostLibrary() { Unload(); }

  // True when the module loaded, is QUORVEL.DLL and all four entry points
  // were found.
  bool Loaded() const { return module_ != nullptr; }
  // Why the load failed; empty after a successful load.
  const std::string& Error() const { return error_; }

  // Unloads the module now and resets every entry point to null.
  void Unload() {
    if (module_ != nullptr) {
#if defined(_WIN32)
      FreeLibrary(static_cast<HMODULE>(module_));
#else
      dlclose(module_);
#endif
    }
    module_ = nullptr;
    init = nullptr;
    unInit = nullptr;
    registerService = nullptr;
    unregisterService = nullptr;
  }

  QuorvelInitFn init = nullptr;
  QuorvelUnInitFn unInit = nullptr;
  QuorvelRegisterFn registerService = nullptr;
  QuorvelUnregisterFn unregisterService = nullptr;

 private:
#if defined(_WIN32)
  // The application's directory and the system directory; an absolute path
  // is taken as it is.
  static constexpr DWORD kSearch =
      LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
  static void* Open(const char* path) { return LoadLibraryExA(path, nullptr, kSearch); }
  static void* Open(const wchar_t* path) { return LoadLibraryExW(path, nullptr, kSearch); }

  // The path as error messages name it.
  static std::string Utf8(const wchar_t* path) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, path, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return std::string();
    std::string text(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path, -1, &text[0], size, nullptr, nullptr);
    text.resize(static_cast<size_t>(size - 1));
    return text;
  }
#else
  static void* Open(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
#endif

  // Read at once after the load, before anything can overwrite the error.
  std::string LoadError() const { return module_ == nullptr ? SystemError() : std::string(); }

  void Bind(const std::string& path) {
    if (module_ == nullptr) {
      error_ = "cannot load " + path + ": " + error_;
      return;
    }
    error_ = Identify();
    if (error_.empty()) {
      init = reinterpret_cast<QuorvelInitFn>(Find(kQuorvelOrdinalInit, "Init"));
      unInit = reinterpret_cast<QuorvelUnInitFn>(Find(kQuorvelOrdinalUnInit, "UnInit"));
      registerService =
          reinterpret_cast<QuorvelRegisterFn>(Find(kQuorvelOrdinalRegister, "Register"));
      unregisterService =
          reinterpret_cast<QuorvelUnregisterFn>(Find(kQuorvelOrdinalUnregister, "Unregister"));
    }
    if (!error_.empty()) {
      error_ = path + ": " + error_;
      Unload();
    }
  }

  // Records the first missing entry point in error_ and returns its address.
  void* Find(uint16_t ordinal, const char* name) {
#if defined(_WIN32)
    void* entry = reinterpret_cast<void*>(
        GetProcAddress(static_cast<HMODULE>(module_), MAKEINTRESOURCEA(ordinal)));
#else
    void* entry = dlsym(module_, name);
#endif
    if (entry == nullptr && error_.empty()) {
      error_ = "no entry point " + std::string(name) + " (ordinal " + std::to_string(ordinal) + ")";
    }
    return entry;
  }

#if defined(_WIN32)
  static std::string SystemError() {
    const DWORD code = GetLastError();
    char text[512] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
      message.pop_back();
    }
    return message + " (error " + std::to_string(code) + ")";
  }

  // The module's export directory: its own name and ordinal-only exports
  // 1 to 4 tell QUORVEL.DLL from a module that merely has four ordinals.
  std::string Identify() const {
    const auto* base = static_cast<const unsigned char*>(module_);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (directory.Size == 0) return "not QUORVEL.DLL: it exports nothing";
    const auto* exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
    const char* name = reinterpret_cast<const char*>(base + exports->Name);
    if (lstrcmpiA(name, "QUORVEL.DLL") != 0) return "not QUORVEL.DLL but " + std::string(name);
    if (exports->Base != 1 || exports->NumberOfFunctions != 4 || exports->NumberOfNames != 0) {
      return "QUORVEL.DLL without its four ordinal-only entry points";
    }
    return std::string();
  }
#else
  static std::string SystemError() {
    const char* text = dlerror();
    return text != nullptr ? text : "unknown error";
  }

  // ELF has no ordinals; the four named entry points are the whole check.
  std::string Identify() const { return std::string(); }
#endif

  void* module_ = nullptr;
  std::string error_;
};

// Init in the constructor, UnInit in the destructor, so that a host cannot
// forget UnInit. Failure is observable without exceptions: Ok() and
// Result(). The library must outlive the session.
class Session {
 public:
  explicit Session(const HostLibrary& library)
      : library_(library), result_(library.Loaded() ? library.init(0) : QUORVEL_E_FAIL) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    if (Ok() && library_.unInit != nullptr) library_.unInit();
  }

  bool Ok() const { return result_ == QUORVEL_OK; }
  // What Init returned; QUORVEL_E_FAIL also when the library is not loaded.
  int32_t Result() const { return result_; }

  int32_t Register(uint32_t serviceId, UcServiceCallback callback, void* context) const {
    return Ok() ? library_.registerService(serviceId, callback, context) : QUORVEL_E_FAIL;
  }
  int32_t Unregister(uint32_t serviceId) const {
    return Ok() ? library_.unregisterService(serviceId) : QUORVEL_E_FAIL;
  }

 private:
  const HostLibrary& library_;
  const int32_t result_;
};

}  // namespace quorvel

#endif  // QUORVEL_HOST_LOADER

#endif  // QUORVEL_QUORVEL_H_
