/* A minimal Windows host in C: links QUORVEL.DLL through its import library
 * and serves service 0 by echoing every message back, until Enter, or for
 * the seconds given with --seconds N (see serve_until.h). With --recover it
 * also recovers from a lost heartbeat (see Recover). */
#include <quorvel/quorvel.h>
#include <stdio.h>
#include <string.h>

#include "serve_until.h"

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

/* After a lost heartbeat (the log's "quorvel: echo error.") the library
 * serves nothing until the host calls Init and then Register for each of
 * its services. Both are harmless when nothing was lost, so this host simply
 * runs them every SERVE_UNTIL_RECOVER_MS (see quorvel.h). */
static void Recover(void) {
  if (Init(0) != QUORVEL_OK || Register(ECHO_SERVICE, Echo, NULL) != QUORVEL_OK)
    fprintf(stderr, "echo host: recovery failed (is the driver loaded?); trying again\n");
}

int main(int argc, char** argv) {
  DWORD milliseconds;
  int recover;
  const char* reason;
  if (!ServeUntilParse(argc, argv, &recover, &milliseconds)) {
    fprintf(stderr, "usage: %s [--recover] [--seconds N]\n", argv[0]);
    return 2;
  }
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
  printf("echo host %d.%d.%d: serving service %u; %s to stop\n", QUORVEL_VERSION_MAJOR,
         QUORVEL_VERSION_MINOR, QUORVEL_VERSION_PATCH, ECHO_SERVICE,
         milliseconds == INFINITE ? "Enter or Ctrl-C" : "Ctrl-C");
  fflush(stdout);
  reason = ServeUntilStopped(milliseconds, recover ? Recover : NULL);
  /* UnInit alone would do: it stops every service. It returns once every
   * running callback has returned. No recovery runs after it: its Init
   * would initialise the library again. */
  Unregister(ECHO_SERVICE);
  UnInit();
  printf("echo host: stopped (%s)\n", reason);
  return 0;
}
