/* qrvctl: the test kit's command-line tool for the reference driver (see
 * qrv_testkit.h and the README). Exit status 0 on success, with one line
 * that says what was done (or the message's outcome, the counters, the
 * ports); otherwise one of QRVCTL_EXIT_*, said in the form of
 * command_line.h. */
#include <stdio.h>
#include <string.h>

#include "command_line.h"
#include "fault_command.h"
#include "post_command.h"
#include "qrv_testkit.h"

static int Install(const QrvctlCommand* command, int argc, char** argv) {
  char done[MAX_PATH + 64];
  wchar_t wide[MAX_PATH];
  if (argc < 2) return QrvctlUsageError(command, "missing path of qrvdrv.sys");
  if (!QrvctlWidePath(argv[1], wide))
    return QrvctlUsageError(command, "the path is not UTF-8 or longer than %d", MAX_PATH - 1);
  if (QrvctlNoMore(command, argc, argv, 2)) return 2;
  snprintf(done, sizeof done, "driver service qrvdrv installed for %s", argv[1]);
  return QrvctlReport(command, QrvTestkitInstall(wide), done);
}

/* start, stop and remove: no arguments, one call of the service manager. */
static int ServiceCall(const QrvctlCommand* command, int argc, char** argv) {
  if (QrvctlNoMore(command, argc, argv, 1)) return 2;
  if (strcmp(command->name, "start") == 0)
    return QrvctlReport(command, QrvTestkitStart(), "driver started: \\\\.\\QRVDev is ready");
  if (strcmp(command->name, "stop") == 0)
    return QrvctlReport(command, QrvTestkitStop(), "driver stopped and unloaded");
  return QrvctlReport(command, QrvTestkitRemove(), "driver service qrvdrv removed");
}

typedef struct WaitArguments {
  uint32_t serviceId;
  uint32_t timeoutMs;
} WaitArguments;

static int AwaitService(const QrvctlCommand* command, HANDLE control, void* context) {
  const WaitArguments* wait = (const WaitArguments*)context;
  char done[64];
  uint32_t port = QRVCTL_NO_PORT;
  DWORD error = QrvTestkitAwaitService(control, wait->serviceId, wait->timeoutMs, &port);
  snprintf(done, sizeof done, "service %u is registered (port %u)", wait->serviceId, port);
  return QrvctlReport(command, error, done);
}

static int Wait(const QrvctlCommand* command, int argc, char** argv) {
  WaitArguments wait = {0, QRVCTL_DEFAULT_TIMEOUT_MS};
  if (QrvctlServiceId(command, argc, argv, &wait.serviceId) ||
      QrvctlOptions(command, argc, argv, 2, &wait.timeoutMs, NULL, NULL))
    return 2;
  return QrvctlWithControl(command, AwaitService, &wait);
}

static int PrintCounters(const QrvctlCommand* command, HANDLE control, void* context) {
  QrvCtlCounters c;
  DWORD error = QrvTestkitCounters(control, &c);
  (void)context;
  if (error != ERROR_SUCCESS) return QrvctlFailed(command, command->name, error);
  printf("requests %u rejected %u pings %u ports allocated %u freed %u binds %u\n", c.requests,
         c.rejected, c.pings, c.portsAllocated, c.portsFreed, c.binds);
  printf(
      "receives %u pended %u too small (at issue+on completion) %u+%u cancelled %u "
      "replies %u\n",
      c.receives, c.pended, c.tooSmallAtOnce, c.tooSmallCompleted, c.cancelled, c.replies);
  printf("posted %u delivered %u answered %u not wanted %u failed back %u faults fired %u\n",
         c.posted, c.delivered, c.answered, c.notWanted, c.failedBack, c.faultsFired);
  return 0;
}

/* A heartbeat's port stays open after its pings stop: their age tells. */
static void PrintEchoPort(uint32_t index, const QrvCtlPortInfo* port) {
  if (port->sinceLastPingMs == QRVCTL_NOT_PINGED)
    printf("port %u: heartbeat (echo), never pinged\n", index);
  else
    printf("port %u: heartbeat (echo), last pinged %u ms ago\n", index, port->sinceLastPingMs);
}

