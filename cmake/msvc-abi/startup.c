/* The start-up of a console program built with the MSVC ABI against
 * msvcrt.dll: what the Visual C++ runtime's mainCRTStartup does that such a
 * program relies on. It takes the arguments from msvcrt, runs the C++ static
 * initializers, and leaves through exit(), so msvcrt runs the atexit handlers
 * (static destructors among them) and flushes the streams. */
#include <stdlib.h>

#include "crt_sections.h"

typedef struct {
  int newMode;
} StartupInfo;

int __cdecl __getmainargs(int* argc, char*** argv, char*** env, int expandWildcards,
                          StartupInfo* info);
void __cdecl __set_app_type(int type);
int main(int argc, char** argv, char** env);

enum { kConsoleApplication = 1 };

void __cdecl mainCRTStartup(void) {
  int argc = 0;
  char** argv = NULL;
  char** env = NULL;
  StartupInfo info = {0};
  __set_app_type(kConsoleApplication);
  if (__getmainargs(&argc, &argv, &env, 0, &info) != 0) exit(255);
  RunStaticInitializers();
  exit(main(argc, argv, env));
}
