#include "fault_command.h"

#include <string.h>

#include "qrv_testkit.h"

/* The kinds' names, from enum QrvCtlFaultKind. */
static const char* const kKinds[] = {
    [QRVCTL_FAULT_PING_STATUS] = "ping-status",
    [QRVCTL_FAULT_PING_WORD] = "ping-word",
    [QRVCTL_FAULT_PORT_ANSWER] = "port-answer",
    [QRVCTL_FAULT_BIND_ANSWER] = "bind-answer",
    [QRVCTL_FAULT_RECEIVE_STATUS] = "receive-status",
    [QRVCTL_FAULT_REPLY_STATUS] = "reply-status",
    [QRVCTL_FAULT_SHORT_COMPLETION] = "short-completion",
    [QRVCTL_FAULT_PEND_REQUEST] = "pend-request",
    [QRVCTL_FAULT_PORT_STATUS] = "port-status",
    [QRVCTL_FAULT_PENDED_RECEIVE] = "pended-receive",
    [QRVCTL_FAULT_TOO_SMALL_STATUS] = "too-small-status",
    [QRVCTL_FAULT_TOO_SMALL_SIZE] = "too-small-size",
    [QRVCTL_FAULT_LONG_COMPLETION] = "long-completion",
    [QRVCTL_FAULT_IGNORE_CANCEL] = "ignore-cancel",
    [QRVCTL_FAULT_PEND_REQUEST_TOO] = "pend-request-too",
    [QRVCTL_FAULT_FREE_KEEPS_RECEIVES] = "free-keeps-receives",
};
QRVCTL_STATIC_ASSERT(sizeof kKinds / sizeof kKinds[0] == QRVCTL_FAULT_KIND_COUNT,
                     "a name for every fault kind");

/* The usage text's width: the kinds wrap before it. */
#define LINE_WIDTH 78

void QrvctlPrintFaultKinds(FILE* stream) {
  uint32_t kind;
  int column = fprintf(stream, "      kinds:");
  for (kind = 0; kind < QRVCTL_FAULT_KIND_COUNT; ++kind) {
    char item[40];
    const int length = snprintf(item, sizeof item, " %u %s%s", kind, kKinds[kind],
                                kind + 1 < QRVCTL_FAULT_KIND_COUNT ? "," : "");
    if (column + length > LINE_WIDTH) column = fprintf(stream, "\n           ");
    column += fprintf(stream, "%s", item);
  }
  fputc('\n', stream);
}

/* argv[1] as a kind: its name, or its number as QrvctlNumber takes it. */
static int Kind(const QrvctlCommand* command, int argc, char** argv, uint32_t* kind) {
  for (*kind = 0; argc > 1 && *kind < QRVCTL_FAULT_KIND_COUNT; ++*kind) {
    if (strcmp(argv[1], kKinds[*kind]) == 0) return 0;
  }
  if (argc > 1 && (argv[1][0] < '0' || argv[1][0] > '9') && argv[1][0] != '-')
    return QrvctlUsageError(command, "unknown fault kind '%s'", argv[1]);
  return QrvctlNumber(command, argc, argv, 1, "fault kind", QRVCTL_FAULT_KIND_COUNT - 1, kind);
}

static int SetFault(const QrvctlCommand* command, HANDLE control, void* context) {
  const QrvCtlFault* fault = (const QrvCtlFault*)context;
  char done[160];
  if (fault->count == 0)
    snprintf(done, sizeof done, "fault %s (%u) cleared", kKinds[fault->kind], fault->kind);
  else
    snprintf(done, sizeof done,
             "fault %s (%u) armed (skip %u, count %u, value 0x%X, flags 0x%X, delay %u ms, "
             "code 0x%X)",
             kKinds[fault->kind], fault->kind, fault->skip, fault->count, fault->value,
             fault->flags, fault->delayMs, fault->code);
  return QrvctlReport(command, QrvTestkitSetFault(control, fault), done);
}

/* The optional arguments after <value>, in their order. */
static int Optional(const QrvctlCommand* command, int argc, char** argv, QrvCtlFault* fault) {
  return (argc > 5 && QrvctlNumber(command, argc, argv, 5, "flags", UINT32_MAX, &fault->flags)) ||
         (argc > 6 && QrvctlNumber(command, argc, argv, 6, "delay", UINT32_MAX, &fault->delayMs)) ||
         (argc > 7 && QrvctlNumber(command, argc, argv, 7, "code", UINT32_MAX, &fault->code));
}

int QrvctlFault(const QrvctlCommand* command, int argc, char** argv) {
  const int arming = strcmp(command->name, "fault") == 0;
  QrvCtlFault fault;
  memset(&fault, 0, sizeof fault);
  if (Kind(command, argc, argv, &fault.kind)) return 2;
  if (arming && (QrvctlNumber(command, argc, argv, 2, "skip", UINT32_MAX, &fault.skip) ||
                 QrvctlNumber(command, argc, argv, 3, "count", UINT32_MAX, &fault.count) ||
                 QrvctlNumber(command, argc, argv, 4, "value", UINT32_MAX, &fault.value) ||
                 Optional(command, argc, argv, &fault)))
    return 2;
  if (QrvctlNoMore(command, argc, argv, arming ? 8 : 2)) return 2;
  return QrvctlWithControl(command, SetFault, &fault);
}
