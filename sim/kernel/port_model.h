/*
 * The reference driver's port model: ports, thread slots, message queues,
 * delivery, replies, faults, counters and the request log, behind the two
 * devices' control codes (uc_protocol.h for \\.\QRVDev, qrvctl.h for
 * \\.\QRVCtl).
 *
 * Portable C with no kernel includes. The caller supplies memory and the
 * one hook that touches the I/O system (QrvModelOps), and serialises every
 * call: REQUIRES, for every function below, that the caller holds the one
 * lock that guards the model. Because the kernel completes requests outside
 * that lock, the model never completes a request itself: each entry point
 * that can finish requests other than the one it was given links them on
 * `*done` (through QrvRequest.doneNext) with their status and byte count
 * set, and the caller completes them after it has released the lock.
 */
#ifndef QRV_SIM_KERNEL_PORT_MODEL_H_
#define QRV_SIM_KERNEL_PORT_MODEL_H_

#include <stdint.h>

#include "qrv_list.h"

#ifdef __cplusplus
extern "C" {
#endif

/* NTSTATUS values the model completes requests with. */
#define QRV_STATUS_SUCCESS 0x00000000u
#define QRV_STATUS_PENDING 0x00000103u
#define QRV_STATUS_INVALID_PARAMETER 0xC000000Du
#define QRV_STATUS_INVALID_DEVICE_REQUEST 0xC0000010u
#define QRV_STATUS_NO_MEMORY 0xC0000017u
#define QRV_STATUS_BUFFER_TOO_SMALL 0xC0000023u
#define QRV_STATUS_OBJECT_NAME_COLLISION 0xC0000035u
#define QRV_STATUS_INSUFFICIENT_RESOURCES 0xC000009Au
#define QRV_STATUS_CANCELLED 0xC0000120u
#define QRV_STATUS_INVALID_DEVICE_STATE 0xC0000184u
#define QRV_STATUS_NOT_FOUND 0xC0000225u

/* Where a pending request is held. */
enum QrvPendingPlace {
  QRV_PENDING_NONE = 0,
  QRV_PENDING_SLOT = 1,
  QRV_PENDING_WAITER = 2,
  QRV_PENDING_DELAYED = 3, /* held back by QRVCTL_FAULT_PEND_REQUEST */
  QRV_PENDING_KEPT = 4     /* a freed port's receive, QRVCTL_FAULT_FREE_KEEPS_RECEIVES */
};

/* One device control request. The caller owns the record; while the model
 * holds it pending (dispatch answered QRV_STATUS_PENDING) the record and the
 * buffers it names must stay valid until the model hands it back on a
 * `done` list or QrvModelForget detaches it. */
typedef struct QrvRequest {
  /* Set by the caller before dispatch. For buffered codes `input` and
   * `output` may be the same memory: the model reads all input first. */
  uint32_t code;
  const void* input;
  uint32_t inputLength;
  void* output; /* null when the caller passed none */
  uint32_t outputLength;
  const void* owner;   /* the open handle the request came through */
  void* context;       /* the caller's own; the model never looks at it */
  uint32_t overlapped; /* non-zero: issued with an overlapped record (logged
                          only; a glue that cannot tell leaves it 0) */

  /* Set by the model when it finishes the request. */
  uint32_t status;
  uint32_t information;
  struct QrvRequest* doneNext;

  /* Set by the model when it holds the request back (place
   * QRV_PENDING_DELAYED): the caller passes `ticket` to QrvModelRunDelayed
   * once `delayMs` milliseconds have passed. */
  uint32_t ticket;
  uint32_t delayMs;
  /* Set by the model when a request it keeps pending ignores cancellation
   * (QRVCTL_FAULT_IGNORE_CANCEL): the caller gives it no cancel routine and
   * never cancels it; the model finishes it in its own time. */
  uint32_t ignoresCancel;

  /* The model's own while the request is pending. */
  uint32_t place; /* enum QrvPendingPlace */
  uint32_t port;
  uint32_t slot;
  uint32_t largeBuffer;
  uint32_t waitGeneration;
  uint32_t sequence;    /* its entry in the request log */
  uint32_t faultStatus; /* non-zero: complete with this instead of a message */
  QrvLink waiterLink;   /* on the model's waiters or delayed requests */
} QrvRequest;

typedef struct QrvModelOps {
  /* Memory for the model, its messages and replies; null on failure. */
  void* (*allocate)(uint32_t size);
  void (*release)(void* block);
  /* Called before the model finishes a pending request. Returns 0 when the
   * request is being cancelled by the I/O system: the model then drops it,
   * and the canceller completes it (as cancelled) after QrvModelForget. */
  int (*claim)(QrvRequest* request);
  /* A millisecond clock, which may wrap: it dates an echo port's pings. */
  uint32_t (*nowMs)(void);
} QrvModelOps;

typedef struct QrvModel QrvModel;

/* Returns null when memory is short. */
QrvModel* QrvModelCreate(const QrvModelOps* ops);
/* REQUIRES: QrvModelShutdown has run and every request it listed has been
 * completed. Frees the model. */
void QrvModelDestroy(QrvModel* model);

/* Handles one request on \\.\QRVDev or \\.\QRVCtl. Returns its status, with
 * request->status and request->information set; QRV_STATUS_PENDING means
 * the model keeps the request until it lists it on a later `done`. */
uint32_t QrvModelDispatchProtocol(QrvModel* model, QrvRequest* request, QrvRequest** done);
uint32_t QrvModelDispatchControl(QrvModel* model, QrvRequest* request, QrvRequest** done);

/* Handles the request held back under `ticket` as it would have been
 * handled at its issue, and lists it on `*done`. Does nothing when no request
 * waits under that ticket any more (it was cancelled meanwhile). */
void QrvModelRunDelayed(QrvModel* model, uint32_t ticket, QrvRequest** done);

/* The I/O system cancels a pending request: detaches it if the model still
 * holds it. The caller then completes it as cancelled. */
void QrvModelForget(QrvModel* model, QrvRequest* request, QrvRequest** done);

/* The handle `owner` (not null) closed: frees the ports it allocated (failing their
 * messages back) and finishes its pending requests as cancelled. */
void QrvModelCloseOwner(QrvModel* model, const void* owner, QrvRequest** done);

/* Driver unload: frees every port and finishes every pending request as
 * cancelled. */
void QrvModelShutdown(QrvModel* model, QrvRequest** done);

#ifdef __cplusplus
}
#endif

#endif /* QRV_SIM_KERNEL_PORT_MODEL_H_ */
