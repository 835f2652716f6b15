/* The eight control codes of \\.\QRVDev. Every request is logged and
 * advances the generation; requests that fail validation count as rejected.
 * Lengths are checked exactly, so that a client's layout mistake fails. */
#include "model_internal.h"

typedef struct Call {
  QrvModel* model;
  QrvRequest* request;
  QrvCtlLogEntry* entry;
  QrvRequest** done;
} Call;

static uint32_t Reject(Call* call, uint32_t status) {
  call->model->counters.rejected++;
  return QrvFinish(call->request, status, 0);
}

static int HasAnswerRoom(const QrvRequest* request) {
  return request->output != NULL && request->outputLength >= UC_ANSWER_SIZE;
}

static uint32_t Answer(Call* call, uint32_t word) {
  QrvStore32(call->request->output, word);
  return QrvFinish(call->request, QRV_STATUS_SUCCESS, UC_ANSWER_SIZE);
}

static int FaultHits(Call* call, uint32_t kind) {
  return QrvFaultFires(call->model, kind, call->request->code, call->entry);
}

/* The answer an armed *_ANSWER or PING_WORD fault gives instead. */
static uint32_t FaultAnswer(Call* call, uint32_t kind) {
  const QrvFaultPlan* plan = &call->model->faults[kind];
  if (plan->flags & QRVCTL_FAULT_NO_ANSWER) return QrvFinish(call->request, QRV_STATUS_SUCCESS, 0);
  return Answer(call, plan->value);
}

/* The port named by a request, when it is in `state`; null otherwise. */
static QrvPort* NamedPort(Call* call, uint32_t port, uint32_t state) {
  call->entry->port = port;
  if (port >= UC_MAX_PORTS || call->model->ports[port].state != state) return NULL;
  return &call->model->ports[port];
}

static uint32_t LowestFreePort(const QrvModel* model) {
  uint32_t port = 0;
  while (port < UC_MAX_PORTS && model->ports[port].state != QRVCTL_PORT_FREE) port++;
  return port;
}

static uint32_t CreatePort(Call* call, uint32_t kind) {
  QrvModel* model = call->model;
  const QrvRequest* request = call->request;
  const uint8_t* in = (const uint8_t*)request->input;
  uint32_t serviceId, threadCount, port;
  if (request->inputLength != UC_PORT_REQUEST_SIZE || !HasAnswerRoom(request))
    return Reject(call, QRV_STATUS_INVALID_PARAMETER);
  call->entry->kind = in[UC_PORT_REQUEST_KIND];
  call->entry->serviceId = serviceId = QrvLoad32(in + UC_PORT_REQUEST_SERVICE_ID);
  call->entry->threadCount = threadCount = QrvLoad32(in + UC_PORT_REQUEST_THREAD_COUNT);
  if (in[UC_PORT_REQUEST_KIND] != kind || serviceId >= UC_MAX_PORTS || threadCount > UC_MAX_SLOTS)
    return Reject(call, QRV_STATUS_INVALID_PARAMETER);
  if (FaultHits(call, QRVCTL_FAULT_PORT_STATUS))
    return QrvFinish(call->request, model->faults[QRVCTL_FAULT_PORT_STATUS].value, 0);
  if (FaultHits(call, QRVCTL_FAULT_PORT_ANSWER)) return FaultAnswer(call, QRVCTL_FAULT_PORT_ANSWER);
  /* A message is posted to a service, so one service holds one port. */
  if (kind == UC_KIND_SERVICE && QrvFindServicePort(model, serviceId))
    return Reject(call, QRV_STATUS_OBJECT_NAME_COLLISION);
  port = LowestFreePort(model);
  if (port == UC_MAX_PORTS) return Reject(call, QRV_STATUS_INSUFFICIENT_RESOURCES);
  model->ports[port].state = kind == UC_KIND_ECHO ? QRVCTL_PORT_ECHO : QRVCTL_PORT_SERVICE;
  model->ports[port].serviceId = serviceId;
  model->ports[port].threadCount = threadCount;
  model->ports[port].owner = request->owner;
  model->ports[port].pinged = 0;
  if (kind == UC_KIND_ECHO)
    model->counters.echoPortsCreated++;
  else
    model->counters.portsAllocated++;
  call->entry->port = port;
  return Answer(call, port);
}

