#include "sim/driver/sim_driver.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "sim/driver/fault_plan.h"
#include "sim/driver/port_table.h"
#include "sim/driver/request_log.h"
#include "sim/driver/wire_access.h"

namespace qrv {
namespace sim {

using posix::kStatusBufferTooSmall;
using posix::kStatusCancelled;
using posix::kStatusInvalidDeviceRequest;
using posix::kStatusInvalidParameter;
using posix::kStatusPending;
using posix::kStatusSuccess;
using posix::kStatusUnsuccessful;

namespace {

// Failures: a malformed record or a port, slot or code that does not exist
// is STATUS_INVALID_PARAMETER (87 at the client); a request that the state
// of an existing port refuses (slots exhausted, a second pending receive,
// nothing to answer, a wrong magic) is STATUS_UNSUCCESSFUL (31).

// More slots than a wait can cover make no sense for a client; the bound
// keeps a hostile ThreadCount from allocating without limit.
constexpr uint32_t kMaxThreadsPerPort = 64;

// A too-small size word that claims less than the Header itself.
constexpr uint32_t kHostileSizeBelowHeader = 3;

struct Result {
  NTSTATUS status;
  DWORD bytes;
};

Result Done(NTSTATUS status, DWORD bytes = 0) { return Result{status, bytes}; }

struct Completion {
  posix::IoRequest* request;
  Result result;
};
using Completions = std::vector<Completion>;

// Runs after the driver lock is released: completing sets the caller's event,
// and the woken caller may come straight back into the driver.
void RunCompletions(const Completions& done) {
  for (const Completion& completion : done)
    completion.request->Complete(completion.result.status, completion.result.bytes);
}

bool HasAnswerRoom(const posix::IoRequest& request) {
  return request.Output() != nullptr && request.OutputLength() >= wire::kAnswerSize;
}

Result WriteAnswer(posix::IoRequest& request, std::optional<uint32_t> answer) {
  if (!answer) return Done(kStatusSuccess);
  wire::WriteWord(request.Output(), *answer);
  return Done(kStatusSuccess, wire::kAnswerSize);
}

}  // namespace

// Everything below runs with `mu` held unless a function says otherwise.
struct SimDriver::Impl {
  mutable std::mutex mu;
  std::condition_variable changed;  // notified after every change of state
  PortTable ports;
  FaultPlan faults;
  RequestLog log;
  Counters counters;
  uint32_t nextMessageId = 1;
  std::function<void(DWORD, const std::vector<uint8_t>&)> hook;

  Counters Snapshot() const;
  Result Handle(posix::IoRequest& request, const std::vector<uint8_t>& in, uint64_t sequence,
                Completions* done);
  Result HandleAndLog(posix::IoRequest& request, const std::vector<uint8_t>& in, uint64_t sequence,
                      Completions* done);
  std::optional<std::chrono::milliseconds> TakeDelay(DWORD code);
  Result CreatePort(posix::IoRequest& request, const std::vector<uint8_t>& in);
  Result Echo(posix::IoRequest& request, const std::vector<uint8_t>& in);
  Result ClosePort(DWORD code, const std::vector<uint8_t>& in, Completions* done);
  Result Bind(posix::IoRequest& request, const std::vector<uint8_t>& in);
  Result Receive(posix::IoRequest& request, const std::vector<uint8_t>& in, uint64_t sequence);
  Result Reply(posix::IoRequest& request, const std::vector<uint8_t>& in);

