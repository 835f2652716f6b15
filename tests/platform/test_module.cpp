// Kept free of C++ statics with vague linkage: those become unique symbols
// that pin a module in memory, and the tests need it to unload.
#include "test_module.h"

extern "C" __attribute__((visibility("default"))) int SeamTestModuleAnswer() { return 42; }

extern "C" __attribute__((visibility("default"))) DWORD WINAPI
SeamTestModuleExitThread(LPVOID parameter) {
  const SeamTestExit* exit = static_cast<const SeamTestExit*>(parameter);
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&SeamTestModuleExitThread), &self)) {
    return 1;
  }
  const DWORD code = exit->exit_code;
  SetEvent(exit->referenced);
  WaitForSingleObject(exit->go, INFINITE);
  FreeLibraryAndExitThread(self, code);
}
