/*
 * Control device of the reference kernel driver: \\.\QRVCtl.
 *
 * The reference driver serves the port protocol on \\.\QRVDev. This second
 * device lets a test host play the driver's own side: post messages to a
 * service, collect their outcomes and reply bytes, read counters, the port
 * table and the log of protocol requests, inject faults, and wait for the
 * driver's state to change. Shared by the driver (C) and the Windows test
 * host (C++); little-endian records, fixed sizes, no padding.
 *
 * Every code is METHOD_BUFFERED, FILE_ANY_ACCESS, device type 0x8301 and
 * finishes at once, except QRVCTL_IOCTL_WAIT_CHANGE, which pends and should
 * be issued overlapped so that the caller can bound its wait (and cancel it
 * with CancelIoEx).
 *
 * Errors are NTSTATUS values that the caller sees mapped to Win32 errors:
 * STATUS_INVALID_PARAMETER (87) for a malformed request or an output buffer
 * too small for the answer's fixed part, STATUS_NOT_FOUND (1168) when a post
 * names a service that holds no port.
 *
 * How the protocol device behaves, beyond what its clients rely on:
 *  - 16 ports shared by echo and service ports, the lowest free one first;
 *    one service port per service id (a second: STATUS_OBJECT_NAME_COLLISION);
 *  - thread indexes are handed out lowest first, below the ThreadCount;
 *  - request lengths are checked exactly and the Kind byte must match the
 *    code; malformed requests fail with STATUS_INVALID_PARAMETER (87);
 *  - requests naming a free port, a port of the other kind, a second
 *    pending receive on one thread index, or a reply with nothing to answer
 *    fail at once with STATUS_INVALID_DEVICE_STATE (Wine reports 22);
 *  - a message goes to the lowest idle thread index that may take it; one
 *    that does not fit stays assigned to that index, reported too small
 *    (STATUS_BUFFER_TOO_SMALL, 122, size word written by direct I/O) to
 *    every receive until one is big enough;
 *  - a receive on an index whose delivered message was not answered fails
 *    that message back (QRVCTL_FAIL_NO_REPLY) before it takes the next;
 *  - freeing a port completes its pending receives as cancelled (995) and
 *    fails its queued and assigned messages back; closing a handle does the
 *    same for the ports it allocated and cancels its pending requests.
 */
#ifndef QRV_SIM_KERNEL_QRVCTL_H_
#define QRV_SIM_KERNEL_QRVCTL_H_

#include <stdint.h>

#ifdef __cplusplus
#define QRVCTL_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define QRVCTL_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define QRVCTL_DEVICE_PATH L"\\\\.\\QRVCtl"

#define QRVCTL_DEVICE_TYPE 0x8301u
/* Standard control-code layout: METHOD_BUFFERED (0), FILE_ANY_ACCESS (0). */
#define QRVCTL_CODE(function) ((QRVCTL_DEVICE_TYPE << 16) | ((uint32_t)(function) << 2))

/* In: QrvCtlPost followed by payloadLength bytes. Out: uint32_t message id. */
#define QRVCTL_IOCTL_POST QRVCTL_CODE(0x801)
/* In: QrvCtlOutcomeRequest. Out: QrvCtlOutcome followed by as many reply
 * bytes as fit (replyLength says how many the reply has). */
#define QRVCTL_IOCTL_OUTCOME QRVCTL_CODE(0x802)
/* In: none. Out: QrvCtlCounters. */
#define QRVCTL_IOCTL_COUNTERS QRVCTL_CODE(0x803)
/* In: none. Out: QrvCtlPorts. */
#define QRVCTL_IOCTL_PORTS QRVCTL_CODE(0x804)
/* In: uint32_t first sequence wanted. Out: QrvCtlLogHeader followed by
 * `count` QrvCtlLogEntry records, as many as fit, oldest first. */
#define QRVCTL_IOCTL_READ_LOG QRVCTL_CODE(0x805)
/* In: none. Out: none. Drops every log entry; sequences keep counting. */
#define QRVCTL_IOCTL_CLEAR_LOG QRVCTL_CODE(0x806)
/* In: QrvCtlFault. Out: none. Arms (count > 0) or disarms (count 0) one
 * fault kind; arming replaces the kind's previous plan. */
