/* qrvctl: the test kit's command-line tool for the reference driver (see
 * qrv_testkit.h and the README). Exit status 0 on success, with one line
 * that says what was done (or the message's outcome, or the counters); 1
 * when the call failed, with what the error means and its number; 2 for a
 * usage error. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "error_text.h"
#include "qrv_testkit.h"

static const char kUsage[] =
    "usage: qrvctl <command> [arguments]\n"
    "  install <path of qrvdrv.sys>   create the driver's service\n"
    "  start | stop | remove          start, stop (unload) or delete it\n"
    "  wait <service> [--timeout <ms>]\n"
    "                                 wait until a host has registered the service\n"
    "  post <service> <text> [--no-reply] [--timeout <ms>]\n"
    "                                 post <text> to a registered service and\n"
    "                                 print its outcome and reply\n"
    "  fault <kind> <skip> <count> <value> [<flags>]\n"
    "                                 arm a fault (kinds: see qrvctl.h)\n"
    "  clear <kind>                   disarm it\n"
    "  counters                       print the driver's counters\n";

static const char* const kStates[] = {"unknown",  "queued",     "assigned",   "delivered",
                                      "answered", "not wanted", "failed back"};

/* Prints `done` for a step that succeeded, or what the error means. */
static int Report(const char* step, DWORD error, const char* done) {
  if (error == ERROR_SUCCESS) {
    if (done != NULL) printf("qrvctl: %s\n", done);
    return 0;
  }
  fprintf(stderr, "qrvctl: %s failed: %s (error %lu)\n", step, QrvctlErrorText(step, error),
          (unsigned long)error);
  return 1;
}

static uint32_t Number(const char* text) { return (uint32_t)strtoul(text, NULL, 0); }

static int Install(const char* path) {
  char done[MAX_PATH + 64];
  wchar_t wide[MAX_PATH];
  if (MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, MAX_PATH) == 0)
    return Report("converting the path", GetLastError(), NULL);
  snprintf(done, sizeof done, "driver service qrvdrv installed for %s", path);
  return Report("install", QrvTestkitInstall(wide), done);
}

/* Runs `call` with the control device open. */
static int WithControl(int (*call)(HANDLE, int, char**), int argc, char** argv) {
  int status;
  HANDLE control = QrvTestkitOpen();
  if (control == INVALID_HANDLE_VALUE)
    return Report("opening the control device", GetLastError(), NULL);
  status = call(control, argc, argv);
  CloseHandle(control);
  return status;
}

/* Parses [--timeout <ms>] and, for post, [--no-reply] from argv[first] on. */
static int Options(int argc, char** argv, int first, DWORD* timeoutMs, int* wantReply) {
  int i;
  for (i = first; i < argc; ++i) {
    if (wantReply != NULL && strcmp(argv[i], "--no-reply") == 0)
      *wantReply = 0;
    else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc)
      *timeoutMs = Number(argv[++i]);
    else
      return 0;
  }
  return 1;
}

static int Post(HANDLE control, int argc, char** argv) {
  static uint8_t reply[QRVCTL_MAX_REPLY];
  int wantReply = 1;
  DWORD timeoutMs = 10000;
  uint32_t id = 0;
  uint32_t kept = 0;
  QrvCtlOutcome outcome;
  DWORD error;
  memset(&outcome, 0, sizeof outcome);
  if (!Options(argc, argv, 4, &timeoutMs, &wantReply)) return 2;
  error = QrvTestkitPost(control, Number(argv[2]), wantReply, argv[3], (uint32_t)strlen(argv[3]),
                         QRVCTL_ANY_SLOT, &id);
  if (error != ERROR_SUCCESS) return Report("post", error, NULL);
  error = QrvTestkitAwaitOutcome(control, id, timeoutMs, &outcome, reply, sizeof reply, &kept);
  if (error != ERROR_SUCCESS && error != WAIT_TIMEOUT) return Report("outcome", error, NULL);
  printf("message %u to service %s (port %u, thread %d): %s", id, argv[2], outcome.port,
         outcome.slot == QRVCTL_ANY_SLOT ? -1 : (int)outcome.slot,
         outcome.state < sizeof kStates / sizeof kStates[0] ? kStates[outcome.state] : "?");
  if (outcome.state == QRVCTL_MSG_FAILED_BACK)
    printf(" (reason %u: %s)", outcome.failReason, QrvctlFailReason(outcome.failReason));
  if (outcome.state == QRVCTL_MSG_ANSWERED)
    printf(", reply %u bytes: %.*s", outcome.replyLength, (int)kept, (const char*)reply);
  printf("\n");
  return Report("outcome", error, NULL);
}

static int Wait(HANDLE control, int argc, char** argv) {
  char done[64];
  DWORD timeoutMs = 10000;
  uint32_t port = QRVCTL_NO_PORT;
  DWORD error;
  if (!Options(argc, argv, 3, &timeoutMs, NULL)) return 2;
  error = QrvTestkitAwaitService(control, Number(argv[2]), timeoutMs, &port);
  snprintf(done, sizeof done, "service %s is registered (port %u)", argv[2], port);
  return Report("wait", error, done);
}

static int Fault(HANDLE control, int argc, char** argv) {
  char done[96];
  QrvCtlFault fault;
  memset(&fault, 0, sizeof fault);
  fault.kind = Number(argv[2]);
  fault.skip = Number(argv[3]);
  fault.count = Number(argv[4]);
  fault.value = Number(argv[5]);
  fault.flags = argc > 6 ? Number(argv[6]) : 0;
  snprintf(done, sizeof done, "fault kind %u armed (skip %u, count %u, value 0x%X)", fault.kind,
           fault.skip, fault.count, fault.value);
  return Report("fault", QrvTestkitSetFault(control, &fault), done);
}

static int Clear(HANDLE control, int argc, char** argv) {
  char done[64];
  (void)argc;
  snprintf(done, sizeof done, "fault kind %s cleared", argv[2]);
  return Report("clear", QrvTestkitClearFault(control, Number(argv[2])), done);
}

static int Counters(HANDLE control, int argc, char** argv) {
  QrvCtlCounters c;
  DWORD error = QrvTestkitCounters(control, &c);
  (void)argc;
  (void)argv;
  if (error != ERROR_SUCCESS) return Report("counters", error, NULL);
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
  if (strcmp(command, "start") == 0 && argc == 2)
    return Report("start", QrvTestkitStart(), "driver started: \\\\.\\QRVDev is ready");
  if (strcmp(command, "stop") == 0 && argc == 2)
    return Report("stop", QrvTestkitStop(), "driver stopped and unloaded");
  if (strcmp(command, "remove") == 0 && argc == 2)
    return Report("remove", QrvTestkitRemove(), "driver service qrvdrv removed");
  if (strcmp(command, "wait") == 0 && (argc == 3 || argc == 5))
    return WithControl(Wait, argc, argv);
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