  Result Deliver(Port& port, uint32_t index, std::shared_ptr<Message> message,
                 posix::IoRequest& request);
  Result ReportTooSmall(Slot& slot, uint32_t index, std::shared_ptr<Message> message, void* out,
                        DWORD room);
  void Offer(Port& port, QueuedMessage queued, Completions* done);
  void Flush(Port& port, Completions* done);
  void Complete(const PendingReceive& pending, Result result, Completions* done);
  void FailBack(Message& message);
  bool PingFaultDue();
  Result PingFailed(NTSTATUS status);
  Result ReplyFailed(NTSTATUS status);
};

Counters SimDriver::Impl::Snapshot() const {
  Counters snapshot = counters;
  snapshot.inFlight =
      snapshot.posted - snapshot.answered - snapshot.notWanted - snapshot.failedBack;
  return snapshot;
}

Result SimDriver::Impl::Handle(posix::IoRequest& request, const std::vector<uint8_t>& in,
                               uint64_t sequence, Completions* done) {
  switch (request.Code()) {
    case wire::kCreateEchoPort:
    case wire::kAllocatePort:
      return CreatePort(request, in);
    case wire::kEcho:
      return Echo(request, in);
    case wire::kCloseEchoPort:
    case wire::kFreePort:
      return ClosePort(request.Code(), in, done);
    case wire::kBindThread:
      return Bind(request, in);
    case wire::kReceive:
      return Receive(request, in, sequence);
    case wire::kReply:
      return Reply(request, in);
    default:
      return Done(kStatusInvalidDeviceRequest);
  }
}

Result SimDriver::Impl::HandleAndLog(posix::IoRequest& request, const std::vector<uint8_t>& in,
                                     uint64_t sequence, Completions* done) {
  const Result result = Handle(request, in, sequence, done);
  if (result.status == kStatusPending) {
    log.MarkPended(sequence);
  } else {
    log.Finish(sequence, result.status, result.bytes);
  }
  changed.notify_all();
  return result;
}

// A receive pends by nature; delaying one would only hide a message.
std::optional<std::chrono::milliseconds> SimDriver::Impl::TakeDelay(DWORD code) {
  if (code == wire::kReceive) return std::nullopt;
  auto delay = faults.delays.find(code);
  return delay == faults.delays.end() ? std::nullopt : delay->second.Take();
}

Result SimDriver::Impl::CreatePort(posix::IoRequest& request, const std::vector<uint8_t>& in) {
  const DWORD code = request.Code();
  const uint8_t kind = code == wire::kCreateEchoPort ? wire::kKindEcho : wire::kKindService;
  if (in.size() != wire::kPortRequestSize || in[wire::kPortRequestKind] != kind)
    return Done(kStatusInvalidParameter);
  const uint32_t serviceId = wire::ReadWord(in, wire::kPortRequestServiceId);
  const uint32_t threadCount = wire::ReadWord(in, wire::kPortRequestThreadCount);
  if (serviceId >= wire::kMaxPorts || threadCount > kMaxThreadsPerPort)
    return Done(kStatusInvalidParameter);
  if (!HasAnswerRoom(request)) return Done(kStatusBufferTooSmall);
  if (std::optional<NTSTATUS> status = faults.portFailures[code].Take()) return Done(*status);
  if (auto answer = faults.portAnswers[code].Take()) return WriteAnswer(request, *answer);
  const std::optional<uint32_t> port = ports.Open(kind, serviceId, threadCount);
  if (!port) return Done(kStatusNoFreePort);
  ++counters.portsAllocated;
  return WriteAnswer(request, port);
}

Result SimDriver::Impl::PingFailed(NTSTATUS status) {
  ++counters.pingFailures;
  return Done(status);
}

// Counts a good ping down; once none is left the fault stays until cleared.
bool SimDriver::Impl::PingFaultDue() {
  if (!faults.goodPingsLeft) return false;
  if (*faults.goodPingsLeft == 0) return true;
  --*faults.goodPingsLeft;
  return false;
}

Result SimDriver::Impl::Echo(posix::IoRequest& request, const std::vector<uint8_t>& in) {
  ++counters.pings;
  if (in.size() != wire::kEchoPacketSize) return PingFailed(kStatusInvalidParameter);
  if (!HasAnswerRoom(request)) return PingFailed(kStatusBufferTooSmall);
  if (ports.Find(wire::ReadWord(in, wire::kEchoPacketPort), wire::kKindEcho) == nullptr)
    return PingFailed(kStatusInvalidParameter);
  if (wire::ReadWord(in, wire::kEchoPacketMagic) != wire::kEchoMagic)
    return PingFailed(kStatusUnsuccessful);
  if (PingFaultDue()) {
    ++counters.pingFailures;
    if (faults.pingFault == PingFault::kFail) return Done(kStatusUnsuccessful);
    if (faults.pingFault == PingFault::kNoAnswer) return WriteAnswer(request, std::nullopt);
    return WriteAnswer(request, faults.wrongPingWord);
  }
  return WriteAnswer(request, wire::kEchoMagic);
}

Result SimDriver::Impl::ClosePort(DWORD code, const std::vector<uint8_t>& in, Completions* done) {
  const uint8_t kind = code == wire::kCloseEchoPort ? wire::kKindEcho : wire::kKindService;
  if (in.size() != wire::kPortWordSize) return Done(kStatusInvalidParameter);
  Port* port = ports.Find(wire::ReadWord(in, 0), kind);
  if (port == nullptr) return Done(kStatusInvalidParameter);
  Flush(*port, done);
  return Done(kStatusSuccess);
}

Result SimDriver::Impl::Bind(posix::IoRequest& request, const std::vector<uint8_t>& in) {
  if (in.size() != wire::kPortWordSize) return Done(kStatusInvalidParameter);
  if (!HasAnswerRoom(request)) return Done(kStatusBufferTooSmall);
  Port* port = ports.Find(wire::ReadWord(in, 0), wire::kKindService);
  if (port == nullptr) return Done(kStatusInvalidParameter);
  if (auto answer = faults.bindAnswer.Take()) return WriteAnswer(request, *answer);
  if (port->nextBind >= port->slots.size()) return Done(kStatusUnsuccessful);
  const uint32_t index = port->nextBind++;
  port->slots[index].bound = true;
  ++counters.binds;
  return WriteAnswer(request, index);
}

Result SimDriver::Impl::Receive(posix::IoRequest& request, const std::vector<uint8_t>& in,
                                uint64_t sequence) {
  ++counters.receives;
  if (in.size() != wire::kReceiveRequestSize) return Done(kStatusInvalidParameter);
  const uint32_t number = wire::ReadWord(in, wire::kReceiveRequestPort);
  const uint32_t index = wire::ReadWord(in, wire::kReceiveRequestThreadIndex);
  Slot* slot = ports.FindBoundSlot(number, index);
  if (slot == nullptr) return Done(kStatusInvalidParameter);
  // A slot has one message outstanding at a time: receiving again means the
  // client gave up on answering the previous one.
  if (slot->outstanding) FailBack(*std::exchange(slot->outstanding, nullptr));
  if (std::optional<NTSTATUS> status = faults.immediateReceiveFailures.Take()) return Done(*status);
  Port& port = ports[number];
  if (std::shared_ptr<Message> message = port.TakeFor(index))
    return Deliver(port, index, std::move(message), request);
  if (slot->pending) return Done(kStatusUnsuccessful);
  slot->pending = PendingReceive{&request, sequence, faults.pendingReceiveFailures.Take()};
  ++counters.pendedReceives;
  return Done(kStatusPending);
}

Result SimDriver::Impl::ReplyFailed(NTSTATUS status) {
  ++counters.replyFailures;
  return Done(status);
}

Result SimDriver::Impl::Reply(posix::IoRequest& request, const std::vector<uint8_t>& in) {
  ++counters.replies;
  if (in.size() != wire::kReplyHeaderSize) return ReplyFailed(kStatusInvalidParameter);
  Slot* slot = ports.FindBoundSlot(wire::ReadWord(in, wire::kReplyHeaderPort),
                                   wire::ReadWord(in, wire::kReplyHeaderThreadIndex));
  if (slot == nullptr) return ReplyFailed(kStatusInvalidParameter);
  if (!slot->outstanding) return ReplyFailed(kStatusUnsuccessful);
  std::shared_ptr<Message> message = std::move(slot->outstanding);
  if (std::optional<NTSTATUS> status = faults.replyFailures.Take()) {
    FailBack(*message);
    return ReplyFailed(*status);
  }
  // METHOD_IN_DIRECT: the output buffer is the answer, which the driver reads.
  const auto* answer = static_cast<const uint8_t*>(request.Output());
  std::vector<uint8_t> bytes;
  if (answer != nullptr) bytes.assign(answer, answer + request.OutputLength());
  message->Answer(std::move(bytes));
  ++counters.answered;
  return Done(kStatusSuccess);
}

Result SimDriver::Impl::Deliver(Port& port, uint32_t index, std::shared_ptr<Message> message,
                                posix::IoRequest& request) {
  Slot& slot = port.slots[index];
  void* out = request.Output();
  const DWORD room = out == nullptr ? 0 : request.OutputLength();
  const std::vector<uint8_t>& payload = message->payload();
  const size_t need = wire::kMessagePayload + payload.size();
  if (need > room) return ReportTooSmall(slot, index, std::move(message), out, room);

  auto* bytes = static_cast<uint8_t*>(out);
  wire::WriteWord(bytes + wire::kMessageHeader, message->header());
  if (!payload.empty()) std::memcpy(bytes + wire::kMessagePayload, payload.data(), payload.size());
  DWORD count = static_cast<DWORD>(need);
  if (std::optional<DWORD> shortCount = faults.shortCompletions.Take()) {
    count = *shortCount;
  } else if (std::optional<DWORD> extra = faults.inflateCompletions.Take()) {
    count = room + *extra;
  }
  if (message->header() == 0) {
    message->MoveTo(Outcome::kNotWanted, index);
    ++counters.notWanted;
  } else {
    message->MoveTo(Outcome::kDelivered, index);
    slot.outstanding = std::move(message);
  }
  return Done(kStatusSuccess, count);
}

// The size word reaches the client although the request fails, because the
// receive's output travels by direct I/O.
Result SimDriver::Impl::ReportTooSmall(Slot& slot, uint32_t index, std::shared_ptr<Message> message,
                                       void* out, DWORD room) {
  ++counters.tooSmallReports;
  if (room >= wire::kMessagePayload) {
    uint32_t size = static_cast<uint32_t>(wire::kMessagePayload + message->payload().size());
    if (std::optional<HostileSize> hostile = faults.hostileSizes.Take())
      size = *hostile == HostileSize::kBelowHeader ? kHostileSizeBelowHeader : room;
    wire::WriteWord(out, size);
  }
  message->MoveTo(Outcome::kAssigned, index);
  slot.assigned = std::move(message);
  return Done(faults.tooSmallStatus);
}

void SimDriver::Impl::Offer(Port& port, QueuedMessage queued, Completions* done) {
  const uint32_t count = static_cast<uint32_t>(port.slots.size());
  const uint32_t start = port.nextDelivery;
  for (uint32_t step = 0; step < count; ++step) {
    const uint32_t index = (start + step) % count;
    Slot& slot = port.slots[index];
    if (!slot.pending || !queued.Fits(index)) continue;
    const PendingReceive pending = *std::exchange(slot.pending, std::nullopt);
    port.nextDelivery = (index + 1) % count;
    if (pending.fault) {
      Complete(pending, Done(*pending.fault), done);
      continue;
    }
    Complete(pending, Deliver(port, index, std::move(queued.message), *pending.request), done);
    return;
  }
  port.queue.push_back(std::move(queued));
}

void SimDriver::Impl::Flush(Port& port, Completions* done) {
  for (Slot& slot : port.slots) {
    if (slot.pending) Complete(*slot.pending, Done(kStatusCancelled), done);
    if (slot.assigned) FailBack(*slot.assigned);
    if (slot.outstanding) FailBack(*slot.outstanding);
  }
  for (QueuedMessage& queued : port.queue) FailBack(*queued.message);
  port = Port();
  ++counters.portsFreed;
}

void SimDriver::Impl::Complete(const PendingReceive& pending, Result result, Completions* done) {
  log.Finish(pending.sequence, result.status, result.bytes);
  done->push_back(Completion{pending.request, result});
}

void SimDriver::Impl::FailBack(Message& message) {
  message.MoveTo(Outcome::kFailedBack, Message::kNoThread);
  ++counters.failedBack;
}

// ---- SimDriver

SimDriver& SimDriver::Instance() {
  // Leaked on purpose: library threads may still dispatch while the process
  // runs its static destructors.
  static SimDriver* const driver = new SimDriver();
  return *driver;
}

SimDriver::SimDriver() : impl_(new Impl) {}
SimDriver::~SimDriver() = default;

void SimDriver::Attach() { posix::RegisterDevice(kDevicePath, this); }
void SimDriver::Detach() { posix::UnregisterDevice(kDevicePath); }

NTSTATUS SimDriver::Dispatch(posix::IoRequest* request, DWORD* bytes) {
  const auto* in = static_cast<const uint8_t*>(request->Input());
  std::vector<uint8_t> input;
  if (in != nullptr) input.assign(in, in + request->InputLength());
  std::function<void(DWORD, const std::vector<uint8_t>&)> hook;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    hook = impl_->hook;
  }
  if (hook) hook(request->Code(), input);

