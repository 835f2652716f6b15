/* The codes of \\.\QRVCtl, through which a test host plays the driver's own
 * side. These requests are not logged: the log holds protocol requests. */
#include <string.h>

#include "model_internal.h"

static int HasRoom(const QrvRequest* request, uint32_t size) {
  return request->output != NULL && request->outputLength >= size;
}

static QrvMessage* FindMessage(QrvModel* model, uint32_t id) {
  QrvLink* link;
  for (link = model->messages.next; link != &model->messages; link = link->next) {
    QrvMessage* message = QRV_CONTAINER_OF(link, QrvMessage, allLink);
    if (message->outcome.messageId == id) return message;
  }
  return NULL;
}

static int IsFinal(const QrvMessage* message) {
  return message->outcome.state >= QRVCTL_MSG_ANSWERED;
}

static QrvMessage* NewMessage(QrvModel* model, const QrvCtlPost* post, uint32_t port,
                              const uint8_t* payload) {
  QrvMessage* message = (QrvMessage*)model->ops.allocate(sizeof(QrvMessage) + post->payloadLength);
  if (!message) return NULL;
  memset(message, 0, sizeof(*message));
  message->payload = (uint8_t*)(message + 1);
  QrvCopyBytes(message->payload, payload, post->payloadLength);
  message->targetSlot = post->targetSlot;
  message->outcome.messageId = model->nextMessageId++;
  if (model->nextMessageId == 0) model->nextMessageId = 1; /* 0 never names a message */
  message->outcome.state = QRVCTL_MSG_QUEUED;
  message->outcome.port = port;
  message->outcome.slot = QRVCTL_ANY_SLOT;
  message->outcome.header = post->header;
  message->outcome.payloadLength = post->payloadLength;
  return message;
}

/* Queues `copies` messages of the QrvCtlPost that lies `offset` bytes into
 * the input, its payload running to the input's end: every copy is made
 * before any is queued, so a refusal queues nothing. */
static uint32_t PostMessages(QrvModel* model, QrvRequest* request, uint32_t offset, uint32_t copies,
                             uint32_t releaseWhenFinal, QrvRequest** done) {
  const uint8_t* in = (const uint8_t*)request->input + offset;
  QrvCtlPost post;
  QrvPort* port;
  QrvLink made;
  uint32_t portIndex, n;
  if (request->inputLength < offset + sizeof(post) || !HasRoom(request, sizeof(uint32_t)))
    return QrvFinish(request, QRV_STATUS_INVALID_PARAMETER, 0);
  memcpy(&post, in, sizeof(post));
  if (post.payloadLength != request->inputLength - offset - sizeof(post) ||
      post.payloadLength > QRVCTL_MAX_PAYLOAD || copies == 0 || copies > QRVCTL_MAX_COPIES)
    return QrvFinish(request, QRV_STATUS_INVALID_PARAMETER, 0);
  port = QrvFindServicePort(model, post.serviceId);
  if (!port) return QrvFinish(request, QRV_STATUS_NOT_FOUND, 0);
  if (post.targetSlot != QRVCTL_ANY_SLOT && post.targetSlot >= port->threadCount)
    return QrvFinish(request, QRV_STATUS_INVALID_PARAMETER, 0);
  portIndex = (uint32_t)(port - model->ports);
  QrvListInit(&made);
  for (n = 0; n < copies; n++) {
    /* Copies the payload out before the answer overwrites the shared buffer. */
    QrvMessage* message = NewMessage(model, &post, portIndex, in + sizeof(post));
    if (!message) break;
    message->releaseWhenFinal = releaseWhenFinal;
    QrvListPushBack(&made, &message->queueLink);
  }
  if (n < copies) {
    while (!QrvListEmpty(&made)) {
      QrvMessage* message = QRV_CONTAINER_OF(made.next, QrvMessage, queueLink);
      QrvListRemove(&message->queueLink);
      model->ops.release(message);
    }
    return QrvFinish(request, QRV_STATUS_NO_MEMORY, 0);
  }
  QrvStore32(request->output,
             QRV_CONTAINER_OF(made.next, QrvMessage, queueLink)->outcome.messageId);
  while (!QrvListEmpty(&made)) {
    QrvMessage* message = QRV_CONTAINER_OF(made.next, QrvMessage, queueLink);
    QrvListRemove(&message->queueLink);
    QrvListPushBack(&port->queue, &message->queueLink);
    QrvListPushBack(&model->messages, &message->allLink);
  }
  model->counters.posted += copies;
  model->counters.generation++;
  QrvFinish(request, QRV_STATUS_SUCCESS, sizeof(uint32_t));
  QrvDispatchQueue(model, portIndex, done);
  return QRV_STATUS_SUCCESS;
}