#define QRVCTL_IOCTL_SET_FAULT QRVCTL_CODE(0x807)
/* In: uint32_t generation. Out: uint32_t current generation. Completes at
 * once when the driver's generation differs from the one given, otherwise
 * pends until it changes. Every protocol request and every state-changing
 * control request advances the generation. */
#define QRVCTL_IOCTL_WAIT_CHANGE QRVCTL_CODE(0x808)
/* In: QrvCtlCompletePending. Out: uint32_t how many receives it completed.
 * Completes every receive pending on the service's port now, with the
 * status and no bytes, as a driver that gives up on them would. */
#define QRVCTL_IOCTL_COMPLETE_PENDING QRVCTL_CODE(0x809)
/* In: QrvCtlPostCopies followed by payloadLength bytes. Out: uint32_t id of
 * the first copy; the others take the ids that follow it. Queues `copies`
 * identical messages at once (all or none), each forgotten once final as
 * with QRVCTL_RELEASE_WHEN_FINAL: a poster that counts answers, instead of
 * reading outcomes, floods a port in one request. */
#define QRVCTL_IOCTL_POST_COPIES QRVCTL_CODE(0x80A)

#define QRVCTL_MAX_PORTS 16u
#define QRVCTL_MAX_SLOTS 16u
#define QRVCTL_MAX_PAYLOAD 65536u
#define QRVCTL_MAX_COPIES 65536u
/* Replies longer than this are accepted; only their first bytes are kept. */
#define QRVCTL_MAX_REPLY 65536u
#define QRVCTL_ANY_SLOT 0xFFFFFFFFu
#define QRVCTL_NO_PORT 16u
/* QrvCtlPortInfo.sinceLastPingMs of a port no valid ping has reached. */
#define QRVCTL_NOT_PINGED 0xFFFFFFFFu
/* The protocol device's eight codes, functions 0x901 to 0x908 of device
 * type 0x8300. */
#define QRVCTL_PROTOCOL_CODES 8u

/* The index of a protocol code in QrvCtlCounters.requestsByCode, or
 * QRVCTL_PROTOCOL_CODES for any other code. */
static inline uint32_t QrvCtlCodeIndex(uint32_t code) {
  uint32_t index = ((code >> 2) & 0xFFFu) - 0x901u;
  if ((code >> 16) != 0x8300u || index >= QRVCTL_PROTOCOL_CODES) return QRVCTL_PROTOCOL_CODES;
  return index;
}

typedef struct QrvCtlPost {
  uint32_t serviceId;     /* service whose port receives the message */
  uint32_t header;        /* Header word delivered with it: 0 wants no reply */
  uint32_t targetSlot;    /* thread index that must take it, or QRVCTL_ANY_SLOT */
  uint32_t payloadLength; /* bytes that follow, at most QRVCTL_MAX_PAYLOAD */
} QrvCtlPost;
QRVCTL_STATIC_ASSERT(sizeof(QrvCtlPost) == 16, "QrvCtlPost layout");

typedef struct QrvCtlPostCopies {
  uint32_t copies; /* 1 to QRVCTL_MAX_COPIES */
  QrvCtlPost post;
} QrvCtlPostCopies;
QRVCTL_STATIC_ASSERT(sizeof(QrvCtlPostCopies) == 20, "QrvCtlPostCopies layout");

/* Where a message stands. The last four are final. */
enum QrvCtlMessageState {
  QRVCTL_MSG_UNKNOWN = 0,    /* no such id, or its outcome was released */
  QRVCTL_MSG_QUEUED = 1,     /* on its port's queue, not yet taken */
  QRVCTL_MSG_ASSIGNED = 2,   /* reported too small to a thread index, which
                                must receive it again with a bigger buffer */
  QRVCTL_MSG_DELIVERED = 3,  /* delivered, awaiting the reply */
  QRVCTL_MSG_ANSWERED = 4,   /* the reply arrived */
  QRVCTL_MSG_NOT_WANTED = 5, /* delivered with Header 0: no reply expected */
  QRVCTL_MSG_FAILED_BACK = 6 /* returned undelivered or unanswered */
};

