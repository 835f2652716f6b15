/* qrvctl's errors in words. The numbers alone ("error 1168") sent users to
 * look them up; each text says what the error means for the step that met
 * it and, where there is one, what to do. The caller prints the number
 * beside it. */
#include "error_text.h"

#include <stdio.h>
#include <string.h>

#include "qrvctl.h"

typedef struct ErrorText {
  const char* step; /* NULL: any step */
  DWORD error;
  const char* text;
} ErrorText;

/* The first row that matches wins, so step-specific rows come first. */
static const ErrorText kTexts[] = {
    {"install", ERROR_SERVICE_EXISTS,
     "the driver's service already exists (start it, or stop and remove it first)"},
    {"install", ERROR_SERVICE_MARKED_FOR_DELETE,
     "the driver's old service is still being deleted (stop it first)"},
    {"start", ERROR_SERVICE_ALREADY_RUNNING, "the driver is already running"},
    {"start", ERROR_FILE_NOT_FOUND,
     "the driver file was not found (the path given to install is wrong)"},
    {"start", ERROR_PATH_NOT_FOUND,
     "the driver file was not found (the path given to install is wrong)"},
    {"start", ERROR_BAD_EXE_FORMAT,
     "failed to load the driver file (wrong path or architecture: a 32-bit prefix is needed)"},
    {"start", ERROR_DLL_INIT_FAILED,
     "failed to load the driver file (wrong path or architecture: a 32-bit prefix is needed)"},
    {"start", ERROR_SERVICE_NOT_ACTIVE, "the driver stopped again while it started"},
    {"stop", ERROR_SERVICE_NOT_ACTIVE, "the driver is not running"},
    {"remove", ERROR_SERVICE_MARKED_FOR_DELETE, "the driver's service is already being deleted"},
    {"opening the control device", ERROR_FILE_NOT_FOUND,
     "the driver is not running (qrvctl start; under Wine, keep one session "
     "for all commands: wineserver -p)"},
    {"post", ERROR_NOT_FOUND, "service not registered (no port; is the host serving it?)"},
    {"post", ERROR_INVALID_PARAMETER, "the message is too long"},
    {"outcome", WAIT_TIMEOUT, "no final outcome in time (the host has not answered)"},
    {"wait", WAIT_TIMEOUT, "no host registered the service in time (is the host running?)"},
    {"fault", ERROR_INVALID_PARAMETER, "the driver does not take this plan for the kind"},
    {"reading the file", ERROR_FILE_NOT_FOUND, "no such file"},
    {"reading the file", ERROR_PATH_NOT_FOUND, "no such file"},
    {"reading the file", ERROR_ACCESS_DENIED, "access to the file denied"},
    {"reading the file", ERROR_FILE_TOO_LARGE,
     "the file holds more than a message takes (65536 bytes)"},
    {"writing the reply file", ERROR_PATH_NOT_FOUND, "no such folder"},
    {"writing the reply file", ERROR_ACCESS_DENIED, "access to the file denied"},
    {NULL, WAIT_TIMEOUT, "the driver did not answer in time"},
    {NULL, ERROR_SERVICE_DOES_NOT_EXIST,
     "the driver's service does not exist (qrvctl install <path of qrvdrv.sys>)"},
    {NULL, ERROR_SERVICE_DATABASE_LOCKED,
     "the service manager is still starting (a fresh Wine prefix); try again"},
    {NULL, ERROR_SERVICE_REQUEST_TIMEOUT, "the driver did not start or stop in time"},
    {NULL, ERROR_ACCESS_DENIED, "access denied (the service manager needs an administrator)"},
};

static const char* const kReasons[] = {
    [QRVCTL_FAIL_NONE] = "none",
    [QRVCTL_FAIL_PORT_FREED] = "its port was freed",
    [QRVCTL_FAIL_HANDLE_CLOSED] = "the handle that owned its port closed",
    [QRVCTL_FAIL_REPLY_FAULT] = "the reply failed by an injected fault",
    [QRVCTL_FAIL_NO_REPLY] = "its thread received again before replying",
    [QRVCTL_FAIL_UNLOAD] = "the driver unloaded",
    [QRVCTL_FAIL_NO_MEMORY] = "the driver had no memory to keep its reply",
};
QRVCTL_STATIC_ASSERT(sizeof kReasons / sizeof kReasons[0] == QRVCTL_FAIL_NO_MEMORY + 1,
                     "a name for every failure reason");

const char* QrvctlErrorText(const char* step, DWORD error) {
  static char system[256];
  size_t i;
  DWORD length;
  for (i = 0; i < sizeof kTexts / sizeof kTexts[0]; ++i) {
    if (kTexts[i].error == error && (kTexts[i].step == NULL || strcmp(kTexts[i].step, step) == 0))
      return kTexts[i].text;
  }
  length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error,
                          0, system, sizeof system, NULL);
  while (length > 0 && (system[length - 1] == '\n' || system[length - 1] == '\r' ||
                        system[length - 1] == '.' || system[length - 1] == ' '))
    system[--length] = '\0';
  return length > 0 ? system : "unknown error";
}

const char* QrvctlFailReason(unsigned reason) {
  return reason < sizeof kReasons / sizeof kReasons[0] ? kReasons[reason] : "unknown reason";
}
