// Unit tests of the reference driver's port model, run natively: the same
// code runs inside qrvdrv.sys behind the kernel glue.
#include "port_model.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "qrvctl.h"
#include "uc_protocol.h"

namespace {

std::set<const QrvRequest*>* g_cancelling = nullptr;

void* Allocate(uint32_t size) { return std::malloc(size); }
void Release(void* block) { std::free(block); }
int Claim(QrvRequest* request) { return g_cancelling->count(request) ? 0 : 1; }

// One request with its buffers laid out as the I/O manager lays them out:
// buffered codes share one system buffer for input and output, so a model
// that writes its answer before it has read all input fails here; direct
// codes write into memory of their own.
struct Request {
  QrvRequest record{};
  std::vector<uint8_t> input;
  std::vector<uint8_t> direct;
  uint8_t* out = nullptr;

  Request(uint32_t code, std::vector<uint8_t> in, uint32_t outputLength, const void* owner)
      : input(std::move(in)) {
    uint32_t inputLength = static_cast<uint32_t>(input.size());
    if ((code & 3) == 0) {
      if (input.size() < outputLength) input.resize(outputLength, 0xCC);
      out = input.data();
    } else {
      direct.assign(outputLength, 0xCC);
      out = direct.data();
    }
    record.code = code;
    record.input = input.data();
    record.inputLength = inputLength;
    record.output = outputLength ? out : nullptr;
    record.outputLength = outputLength;
    record.owner = owner;
  }
  uint32_t Word(size_t offset = 0) const {
    uint32_t value;
    std::memcpy(&value, out + offset, sizeof(value));
    return value;
  }
};

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
  std::vector<uint8_t> bytes;
  for (uint32_t word : words)
    for (int shift = 0; shift < 32; shift += 8)
      bytes.push_back(static_cast<uint8_t>(word >> shift));
  return bytes;
}

std::vector<uint8_t> Receive(uint32_t port, uint32_t slot, uint8_t large) {
  std::vector<uint8_t> bytes = Words({port, slot, 0});
  bytes[8] = large;
  return bytes;
}

template <typename T>
std::vector<uint8_t> Bytes(const T& record) {
  std::vector<uint8_t> bytes(sizeof(record));
  std::memcpy(bytes.data(), &record, sizeof(record));
  return bytes;
}

class PortModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_cancelling = &cancelling_;
    QrvModelOps ops{Allocate, Release, Claim, [] { return 0u; }};
    model_ = QrvModelCreate(&ops);
    ASSERT_NE(model_, nullptr);
  }
  void TearDown() override {
    QrvRequest* done = nullptr;
    QrvModelShutdown(model_, &done);
    QrvModelDestroy(model_);
    g_cancelling = nullptr;
  }

  // Dispatches a request; completions of other requests land in done_.
  uint32_t Protocol(Request& request) {
    return QrvModelDispatchProtocol(model_, &request.record, &done_);
  }
  uint32_t Control(Request& request) {
    return QrvModelDispatchControl(model_, &request.record, &done_);
  }
  std::vector<QrvRequest*> TakeDone() {
    std::vector<QrvRequest*> list;
    for (QrvRequest* each = done_; each; each = each->doneNext) list.push_back(each);
    done_ = nullptr;
    return list;
  }

  uint32_t CreatePort(uint32_t code, uint8_t kind, uint32_t serviceId, uint32_t threads,
                      const void* owner = &kOwner) {
    std::vector<uint8_t> in = Words({0xAAAAAA00u, serviceId, threads});
    in[0] = kind;  // bytes 1 to 3 carry nothing and must be ignored
    Request& request = Make(code, in, 4, owner);
    if (Protocol(request) != QRV_STATUS_SUCCESS) return QRVCTL_NO_PORT;
    return request.Word();
  }
  uint32_t ServicePort(uint32_t serviceId, uint32_t threads) {
    return CreatePort(UC_ALLOCATE_PORT, UC_KIND_SERVICE, serviceId, threads);
  }
  uint32_t Bind(uint32_t port) {
    Request& request = Make(UC_BIND_THREAD, Words({port}), 4, &kOwner);
    return Protocol(request) == QRV_STATUS_SUCCESS ? request.Word() : 0xFFFFFFFFu;
  }
  // A service port with `threads` bound slots.
  uint32_t BoundPort(uint32_t serviceId, uint32_t threads) {
    uint32_t port = ServicePort(serviceId, threads);
    for (uint32_t slot = 0; slot < threads; slot++) EXPECT_EQ(Bind(port), slot);
    return port;
  }
  uint32_t Post(uint32_t serviceId, uint32_t header, const std::vector<uint8_t>& payload) {
    QrvCtlPost post{serviceId, header, QRVCTL_ANY_SLOT, static_cast<uint32_t>(payload.size())};
    std::vector<uint8_t> in = Bytes(post);
    in.insert(in.end(), payload.begin(), payload.end());
    Request& request = Make(QRVCTL_IOCTL_POST, in, 4, &kController);
    EXPECT_EQ(Control(request), QRV_STATUS_SUCCESS);
    return request.Word();
  }
  QrvCtlOutcome Outcome(uint32_t id) {
    Request& request = Make(QRVCTL_IOCTL_OUTCOME, Bytes(QrvCtlOutcomeRequest{id, 0}),
                            sizeof(QrvCtlOutcome), &kController);
    EXPECT_EQ(Control(request), QRV_STATUS_SUCCESS);
    QrvCtlOutcome outcome;
    std::memcpy(&outcome, request.out, sizeof(outcome));
    return outcome;
  }
  QrvCtlCounters Counters() {
    Request& request = Make(QRVCTL_IOCTL_COUNTERS, {}, sizeof(QrvCtlCounters), &kController);
    EXPECT_EQ(Control(request), QRV_STATUS_SUCCESS);
    QrvCtlCounters counters;
    std::memcpy(&counters, request.out, sizeof(counters));
    return counters;
  }
  QrvCtlPortInfo PortInfo(uint32_t port) {
    Request& request = Make(QRVCTL_IOCTL_PORTS, {}, sizeof(QrvCtlPorts), &kController);
    EXPECT_EQ(Control(request), QRV_STATUS_SUCCESS);
    QrvCtlPorts ports;
    std::memcpy(&ports, request.out, sizeof(ports));
    return ports.ports[port];
  }
  std::vector<QrvCtlLogEntry> Log(uint32_t first = 0) {
    Request& request = Make(QRVCTL_IOCTL_READ_LOG, Words({first}),
                            sizeof(QrvCtlLogHeader) + 64 * sizeof(QrvCtlLogEntry), &kController);
    EXPECT_EQ(Control(request), QRV_STATUS_SUCCESS);
    QrvCtlLogHeader header;
    std::memcpy(&header, request.out, sizeof(header));
    std::vector<QrvCtlLogEntry> entries(header.count);
    if (header.count)
      std::memcpy(entries.data(), request.out + sizeof(header),
                  header.count * sizeof(QrvCtlLogEntry));
    return entries;
  }
  void Arm(uint32_t kind, uint32_t skip, uint32_t count, uint32_t value, uint32_t flags = 0,
           uint32_t delayMs = 0) {
    Request& request =
        Make(QRVCTL_IOCTL_SET_FAULT,
             Bytes(QrvCtlFault{kind, skip, count, value, flags, delayMs, 0}), 0, &kController);
    ASSERT_EQ(Control(request), QRV_STATUS_SUCCESS);
  }

  // Requests live as long as the fixture: TearDown's shutdown still
  // finishes the ones a test left pending.
  Request& Make(uint32_t code, std::vector<uint8_t> in, uint32_t outputLength, const void* owner) {
    requests_.push_back(std::make_unique<Request>(code, std::move(in), outputLength, owner));
    return *requests_.back();
  }

  static const int kOwner;
  static const int kOtherOwner;
  static const int kController;
  QrvModel* model_ = nullptr;
  QrvRequest* done_ = nullptr;
  std::set<const QrvRequest*> cancelling_;
  std::vector<std::unique_ptr<Request>> requests_;
};

const int PortModelTest::kOwner = 0;
const int PortModelTest::kOtherOwner = 0;
const int PortModelTest::kController = 0;

// The protocol itself runs natively through the simulated driver's glue
// (tests/sim and the library's suites). What stays here is what that glue
// never does: requests of several owners, cancellation by the I/O system,
// pended waits, message release and the log's bound.