enum QrvCtlFailReason {
  QRVCTL_FAIL_NONE = 0,
  QRVCTL_FAIL_PORT_FREED = 1,    /* its port was freed */
  QRVCTL_FAIL_HANDLE_CLOSED = 2, /* the handle that owned its port closed */
  QRVCTL_FAIL_REPLY_FAULT = 3,   /* the reply failed by an injected fault */
  QRVCTL_FAIL_NO_REPLY = 4,      /* its thread index received again first */
  QRVCTL_FAIL_UNLOAD = 5,        /* the driver unloaded */
  QRVCTL_FAIL_NO_MEMORY = 6      /* no memory to keep its reply */
};

/* QrvCtlOutcomeRequest.release: forget a final outcome once it is read;
 * with QRVCTL_RELEASE_WHEN_FINAL also a message that is not final yet, as
 * soon as it becomes final, for a poster that no longer watches it. */
#define QRVCTL_RELEASE_FINAL 1u
#define QRVCTL_RELEASE_WHEN_FINAL 2u

typedef struct QrvCtlOutcomeRequest {
  uint32_t messageId;
  uint32_t release; /* 0, QRVCTL_RELEASE_FINAL or QRVCTL_RELEASE_WHEN_FINAL */
} QrvCtlOutcomeRequest;
QRVCTL_STATIC_ASSERT(sizeof(QrvCtlOutcomeRequest) == 8, "QrvCtlOutcomeRequest layout");

typedef struct QrvCtlOutcome {
  uint32_t messageId;
  uint32_t state;      /* enum QrvCtlMessageState */
  uint32_t failReason; /* enum QrvCtlFailReason */
  uint32_t port;       /* port it was posted to */
  uint32_t slot;       /* thread index it went to, QRVCTL_ANY_SLOT if none */
  uint32_t header;
  uint32_t payloadLength;
  uint32_t tooSmallReports; /* receives that were told it does not fit */
  uint32_t replyLength;     /* bytes the reply had (kept: up to QRVCTL_MAX_REPLY) */
  uint32_t generation;
} QrvCtlOutcome;
QRVCTL_STATIC_ASSERT(sizeof(QrvCtlOutcome) == 40, "QrvCtlOutcome layout");

typedef struct QrvCtlCounters {
  uint32_t generation;
  uint32_t requests; /* protocol requests seen, valid or not */
  uint32_t rejected; /* protocol requests failed for bad input or state */
  uint32_t echoPortsCreated;
  uint32_t echoPortsClosed;
  uint32_t pings;
  uint32_t portsAllocated;
  uint32_t portsFreed;
  uint32_t binds;
  uint32_t receives;
  uint32_t pended;            /* receives left pending */
  uint32_t tooSmallAtOnce;    /* receives failed at issue as too small */
  uint32_t tooSmallCompleted; /* pending receives completed as too small */
  uint32_t cancelled;         /* pending receives completed as cancelled */
  uint32_t replies;           /* replies accepted */
  uint32_t posted;
  uint32_t delivered;
  uint32_t answered;
  uint32_t notWanted;
  uint32_t failedBack;
  uint32_t faultsFired;
  uint32_t pingFailures;  /* echo requests not answered with the magic */
  uint32_t replyFailures; /* reply requests refused or failed */
  /* Protocol requests seen, by code in the order UC_CREATE_ECHO_PORT to
   * UC_REPLY (QrvCtlCodeIndex); never reset, not even by CLEAR_LOG. */
  uint32_t requestsByCode[QRVCTL_PROTOCOL_CODES];
} QrvCtlCounters;
QRVCTL_STATIC_ASSERT(sizeof(QrvCtlCounters) == 124, "QrvCtlCounters layout");

enum QrvCtlPortState { QRVCTL_PORT_FREE = 0, QRVCTL_PORT_ECHO = 1, QRVCTL_PORT_SERVICE = 2 };