  Completions done;
  Result result;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    const uint64_t sequence = impl_->log.Begin(*request, input);
    if (std::optional<std::chrono::milliseconds> delay = impl_->TakeDelay(request->Code())) {
      impl_->log.MarkPended(sequence);
      impl_->changed.notify_all();
      std::thread(&SimDriver::HandleLater, this, request, std::move(input), sequence, *delay)
          .detach();
      return kStatusPending;
    }
    result = impl_->HandleAndLog(*request, input, sequence, &done);
  }
  RunCompletions(done);
  *bytes = result.bytes;
  return result.status;
}

// The driver is never destroyed, so the detached thread cannot outlive it.
void SimDriver::HandleLater(posix::IoRequest* request, std::vector<uint8_t> input,
                            uint64_t sequence, std::chrono::milliseconds delay) {
  std::this_thread::sleep_for(delay);
  Completions done;
  Result result;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    result = impl_->HandleAndLog(*request, input, sequence, &done);
  }
  RunCompletions(done);
  request->Complete(result.status, result.bytes);
}

void SimDriver::HandleClosed() {
  Completions done;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    for (uint32_t number = 0; number < wire::kMaxPorts; ++number) {
      if (impl_->ports[number].open) impl_->Flush(impl_->ports[number], &done);
    }
    impl_->changed.notify_all();
  }
  RunCompletions(done);
}

