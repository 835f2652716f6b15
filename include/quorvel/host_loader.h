// The C++ loader of QUORVEL.DLL (C++11 or later): quorvel::HostLibrary loads
// the module at run time and resolves its entry points, quorvel::Session
// pairs Init with UnInit. quorvel.h includes this header when
// QUORVEL_HOST_LOADER is defined before it; including it directly is the same.
#ifndef QUORVEL_HOST_LOADER_H_
#define QUORVEL_HOST_LOADER_H_

#include <string>

#include "quorvel.h"

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

#endif  // QUORVEL_HOST_LOADER_H_
