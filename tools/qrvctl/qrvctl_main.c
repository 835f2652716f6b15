/* qrvctl: the test kit's command-line tool for the reference driver (see
 * qrv_testkit.h and the README). Exit status 0 on success, 1 when the call
 * failed (the Win32 error is printed), 2 for a usage error. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qrv_testkit.h"

static const char kUsage[] =
    "usage: qrvctl <command> [arguments]\n"
    "  install <path of qrvdrv.sys>   create the driver's service\n"
    "  start | stop | remove          start, stop (unload) or delete it\n"
    "  post <service> <text> [--no-reply] [--timeout <ms>]\n"
    "                                 post <text> to a registered service and\n"
    "                                 print its outcome and reply\n"
    "  fault <kind> <skip> <count> <value> [<flags>]\n"
    "                                 arm a fault (kinds: see qrvctl.h)\n"
    "  clear <kind>                   disarm it\n"
    "  counters                       print the driver's counters\n";

static const char* const kStates[] = {"unknown",  "queued",     "assigned",   "delivered",
                                      "answered", "not wanted", "failed back"};

static int Report(const char* what, DWORD error) {
  if (error == ERROR_SUCCESS) return 0;
  fprintf(stderr, "qrvctl: %s failed with error %lu\n", what, (unsigned long)error);
  return 1;
}

static uint32_t Number(const char* text) { return (uint32_t)strtoul(text, NULL, 0); }

static int Install(const char* path) {
  wchar_t wide[MAX_PATH];
  if (MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, MAX_PATH) == 0)
    return Report("converting the path", GetLastError());
  return Report("install", QrvTestkitInstall(wide));
}

/* Runs `call` with the control device open. */
static int WithControl(int (*call)(HANDLE, int, char**), int argc, char** argv) {
  int status;
  HANDLE control = QrvTestkitOpen();
  if (control == INVALID_HANDLE_VALUE) return Report("opening the control device", GetLastError());
  status = call(control, argc, argv);
  CloseHandle(control);
  return status;
}

static int Post(HANDLE control, int argc, char** argv) {
  static uint8_t reply[QRVCTL_MAX_REPLY];
  int wantReply = 1;
  DWORD timeoutMs = 10000;
  uint32_t id = 0;
  uint32_t kept = 0;
  QrvCtlOutcome outcome;
  DWORD error;
  int i;
  memset(&outcome, 0, sizeof outcome);
  for (i = 4; i < argc; ++i) {
    if (strcmp(argv[i], "--no-reply") == 0)
      wantReply = 0;
    else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc)
      timeoutMs = Number(argv[++i]);
    else
      return 2;
  }
  error = QrvTestkitPost(control, Number(argv[2]), wantReply, argv[3], (uint32_t)strlen(argv[3]),
                         QRVCTL_ANY_SLOT, &id);
  if (error != ERROR_SUCCESS) return Report("post", error);
  error = QrvTestkitAwaitOutcome(control, id, timeoutMs, &outcome, reply, sizeof reply, &kept);
  if (error != ERROR_SUCCESS && error != WAIT_TIMEOUT) return Report("outcome", error);
  printf("message %u to service %s (port %u, thread %d): %s", id, argv[2], outcome.port,
         outcome.slot == QRVCTL_ANY_SLOT ? -1 : (int)outcome.slot,
         outcome.state < sizeof kStates / sizeof kStates[0] ? kStates[outcome.state] : "?");
  if (outcome.state == QRVCTL_MSG_FAILED_BACK) printf(" (reason %u)", outcome.failReason);
  if (outcome.state == QRVCTL_MSG_ANSWERED)
    printf(", reply %u bytes: %.*s", outcome.replyLength, (int)kept, (const char*)reply);
  printf("\n");
  return error == WAIT_TIMEOUT ? Report("waiting for the outcome", error) : 0;
}

static int Fault(HANDLE control, int argc, char** argv) {
  QrvCtlFault fault;
  memset(&fault, 0, sizeof fault);
  fault.kind = Number(argv[2]);
  fault.skip = Number(argv[3]);
  fault.count = Number(argv[4]);
  fault.value = Number(argv[5]);
  fault.flags = argc > 6 ? Number(argv[6]) : 0;
  return Report("fault", QrvTestkitSetFault(control, &fault));
}

static int Clear(HANDLE control, int argc, char** argv) {
  (void)argc;
  return Report("clear", QrvTestkitClearFault(control, Number(argv[2])));
}

static int Counters(HANDLE control, int argc, char** argv) {
  QrvCtlCounters c;
  DWORD error = QrvTestkitCounters(control, &c);
  (void)argc;
  (void)argv;
  if (error != ERROR_SUCCESS) return Report("counters", error);
  printf("requests %u rejected %u pings %u ports allocated %u freed %u binds %u\n", c.requests,
         c.rejected, c.pings, c.portsAllocated, c.portsFreed, c.binds);
  printf("receives %u pended %u too small %u+%u cancelled %u replies %u\n", c.receives, c.pended,
         c.tooSmallAtOnce, c.tooSmallCompleted, c.cancelled, c.replies);
  printf("posted %u delivered %u answered %u not wanted %u failed back %u faults fired %u\n",
         c.posted, c.delivered, c.answered, c.notWanted, c.failedBack, c.faultsFired);
  return 0;
}

static int Run(int argc, char** argv) {
  const char* command = argv[1];
  if (strcmp(command, "install") == 0 && argc == 3) return Install(argv[2]);
  if (strcmp(command, "start") == 0 && argc == 2) return Report("start", QrvTestkitStart());
  if (strcmp(command, "stop") == 0 && argc == 2) return Report("stop", QrvTestkitStop());
  if (strcmp(command, "remove") == 0 && argc == 2) return Report("remove", QrvTestkitRemove());
  if (strcmp(command, "post") == 0 && argc >= 4) return WithControl(Post, argc, argv);
  if (strcmp(command, "fault") == 0 && (argc == 6 || argc == 7))
    return WithControl(Fault, argc, argv);
  if (strcmp(command, "clear") == 0 && argc == 3) return WithControl(Clear, argc, argv);
  if (strcmp(command, "counters") == 0 && argc == 2) return WithControl(Counters, argc, argv);
  return 2;
}

int main(int argc, char** argv) {
  int status = argc >= 2 ? Run(argc, argv) : 2;
  if (status == 2) fputs(kUsage, stderr);
  return status;
}