std::shared_ptr<Message> SimDriver::Post(uint32_t serviceId, uint32_t header,
                                         std::vector<uint8_t> payload,
                                         std::optional<uint32_t> threadIndex) {
  Completions done;
  std::shared_ptr<Message> message;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    message =
        std::make_shared<Message>(impl_->nextMessageId++, serviceId, header, std::move(payload));
    ++impl_->counters.posted;
    if (Port* port = impl_->ports.ServicePort(serviceId)) {
      impl_->Offer(*port, QueuedMessage{message, threadIndex}, &done);
    } else {
      impl_->FailBack(*message);
    }
    impl_->changed.notify_all();
  }
  RunCompletions(done);
  return message;
}

std::optional<uint32_t> SimDriver::PortOf(uint32_t serviceId) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->ports.ServicePortNumber(serviceId);
}

Counters SimDriver::counters() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->Snapshot();
}

size_t SimDriver::RequestCount(DWORD code) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->log.Total(code);
}

std::vector<RequestRecord> SimDriver::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->log.records();
}

void SimDriver::ClearRequestLog() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->log.Clear();
}

bool SimDriver::WaitForRequests(DWORD code, size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(impl_->mu);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->log.Total(code) >= count; });
}

bool SimDriver::WaitForPendingReceives(uint32_t serviceId, size_t count,
                                       std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(impl_->mu);
  return impl_->changed.wait_for(lock, timeout, [&] {
    const Port* port = impl_->ports.ServicePort(serviceId);
    return port != nullptr && port->PendingReceives() >= count;
  });
}

