/*
 * The log of protocol requests the driver has seen: a ring that keeps the
 * newest QRVCTL_LOG_CAPACITY entries, numbered by an ever-growing sequence.
 * Portable C; the model's lock guards it.
 */
#ifndef QRV_SIM_KERNEL_REQUEST_LOG_H_
#define QRV_SIM_KERNEL_REQUEST_LOG_H_

#include <stdint.h>

#include "qrvctl.h"

typedef struct QrvRequestLog {
  uint32_t next;   /* sequence of the next entry */
  uint32_t oldest; /* oldest sequence still kept */
  QrvCtlLogEntry entries[QRVCTL_LOG_CAPACITY];
} QrvRequestLog;

void QrvLogInit(QrvRequestLog* log);

/* Appends an entry with its sequence and code set and every other field
 * QRVCTL_LOG_NONE or 0 (status, flags, lengths, information). The entry
 * stays in place until QRVCTL_LOG_CAPACITY later entries are appended or
 * the log is cleared, so the caller may fill it in as the request goes. */
QrvCtlLogEntry* QrvLogAppend(QrvRequestLog* log, uint32_t code);

/* Drops every entry; sequences go on counting. */
void QrvLogClear(QrvRequestLog* log);

/* Copies up to `capacity` entries, oldest first, starting at sequence
 * `first` (or the oldest kept, if later). Returns how many. */
uint32_t QrvLogRead(const QrvRequestLog* log, uint32_t first, QrvCtlLogEntry* out,
                    uint32_t capacity);

#endif /* QRV_SIM_KERNEL_REQUEST_LOG_H_ */