typedef struct QrvCtlPortInfo {
  uint32_t state; /* enum QrvCtlPortState */
  uint32_t serviceId;
  uint32_t threadCount;
  uint32_t boundSlots;
  uint32_t pendingReceives;
  uint32_t queuedMessages;
  uint32_t assignedMessages; /* ASSIGNED or DELIVERED to a thread index */
  uint32_t sinceLastPingMs;  /* echo port: ms since its last valid ping, else
                                QRVCTL_NOT_PINGED */
} QrvCtlPortInfo;
QRVCTL_STATIC_ASSERT(sizeof(QrvCtlPortInfo) == 32, "QrvCtlPortInfo layout");

typedef struct QrvCtlPorts {
  uint32_t generation;
  uint32_t reserved;
  QrvCtlPortInfo ports[QRVCTL_MAX_PORTS];
} QrvCtlPorts;
QRVCTL_STATIC_ASSERT(sizeof(QrvCtlPorts) == 8 + 16 * 32, "QrvCtlPorts layout");

/* Log entry flags. */
#define QRVCTL_LOG_COMPLETION 0x1u /* a pended request completing later */
#define QRVCTL_LOG_FAULT 0x2u      /* an injected fault decided the result */
#define QRVCTL_LOG_OVERLAPPED                                                \
  0x4u                            /* issued with an overlapped record, where \
                                     the driver can tell */
#define QRVCTL_LOG_NO_OUTPUT 0x8u /* issued without an output buffer */
/* Input bytes kept per entry: every protocol record fits. */
#define QRVCTL_LOG_INPUT_BYTES 16u

/* One protocol request, as the driver saw and answered it. Fields that do
 * not apply to the code hold QRVCTL_LOG_NONE. */
#define QRVCTL_LOG_NONE 0xFFFFFFFFu
typedef struct QrvCtlLogEntry {
  uint32_t sequence;
  uint32_t code;
  uint32_t status; /* NTSTATUS; 0x103 (pending) when the request pended */
  uint32_t flags;
  uint32_t inputLength;
  uint32_t outputLength;
  uint32_t information;                  /* byte count completed with */
  uint32_t port;                         /* the port named, or the port answered */
  uint32_t threadIndex;                  /* named by receive and reply; answered by bind */
  uint32_t largeBuffer;                  /* receive: the LargeBuffer byte */
  uint32_t kind;                         /* port requests: the Kind byte */
  uint32_t serviceId;                    /* port requests */
  uint32_t threadCount;                  /* port requests */
  uint32_t word;                         /* echo: the word sent; receive: Header delivered */
  uint32_t messageId;                    /* receive and reply: the message concerned */
  uint32_t issueSequence;                /* completion: the sequence of the request's own
                                            entry; QRVCTL_LOG_NONE otherwise */
  uint8_t input[QRVCTL_LOG_INPUT_BYTES]; /* the first input bytes, zero after */
} QrvCtlLogEntry;
QRVCTL_STATIC_ASSERT(sizeof(QrvCtlLogEntry) == 80, "QrvCtlLogEntry layout");

/* The driver keeps the newest QRVCTL_LOG_CAPACITY entries. */
#define QRVCTL_LOG_CAPACITY 1024u

typedef struct QrvCtlLogHeader {
  uint32_t nextSequence;   /* sequence the next entry will get */
  uint32_t oldestSequence; /* oldest entry still kept */
  uint32_t count;          /* entries returned after this header */
  uint32_t generation;
} QrvCtlLogHeader;
QRVCTL_STATIC_ASSERT(sizeof(QrvCtlLogHeader) == 16, "QrvCtlLogHeader layout");

/* Injectable faults. Each kind has one plan: let `skip` matching valid
 * requests pass, then apply the fault to the next `count` of them
 * (QRVCTL_FAULT_FOREVER: to every later one). A plan with a `code` matches
 * only requests of that protocol code. */
