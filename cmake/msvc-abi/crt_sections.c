/* What every program and DLL built with the MSVC ABI here shares: the bounds
 * of the C++ static initializers and the floating-point marker. */
#include "crt_sections.h"

#pragma section(".CRT$XCA", read)
#pragma section(".CRT$XCZ", read)
/* The linker sorts .CRT$XC* by suffix: the compiler's entries (.CRT$XCU)
 * land between these two bounds. */
__declspec(allocate(".CRT$XCA")) static const Initializer firstInitializer = 0;
__declspec(allocate(".CRT$XCZ")) static const Initializer lastInitializer = 0;

/* Referenced by every object that uses floating point. */
int _fltused = 0x9875;

void RunStaticInitializers(void) {
  const Initializer* entry;
  for (entry = &firstInitializer + 1; entry < &lastInitializer; ++entry) {
    if (*entry != 0) (*entry)();
  }
}
