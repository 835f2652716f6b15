/* Ports, thread slots, message delivery and the pending-request bookkeeping
 * shared by both devices' dispatch. */
#include <string.h>

#include "model_internal.h"

void QrvCopyBytes(void* to, const void* from, uint32_t count) {
  if (count > 0) memcpy(to, from, count);
}

uint32_t QrvFinish(QrvRequest* request, uint32_t status, uint32_t information) {
  request->status = status;
  request->information = information;
  return status;
}

QrvModel* QrvModelCreate(const QrvModelOps* ops) {
  QrvModel* model = (QrvModel*)ops->allocate(sizeof(QrvModel));
  uint32_t port;
  if (!model) return NULL;
  memset(model, 0, sizeof(*model));
  model->ops = *ops;
  for (port = 0; port < UC_MAX_PORTS; port++) QrvListInit(&model->ports[port].queue);
  QrvListInit(&model->messages);
  QrvListInit(&model->waiters);
  QrvListInit(&model->delayed);
  QrvListInit(&model->kept);
  model->nextMessageId = 1;
  QrvLogInit(&model->log);
  return model;
}

void QrvReleaseMessage(QrvModel* model, QrvMessage* message) {
  QrvListRemove(&message->allLink);
  if (message->reply) model->ops.release(message->reply);
  model->ops.release(message);
}

void QrvModelDestroy(QrvModel* model) {
  while (!QrvListEmpty(&model->messages))
    QrvReleaseMessage(model, QRV_CONTAINER_OF(model->messages.next, QrvMessage, allLink));
  model->ops.release(model);
}

QrvPort* QrvFindServicePort(QrvModel* model, uint32_t serviceId) {
  uint32_t port;
  for (port = 0; port < UC_MAX_PORTS; port++) {
    QrvPort* candidate = &model->ports[port];
    if (candidate->state == QRVCTL_PORT_SERVICE && candidate->serviceId == serviceId)
      return candidate;
  }
  return NULL;
}

QrvMessage* QrvFirstQueuedFor(QrvPort* port, uint32_t slot) {
  QrvLink* link;
  for (link = port->queue.next; link != &port->queue; link = link->next) {
    QrvMessage* message = QRV_CONTAINER_OF(link, QrvMessage, queueLink);
    if (message->targetSlot == QRVCTL_ANY_SLOT || message->targetSlot == slot) return message;
  }
  return NULL;
}

QrvCtlLogEntry* QrvLogCompletion(QrvModel* model, const QrvRequest* request) {
  QrvCtlLogEntry* entry = QrvLogAppend(&model->log, request->code);
  entry->flags = QRVCTL_LOG_COMPLETION;
  entry->inputLength = request->inputLength;
  entry->outputLength = request->outputLength;
  entry->port = request->port;
  entry->threadIndex = request->slot;
  entry->largeBuffer = request->largeBuffer;
  entry->issueSequence = request->sequence;
  return entry;
}

static void Detach(QrvModel* model, QrvRequest* request) {
  if (request->place == QRV_PENDING_SLOT) {
    QrvSlot* slot = &model->ports[request->port].slots[request->slot];
    if (slot->pending == request) slot->pending = NULL;
  } else if (request->place != QRV_PENDING_NONE) {
    QrvListRemove(&request->waiterLink);
  }
  request->place = QRV_PENDING_NONE;
}

/* A pending receive ends as cancelled: count and log it. */
/* Every cancelled request shows in the log; the counter is of receives. */
static void NoteCancelled(QrvModel* model, const QrvRequest* request) {
  QrvCtlLogEntry* entry = QrvLogCompletion(model, request);
  entry->status = QRV_STATUS_CANCELLED;
  if (request->code == UC_RECEIVE) model->counters.cancelled++;
}

int QrvClaimPending(QrvModel* model, QrvRequest* request) {
  Detach(model, request);
  if (model->ops.claim(request)) return 1;
  NoteCancelled(model, request);
  return 0;
}

void QrvListDone(QrvRequest* request, uint32_t status, uint32_t information, QrvRequest** done) {
  QrvFinish(request, status, information);
  request->doneNext = *done;
  *done = request;
}

static void CancelPending(QrvModel* model, QrvRequest* request, QrvRequest** done) {
  if (!QrvClaimPending(model, request)) return;
  NoteCancelled(model, request);
  QrvListDone(request, QRV_STATUS_CANCELLED, 0, done);
}

void QrvModelForget(QrvModel* model, QrvRequest* request, QrvRequest** done) {
  if (request->place == QRV_PENDING_NONE) return; /* already counted when dropped */
  Detach(model, request);
  NoteCancelled(model, request);
  model->counters.generation++;
  QrvWakeWaiters(model, done);
}

int QrvFaultFires(QrvModel* model, uint32_t kind, uint32_t code, QrvCtlLogEntry* entry) {
  if (!QrvFaultHits(&model->faults[kind], code)) return 0;
  model->counters.faultsFired++;
  entry->flags |= QRVCTL_LOG_FAULT;
  return 1;
}