enum QrvCtlFaultKind {
  QRVCTL_FAULT_PING_STATUS = 0,          /* echo fails with NTSTATUS `value` */
  QRVCTL_FAULT_PING_WORD = 1,            /* echo succeeds answering `value` */
  QRVCTL_FAULT_PORT_ANSWER = 2,          /* port requests succeed answering `value`
                                            and take no port */
  QRVCTL_FAULT_BIND_ANSWER = 3,          /* bind succeeds answering `value` and binds
                                            nothing */
  QRVCTL_FAULT_RECEIVE_STATUS = 4,       /* receive fails at issue with NTSTATUS
                                            `value`; no message is touched */
  QRVCTL_FAULT_REPLY_STATUS = 5,         /* reply fails with NTSTATUS `value`; the
                                            message it answers is failed back */
  QRVCTL_FAULT_SHORT_COMPLETION = 6,     /* a delivery completes with byte count
                                            `value` instead of 4 + payload */
  QRVCTL_FAULT_PEND_REQUEST = 7,         /* a request of control code `value` (a
                                            receive never matches) pends, and only
                                            after `delayMs` is it handled as usual */
  QRVCTL_FAULT_PORT_STATUS = 8,          /* port requests fail with NTSTATUS
                                            `value` and take no port */
  QRVCTL_FAULT_PENDED_RECEIVE = 9,       /* a receive that pends completes with
                                            NTSTATUS `value` when a message would
                                            be given to it; the message goes on */
  QRVCTL_FAULT_TOO_SMALL_STATUS = 10,    /* too-small reports fail with NTSTATUS
                                            `value` (a FACILITY_WIN32 status such
                                            as 0xC007006F reaches the client as
                                            111) */
  QRVCTL_FAULT_TOO_SMALL_SIZE = 11,      /* too-small reports write `value` as the
                                            size word (QRVCTL_FAULT_OUTPUT_LENGTH:
                                            the receive's own output length) */
  QRVCTL_FAULT_LONG_COMPLETION = 12,     /* a delivery completes with the output
                                            length plus `value` as its byte count,
                                            writing only the message */
  QRVCTL_FAULT_IGNORE_CANCEL = 13,       /* a request that pends (a receive, or one
                                            held by PEND_REQUEST) gets no cancel
                                            routine: a cancel leaves it pending
                                            until the driver finishes it as usual
                                            (its delay ends, a message comes, its
                                            port is freed or its handle closed) */
  QRVCTL_FAULT_PEND_REQUEST_TOO = 14,    /* PEND_REQUEST for a second code `value`,
                                            with its own count and delay */
  QRVCTL_FAULT_FREE_KEEPS_RECEIVES = 15, /* FREE_PORT or CLOSE_ECHO_PORT leaves
                                            the port's pending receives pending
                                            until they are cancelled or their
                                            handle closes */
  QRVCTL_FAULT_KIND_COUNT = 16
};

#define QRVCTL_FAULT_FOREVER 0xFFFFFFFFu
/* PING_WORD, PORT_ANSWER, BIND_ANSWER: succeed with a byte count of 0, so
 * that the caller's answer word is left as it was. */
#define QRVCTL_FAULT_NO_ANSWER 0x1u
/* TOO_SMALL_SIZE: write the receive's output length instead of `value`. */
#define QRVCTL_FAULT_OUTPUT_LENGTH 0x2u

typedef struct QrvCtlFault {
  uint32_t kind; /* enum QrvCtlFaultKind */
  uint32_t skip;
  uint32_t count;
  uint32_t value;
  uint32_t flags;
  uint32_t delayMs; /* PEND_REQUEST: how long each hit request stays pending */
  uint32_t code;    /* only requests of this protocol code; 0: any */
} QrvCtlFault;
QRVCTL_STATIC_ASSERT(sizeof(QrvCtlFault) == 28, "QrvCtlFault layout");

typedef struct QrvCtlCompletePending {
  uint32_t serviceId;
  uint32_t status; /* NTSTATUS */
} QrvCtlCompletePending;
QRVCTL_STATIC_ASSERT(sizeof(QrvCtlCompletePending) == 8, "QrvCtlCompletePending layout");

#endif /* QRV_SIM_KERNEL_QRVCTL_H_ */
