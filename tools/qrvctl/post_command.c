#include "post_command.h"

#include <stdlib.h>
#include <string.h>

#include "error_text.h"
#include "qrv_testkit.h"

static const char* const kStates[] = {"unknown",  "queued",     "assigned",   "delivered",
                                      "answered", "not wanted", "failed back"};

typedef struct PostArguments {
  uint32_t serviceId;
  uint32_t timeoutMs;
  int wantReply;
  const uint8_t* payload;
  uint32_t length;
} PostArguments;

/* The reply as text, unless it holds control characters: a binary reply
 * would garble the terminal, so only its length is shown. */
static void PrintReply(const uint8_t* reply, uint32_t kept, uint32_t length) {
  uint32_t i;
  for (i = 0; i < kept; ++i) {
    if ((reply[i] < 0x20 && reply[i] != '\t' && reply[i] != '\n') || reply[i] == 0x7F) {
      printf(", reply %u bytes (binary)", length);
      return;
    }
  }
  printf(", reply %u bytes: %.*s", length, (int)kept, (const char*)reply);
}

/* 0 for answered and not wanted; a failed-back or unfinished message gets
 * a status of its own. */
static int OutcomeStatus(const QrvctlCommand* command, DWORD error, uint32_t state) {
  if (error == WAIT_TIMEOUT) {
    QrvctlFailed(command, "outcome", error);
    return QRVCTL_EXIT_NO_ANSWER;
  }
  return state == QRVCTL_MSG_FAILED_BACK ? QRVCTL_EXIT_FAILED_BACK : 0;
}

static int PostAndAwait(const QrvctlCommand* command, HANDLE control, void* context) {
  static uint8_t reply[QRVCTL_MAX_REPLY];
  const PostArguments* post = (const PostArguments*)context;
  uint32_t id = 0;
  uint32_t kept = 0;
  QrvCtlOutcome outcome;
  DWORD error = QrvTestkitPost(control, post->serviceId, post->wantReply, post->payload,
                               post->length, QRVCTL_ANY_SLOT, &id);
  if (error != ERROR_SUCCESS) return QrvctlFailed(command, "post", error);
  memset(&outcome, 0, sizeof outcome);
  error =
      QrvTestkitAwaitOutcome(control, id, post->timeoutMs, &outcome, reply, sizeof reply, &kept);
  if (error != ERROR_SUCCESS && error != WAIT_TIMEOUT)
    return QrvctlFailed(command, "outcome", error);
  printf("message %u to service %u (port %u, thread %d): %s", id, post->serviceId, outcome.port,
         outcome.slot == QRVCTL_ANY_SLOT ? -1 : (int)outcome.slot,
         outcome.state < sizeof kStates / sizeof kStates[0] ? kStates[outcome.state] : "?");
  if (outcome.state == QRVCTL_MSG_FAILED_BACK)
    printf(" (reason %u: %s)", outcome.failReason, QrvctlFailReason(outcome.failReason));
  if (outcome.state == QRVCTL_MSG_ANSWERED) PrintReply(reply, kept, outcome.replyLength);
  printf("\n");
  return OutcomeStatus(command, error, outcome.state);
}

/* Reads the whole file into a block of its own (free it); more than a
 * message takes is refused before anything is read. */
static DWORD ReadWhole(HANDLE file, uint8_t** bytes, uint32_t* length) {
  LARGE_INTEGER size;
  DWORD read = 0;
  if (!GetFileSizeEx(file, &size)) return GetLastError();
  if (size.QuadPart > QRVCTL_MAX_PAYLOAD) return ERROR_FILE_TOO_LARGE;
  *bytes = (uint8_t*)malloc((size_t)size.QuadPart + 1);
  if (*bytes == NULL) return ERROR_NOT_ENOUGH_MEMORY;
  if (!ReadFile(file, *bytes, (DWORD)size.QuadPart, &read, NULL)) return GetLastError();
  *length = read;
  return read == size.QuadPart ? ERROR_SUCCESS : ERROR_HANDLE_EOF;
}

static int PostFile(const QrvctlCommand* command, const char* path, PostArguments* post) {
  wchar_t wide[MAX_PATH];
  uint8_t* bytes = NULL;
  HANDLE file;
  DWORD error;
  int status;
  if (!QrvctlWidePath(path, wide))
    return QrvctlUsageError(command, "the path is not UTF-8 or longer than %d", MAX_PATH - 1);
  file = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE)
    return QrvctlFailedOn(command, path, "reading the file", GetLastError());
  error = ReadWhole(file, &bytes, &post->length);
  CloseHandle(file);
  post->payload = bytes;
  status = error == ERROR_SUCCESS ? QrvctlWithControl(command, PostAndAwait, post)
                                  : QrvctlFailedOn(command, path, "reading the file", error);
  free(bytes);
  return status;
}

int QrvctlPost(const QrvctlCommand* command, int argc, char** argv) {
  PostArguments post = {0, QRVCTL_DEFAULT_TIMEOUT_MS, 1, NULL, 0};
  const int fromFile = argc > 2 && strcmp(argv[2], "--file") == 0;
  if (QrvctlServiceId(command, argc, argv, &post.serviceId)) return 2;
  if (argc < 3) return QrvctlUsageError(command, "missing text (or --file <path>)");
  if (fromFile && argc < 4) return QrvctlUsageError(command, "missing path after --file");
  if (QrvctlOptions(command, argc, argv, fromFile ? 4 : 3, &post.timeoutMs, &post.wantReply))
    return 2;
  if (fromFile) return PostFile(command, argv[3], &post);
  post.payload = (const uint8_t*)argv[2];
  post.length = (uint32_t)strlen(argv[2]);
  return QrvctlWithControl(command, PostAndAwait, &post);
}
