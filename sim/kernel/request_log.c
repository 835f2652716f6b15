#include "request_log.h"

#include <string.h>

void QrvLogInit(QrvRequestLog* log) {
  log->next = 0;
  log->oldest = 0;
}

QrvCtlLogEntry* QrvLogAppend(QrvRequestLog* log, uint32_t code) {
  QrvCtlLogEntry* entry = &log->entries[log->next % QRVCTL_LOG_CAPACITY];
  entry->sequence = log->next;
  entry->code = code;
  entry->status = 0;
  entry->flags = 0;
  entry->inputLength = 0;
  entry->outputLength = 0;
  entry->information = 0;
  entry->port = QRVCTL_LOG_NONE;
  entry->threadIndex = QRVCTL_LOG_NONE;
  entry->largeBuffer = QRVCTL_LOG_NONE;
  entry->kind = QRVCTL_LOG_NONE;
  entry->serviceId = QRVCTL_LOG_NONE;
  entry->threadCount = QRVCTL_LOG_NONE;
  entry->word = QRVCTL_LOG_NONE;
  entry->messageId = QRVCTL_LOG_NONE;
  entry->issueSequence = QRVCTL_LOG_NONE;
  memset(entry->input, 0, sizeof(entry->input));
  log->next++;
  if (log->next - log->oldest > QRVCTL_LOG_CAPACITY) log->oldest = log->next - QRVCTL_LOG_CAPACITY;
  return entry;
}

void QrvLogClear(QrvRequestLog* log) { log->oldest = log->next; }

uint32_t QrvLogRead(const QrvRequestLog* log, uint32_t first, QrvCtlLogEntry* out,
                    uint32_t capacity) {
  /* Sequences are compared by distance from `oldest` so that the counter
   * may wrap. */
  uint32_t offset = first - log->oldest;
  uint32_t kept = log->next - log->oldest;
  uint32_t count = 0;
  if (offset > kept) offset = 0;
  for (; offset < kept && count < capacity; offset++, count++)
    out[count] = log->entries[(log->oldest + offset) % QRVCTL_LOG_CAPACITY];
  return count;
}