TEST_F(PortModelTest, ClosingTheOwnerFreesItsPortsAndRequests) {
  uint32_t echo = CreatePort(UC_CREATE_ECHO_PORT, UC_KIND_ECHO, 15, 1);
  uint32_t kept = CreatePort(UC_ALLOCATE_PORT, UC_KIND_SERVICE, 3, 1, &kOtherOwner);
  uint32_t port = BoundPort(5, 1);
  Request& pending = Make(UC_RECEIVE, Receive(port, 0, 0), 1024, &kOwner);
  ASSERT_EQ(Protocol(pending), QRV_STATUS_PENDING);
  uint32_t id = Post(3, 1, {});

  QrvModelCloseOwner(model_, &kOwner, &done_);
  ASSERT_EQ(TakeDone().size(), 1u);
  EXPECT_EQ(pending.record.status, QRV_STATUS_CANCELLED);
  EXPECT_EQ(PortInfo(echo).state, static_cast<uint32_t>(QRVCTL_PORT_FREE));
  EXPECT_EQ(PortInfo(port).state, static_cast<uint32_t>(QRVCTL_PORT_FREE));
  EXPECT_EQ(PortInfo(kept).state, static_cast<uint32_t>(QRVCTL_PORT_SERVICE));
  EXPECT_EQ(Outcome(id).state, static_cast<uint32_t>(QRVCTL_MSG_QUEUED));
}

// --- cancellation races --------------------------------------------------

TEST_F(PortModelTest, ReceiveBeingCancelledDoesNotSwallowAMessage) {
  uint32_t port = BoundPort(5, 1);
  Request& receive = Make(UC_RECEIVE, Receive(port, 0, 0), 1024, &kOwner);
  ASSERT_EQ(Protocol(receive), QRV_STATUS_PENDING);
  cancelling_.insert(&receive.record);

  uint32_t id = Post(5, 1, {1});
  EXPECT_TRUE(TakeDone().empty()) << "the canceller completes it";
  EXPECT_EQ(Outcome(id).state, static_cast<uint32_t>(QRVCTL_MSG_QUEUED));
  EXPECT_EQ(receive.out[0], 0xCC) << "nothing written into a cancelled receive";
  QrvModelForget(model_, &receive.record, &done_);
  EXPECT_EQ(Counters().cancelled, 1u) << "counted once";

  Request& next = Make(UC_RECEIVE, Receive(port, 0, 0), 1024, &kOwner);
  EXPECT_EQ(Protocol(next), QRV_STATUS_SUCCESS);
}

TEST_F(PortModelTest, ForgetDetachesAPendingReceive) {
  uint32_t port = BoundPort(5, 1);
  Request& receive = Make(UC_RECEIVE, Receive(port, 0, 0), 1024, &kOwner);
  ASSERT_EQ(Protocol(receive), QRV_STATUS_PENDING);
  QrvModelForget(model_, &receive.record, &done_);
  EXPECT_EQ(PortInfo(port).pendingReceives, 0u);
  Request& again = Make(UC_RECEIVE, Receive(port, 0, 0), 1024, &kOwner);
  EXPECT_EQ(Protocol(again), QRV_STATUS_PENDING) << "the slot is free for a new receive";
}

// --- control: waits and the log -----------------------------------------

TEST_F(PortModelTest, WaitChangeCompletesOnTheNextChange) {
  uint32_t generation = Counters().generation;
  Request& stale = Make(QRVCTL_IOCTL_WAIT_CHANGE, Words({generation - 1}), 4, &kController);
  EXPECT_EQ(Control(stale), QRV_STATUS_SUCCESS);
  EXPECT_EQ(stale.Word(), generation);

  Request& wait = Make(QRVCTL_IOCTL_WAIT_CHANGE, Words({generation}), 4, &kController);
  ASSERT_EQ(Control(wait), QRV_STATUS_PENDING);
  Counters();
  EXPECT_TRUE(TakeDone().empty()) << "reading changes nothing";
  ServicePort(1, 1);
  std::vector<QrvRequest*> done = TakeDone();
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0], &wait.record);
  EXPECT_NE(wait.Word(), generation);

  Request& closed = Make(QRVCTL_IOCTL_WAIT_CHANGE, Words({Counters().generation}), 4, &kController);
  ASSERT_EQ(Control(closed), QRV_STATUS_PENDING);
  QrvModelCloseOwner(model_, &kController, &done_);
  ASSERT_EQ(TakeDone().size(), 1u);
  EXPECT_EQ(closed.record.status, QRV_STATUS_CANCELLED);
}

