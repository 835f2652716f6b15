/*
 * The port model's state, shared by its translation units (port_model.c:
 * ports, slots and delivery; protocol_dispatch.c: \\.\QRVDev codes;
 * control_dispatch.c: \\.\QRVCtl codes). Not for the driver glue.
 *
 * Invariants, with the model's lock held:
 *  - a slot holds a pending receive only while it holds no message;
 *  - a QUEUED message is on its port's queue and on no slot; an ASSIGNED or
 *    DELIVERED message is on exactly one slot and on no queue; a final
 *    message is on neither;
 *  - every message ever posted and not yet released is on `messages`, so
 *    nothing vanishes: each ends ANSWERED, NOT_WANTED or FAILED_BACK.
 */
#ifndef QRV_SIM_KERNEL_MODEL_INTERNAL_H_
#define QRV_SIM_KERNEL_MODEL_INTERNAL_H_

#include <stdint.h>

#include "fault_plan.h"
#include "port_model.h"
#include "qrvctl.h"
#include "request_log.h"
#include "uc_protocol.h"

typedef struct QrvMessage {
  QrvLink queueLink; /* port queue while QUEUED */
  QrvLink allLink;   /* QrvModel.messages */
  QrvCtlOutcome outcome;
  uint32_t targetSlot;
  uint8_t* payload; /* outcome.payloadLength bytes, after the record */
  uint8_t* reply;   /* kept reply bytes, or null */
  uint32_t replyKept;
  uint32_t releaseWhenFinal; /* nobody will read its outcome */
} QrvMessage;

typedef struct QrvSlot {
  uint32_t bound;
  QrvRequest* pending; /* the slot's pending receive */
  QrvMessage* message; /* ASSIGNED or DELIVERED to this slot */
} QrvSlot;

typedef struct QrvPort {
  uint32_t state; /* enum QrvCtlPortState */
  uint32_t serviceId;
  uint32_t threadCount;
  const void* owner;   /* handle that allocated it */
  uint32_t pinged;     /* echo port: a valid ping has reached it */
  uint32_t lastPingMs; /* its time by ops.nowMs, when pinged */
  QrvSlot slots[UC_MAX_SLOTS];
  QrvLink queue;
} QrvPort;

struct QrvModel {
  QrvModelOps ops;
  QrvPort ports[UC_MAX_PORTS];
  QrvLink messages;
  QrvLink waiters; /* pending QRVCTL_IOCTL_WAIT_CHANGE requests */
  QrvLink delayed; /* protocol requests held back by QRVCTL_FAULT_PEND_REQUEST */
  QrvLink kept;    /* receives of freed ports, QRVCTL_FAULT_FREE_KEEPS_RECEIVES */
  uint32_t nextTicket;
  uint32_t nextMessageId;
  QrvCtlCounters counters; /* counters.generation is the model's generation */
  QrvFaultPlan faults[QRVCTL_FAULT_KIND_COUNT];
  QrvRequestLog log;
};

/* Little-endian access to request records, whatever the host's order. */
static inline uint32_t QrvLoad32(const void* at) {
  const uint8_t* b = (const uint8_t*)at;
  return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

static inline void QrvStore32(void* at, uint32_t value) {
  uint8_t* b = (uint8_t*)at;
  b[0] = (uint8_t)value;
  b[1] = (uint8_t)(value >> 8);
  b[2] = (uint8_t)(value >> 16);
  b[3] = (uint8_t)(value >> 24);
}

void QrvCopyBytes(void* to, const void* from, uint32_t count);

/* Finishes `request` now with a status and byte count; returns the status. */
uint32_t QrvFinish(QrvRequest* request, uint32_t status, uint32_t information);

/* port_model.c */

/* Forgets a message that is on no queue and no slot, and frees it. */
void QrvReleaseMessage(QrvModel* model, QrvMessage* message);

/* The port holding service `serviceId`, or null. */
QrvPort* QrvFindServicePort(QrvModel* model, uint32_t serviceId);
/* The first queued message that thread index `slot` may take, or null. */
QrvMessage* QrvFirstQueuedFor(QrvPort* port, uint32_t slot);
/* Hands queued messages to the port's idle pending receives. */
void QrvDispatchQueue(QrvModel* model, uint32_t port, QrvRequest** done);
/* Gives `message` to the receive `request` on `port`/`slot`, at its issue
 * or (`completion`) when it was pending: writes the message, or its needed
 * size when it does not fit, and notes both in `entry`. Finishes the
 * request and returns its status. */
uint32_t QrvDeliver(QrvModel* model, QrvRequest* request, uint32_t port, uint32_t slot,
                    QrvMessage* message, QrvCtlLogEntry* entry, int completion);
/* Ends a message that will not be answered. */
void QrvFailBack(QrvModel* model, QrvMessage* message, uint32_t reason);
/* Called once a message is final and on no queue or slot: releases it when
 * its poster asked so. The caller must not touch it afterwards. */
void QrvSettle(QrvModel* model, QrvMessage* message);
/* Consumes one request of `code` for the fault `kind`. Returns 1 when the
 * fault hits it, counting and flagging it in `entry`. */
int QrvFaultFires(QrvModel* model, uint32_t kind, uint32_t code, QrvCtlLogEntry* entry);
/* Moves the port's pending receives to the kept list, where only a cancel
 * or the close of their handle ends them. */
void QrvKeepReceives(QrvModel* model, uint32_t port);
/* Returns a port to the free pool: cancels its pending receives and fails
 * back its queued and assigned messages. */
void QrvFreePort(QrvModel* model, uint32_t port, uint32_t reason, QrvRequest** done);
/* Completes every pending wait whose generation is stale. */
void QrvWakeWaiters(QrvModel* model, QrvRequest** done);
/* Takes a pending request back from where it waits. Returns 1 when the
 * caller may finish it, 0 when the I/O system is cancelling it (it is then
 * counted and logged as cancelled, and left to the canceller). */
int QrvClaimPending(QrvModel* model, QrvRequest* request);
/* Appends the log entry of a pending request that completes now. */
QrvCtlLogEntry* QrvLogCompletion(QrvModel* model, const QrvRequest* request);
/* Finishes a claimed pending request and lists it on `done`. */
void QrvListDone(QrvRequest* request, uint32_t status, uint32_t information, QrvRequest** done);

#endif /* QRV_SIM_KERNEL_MODEL_INTERNAL_H_ */
