/* A minimal Windows host in C: links QUORVEL.DLL through its import library,
 * serves service 0 by echoing every message back, and stops when a line (or
 * the end of input) arrives on standard input. */
#include <quorvel/quorvel.h>
#include <stdio.h>
#include <string.h>

#define ECHO_SERVICE 0u

/* Runs on a worker thread of the library. The answer is built in memory
 * lent by the allocator, which the library releases after the reply. */
static void QUORVEL_STDCALL Echo(QuorvelAllocator* allocator, void* message, uint32_t length,
                                 void* context, void** answer, uint32_t* answerLength) {
  void* copy;
  (void)context;
  if (length == 0) return; /* an empty reply */
  copy = QuorvelAllocate(allocator, length);
  if (copy == NULL) return;
  memcpy(copy, message, length);
  *answer = copy;
  *answerLength = length;
}

int main(void) {
  /* Every failure is QUORVEL_E_FAIL; the reason goes to the framework's log. */
  if (Init(0) != QUORVEL_OK) {
    fprintf(stderr, "Init failed: is the driver loaded?\n");
    return 1;
  }
  if (Register(ECHO_SERVICE, Echo, NULL) != QUORVEL_OK) {
    fprintf(stderr, "Register(%u) failed\n", ECHO_SERVICE);
    UnInit();
    return 1;
  }
  printf("echo host %d.%d.%d: serving service %u; press Enter to stop\n", QUORVEL_VERSION_MAJOR,
         QUORVEL_VERSION_MINOR, QUORVEL_VERSION_PATCH, ECHO_SERVICE);
  fflush(stdout);
  (void)getchar();
  /* UnInit alone would do: it stops every service. It returns once every
   * running callback has returned. */
  Unregister(ECHO_SERVICE);
  UnInit();
  printf("echo host: stopped\n");
  return 0;
}