TEST_F(PortModelTest, LogRecordsRequestFieldsAndKeepsTheNewest) {
  uint32_t port = ServicePort(4, 2);
  std::vector<QrvCtlLogEntry> log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].code, UC_ALLOCATE_PORT);
  EXPECT_EQ(log[0].kind, 0u);
  EXPECT_EQ(log[0].serviceId, 4u);
  EXPECT_EQ(log[0].threadCount, 2u);
  EXPECT_EQ(log[0].port, port);
  EXPECT_EQ(log[0].inputLength, 12u);
  EXPECT_EQ(log[0].outputLength, 4u);
  EXPECT_EQ(log[0].information, 4u);

  for (uint32_t i = 0; i < QRVCTL_LOG_CAPACITY + 10; i++) Bind(port + 1);  // all rejected
  std::vector<QrvCtlLogEntry> tail = Log();
  ASSERT_FALSE(tail.empty());
  EXPECT_EQ(tail[0].sequence, 11u) << "the oldest entries were dropped";
  EXPECT_EQ(Log(QRVCTL_LOG_CAPACITY + 5).front().sequence, QRVCTL_LOG_CAPACITY + 5);

  Request& clear = Make(QRVCTL_IOCTL_CLEAR_LOG, {}, 0, &kController);
  ASSERT_EQ(Control(clear), QRV_STATUS_SUCCESS);
  EXPECT_TRUE(Log().empty());
  Bind(port);
  ASSERT_EQ(Log().size(), 1u);
  EXPECT_EQ(Log()[0].sequence, QRVCTL_LOG_CAPACITY + 11);
  EXPECT_EQ(Counters().requestsByCode[QrvCtlCodeIndex(UC_BIND_THREAD)], QRVCTL_LOG_CAPACITY + 11)
      << "totals by code outlive the window";
}

TEST_F(PortModelTest, MessageReleasedWhileInFlightIsForgottenOnceFinal) {
  uint32_t port = BoundPort(5, 1);
  uint32_t kept = Post(5, 0, {1});
  uint32_t released = Post(5, 0, {2});
  Request& release =
      Make(QRVCTL_IOCTL_OUTCOME, Bytes(QrvCtlOutcomeRequest{released, QRVCTL_RELEASE_WHEN_FINAL}),
           sizeof(QrvCtlOutcome), &kController);
  ASSERT_EQ(Control(release), QRV_STATUS_SUCCESS);
  EXPECT_EQ(Outcome(released).state, static_cast<uint32_t>(QRVCTL_MSG_QUEUED)) << "still in flight";
  for (int i = 0; i < 2; i++) {
    Request& receive = Make(UC_RECEIVE, Receive(port, 0, 0), 1024, &kOwner);
    ASSERT_EQ(Protocol(receive), QRV_STATUS_SUCCESS);
  }
  EXPECT_EQ(Outcome(kept).state, static_cast<uint32_t>(QRVCTL_MSG_NOT_WANTED));
  EXPECT_EQ(Outcome(released).state, static_cast<uint32_t>(QRVCTL_MSG_UNKNOWN));
  EXPECT_EQ(Counters().notWanted, 2u) << "released, yet accounted for";
}

TEST_F(PortModelTest, PostCopiesQueuesAllOrNoneAndForgetsEachOnceFinal) {
  uint32_t port = BoundPort(5, 1);
  uint32_t first = 0;
  for (uint32_t copies : {0u, QRVCTL_MAX_COPIES + 1, 3u}) {
    std::vector<uint8_t> in = Bytes(QrvCtlPostCopies{copies, {5, 0, QRVCTL_ANY_SLOT, 1}});
    in.push_back(7);
    Request& post = Make(QRVCTL_IOCTL_POST_COPIES, in, 4, &kController);
    EXPECT_EQ(Control(post), copies == 3 ? QRV_STATUS_SUCCESS : QRV_STATUS_INVALID_PARAMETER);
    first = post.Word();
  }
  ASSERT_EQ(Counters().posted, 3u) << "a refused request queues nothing";
  EXPECT_EQ(Outcome(first + 2).state, static_cast<uint32_t>(QRVCTL_MSG_QUEUED));
  for (int i = 0; i < 3; i++) {
    Request& receive = Make(UC_RECEIVE, Receive(port, 0, 0), 1024, &kOwner);
    ASSERT_EQ(Protocol(receive), QRV_STATUS_SUCCESS);
    EXPECT_EQ(receive.out[4], 7);
  }
  EXPECT_EQ(Outcome(first).state, static_cast<uint32_t>(QRVCTL_MSG_UNKNOWN)) << "forgotten";
  EXPECT_EQ(Counters().notWanted, 3u) << "forgotten, yet accounted for";
}

