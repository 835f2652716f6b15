/* The form of qrvctl's complaints, and the parsing of its arguments. */
#include "command_line.h"

#include <stdarg.h>
#include <string.h>

#include "error_text.h"
#include "qrv_testkit.h"

/* The longest --timeout: an hour, so that a typo cannot wait for days. */
#define MAX_TIMEOUT_MS 3600000u

void QrvctlPrintUsage(FILE* stream, const QrvctlCommand* command) {
  fprintf(stream, "usage: qrvctl %s%s%s\n", command->name, *command->arguments ? " " : "",
          command->arguments);
  if (command->details != NULL) command->details(stream);
}

int QrvctlUsageError(const QrvctlCommand* command, const char* format, ...) {
  va_list arguments;
  fprintf(stderr, "qrvctl: %s: ", command->name);
  va_start(arguments, format);
  vfprintf(stderr, format, arguments);
  va_end(arguments);
  fputc('\n', stderr);
  QrvctlPrintUsage(stderr, command);
  return 2;
}

int QrvctlFailedOn(const QrvctlCommand* command, const char* subject, const char* step,
                   DWORD error) {
  fprintf(stderr, "qrvctl: %s: ", command->name);
  if (subject != NULL) fprintf(stderr, "%s: ", subject);
  fprintf(stderr, "%s (error %lu)\n", QrvctlErrorText(step, error), (unsigned long)error);
  return 1;
}

int QrvctlFailed(const QrvctlCommand* command, const char* step, DWORD error) {
  return QrvctlFailedOn(command, NULL, step, error);
}

int QrvctlReport(const QrvctlCommand* command, DWORD error, const char* done) {
  if (error != ERROR_SUCCESS) return QrvctlFailed(command, command->name, error);
  printf("qrvctl: %s\n", done);
  return 0;
}

static unsigned DigitValue(char c) {
  if (c >= '0' && c <= '9') return (unsigned)(c - '0');
  if (c >= 'a' && c <= 'f') return (unsigned)(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return (unsigned)(c - 'A' + 10);
  return 16;
}

/* strtoul would take "1x" as 1, "abc" as 0, " 7" and "-1" too, and a
 * leading 0 as octal: only plain digits, or 0x and hex digits, pass here.
 * Returns 0 for anything else; a number above `max` is stored as max + 1. */
static int ParseWhole(const char* text, uint32_t max, uint64_t* value) {
  const int hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const unsigned base = hex ? 16 : 10;
  const char* digit = hex ? text + 2 : text;
  *value = 0;
  if (*digit == '\0') return 0;
  for (; *digit != '\0'; ++digit) {
    if (DigitValue(*digit) >= base) return 0;
    *value = *value * base + DigitValue(*digit);
    if (*value > max) *value = (uint64_t)max + 1;
  }
  return 1;
}

int QrvctlNumber(const QrvctlCommand* command, int argc, char** argv, int index, const char* what,
                 uint32_t max, uint32_t* value) {
  uint64_t number;
  int negative;
  if (index >= argc) return QrvctlUsageError(command, "missing %s", what);
  negative = argv[index][0] == '-';
  if (!ParseWhole(argv[index] + negative, max, &number))
    return QrvctlUsageError(command, "%s '%s' is not a whole number", what, argv[index]);
  if (negative || number > max) {
    return QrvctlUsageError(command, "%s %s is out of range (0 to %lu)", what, argv[index],
                            (unsigned long)max);
  }
  *value = (uint32_t)number;
  return 0;
}

int QrvctlServiceId(const QrvctlCommand* command, int argc, char** argv, uint32_t* serviceId) {
  return QrvctlNumber(command, argc, argv, 1, "service id", QRVCTL_MAX_PORTS - 1, serviceId);
}

int QrvctlOptions(const QrvctlCommand* command, int argc, char** argv, int first,
                  uint32_t* timeoutMs, int* wantReply, const char** replyFile) {
  int i;
  for (i = first; i < argc; ++i) {
    if (strcmp(argv[i], "--timeout") == 0) {
      ++i;
      if (QrvctlNumber(command, argc, argv, i, "--timeout value", MAX_TIMEOUT_MS, timeoutMs))
        return 2;
    } else if (wantReply != NULL && strcmp(argv[i], "--no-reply") == 0) {
      *wantReply = 0;
    } else if (replyFile != NULL && strcmp(argv[i], "--reply-file") == 0) {
      if (++i >= argc) return QrvctlUsageError(command, "missing path after --reply-file");
      *replyFile = argv[i];
    } else {
      return QrvctlNoMore(command, argc, argv, i);
    }
  }
  return 0;
}

int QrvctlNoMore(const QrvctlCommand* command, int argc, char** argv, int first) {
  if (first < argc) return QrvctlUsageError(command, "unexpected argument '%s'", argv[first]);
  return 0;
}

int QrvctlWithControl(const QrvctlCommand* command,
                      int (*call)(const QrvctlCommand* command, HANDLE control, void* context),
                      void* context) {
  int status;
  HANDLE control = QrvTestkitOpen();
  if (control == INVALID_HANDLE_VALUE)
    return QrvctlFailed(command, "opening the control device", GetLastError());
  status = call(command, control, context);
  CloseHandle(control);
  return status;
}

int QrvctlWidePath(const char* path, wchar_t wide[MAX_PATH]) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, MAX_PATH) != 0;
}