bool SimDriver::WaitUntil(const std::function<bool(const Counters&)>& predicate,
                          std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(impl_->mu);
  return impl_->changed.wait_for(lock, timeout, [&] { return predicate(impl_->Snapshot()); });
}

void SimDriver::SetRequestHook(
    std::function<void(DWORD code, const std::vector<uint8_t>& input)> hook) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->hook = std::move(hook);
}

size_t SimDriver::CompletePendingReceives(uint32_t serviceId, NTSTATUS status) {
  Completions done;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (Port* port = impl_->ports.ServicePort(serviceId)) {
      for (Slot& slot : port->slots) {
        if (!slot.pending) continue;
        impl_->Complete(*std::exchange(slot.pending, std::nullopt), Done(status), &done);
      }
    }
    impl_->changed.notify_all();
  }
  RunCompletions(done);
  return done.size();
}

// ---- Faults

void SimDriver::OverridePortAnswer(DWORD code, std::optional<uint32_t> answer, unsigned count) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.portAnswers[code].Arm(count, answer);
}

void SimDriver::FailPortRequests(DWORD code, unsigned count, NTSTATUS status) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.portFailures[code].Arm(count, status);
}

void SimDriver::OverrideBindAnswer(std::optional<uint32_t> answer, unsigned count) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.bindAnswer.Arm(count, answer);
}

void SimDriver::FaultPingsAfter(unsigned goodPings, PingFault fault, uint32_t wrongWord) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.goodPingsLeft = goodPings;
  impl_->faults.pingFault = fault;
  impl_->faults.wrongPingWord = wrongWord;
}

void SimDriver::FailReceives(unsigned count, NTSTATUS status, FaultPath path) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Armed<NTSTATUS>& armed = path == FaultPath::kImmediate ? impl_->faults.immediateReceiveFailures
                                                         : impl_->faults.pendingReceiveFailures;
  armed.Arm(count, status);
}

void SimDriver::SetTooSmallStatus(NTSTATUS status) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.tooSmallStatus = status;
}

void SimDriver::ReportHostileSizes(unsigned count, HostileSize kind) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.hostileSizes.Arm(count, kind);
}

void SimDriver::ShortCompletions(unsigned count, DWORD bytes) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.shortCompletions.Arm(count, bytes);
}

void SimDriver::InflateCompletions(unsigned count, DWORD extra) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.inflateCompletions.Arm(count, extra);
}

void SimDriver::FailReplies(unsigned count, NTSTATUS status) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.replyFailures.Arm(count, status);
}

void SimDriver::DelayRequests(DWORD code, std::chrono::milliseconds delay, unsigned count) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.delays[code].Arm(count, delay);
}

void SimDriver::ClearFaults() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults = FaultPlan();
}

}  // namespace sim
}  // namespace qrv