static int PrintPorts(const QrvctlCommand* command, HANDLE control, void* context) {
  QrvCtlPorts ports;
  uint32_t i;
  int used = 0;
  DWORD error = QrvTestkitPorts(control, &ports);
  (void)context;
  if (error != ERROR_SUCCESS) return QrvctlFailed(command, command->name, error);
  for (i = 0; i < QRVCTL_MAX_PORTS; ++i) {
    const QrvCtlPortInfo* port = &ports.ports[i];
    used |= port->state != QRVCTL_PORT_FREE;
    if (port->state == QRVCTL_PORT_ECHO) PrintEchoPort(i, port);
    if (port->state != QRVCTL_PORT_SERVICE) continue;
    printf(
        "port %u: service %u, threads %u (bound %u), pending receives %u, queued %u, "
        "assigned %u\n",
        i, port->serviceId, port->threadCount, port->boundSlots, port->pendingReceives,
        port->queuedMessages, port->assignedMessages);
  }
  if (!used) printf("no port in use\n");
  return 0;
}

/* counters and ports: no arguments, one read. */
static int Read(const QrvctlCommand* command, int argc, char** argv) {
  if (QrvctlNoMore(command, argc, argv, 1)) return 2;
  return QrvctlWithControl(command,
                           strcmp(command->name, "ports") == 0 ? PrintPorts : PrintCounters, NULL);
}

static const QrvctlCommand kCommands[] = {
    {"install", "<path of qrvdrv.sys>", "create the driver's service", Install, NULL},
    {"start", "", "start (load) the driver", ServiceCall, NULL},
    {"stop", "", "stop (unload) the driver", ServiceCall, NULL},
    {"remove", "", "delete the driver's service", ServiceCall, NULL},
    {"wait", "<service> [--timeout <ms>]",
     "wait until a host has registered the service (timeout 10000 ms by default)", Wait, NULL},
    {"post",
     "<service> (<text> | --file <path>) [--no-reply] [--timeout <ms>] "
     "[--reply-file <path>]",
     "post the text, or the file's bytes, to a registered service and print\n"
     "      its outcome and reply (waits 10000 ms by default; a text reply is cut\n"
     "      after 1000 bytes; --reply-file writes the reply's bytes to the file)",
     QrvctlPost, NULL},
    {"fault", "<kind> <skip> <count> <value> [<flags> [<delay ms> [<code>]]]",
     "arm a fault: a kind's name or number (qrvctl.h says what each does)", QrvctlFault,
     QrvctlPrintFaultKinds},
    {"clear", "<kind>", "disarm a fault", QrvctlFault, QrvctlPrintFaultKinds},
    {"counters", "", "print the driver's counters", Read, NULL},
    {"ports", "", "list the ports in use: service, threads, pending receives", Read, NULL},
};
#define COMMAND_COUNT (sizeof kCommands / sizeof kCommands[0])

static void PrintCommands(void) {
  size_t i;
  fputs("usage: qrvctl <command> [arguments]  (numbers: decimal, or hexadecimal after 0x)\n",
        stderr);
  for (i = 0; i < COMMAND_COUNT; ++i) {
    fprintf(stderr, "  %s%s%s\n      %s\n", kCommands[i].name, *kCommands[i].arguments ? " " : "",
            kCommands[i].arguments, kCommands[i].summary);
    if (kCommands[i].details != NULL) kCommands[i].details(stderr);
  }
  fputs(
      "exit status: 0 done (post: answered, or not wanted with --no-reply), 1 a call failed\n"
      "  (Win32 error), 2 usage error, 3 post: failed back, 4 post: no final outcome within\n"
      "  the timeout\n",
      stderr);
}

int main(int argc, char** argv) {
  size_t i;
  if (argc < 2) {
    fputs("qrvctl: missing command\n", stderr);
  } else {
    for (i = 0; i < COMMAND_COUNT; ++i) {
      if (strcmp(argv[1], kCommands[i].name) == 0)
        return kCommands[i].run(&kCommands[i], argc - 1, argv + 1);
    }
    fprintf(stderr, "qrvctl: unknown command '%s'\n", argv[1]);
  }
  PrintCommands();
  return 2;
}