static uint32_t Ping(Call* call) {
  const uint8_t* in = (const uint8_t*)call->request->input;
  uint32_t port, magic;
  if (call->request->inputLength != UC_ECHO_PACKET_SIZE || !HasAnswerRoom(call->request))
    return Reject(call, QRV_STATUS_INVALID_PARAMETER);
  port = QrvLoad32(in + UC_ECHO_PACKET_PORT);
  call->entry->word = magic = QrvLoad32(in + UC_ECHO_PACKET_MAGIC);
  if (!NamedPort(call, port, QRVCTL_PORT_ECHO))
    return Reject(call, QRV_STATUS_INVALID_DEVICE_STATE);
  if (magic != UC_ECHO_MAGIC) return Reject(call, QRV_STATUS_INVALID_PARAMETER);
  call->model->counters.pings++;
  call->model->ports[port].pinged = 1;
  call->model->ports[port].lastPingMs = call->model->ops.nowMs();
  if (FaultHits(call, QRVCTL_FAULT_PING_STATUS))
    return QrvFinish(call->request, call->model->faults[QRVCTL_FAULT_PING_STATUS].value, 0);
  if (FaultHits(call, QRVCTL_FAULT_PING_WORD)) return FaultAnswer(call, QRVCTL_FAULT_PING_WORD);
  return Answer(call, magic);
}

static uint32_t Echo(Call* call) {
  uint32_t status = Ping(call);
  if (status != QRV_STATUS_SUCCESS || call->request->information != UC_ANSWER_SIZE ||
      QrvLoad32(call->request->output) != UC_ECHO_MAGIC)
    call->model->counters.pingFailures++;
  return status;
}

/* UC_CLOSE_ECHO_PORT and UC_FREE_PORT; their output is ignored. */
static uint32_t ClosePort(Call* call, uint32_t state) {
  uint32_t port;
  if (call->request->inputLength != UC_PORT_WORD_SIZE)
    return Reject(call, QRV_STATUS_INVALID_PARAMETER);
  port = QrvLoad32(call->request->input);
  if (!NamedPort(call, port, state)) return Reject(call, QRV_STATUS_INVALID_DEVICE_STATE);
  if (FaultHits(call, QRVCTL_FAULT_FREE_KEEPS_RECEIVES)) QrvKeepReceives(call->model, port);
  QrvFreePort(call->model, port, QRVCTL_FAIL_PORT_FREED, call->done);
  if (state == QRVCTL_PORT_ECHO)
    call->model->counters.echoPortsClosed++;
  else
    call->model->counters.portsFreed++;
  return QrvFinish(call->request, QRV_STATUS_SUCCESS, 0);
}

static uint32_t Bind(Call* call) {
  QrvPort* port;
  uint32_t slot = 0;
  if (call->request->inputLength != UC_PORT_WORD_SIZE || !HasAnswerRoom(call->request))
    return Reject(call, QRV_STATUS_INVALID_PARAMETER);
  port = NamedPort(call, QrvLoad32(call->request->input), QRVCTL_PORT_SERVICE);
  if (!port) return Reject(call, QRV_STATUS_INVALID_DEVICE_STATE);
  if (FaultHits(call, QRVCTL_FAULT_BIND_ANSWER)) return FaultAnswer(call, QRVCTL_FAULT_BIND_ANSWER);
  while (slot < port->threadCount && port->slots[slot].bound) slot++;
  if (slot == port->threadCount) return Reject(call, QRV_STATUS_INSUFFICIENT_RESOURCES);
  port->slots[slot].bound = 1;
  call->model->counters.binds++;
  call->entry->threadIndex = slot;
  return Answer(call, slot);
}

/* The bound slot named by a receive or reply; null when the index is out
 * of range or unbound. */
static QrvSlot* NamedSlot(Call* call, QrvPort* port, uint32_t slot) {
  call->entry->threadIndex = slot;
  if (slot >= port->threadCount || !port->slots[slot].bound) return NULL;
  return &port->slots[slot];
}

static uint32_t Pend(Call* call, QrvSlot* slot, uint32_t port, uint32_t index) {
  QrvRequest* request = call->request;
  slot->pending = request;
  request->place = QRV_PENDING_SLOT;
  request->port = port;
  request->slot = index;
  request->largeBuffer = call->entry->largeBuffer;
  request->faultStatus = 0;
  if (FaultHits(call, QRVCTL_FAULT_PENDED_RECEIVE))
    request->faultStatus = call->model->faults[QRVCTL_FAULT_PENDED_RECEIVE].value;
  call->model->counters.pended++;
  return QrvFinish(request, QRV_STATUS_PENDING, 0);
}

