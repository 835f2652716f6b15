// A small shared object the module tests load and unload themselves.
#ifndef QUORVEL_TESTS_PLATFORM_TEST_MODULE_H_
#define QUORVEL_TESTS_PLATFORM_TEST_MODULE_H_

#include "platform/win32.h"

// The soname the module is built with, in the Windows style the library uses.
#define SEAM_TEST_MODULE_NAME "seam_test_module.dll"

// What SeamTestModuleExitThread needs: it takes its own reference on the
// module, sets `referenced`, waits for `go`, then ends its thread with
// FreeLibraryAndExitThread(module, exit_code).
struct SeamTestExit {
  HANDLE referenced;
  HANDLE go;
  DWORD exit_code;
};

extern "C" {
typedef int (*SeamTestModuleAnswerFn)();
}

#endif  // QUORVEL_TESTS_PLATFORM_TEST_MODULE_H_