static uint32_t ReportTooSmall(QrvModel* model, QrvRequest* request, QrvMessage* message,
                               uint32_t needed, QrvCtlLogEntry* entry, int completion) {
  const QrvFaultPlan* size = &model->faults[QRVCTL_FAULT_TOO_SMALL_SIZE];
  const QrvFaultPlan* status = &model->faults[QRVCTL_FAULT_TOO_SMALL_STATUS];
  uint32_t word = needed;
  if (QrvFaultFires(model, QRVCTL_FAULT_TOO_SMALL_SIZE, request->code, entry))
    word = (size->flags & QRVCTL_FAULT_OUTPUT_LENGTH) ? request->outputLength : size->value;
  /* The output travels by direct I/O, so the size reaches the caller
   * although the request fails; the byte count covers that one word. */
  QrvStore32(request->output, word);
  message->outcome.state = QRVCTL_MSG_ASSIGNED;
  message->outcome.tooSmallReports++;
  if (completion)
    model->counters.tooSmallCompleted++;
  else
    model->counters.tooSmallAtOnce++;
  entry->word = word;
  if (QrvFaultFires(model, QRVCTL_FAULT_TOO_SMALL_STATUS, request->code, entry))
    return QrvFinish(request, status->value, UC_MESSAGE_HEADER_SIZE);
  return QrvFinish(request, QRV_STATUS_BUFFER_TOO_SMALL, UC_MESSAGE_HEADER_SIZE);
}

/* The byte count a delivery completes with: the message's size unless a
 * fault makes it shorter or longer. */
static uint32_t ByteCountOf(QrvModel* model, const QrvRequest* request, uint32_t needed,
                            QrvCtlLogEntry* entry) {
  const QrvFaultPlan* shorter = &model->faults[QRVCTL_FAULT_SHORT_COMPLETION];
  const QrvFaultPlan* longer = &model->faults[QRVCTL_FAULT_LONG_COMPLETION];
  if (QrvFaultFires(model, QRVCTL_FAULT_SHORT_COMPLETION, request->code, entry))
    return shorter->value < request->outputLength ? shorter->value : request->outputLength;
  if (QrvFaultFires(model, QRVCTL_FAULT_LONG_COMPLETION, request->code, entry))
    return request->outputLength + longer->value;
  return needed;
}

uint32_t QrvDeliver(QrvModel* model, QrvRequest* request, uint32_t port, uint32_t slot,
                    QrvMessage* message, QrvCtlLogEntry* entry, int completion) {
  QrvSlot* target = &model->ports[port].slots[slot];
  uint8_t* out = (uint8_t*)request->output;
  uint32_t needed = UC_MESSAGE_HEADER_SIZE + message->outcome.payloadLength;
  if (message->outcome.state == QRVCTL_MSG_QUEUED) QrvListRemove(&message->queueLink);
  target->message = message;
  message->outcome.slot = slot;
  entry->messageId = message->outcome.messageId;
  if (request->outputLength < needed)
    return ReportTooSmall(model, request, message, needed, entry, completion);
  QrvStore32(out, message->outcome.header);
  QrvCopyBytes(out + UC_MESSAGE_HEADER_SIZE, message->payload, message->outcome.payloadLength);
  model->counters.delivered++;
  entry->word = message->outcome.header;
  QrvFinish(request, QRV_STATUS_SUCCESS, ByteCountOf(model, request, needed, entry));
  if (message->outcome.header != 0) {
    message->outcome.state = QRVCTL_MSG_DELIVERED;
  } else {
    message->outcome.state = QRVCTL_MSG_NOT_WANTED;
    target->message = NULL;
    model->counters.notWanted++;
    QrvSettle(model, message);
  }
  return QRV_STATUS_SUCCESS;
}

void QrvDispatchQueue(QrvModel* model, uint32_t port, QrvRequest** done) {
  QrvPort* holder = &model->ports[port];
  uint32_t slot;
  for (slot = 0; slot < holder->threadCount; slot++) {
    QrvSlot* idle = &holder->slots[slot];
    QrvMessage* message;
    QrvRequest* receive = idle->pending;
    QrvCtlLogEntry* entry;
    if (!receive || idle->message) continue;
    message = QrvFirstQueuedFor(holder, slot);
    /* Claim before writing: a receive being cancelled must not swallow it. */
    if (!message || !QrvClaimPending(model, receive)) continue;
    entry = QrvLogCompletion(model, receive);
    if (receive->faultStatus) {
      /* A faulted receive ends instead of taking the message, which stays
       * queued for the next idle receive. */
      entry->flags |= QRVCTL_LOG_FAULT;
      entry->status = receive->faultStatus;
      QrvListDone(receive, receive->faultStatus, 0, done);
      continue;
    }
    QrvDeliver(model, receive, port, slot, message, entry, 1);
    entry->status = receive->status;
    entry->information = receive->information;
    QrvListDone(receive, receive->status, receive->information, done);
  }
}