static uint32_t Receive(Call* call) {
  const QrvRequest* request = call->request;
  const uint8_t* in = (const uint8_t*)request->input;
  uint32_t portIndex, index;
  QrvPort* port;
  QrvSlot* slot;
  QrvMessage* message;
  /* A buffer without room for Header could not even be told the size a
   * message needs, so such a receive is malformed. */
  if (request->inputLength != UC_RECEIVE_REQUEST_SIZE || !request->output ||
      request->outputLength < UC_MESSAGE_HEADER_SIZE)
    return Reject(call, QRV_STATUS_INVALID_PARAMETER);
  portIndex = QrvLoad32(in + UC_RECEIVE_REQUEST_PORT);
  index = QrvLoad32(in + UC_RECEIVE_REQUEST_THREAD_INDEX);
  call->entry->largeBuffer = in[UC_RECEIVE_REQUEST_LARGE_BUFFER];
  port = NamedPort(call, portIndex, QRVCTL_PORT_SERVICE);
  if (!port) return Reject(call, QRV_STATUS_INVALID_DEVICE_STATE);
  slot = NamedSlot(call, port, index);
  if (!slot) return Reject(call, QRV_STATUS_INVALID_PARAMETER);
  if (slot->pending) return Reject(call, QRV_STATUS_INVALID_DEVICE_STATE);
  call->model->counters.receives++;
  if (FaultHits(call, QRVCTL_FAULT_RECEIVE_STATUS))
    return QrvFinish(call->request, call->model->faults[QRVCTL_FAULT_RECEIVE_STATUS].value, 0);
  /* A thread index asks for its next message only after answering the last
   * one; one it left unanswered will never be answered. */
  if (slot->message && slot->message->outcome.state == QRVCTL_MSG_DELIVERED)
    QrvFailBack(call->model, slot->message, QRVCTL_FAIL_NO_REPLY);
  message = slot->message ? slot->message : QrvFirstQueuedFor(port, index);
  if (!message) return Pend(call, slot, portIndex, index);
  return QrvDeliver(call->model, call->request, portIndex, index, message, call->entry, 0);
}

static uint32_t KeepReply(Call* call, QrvMessage* message) {
  const QrvRequest* request = call->request;
  uint32_t kept =
      request->outputLength < QRVCTL_MAX_REPLY ? request->outputLength : QRVCTL_MAX_REPLY;
  if (kept > 0) {
    message->reply = (uint8_t*)call->model->ops.allocate(kept);
    if (!message->reply) {
      QrvFailBack(call->model, message, QRVCTL_FAIL_NO_MEMORY);
      return QrvFinish(call->request, QRV_STATUS_NO_MEMORY, 0);
    }
    QrvCopyBytes(message->reply, request->output, kept);
  }
  message->replyKept = kept;
  message->outcome.replyLength = request->outputLength;
  return QRV_STATUS_SUCCESS;
}

static uint32_t Answered(Call* call) {
  const QrvRequest* request = call->request;
  const uint8_t* in = (const uint8_t*)request->input;
  QrvPort* port;
  QrvSlot* slot;
  QrvMessage* message;
  if (request->inputLength != UC_REPLY_HEADER_SIZE ||
      (request->outputLength > 0 && !request->output))
    return Reject(call, QRV_STATUS_INVALID_PARAMETER);
  port = NamedPort(call, QrvLoad32(in + UC_REPLY_HEADER_PORT), QRVCTL_PORT_SERVICE);
  if (!port) return Reject(call, QRV_STATUS_INVALID_DEVICE_STATE);
  slot = NamedSlot(call, port, QrvLoad32(in + UC_REPLY_HEADER_THREAD_INDEX));
  if (!slot) return Reject(call, QRV_STATUS_INVALID_PARAMETER);
  message = slot->message;
  if (!message || message->outcome.state != QRVCTL_MSG_DELIVERED)
    return Reject(call, QRV_STATUS_INVALID_DEVICE_STATE);
  call->entry->messageId = message->outcome.messageId;
  if (FaultHits(call, QRVCTL_FAULT_REPLY_STATUS)) {
    QrvFailBack(call->model, message, QRVCTL_FAIL_REPLY_FAULT);
    return QrvFinish(call->request, call->model->faults[QRVCTL_FAULT_REPLY_STATUS].value, 0);
  }
  if (KeepReply(call, message) != QRV_STATUS_SUCCESS) return call->request->status;
  message->outcome.state = QRVCTL_MSG_ANSWERED;
  slot->message = NULL;
  call->model->counters.replies++;
  call->model->counters.answered++;
  QrvSettle(call->model, message);
  return QrvFinish(call->request, QRV_STATUS_SUCCESS, 0);
}

static uint32_t Reply(Call* call) {
  uint32_t status = Answered(call);
  if (status != QRV_STATUS_SUCCESS) call->model->counters.replyFailures++;
  return status;
}