TEST_F(PortModelTest, PendRequestFaultHoldsARequestBackUntilItIsRun) {
  uint32_t echo = CreatePort(UC_CREATE_ECHO_PORT, UC_KIND_ECHO, 15, 1);
  Arm(QRVCTL_FAULT_PEND_REQUEST, 1, 1, UC_ECHO, 0, 250);
  Request& skipped = Make(UC_ECHO, Words({echo, UC_ECHO_MAGIC}), 4, &kOwner);
  EXPECT_EQ(Protocol(skipped), QRV_STATUS_SUCCESS);
  Request& held = Make(UC_ECHO, Words({echo, UC_ECHO_MAGIC}), 4, &kOwner);
  ASSERT_EQ(Protocol(held), QRV_STATUS_PENDING);
  EXPECT_EQ(held.record.place, static_cast<uint32_t>(QRV_PENDING_DELAYED));
  EXPECT_EQ(held.record.delayMs, 250u);
  EXPECT_EQ(held.Word(), echo) << "the shared buffer holds the input until it runs";
  Request& after = Make(UC_ECHO, Words({echo, UC_ECHO_MAGIC}), 4, &kOwner);
  EXPECT_EQ(Protocol(after), QRV_STATUS_SUCCESS) << "one request is held, no more";

  QrvModelRunDelayed(model_, held.record.ticket, &done_);
  EXPECT_EQ(TakeDone(), std::vector<QrvRequest*>{&held.record});
  EXPECT_EQ(held.record.status, QRV_STATUS_SUCCESS);
  EXPECT_EQ(held.Word(), UC_ECHO_MAGIC);
  QrvModelRunDelayed(model_, held.record.ticket, &done_);
  EXPECT_TRUE(TakeDone().empty()) << "a held request runs once";
  std::vector<QrvCtlLogEntry> log = Log();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[2].status, QRV_STATUS_PENDING);
  EXPECT_EQ(log[2].flags, QRVCTL_LOG_FAULT);
  EXPECT_EQ(log[4].status, QRV_STATUS_SUCCESS);
  EXPECT_EQ(log[4].flags, QRVCTL_LOG_COMPLETION);
  EXPECT_EQ(log[4].word, UC_ECHO_MAGIC);
  EXPECT_EQ(log[4].issueSequence, log[2].sequence);

  // A receive is never held; a held request whose handle closes is
  // cancelled and never runs.
  uint32_t port = ServicePort(5, 1);
  Arm(QRVCTL_FAULT_PEND_REQUEST, 0, 1, UC_RECEIVE);
  EXPECT_EQ(Bind(port), 0u);
  Request& receive = Make(UC_RECEIVE, Receive(port, 0, 0), 1024, &kOwner);
  ASSERT_EQ(Protocol(receive), QRV_STATUS_PENDING);
  EXPECT_EQ(receive.record.place, static_cast<uint32_t>(QRV_PENDING_SLOT));
  Arm(QRVCTL_FAULT_PEND_REQUEST, 0, 1, UC_FREE_PORT);
  Request& free = Make(UC_FREE_PORT, Words({port}), 0, &kOwner);
  ASSERT_EQ(Protocol(free), QRV_STATUS_PENDING);
  QrvModelCloseOwner(model_, &kOwner, &done_);
  EXPECT_EQ(TakeDone().size(), 2u);
  EXPECT_EQ(free.record.status, QRV_STATUS_CANCELLED);
  QrvModelRunDelayed(model_, free.record.ticket, &done_);
  EXPECT_TRUE(TakeDone().empty());
  EXPECT_EQ(Counters().portsFreed, 0u) << "the cancelled request never ran";
}

}  // namespace
