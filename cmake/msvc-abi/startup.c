/* The start-up of a console program built with the MSVC ABI against
 * msvcrt.dll: what the Visual C++ runtime's mainCRTStartup does that such a
 * program relies on. It takes the arguments from msvcrt, runs the C++ static
 * initializers the compiler lists between the .CRT$XCA and .CRT$XCZ
 * sections, and leaves through exit(), so msvcrt runs the atexit handlers
 * (static destructors among them) and flushes the streams. */
#include <stdlib.h>

typedef void(__cdecl* Initializer)(void);
typedef struct {
  int newMode;
} StartupInfo;

int __cdecl __getmainargs(int* argc, char*** argv, char*** env, int expandWildcards,
                          StartupInfo* info);
void __cdecl __set_app_type(int type);
int main(int argc, char** argv, char** env);

#pragma section(".CRT$XCA", read)
#pragma section(".CRT$XCZ", read)
/* The linker sorts .CRT$XC* by suffix: the compiler's entries (.CRT$XCU)
 * land between these two bounds. */
__declspec(allocate(".CRT$XCA")) static const Initializer firstInitializer = 0;
__declspec(allocate(".CRT$XCZ")) static const Initializer lastInitializer = 0;

/* Referenced by every object that uses floating point. */
int _fltused = 0x9875;

enum { kConsoleApplication = 1 };

void __cdecl mainCRTStartup(void) {
  int argc = 0;
  char** argv = NULL;
  char** env = NULL;
  StartupInfo info = {0};
  const Initializer* entry;
  __set_app_type(kConsoleApplication);
  if (__getmainargs(&argc, &argv, &env, 0, &info) != 0) exit(255);
  for (entry = &firstInitializer + 1; entry < &lastInitializer; ++entry) {
    if (*entry != NULL) (*entry)();
  }
  exit(main(argc, argv, env));
}