static uint32_t Dispatch(Call* call) {
  switch (call->request->code) {
    case UC_CREATE_ECHO_PORT:
      return CreatePort(call, UC_KIND_ECHO);
    case UC_ECHO:
      return Echo(call);
    case UC_CLOSE_ECHO_PORT:
      return ClosePort(call, QRVCTL_PORT_ECHO);
    case UC_ALLOCATE_PORT:
      return CreatePort(call, UC_KIND_SERVICE);
    case UC_FREE_PORT:
      return ClosePort(call, QRVCTL_PORT_SERVICE);
    case UC_BIND_THREAD:
      return Bind(call);
    case UC_RECEIVE:
      return Receive(call);
    case UC_REPLY:
      return Reply(call);
    default:
      return Reject(call, QRV_STATUS_INVALID_DEVICE_REQUEST);
  }
}

/* PEND_REQUEST and PEND_REQUEST_TOO: keep the request, unexamined, until the
 * caller runs it with QrvModelRunDelayed. A receive pends by nature and is
 * never held. */
static int HoldBackFor(Call* call, uint32_t kind) {
  QrvModel* model = call->model;
  QrvRequest* request = call->request;
  const QrvFaultPlan* plan = &model->faults[kind];
  if (request->code == UC_RECEIVE || request->code != plan->value || !FaultHits(call, kind))
    return 0;
  request->place = QRV_PENDING_DELAYED;
  request->ticket = model->nextTicket++;
  request->delayMs = plan->delayMs;
  QrvListPushBack(&model->delayed, &request->waiterLink);
  QrvFinish(request, QRV_STATUS_PENDING, 0);
  return 1;
}

static int HoldBack(Call* call) {
  return HoldBackFor(call, QRVCTL_FAULT_PEND_REQUEST) ||
         HoldBackFor(call, QRVCTL_FAULT_PEND_REQUEST_TOO);
}

static void BeginCall(Call* call, QrvModel* model, QrvRequest* request, QrvRequest** done,
                      uint32_t flags) {
  call->model = model;
  call->request = request;
  call->entry = QrvLogAppend(&model->log, request->code);
  call->done = done;
  call->entry->flags = flags;
  call->entry->inputLength = request->inputLength;
  call->entry->outputLength = request->outputLength;
  model->counters.generation++;
}

/* What the log keeps of a request at its issue, and the per-code total. */
static void LogIssue(Call* call) {
  QrvRequest* request = call->request;
  uint32_t index = QrvCtlCodeIndex(request->code);
  if (request->overlapped) call->entry->flags |= QRVCTL_LOG_OVERLAPPED;
  if (!request->output) call->entry->flags |= QRVCTL_LOG_NO_OUTPUT;
  QrvCopyBytes(call->entry->input, request->input,
               request->inputLength < QRVCTL_LOG_INPUT_BYTES ? request->inputLength
                                                             : QRVCTL_LOG_INPUT_BYTES);
  request->sequence = call->entry->sequence;
  if (index < QRVCTL_PROTOCOL_CODES) call->model->counters.requestsByCode[index]++;
}

static uint32_t EndCall(Call* call) {
  call->entry->status = call->request->status;
  call->entry->information = call->request->information;
  QrvWakeWaiters(call->model, call->done);
  return call->request->status;
}

uint32_t QrvModelDispatchProtocol(QrvModel* model, QrvRequest* request, QrvRequest** done) {
  Call call;
  BeginCall(&call, model, request, done, 0);
  LogIssue(&call);
  model->counters.requests++;
  if (!HoldBack(&call)) Dispatch(&call);
  if (request->status == QRV_STATUS_PENDING && FaultHits(&call, QRVCTL_FAULT_IGNORE_CANCEL))
    request->ignoresCancel = 1;
  return EndCall(&call);
}

static QrvRequest* FindDelayed(QrvModel* model, uint32_t ticket) {
  QrvLink* link;
  for (link = model->delayed.next; link != &model->delayed; link = link->next) {
    QrvRequest* request = QRV_CONTAINER_OF(link, QrvRequest, waiterLink);
    if (request->ticket == ticket) return request;
  }
  return NULL;
}

void QrvModelRunDelayed(QrvModel* model, uint32_t ticket, QrvRequest** done) {
  QrvRequest* request = FindDelayed(model, ticket);
  Call call;
  if (!request || !QrvClaimPending(model, request)) return;
  BeginCall(&call, model, request, done, QRVCTL_LOG_COMPLETION);
  call.entry->issueSequence = request->sequence;
  Dispatch(&call);
  EndCall(&call);
  QrvListDone(request, request->status, request->information, done);
}