static uint32_t Post(QrvModel* model, QrvRequest* request, QrvRequest** done) {
  return PostMessages(model, request, 0, 1, 0, done);
}

static uint32_t PostCopies(QrvModel* model, QrvRequest* request, QrvRequest** done) {
  uint32_t copies = 0;
  if (request->inputLength >= sizeof(copies)) memcpy(&copies, request->input, sizeof(copies));
  return PostMessages(model, request, sizeof(copies), copies, 1, done);
}

static uint32_t Outcome(QrvModel* model, QrvRequest* request) {
  QrvCtlOutcomeRequest asked;
  QrvCtlOutcome outcome;
  QrvMessage* message;
  uint32_t copied = 0;
  if (request->inputLength != sizeof(asked) || !HasRoom(request, sizeof(outcome)))
    return QrvFinish(request, QRV_STATUS_INVALID_PARAMETER, 0);
  memcpy(&asked, request->input, sizeof(asked));
  message = FindMessage(model, asked.messageId);
  memset(&outcome, 0, sizeof(outcome));
  outcome.messageId = asked.messageId;
  outcome.port = QRVCTL_NO_PORT;
  outcome.slot = QRVCTL_ANY_SLOT;
  if (message) {
    uint32_t room = request->outputLength - sizeof(outcome);
    outcome = message->outcome;
    copied = message->replyKept < room ? message->replyKept : room;
    QrvCopyBytes((uint8_t*)request->output + sizeof(outcome), message->reply, copied);
  }
  outcome.generation = model->counters.generation;
  memcpy(request->output, &outcome, sizeof(outcome));
  if (message && asked.release == QRVCTL_RELEASE_WHEN_FINAL) message->releaseWhenFinal = 1;
  if (message && asked.release && IsFinal(message)) {
    QrvReleaseMessage(model, message);
    model->counters.generation++;
  }
  return QrvFinish(request, QRV_STATUS_SUCCESS, sizeof(outcome) + copied);
}

static uint32_t Counters(QrvModel* model, QrvRequest* request) {
  if (!HasRoom(request, sizeof(QrvCtlCounters)))
    return QrvFinish(request, QRV_STATUS_INVALID_PARAMETER, 0);
  memcpy(request->output, &model->counters, sizeof(QrvCtlCounters));
  return QrvFinish(request, QRV_STATUS_SUCCESS, sizeof(QrvCtlCounters));
}

static void DescribePort(QrvModel* model, const QrvPort* port, QrvCtlPortInfo* info) {
  const QrvLink* link;
  uint32_t slot;
  memset(info, 0, sizeof(*info));
  info->state = port->state;
  info->sinceLastPingMs = port->state == QRVCTL_PORT_ECHO && port->pinged
                              ? model->ops.nowMs() - port->lastPingMs
                              : QRVCTL_NOT_PINGED;
  info->serviceId = port->serviceId;
  info->threadCount = port->threadCount;
  for (slot = 0; slot < UC_MAX_SLOTS; slot++) {
    info->boundSlots += port->slots[slot].bound ? 1 : 0;
    info->pendingReceives += port->slots[slot].pending ? 1 : 0;
    info->assignedMessages += port->slots[slot].message ? 1 : 0;
  }
  for (link = port->queue.next; link != &port->queue; link = link->next) info->queuedMessages++;
}

static uint32_t Ports(QrvModel* model, QrvRequest* request) {
  QrvCtlPorts ports;
  uint32_t port;
  if (!HasRoom(request, sizeof(ports))) return QrvFinish(request, QRV_STATUS_INVALID_PARAMETER, 0);
  memset(&ports, 0, sizeof(ports));
  ports.generation = model->counters.generation;
  for (port = 0; port < UC_MAX_PORTS; port++)
    DescribePort(model, &model->ports[port], &ports.ports[port]);
  memcpy(request->output, &ports, sizeof(ports));
  return QrvFinish(request, QRV_STATUS_SUCCESS, sizeof(ports));
}

