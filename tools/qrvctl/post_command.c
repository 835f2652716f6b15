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
  const char* replyFile; /* where an answer's bytes go, or NULL */
  wchar_t replyPath[MAX_PATH];
} PostArguments;

/* Bytes of a text reply printed: a long reply would bury the outcome. */
#define SHOWN_REPLY_BYTES 1000u

/* How much of a text reply of `kept` bytes to show, never ending inside a
 * UTF-8 sequence. */
static uint32_t ShownBytes(const uint8_t* reply, uint32_t kept) {
  uint32_t shown = kept;
  if (shown <= SHOWN_REPLY_BYTES) return shown;
  shown = SHOWN_REPLY_BYTES;
  while (shown > 0 && (reply[shown] & 0xC0) == 0x80) --shown;
  return shown;
}

/* The reply as text, unless it holds control characters: a binary reply
 * would garble the terminal, so only its length is shown. */
static void PrintReply(const uint8_t* reply, uint32_t kept, uint32_t length) {
  uint32_t i;
  uint32_t shown;
  for (i = 0; i < kept; ++i) {
    if ((reply[i] < 0x20 && reply[i] != '\t' && reply[i] != '\n') || reply[i] == 0x7F) {
      printf(", reply %u bytes (binary)", length);
      return;
    }
  }
  shown = ShownBytes(reply, kept);
  printf(", reply %u bytes: %.*s", length, (int)shown, (const char*)reply);
  if (shown < length) printf("... (%u more bytes; --reply-file writes them all)", length - shown);
}

/* The kept reply, byte for byte, in the --reply-file; a reply longer than
 * the driver keeps is said to be cut. */
static int WriteReply(const QrvctlCommand* command, const PostArguments* post, const uint8_t* reply,
                      uint32_t kept, uint32_t length) {
  DWORD written = 0;
  DWORD error = ERROR_SUCCESS;
  HANDLE file = CreateFileW(post->replyPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE)
    return QrvctlFailedOn(command, post->replyFile, "writing the reply file", GetLastError());
  if (!WriteFile(file, reply, kept, &written, NULL)) error = GetLastError();
  if (error == ERROR_SUCCESS && written != kept) error = ERROR_WRITE_FAULT;
  if (!CloseHandle(file) && error == ERROR_SUCCESS) error = GetLastError();
  if (error != ERROR_SUCCESS)
    return QrvctlFailedOn(command, post->replyFile, "writing the reply file", error);
  if (kept < length)
    fprintf(stderr,
            "qrvctl: %s: %s holds the first %u of the reply's %u bytes (all the driver keeps)\n",
            command->name, post->replyFile, kept, length);
  return 0;
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
  if (outcome.state == QRVCTL_MSG_ANSWERED && post->replyFile != NULL)
    return WriteReply(command, post, reply, kept, outcome.replyLength);
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
  PostArguments post = {0, QRVCTL_DEFAULT_TIMEOUT_MS, 1, NULL, 0, NULL, L""};
  const int fromFile = argc > 2 && strcmp(argv[2], "--file") == 0;
  if (QrvctlServiceId(command, argc, argv, &post.serviceId)) return 2;
  if (argc < 3) return QrvctlUsageError(command, "missing text (or --file <path>)");
  if (fromFile && argc < 4) return QrvctlUsageError(command, "missing path after --file");
  if (QrvctlOptions(command, argc, argv, fromFile ? 4 : 3, &post.timeoutMs, &post.wantReply,
                    &post.replyFile))
    return 2;
  if (post.replyFile != NULL && !QrvctlWidePath(post.replyFile, post.replyPath))
    return QrvctlUsageError(command, "the path is not UTF-8 or longer than %d", MAX_PATH - 1);
  if (fromFile) return PostFile(command, argv[3], &post);
  post.payload = (const uint8_t*)argv[2];
  post.length = (uint32_t)strlen(argv[2]);
  return QrvctlWithControl(command, PostAndAwait, &post);
}
