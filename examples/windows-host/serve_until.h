/* How the Windows sample hosts wait while they serve, for C and C++:
 *
 *   host                 until Enter, the end of input, Ctrl-C or Ctrl-Break
 *   host --seconds N     for N seconds, or until Ctrl-C or Ctrl-Break; input
 *                        is not read, so the host serves in the background
 *                        of a script (`host --seconds 60 &`, then
 *                        `kill -INT $!` under Wine to stop it early)
 *
 * Header-only; the sample hosts include it. */
#ifndef QUORVEL_EXAMPLES_SERVE_UNTIL_H_
#define QUORVEL_EXAMPLES_SERVE_UNTIL_H_

#include <stdlib.h>
#include <string.h>
#include <windows.h>

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

/* Parses [--seconds N] into *milliseconds (INFINITE without it) and arms the
 * console handler. Returns 0 on a usage error (or when no event can be had). */
static int ServeUntilParse(int argc, char** argv, DWORD* milliseconds) {
  char* end = NULL;
  unsigned long seconds;
  *milliseconds = INFINITE;
  if (argc == 3 && strcmp(argv[1], "--seconds") == 0) {
    seconds = strtoul(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || seconds == 0 || seconds > 86400) return 0;
    *milliseconds = seconds * 1000; /* DWORD is unsigned long */
  } else if (argc != 1) {
    return 0;
  }
  serveUntilStop = CreateEventW(NULL, TRUE, FALSE, NULL);
  /* Without a console no control event can come, so a refusal is no error. */
  (void)SetConsoleCtrlHandler(ServeUntilControl, TRUE);
  return serveUntilStop != NULL;
}

/* Blocks until the host is asked to stop; returns why, in words. */
static const char* ServeUntilStopped(DWORD milliseconds) {
  HANDLE reader;
  if (milliseconds == INFINITE) {
    reader = CreateThread(NULL, 0, ServeUntilReadLine, NULL, 0, NULL);
    if (reader == NULL) return "no input reader";
    CloseHandle(reader);
  }
  if (WaitForSingleObject(serveUntilStop, milliseconds) == WAIT_TIMEOUT) return "time is up";
  return serveUntilReason;
}

#endif /* QUORVEL_EXAMPLES_SERVE_UNTIL_H_ */