static uint32_t ReadLog(QrvModel* model, QrvRequest* request) {
  QrvCtlLogHeader header;
  uint32_t first;
  if (request->inputLength != sizeof(first) || !HasRoom(request, sizeof(header)))
    return QrvFinish(request, QRV_STATUS_INVALID_PARAMETER, 0);
  first = QrvLoad32(request->input);
  header.count =
      QrvLogRead(&model->log, first, (QrvCtlLogEntry*)((uint8_t*)request->output + sizeof(header)),
                 (request->outputLength - sizeof(header)) / sizeof(QrvCtlLogEntry));
  header.nextSequence = model->log.next;
  header.oldestSequence = model->log.oldest;
  header.generation = model->counters.generation;
  memcpy(request->output, &header, sizeof(header));
  return QrvFinish(request, QRV_STATUS_SUCCESS,
                   sizeof(header) + header.count * sizeof(QrvCtlLogEntry));
}

static uint32_t SetFault(QrvModel* model, QrvRequest* request) {
  QrvCtlFault fault;
  if (request->inputLength != sizeof(fault))
    return QrvFinish(request, QRV_STATUS_INVALID_PARAMETER, 0);
  memcpy(&fault, request->input, sizeof(fault));
  if (fault.kind >= QRVCTL_FAULT_KIND_COUNT)
    return QrvFinish(request, QRV_STATUS_INVALID_PARAMETER, 0);
  QrvFaultArm(&model->faults[fault.kind], &fault);
  model->counters.generation++;
  return QrvFinish(request, QRV_STATUS_SUCCESS, 0);
}

static uint32_t WaitChange(QrvModel* model, QrvRequest* request) {
  uint32_t seen;
  if (request->inputLength != sizeof(seen) || !HasRoom(request, sizeof(seen)))
    return QrvFinish(request, QRV_STATUS_INVALID_PARAMETER, 0);
  seen = QrvLoad32(request->input);
  if (seen != model->counters.generation) {
    QrvStore32(request->output, model->counters.generation);
    return QrvFinish(request, QRV_STATUS_SUCCESS, sizeof(seen));
  }
  request->place = QRV_PENDING_WAITER;
  request->waitGeneration = seen;
  QrvListPushBack(&model->waiters, &request->waiterLink);
  return QrvFinish(request, QRV_STATUS_PENDING, 0);
}

static uint32_t CompletePending(QrvModel* model, QrvRequest* request, QrvRequest** done) {
  QrvCtlCompletePending asked;
  QrvPort* port;
  uint32_t slot, completed = 0;
  if (request->inputLength != sizeof(asked) || !HasRoom(request, sizeof(completed)))
    return QrvFinish(request, QRV_STATUS_INVALID_PARAMETER, 0);
  memcpy(&asked, request->input, sizeof(asked));
  port = QrvFindServicePort(model, asked.serviceId);
  for (slot = 0; port && slot < port->threadCount; slot++) {
    QrvRequest* pending = port->slots[slot].pending;
    if (!pending || !QrvClaimPending(model, pending)) continue;
    QrvLogCompletion(model, pending)->status = asked.status;
    QrvListDone(pending, asked.status, 0, done);
    completed++;
  }
  model->counters.generation++;
  QrvStore32(request->output, completed);
  return QrvFinish(request, QRV_STATUS_SUCCESS, sizeof(completed));
}

static uint32_t Dispatch(QrvModel* model, QrvRequest* request, QrvRequest** done) {
  switch (request->code) {
    case QRVCTL_IOCTL_POST:
      return Post(model, request, done);
    case QRVCTL_IOCTL_OUTCOME:
      return Outcome(model, request);
    case QRVCTL_IOCTL_COUNTERS:
      return Counters(model, request);
    case QRVCTL_IOCTL_PORTS:
      return Ports(model, request);
    case QRVCTL_IOCTL_READ_LOG:
      return ReadLog(model, request);
    case QRVCTL_IOCTL_CLEAR_LOG:
      QrvLogClear(&model->log);
      model->counters.generation++;
      return QrvFinish(request, QRV_STATUS_SUCCESS, 0);
    case QRVCTL_IOCTL_SET_FAULT:
      return SetFault(model, request);
    case QRVCTL_IOCTL_WAIT_CHANGE:
      return WaitChange(model, request);
    case QRVCTL_IOCTL_COMPLETE_PENDING:
      return CompletePending(model, request, done);
    case QRVCTL_IOCTL_POST_COPIES:
      return PostCopies(model, request, done);
    default:
      return QrvFinish(request, QRV_STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

uint32_t QrvModelDispatchControl(QrvModel* model, QrvRequest* request, QrvRequest** done) {
  Dispatch(model, request, done);
  QrvWakeWaiters(model, done);
  return request->status;
}
