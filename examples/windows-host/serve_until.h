/* How the Windows sample hosts wait while they serve, for C and C++:
 *
 *   host                 until Enter, the end of input, Ctrl-C or Ctrl-Break
 *   host --seconds N     for N seconds, or until Ctrl-C or Ctrl-Break; input
 *                        is not read, so the host serves in the background
 *                        of a script (`host --seconds 60 &`, then
 *                        `kill -INT $!` under Wine to stop it early)
 *   host --recover ...   meanwhile, every SERVE_UNTIL_RECOVER_MS, runs the
 *                        host's recovery from a lost heartbeat (where the
 *                        host offers one)
 *
 * Header-only; the sample hosts include it. */
#ifndef QUORVEL_EXAMPLES_SERVE_UNTIL_H_
#define QUORVEL_EXAMPLES_SERVE_UNTIL_H_

#include <stdlib.h>
#include <string.h>
#include <windows.h>

/* How often --recover runs the recovery: soon after a loss, yet each run
 * while nothing was lost costs a log line per service. */
#define SERVE_UNTIL_RECOVER_MS 2000u

/* Set by a console control event or by the end of the input line; created
 * by ServeUntilParse. */
static HANDLE serveUntilStop;
static const char* serveUntilReason = "";

static BOOL WINAPI ServeUntilControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  serveUntilReason = type == CTRL_C_EVENT ? "Ctrl-C" : "Ctrl-Break";
  SetEvent(serveUntilStop);
  return TRUE;
}

/* Reads the input handle itself, not through the C runtime, so that exit
 * never waits for a stream lock that this blocked thread holds. */
static DWORD WINAPI ServeUntilReadLine(void* unused) {
  char c = 0;
  DWORD read = 0;
  (void)unused;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &read, NULL) && read == 1 && c != '\n') {
  }
  serveUntilReason = read == 1 ? "Enter" : "end of input";
  SetEvent(serveUntilStop);
  return 0;
}

/* Parses [--recover] [--seconds N] into *recover (0 without it; a host
 * without a recovery passes NULL and refuses it) and *milliseconds (INFINITE
 * without it), and arms the console handler. Returns 0 on a usage error (or
 * when no event can be had). */
static int ServeUntilParse(int argc, char** argv, int* recover, DWORD* milliseconds) {
  char* end = NULL;
  unsigned long seconds;
  int next = 1;
  *milliseconds = INFINITE;
  if (recover != NULL) *recover = next < argc && strcmp(argv[next], "--recover") == 0;
  if (recover != NULL && *recover) ++next;
  if (argc == next + 2 && strcmp(argv[next], "--seconds") == 0) {
    seconds = strtoul(argv[next + 1], &end, 10);
    if (*argv[next + 1] == '\0' || *end != '\0' || seconds == 0 || seconds > 86400) return 0;
    *milliseconds = seconds * 1000; /* DWORD is unsigned long */
  } else if (argc != next) {
    return 0;
  }
  serveUntilStop = CreateEventW(NULL, TRUE, FALSE, NULL);
  /* Without a console no control event can come, so a refusal is no error. */
  (void)SetConsoleCtrlHandler(ServeUntilControl, TRUE);
  return serveUntilStop != NULL;
}

/* The wait's milliseconds left of `milliseconds` since `start`. */
static DWORD ServeUntilLeft(DWORD start, DWORD milliseconds) {
  DWORD elapsed = GetTickCount() - start;
  if (milliseconds == INFINITE) return INFINITE;
  return elapsed < milliseconds ? milliseconds - elapsed : 0;
}

/* Blocks until the host is asked to stop, calling `recover` (unless NULL)
 * every SERVE_UNTIL_RECOVER_MS meanwhile; returns why it stopped, in words. */
static const char* ServeUntilStopped(DWORD milliseconds, void (*recover)(void)) {
  const DWORD start = GetTickCount();
  HANDLE reader;
  DWORD step;
  if (milliseconds == INFINITE) {
    reader = CreateThread(NULL, 0, ServeUntilReadLine, NULL, 0, NULL);
    if (reader == NULL) return "no input reader";
    CloseHandle(reader);
  }
  while ((step = ServeUntilLeft(start, milliseconds)) > 0) {
    if (recover != NULL && step > SERVE_UNTIL_RECOVER_MS) step = SERVE_UNTIL_RECOVER_MS;
    if (WaitForSingleObject(serveUntilStop, step) != WAIT_TIMEOUT) return serveUntilReason;
    if (recover != NULL) recover();
  }
  return "time is up";
}

#endif /* QUORVEL_EXAMPLES_SERVE_UNTIL_H_ */
