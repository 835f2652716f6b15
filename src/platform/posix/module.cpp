#include <dlfcn.h>
#include <link.h>

#include <string>

#include "platform/posix/kernel_object.h"

namespace qrv {
namespace posix {
namespace {

// Module names are wide on Windows; the dynamic loader wants UTF-8.
std::string Utf8FromWide(const wchar_t* wide) {
  std::string utf8;
  for (; *wide != L'\0'; ++wide) {
    // A code point; a negative wchar_t is no text a module name holds.
    const uint32_t c = static_cast<uint32_t>(*wide);  // NOLINT(bugprone-signed-char-misuse)
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else if (c < 0x800) {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      utf8 += static_cast<char>(0xE0 | (c >> 12));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      utf8 += static_cast<char>(0xF0 | (c >> 18));
      utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return utf8;
}

// The module holding the address, with one more reference on it; null when
// the address lies in no module.
HMODULE ReferenceModuleAt(const void* address) {
  Dl_info info;
  struct link_map* map = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
      map == nullptr) {
    return nullptr;
  }
  // The main program's entry has an empty name and is reached by a null one.
  const char* name = map->l_name[0] == '\0' ? nullptr : map->l_name;
  return dlopen(name, name == nullptr ? RTLD_LAZY : RTLD_LAZY | RTLD_NOLOAD);
}

}  // namespace
}  // namespace posix
}  // namespace qrv

using qrv::posix::Fail;

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
  const std::string name = moduleName != nullptr ? qrv::posix::Utf8FromWide(moduleName) : "";
  // glibc refuses RTLD_NOLOAD alone. A no-load open still takes a reference,
  // which is dropped at once: the caller must hold none, as on Windows.
  HMODULE module = dlopen(moduleName != nullptr ? name.c_str() : nullptr,
                          moduleName != nullptr ? RTLD_LAZY | RTLD_NOLOAD : RTLD_LAZY);
  if (module == nullptr) return Fail<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
  dlclose(module);
  return module;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
  // Export ordinals (values below 0x10000 in place of a name) have no POSIX
  // counterpart; they are refused rather than dereferenced.
  if (reinterpret_cast<uintptr_t>(procName) < 0x10000u) {
    return Fail<FARPROC>(ERROR_PROC_NOT_FOUND, nullptr);
  }
  // Windows reads a null module as the main program; the library never relies on it.
  if (module == nullptr) return Fail<FARPROC>(ERROR_INVALID_HANDLE, nullptr);
  void* symbol = dlsym(module, procName);
  if (symbol == nullptr) return Fail<FARPROC>(ERROR_PROC_NOT_FOUND, nullptr);
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL GetModuleHandleExW(DWORD flags, LPCWSTR moduleNameOrAddress, HMODULE* module) {
  // The lookups by address and by name of a loaded module, each with its
  // reference; no other flag is offered.
  if (module == nullptr || (flags != 0 && flags != GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) ||
      (flags == 0 && moduleNameOrAddress == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  *module = flags == 0 ? dlopen(qrv::posix::Utf8FromWide(moduleNameOrAddress).c_str(),
                                RTLD_LAZY | RTLD_NOLOAD)
                       : qrv::posix::ReferenceModuleAt(moduleNameOrAddress);
  return *module != nullptr ? TRUE : Fail(ERROR_MOD_NOT_FOUND, FALSE);
}

BOOL FreeLibrary(HMODULE module) {
  if (module == nullptr || dlclose(module) != 0) return Fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}
