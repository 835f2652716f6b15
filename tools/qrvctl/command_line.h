/* qrvctl's commands, the parsing of their arguments, and the one form of
 * everything the tool says when a command cannot be done:
 *   qrvctl: <command>: <what was wrong>[ (error <Win32 error>)]
 * followed, for a usage error (exit status 2), by that command's usage line.
 * A call that failed exits with 1. */
#ifndef QUORVEL_TOOLS_QRVCTL_COMMAND_LINE_H_
#define QUORVEL_TOOLS_QRVCTL_COMMAND_LINE_H_

#include <stdint.h>
#include <stdio.h>
#include <windows.h>

/* Exit statuses: scripts tell a post's outcomes apart by them. */
#define QRVCTL_EXIT_FAILED 1      /* a call failed with a Win32 error */
#define QRVCTL_EXIT_USAGE 2       /* the command line cannot be parsed */
#define QRVCTL_EXIT_FAILED_BACK 3 /* post: the message was failed back */
#define QRVCTL_EXIT_NO_ANSWER 4   /* post: no final outcome within --timeout */

/* The default of --timeout. */
#define QRVCTL_DEFAULT_TIMEOUT_MS 10000u

typedef struct QrvctlCommand QrvctlCommand;
struct QrvctlCommand {
  const char* name;
  const char* arguments; /* its usage line after the name */
  const char* summary;   /* what it does, for the list of commands */
  /* argv[0] is the command's name; returns the exit status. */
  int (*run)(const QrvctlCommand* command, int argc, char** argv);
  /* Prints more of its usage, such as the names it takes; or NULL. */
  void (*details)(FILE* stream);
};

/* Prints "usage: qrvctl <name> <arguments>" and the details to `stream`. */
void QrvctlPrintUsage(FILE* stream, const QrvctlCommand* command);

/* Prints the usage error described by `format` and the command's usage line
 * to standard error; returns 2. */
int QrvctlUsageError(const QrvctlCommand* command, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

/* Prints what the Win32 `error` met at `step` means (QrvctlErrorText);
 * returns 1. */
int QrvctlFailed(const QrvctlCommand* command, const char* step, DWORD error);

/* QrvctlFailed about `subject` (a file's name), which the line names
 * before the error's meaning. */
int QrvctlFailedOn(const QrvctlCommand* command, const char* subject, const char* step,
                   DWORD error);

/* For a call named after the command: prints "qrvctl: <done>" and returns 0
 * on success, otherwise what the error means, returning 1. */
int QrvctlReport(const QrvctlCommand* command, DWORD error, const char* done);

/* Parses argv[index], called `what` in messages, as a whole number from 0 to
 * `max`: decimal, or hexadecimal after "0x". Returns 0 and stores it, or
 * reports a usage error (missing, not such a number, out of range: a
 * negative number too) and returns 2. */
int QrvctlNumber(const QrvctlCommand* command, int argc, char** argv, int index, const char* what,
                 uint32_t max, uint32_t* value);

/* argv[1] as a service id (0 to 15), as QrvctlNumber. */
int QrvctlServiceId(const QrvctlCommand* command, int argc, char** argv, uint32_t* serviceId);

/* Parses the options from argv[first] on: --timeout <ms>, and where
 * `wantReply` and `replyFile` are given --no-reply (*wantReply is then set
 * to 0) and --reply-file <path> (*replyFile is set to the path). Anything
 * else is a usage error: returns 2. */
int QrvctlOptions(const QrvctlCommand* command, int argc, char** argv, int first,
                  uint32_t* timeoutMs, int* wantReply, const char** replyFile);

/* A usage error (2) when there are arguments from argv[first] on, else 0. */
int QrvctlNoMore(const QrvctlCommand* command, int argc, char** argv, int first);

/* Runs call(command, control, context) with the driver's control device
 * open and returns its status; 1 when the device cannot be opened. */
int QrvctlWithControl(const QrvctlCommand* command,
                      int (*call)(const QrvctlCommand* command, HANDLE control, void* context),
                      void* context);

/* `path` (UTF-8) as a wide path of at most MAX_PATH characters in `wide`;
 * 0 when it is not valid UTF-8 or too long. */
int QrvctlWidePath(const char* path, wchar_t wide[MAX_PATH]);

#endif /* QUORVEL_TOOLS_QRVCTL_COMMAND_LINE_H_ */
