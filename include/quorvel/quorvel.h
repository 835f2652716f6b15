// Host-facing interface of QUORVEL.DLL.
//
// The library serves requests that the port messaging driver raises. A host
// calls Init once, Register once per service it offers (ids 0 to 15), and
// UnInit to stop everything. The four entry points are exported by ordinal
// only, with the stdcall convention, and return 0 or QUORVEL_E_FAIL.
//
// Rules for hosts:
//  - A service callback runs on one of the service's three worker threads;
//    up to three calls for one service may run at once. It must not call the
//    entry points: whoever stops the service holds the library's lock while it
//    waits for the workers to end.
//  - Unregister and UnInit return only after every running callback of the
//    services they stop has returned.
//  - UnInit must not be called from the host's own DllMain: it waits for
//    threads, which the loader lock forbids.
//  - A callback that lets a C++ exception escape ends the worker thread that
//    called it, without a reply for that message. Hosts built with MSVC raise
//    C++ exceptions as structured exceptions (code 0xE06D7363), which the
//    library catches. A C++ exception thrown by code built with mingw-w64
//    (DWARF-2 unwinding, its own static runtime) cannot cross into the
//    library at all: the process terminates. Catch everything inside the
//    callback. Processor faults (access violations) are never caught.
//  - Unloading the library without UnInit is safe: threads that still run
//    keep the module mapped until they end.
#ifndef QUORVEL_QUORVEL_H_
#define QUORVEL_QUORVEL_H_

#include <cstdint>

#if defined(_WIN32)
#define QUORVEL_STDCALL __stdcall
#else
#define QUORVEL_STDCALL
#endif

enum QuorvelOrdinal : uint16_t {
  kQuorvelOrdinalInit = 1,
  kQuorvelOrdinalUnInit = 2,
  kQuorvelOrdinalRegister = 3,
  kQuorvelOrdinalUnregister = 4,
};

constexpr int32_t QUORVEL_OK = 0;
constexpr int32_t QUORVEL_E_FAIL = static_cast<int32_t>(0x80004005u);
constexpr uint32_t QUORVEL_MAX_SERVICES = 16;

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

// Called for every message of a service. `message` and `length` hold the
// payload, valid until the callback returns. The callback may store the
// address and length of its answer in *answer and *answerLength (null and 0
// on entry); the answer must lie in allocator blocks or in memory that stays
// valid until the reply is sent. Whether a reply is sent depends only on the
// driver's message header, never on the callback.
typedef void(QUORVEL_STDCALL* UcServiceCallback)(NIMUC::IAllocator* allocator, void* message,
                                                 uint32_t length, void* context, void** answer,
                                                 uint32_t* answerLength);

typedef int32_t(QUORVEL_STDCALL* QuorvelInitFn)(uint32_t unused);
typedef void(QUORVEL_STDCALL* QuorvelUnInitFn)();
typedef int32_t(QUORVEL_STDCALL* QuorvelRegisterFn)(uint32_t serviceId, UcServiceCallback callback,
                                                    void* context);
typedef int32_t(QUORVEL_STDCALL* QuorvelUnregisterFn)(uint32_t serviceId);

#if defined(QUORVEL_HOST_LOADER)

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace quorvel {

// Loads the library and resolves its four entry points as a host does: by
// ordinal on Windows, by name elsewhere (ELF has no ordinals). Unloads it on
// destruction. Define QUORVEL_HOST_LOADER before including this header.
class HostLibrary {
 public:
  explicit HostLibrary(const char* path) : module_(Open(path)) {
    if (module_ == nullptr) return;
    init = reinterpret_cast<QuorvelInitFn>(Find(kQuorvelOrdinalInit, "Init"));
    unInit = reinterpret_cast<QuorvelUnInitFn>(Find(kQuorvelOrdinalUnInit, "UnInit"));
    registerService =
        reinterpret_cast<QuorvelRegisterFn>(Find(kQuorvelOrdinalRegister, "Register"));
    unregisterService =
        reinterpret_cast<QuorvelUnregisterFn>(Find(kQuorvelOrdinalUnregister, "Unregister"));
  }
  HostLibrary(const HostLibrary&) = delete;
  HostLibrary& operator=(const HostLibrary&) = delete;
  ~HostLibrary() { Unload(); }

  // True when the module loaded and all four entry points were found.
  bool Loaded() const {
    return module_ != nullptr && init && unInit && registerService && unregisterService;
  }

  // Unloads the module now; the entry points must not be called afterwards.
  void Unload() {
    if (module_ == nullptr) return;
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(module_));
#else
    dlclose(module_);
#endif
    module_ = nullptr;
  }

  QuorvelInitFn init = nullptr;
  QuorvelUnInitFn unInit = nullptr;
  QuorvelRegisterFn registerService = nullptr;
  QuorvelUnregisterFn unregisterService = nullptr;

 private:
  static void* Open(const char* path) {
#if defined(_WIN32)
    return LoadLibraryA(path);
#else
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
  }

  void* Find(uint16_t ordinal, const char* name) const {
#if defined(_WIN32)
    (void)name;
    return reinterpret_cast<void*>(
        GetProcAddress(static_cast<HMODULE>(module_), MAKEINTRESOURCEA(ordinal)));
#else
    (void)ordinal;
    return dlsym(module_, name);
#endif
  }

  void* module_;
};

}  // namespace quorvel

#endif  // QUORVEL_HOST_LOADER

#endif  // QUORVEL_QUORVEL_H_