void QrvFailBack(QrvModel* model, QrvMessage* message, uint32_t reason) {
  uint32_t state = message->outcome.state;
  if (state == QRVCTL_MSG_QUEUED) {
    QrvListRemove(&message->queueLink);
  } else if (state == QRVCTL_MSG_ASSIGNED || state == QRVCTL_MSG_DELIVERED) {
    model->ports[message->outcome.port].slots[message->outcome.slot].message = NULL;
  }
  message->outcome.state = QRVCTL_MSG_FAILED_BACK;
  message->outcome.failReason = reason;
  model->counters.failedBack++;
  QrvSettle(model, message);
}

void QrvSettle(QrvModel* model, QrvMessage* message) {
  if (message->releaseWhenFinal) QrvReleaseMessage(model, message);
}

void QrvKeepReceives(QrvModel* model, uint32_t port) {
  uint32_t slot;
  for (slot = 0; slot < UC_MAX_SLOTS; slot++) {
    QrvRequest* pending = model->ports[port].slots[slot].pending;
    if (!pending) continue;
    model->ports[port].slots[slot].pending = NULL;
    pending->place = QRV_PENDING_KEPT;
    QrvListPushBack(&model->kept, &pending->waiterLink);
  }
}

void QrvFreePort(QrvModel* model, uint32_t port, uint32_t reason, QrvRequest** done) {
  QrvPort* holder = &model->ports[port];
  uint32_t slot;
  for (slot = 0; slot < UC_MAX_SLOTS; slot++) {
    QrvSlot* each = &holder->slots[slot];
    if (each->pending) CancelPending(model, each->pending, done);
    if (each->message) QrvFailBack(model, each->message, reason);
    each->bound = 0;
  }
  while (!QrvListEmpty(&holder->queue))
    QrvFailBack(model, QRV_CONTAINER_OF(holder->queue.next, QrvMessage, queueLink), reason);
  holder->state = QRVCTL_PORT_FREE;
  holder->serviceId = 0;
  holder->threadCount = 0;
  holder->owner = NULL;
}

void QrvWakeWaiters(QrvModel* model, QrvRequest** done) {
  QrvLink* link = model->waiters.next;
  while (link != &model->waiters) {
    QrvRequest* waiter = QRV_CONTAINER_OF(link, QrvRequest, waiterLink);
    link = link->next;
    if (waiter->waitGeneration == model->counters.generation) continue;
    if (!QrvClaimPending(model, waiter)) continue;
    QrvStore32(waiter->output, model->counters.generation);
    QrvListDone(waiter, QRV_STATUS_SUCCESS, sizeof(uint32_t), done);
  }
}

/* Cancels the requests on `list` (waiters or delayed) that came through
 * `owner`, or all of them when it is null. */
static void CancelListed(QrvModel* model, QrvLink* list, const void* owner, QrvRequest** done) {
  QrvLink* link = list->next;
  while (link != list) {
    QrvRequest* request = QRV_CONTAINER_OF(link, QrvRequest, waiterLink);
    link = link->next;
    if (!owner || request->owner == owner) CancelPending(model, request, done);
  }
}

static void CancelOwnedRequests(QrvModel* model, const void* owner, QrvRequest** done) {
  uint32_t port, slot;
  for (port = 0; port < UC_MAX_PORTS; port++) {
    for (slot = 0; slot < UC_MAX_SLOTS; slot++) {
      QrvRequest* pending = model->ports[port].slots[slot].pending;
      if (pending && (!owner || pending->owner == owner)) CancelPending(model, pending, done);
    }
  }
  CancelListed(model, &model->waiters, owner, done);
  CancelListed(model, &model->delayed, owner, done);
  CancelListed(model, &model->kept, owner, done);
}

void QrvModelCloseOwner(QrvModel* model, const void* owner, QrvRequest** done) {
  uint32_t port;
  for (port = 0; port < UC_MAX_PORTS; port++) {
    QrvPort* holder = &model->ports[port];
    if (holder->state != QRVCTL_PORT_FREE && holder->owner == owner)
      QrvFreePort(model, port, QRVCTL_FAIL_HANDLE_CLOSED, done);
  }
  CancelOwnedRequests(model, owner, done);
  model->counters.generation++;
  QrvWakeWaiters(model, done);
}

void QrvModelShutdown(QrvModel* model, QrvRequest** done) {
  uint32_t port;
  for (port = 0; port < UC_MAX_PORTS; port++) {
    if (model->ports[port].state != QRVCTL_PORT_FREE)
      QrvFreePort(model, port, QRVCTL_FAIL_UNLOAD, done);
  }
  CancelOwnedRequests(model, NULL, done);
}
