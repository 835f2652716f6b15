#include "sim/driver/sim_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "qrvctl.h"
#include "sim/driver/model_glue.h"
#include "uc_protocol.h"

namespace qrv {
namespace sim {
namespace {

// The tests' table and the model's own must name the same protocol.
static_assert(wire::kCreateEchoPort == UC_CREATE_ECHO_PORT && wire::kEcho == UC_ECHO &&
                  wire::kCloseEchoPort == UC_CLOSE_ECHO_PORT &&
                  wire::kAllocatePort == UC_ALLOCATE_PORT && wire::kFreePort == UC_FREE_PORT &&
                  wire::kBindThread == UC_BIND_THREAD && wire::kReceive == UC_RECEIVE &&
                  wire::kReply == UC_REPLY,
              "control codes");
static_assert(wire::kEchoMagic == UC_ECHO_MAGIC && wire::kMaxPorts == UC_MAX_PORTS, "constants");

template <typename T>
std::optional<T> Named(uint32_t field) {
  if (field == QRVCTL_LOG_NONE) return std::nullopt;
  return static_cast<T>(field);
}

RequestRecord RecordOf(const QrvCtlLogEntry& entry) {
  RequestRecord record;
  record.sequence = entry.sequence;
  record.code = entry.code;
  record.input.assign(entry.input,
                      entry.input + std::min(entry.inputLength, QRVCTL_LOG_INPUT_BYTES));
  record.outputLength = entry.outputLength;
  record.outputNull = (entry.flags & QRVCTL_LOG_NO_OUTPUT) != 0;
  record.overlapped = (entry.flags & QRVCTL_LOG_OVERLAPPED) != 0;
  record.port = Named<uint32_t>(entry.port);
  record.threadIndex = Named<uint32_t>(entry.threadIndex);
  record.largeBuffer = Named<uint8_t>(entry.largeBuffer);
  record.pended = entry.status == QRV_STATUS_PENDING;
  if (!record.pended) record.status = static_cast<NTSTATUS>(entry.status);
  record.bytes = entry.information;
  return record;
}

Counters CountersOf(const QrvCtlCounters& c) {
  Counters counters;
  counters.posted = c.posted;
  counters.answered = c.answered;
  counters.notWanted = c.notWanted;
  counters.failedBack = c.failedBack;
  counters.inFlight = c.posted - c.answered - c.notWanted - c.failedBack;
  counters.pings = c.pings;
  counters.pingFailures = c.pingFailures;
  counters.receives = c.receives;
  counters.pendedReceives = c.pended;
  counters.tooSmallReports = c.tooSmallAtOnce + c.tooSmallCompleted;
  counters.replies = c.replies;
  counters.replyFailures = c.replyFailures;
  counters.portsAllocated = c.portsAllocated + c.echoPortsCreated;
  counters.portsFreed = c.portsFreed + c.echoPortsClosed;
  counters.binds = c.binds;
  counters.requests = c.requests;
  counters.rejected = c.rejected;
  counters.cancelled = c.cancelled;
  counters.delivered = c.delivered;
  counters.faultsFired = c.faultsFired;
  return counters;
}

size_t CountOf(const QrvCtlCounters& counters, DWORD code) {
  const uint32_t index = QrvCtlCodeIndex(code);
  return index < QRVCTL_PROTOCOL_CODES ? counters.requestsByCode[index] : 0;
}

const QrvCtlPortInfo* ServicePortInfo(const QrvCtlPorts& ports, uint32_t serviceId) {
  for (const QrvCtlPortInfo& port : ports.ports) {
    if (port.state == QRVCTL_PORT_SERVICE && port.serviceId == serviceId) return &port;
  }
  return nullptr;
}

QrvCtlCounters ReadCounters(ModelGlue& glue) {
  QrvCtlCounters counters{};
  glue.Locked([&] { glue.Read(QRVCTL_IOCTL_COUNTERS, nullptr, 0, &counters, sizeof(counters)); });
  return counters;
}

}  // namespace

SimDriver::SimDriver() : glue_(std::make_unique<ModelGlue>()) {}
SimDriver::~SimDriver() = default;

SimDriver& SimDriver::Instance() {
  // Leaked on purpose: library threads may still dispatch while the process
  // runs its static destructors.
  static SimDriver* const driver = new SimDriver();
  return *driver;
}

void SimDriver::Attach() { posix::RegisterDevice(kDevicePath, this); }
void SimDriver::Detach() { posix::UnregisterDevice(kDevicePath); }

NTSTATUS SimDriver::Dispatch(posix::IoRequest* request, DWORD* bytes) {
  std::function<void(DWORD, const std::vector<uint8_t>&)> hook;
  {
    std::lock_guard<std::mutex> lock(hookMu_);
    hook = hook_;
  }
  if (hook) {
    const auto* in = static_cast<const uint8_t*>(request->Input());
    hook(request->Code(), std::vector<uint8_t>(in, in + (in ? request->InputLength() : 0)));
  }
  return glue_->Dispatch(request, bytes);
}

void SimDriver::HandleClosed(const void* file) { glue_->HandleClosed(file); }

void SimDriver::Cancel(posix::IoRequest* request) { glue_->Cancel(request); }

std::shared_ptr<Message> SimDriver::Post(uint32_t serviceId, uint32_t header,
                                         std::vector<uint8_t> payload,
                                         std::optional<uint32_t> threadIndex) {
  const QrvCtlPost post = {serviceId, header, threadIndex.value_or(QRVCTL_ANY_SLOT),
                           static_cast<uint32_t>(payload.size())};
  std::vector<uint8_t> request(sizeof(post) + payload.size());
  std::memcpy(request.data(), &post, sizeof(post));
  if (!payload.empty()) std::memcpy(request.data() + sizeof(post), payload.data(), payload.size());
  uint32_t id = 0;
  if (payload.size() > QRVCTL_MAX_PAYLOAD ||
      glue_->Control(QRVCTL_IOCTL_POST, request.data(), static_cast<uint32_t>(request.size()), &id,
                     sizeof(id)) != QRV_STATUS_SUCCESS)
    id = 0;
  return std::make_shared<Message>(glue_.get(), id, serviceId, header, std::move(payload));
}

std::optional<uint32_t> SimDriver::PortOf(uint32_t serviceId) const {
  QrvCtlPorts ports{};
  glue_->Locked([&] { glue_->Read(QRVCTL_IOCTL_PORTS, nullptr, 0, &ports, sizeof(ports)); });
  const QrvCtlPortInfo* port = ServicePortInfo(ports, serviceId);
  if (port == nullptr) return std::nullopt;
  return static_cast<uint32_t>(port - ports.ports);
}

Counters SimDriver::counters() const { return CountersOf(ReadCounters(*glue_)); }

size_t SimDriver::RequestCount(DWORD code) const { return CountOf(ReadCounters(*glue_), code); }

std::vector<RequestRecord> SimDriver::requests() const {
  std::vector<uint8_t> out(sizeof(QrvCtlLogHeader) + QRVCTL_LOG_CAPACITY * sizeof(QrvCtlLogEntry));
  const uint32_t first = 0;  // from the oldest entry kept
  glue_->Locked([&] {
    glue_->Read(QRVCTL_IOCTL_READ_LOG, &first, sizeof(first), out.data(),
                static_cast<uint32_t>(out.size()));
  });
  QrvCtlLogHeader header;
  std::memcpy(&header, out.data(), sizeof(header));
  std::vector<RequestRecord> records;
  std::map<uint64_t, size_t> bySequence;
  for (uint32_t i = 0; i < header.count; ++i) {
    QrvCtlLogEntry entry;
    std::memcpy(&entry, out.data() + sizeof(header) + i * sizeof(entry), sizeof(entry));
    if ((entry.flags & QRVCTL_LOG_COMPLETION) == 0) {
      bySequence[entry.sequence] = records.size();
      records.push_back(RecordOf(entry));
      continue;
    }
    // A completion finishes the record of the request it completes.
    auto issued = bySequence.find(entry.issueSequence);
    if (issued == bySequence.end()) continue;
    records[issued->second].status = static_cast<NTSTATUS>(entry.status);
    records[issued->second].bytes = entry.information;
  }
  return records;
}

void SimDriver::ClearRequestLog() {
  glue_->Control(QRVCTL_IOCTL_CLEAR_LOG, nullptr, 0, nullptr, 0);
}

std::string SimDriver::DescribeRequests(DWORD code) const {
  size_t count = 0;
  size_t pending = 0;
  for (const RequestRecord& record : requests()) {
    if (record.code != code) continue;
    ++count;
    pending += record.pended && !record.status.has_value();
  }
  char text[80];
  std::snprintf(text, sizeof(text), "%zu requests of code %x, %zu pending", count,
                static_cast<unsigned>(code), pending);
  return text;
}

bool SimDriver::WaitForRequests(DWORD code, size_t count, std::chrono::milliseconds timeout) {
  return glue_->WaitUntil(
      [&] {
        QrvCtlCounters counters{};
        glue_->Read(QRVCTL_IOCTL_COUNTERS, nullptr, 0, &counters, sizeof(counters));
        return CountOf(counters, code) >= count;
      },
      timeout);
}

bool SimDriver::WaitForFinals(uint64_t count, std::chrono::milliseconds idle, uint64_t* finals) {
  uint64_t seen = 0;
  for (bool progressed = true; progressed && seen < count;) {
    const uint64_t before = seen;
    progressed = glue_->WaitUntilSettled(
        [&] {
          QrvCtlCounters now{};
          glue_->Read(QRVCTL_IOCTL_COUNTERS, nullptr, 0, &now, sizeof(now));
          seen = uint64_t{now.answered} + now.notWanted + now.failedBack;
          return seen != before;
        },
        idle);
  }
  if (finals != nullptr) *finals = seen;
  return seen >= count;
}

bool SimDriver::WaitForPendingReceives(uint32_t serviceId, size_t count,
                                       std::chrono::milliseconds timeout) {
  return glue_->WaitUntil(
      [&] {
        QrvCtlPorts ports{};
        glue_->Read(QRVCTL_IOCTL_PORTS, nullptr, 0, &ports, sizeof(ports));
        const QrvCtlPortInfo* port = ServicePortInfo(ports, serviceId);
        return port != nullptr && port->pendingReceives >= count;
      },
      timeout);
}

bool SimDriver::WaitUntil(const std::function<bool(const Counters&)>& predicate,
                          std::chrono::milliseconds timeout) {
  return glue_->WaitUntil(
      [&] {
        QrvCtlCounters counters{};
        glue_->Read(QRVCTL_IOCTL_COUNTERS, nullptr, 0, &counters, sizeof(counters));
        return predicate(CountersOf(counters));
      },
      timeout);
}

void SimDriver::SetRequestHook(
    std::function<void(DWORD code, const std::vector<uint8_t>& input)> hook) {
  std::lock_guard<std::mutex> lock(hookMu_);
  hook_ = std::move(hook);
}

size_t SimDriver::CompletePendingReceives(uint32_t serviceId, NTSTATUS status) {
  const QrvCtlCompletePending request = {serviceId, static_cast<uint32_t>(status)};
  uint32_t completed = 0;
  glue_->Control(QRVCTL_IOCTL_COMPLETE_PENDING, &request, sizeof(request), &completed,
                 sizeof(completed));
  return completed;
}

// ---- Faults: each knob arms one of the model's fault plans.

void SimDriver::SetFault(uint32_t kind, unsigned count, uint32_t value, uint32_t flags,
                         uint32_t code, uint32_t skip, uint32_t delayMs) {
  const QrvCtlFault fault = {kind, skip, count, value, flags, delayMs, code};
  glue_->Control(QRVCTL_IOCTL_SET_FAULT, &fault, sizeof(fault), nullptr, 0);
}

void SimDriver::OverridePortAnswer(DWORD code, std::optional<uint32_t> answer, unsigned count) {
  SetFault(QRVCTL_FAULT_PORT_ANSWER, count, answer.value_or(0), answer ? 0 : QRVCTL_FAULT_NO_ANSWER,
           code);
}

void SimDriver::FailPortRequests(DWORD code, unsigned count, NTSTATUS status) {
  SetFault(QRVCTL_FAULT_PORT_STATUS, count, static_cast<uint32_t>(status), 0, code);
}

void SimDriver::OverrideBindAnswer(std::optional<uint32_t> answer, unsigned count) {
  SetFault(QRVCTL_FAULT_BIND_ANSWER, count, answer.value_or(0),
           answer ? 0 : QRVCTL_FAULT_NO_ANSWER);
}

// One ping fault at a time: arming one kind disarms the other.
void SimDriver::FaultPingsAfter(unsigned goodPings, PingFault fault, uint32_t wrongWord) {
  const bool fail = fault == PingFault::kFail;
  SetFault(fail ? QRVCTL_FAULT_PING_WORD : QRVCTL_FAULT_PING_STATUS, 0, 0);
  if (fail) {
    SetFault(QRVCTL_FAULT_PING_STATUS, QRVCTL_FAULT_FOREVER,
             static_cast<uint32_t>(posix::kStatusUnsuccessful), 0, 0, goodPings);
  } else {
    SetFault(QRVCTL_FAULT_PING_WORD, QRVCTL_FAULT_FOREVER, wrongWord,
             fault == PingFault::kNoAnswer ? QRVCTL_FAULT_NO_ANSWER : 0, 0, goodPings);
  }
}

void SimDriver::FailReceives(unsigned count, NTSTATUS status, FaultPath path) {
  SetFault(
      path == FaultPath::kImmediate ? QRVCTL_FAULT_RECEIVE_STATUS : QRVCTL_FAULT_PENDED_RECEIVE,
      count, static_cast<uint32_t>(status));
}

void SimDriver::SetTooSmallStatus(NTSTATUS status) {
  const bool standard = status == posix::kStatusBufferTooSmall;
  SetFault(QRVCTL_FAULT_TOO_SMALL_STATUS, standard ? 0 : QRVCTL_FAULT_FOREVER,
           static_cast<uint32_t>(status));
}

void SimDriver::ReportHostileSizes(unsigned count, HostileSize kind) {
  if (kind == HostileSize::kBelowHeader) {
    ReportSizes(count, kHostileSizeBelowHeader);
  } else {
    SetFault(QRVCTL_FAULT_TOO_SMALL_SIZE, count, 0, QRVCTL_FAULT_OUTPUT_LENGTH);
  }
}

void SimDriver::ReportSizes(unsigned count, uint32_t size) {
  SetFault(QRVCTL_FAULT_TOO_SMALL_SIZE, count, size);
}

void SimDriver::ShortCompletions(unsigned count, DWORD bytes) {
  SetFault(QRVCTL_FAULT_SHORT_COMPLETION, count, bytes);
}

void SimDriver::InflateCompletions(unsigned count, DWORD extra) {
  SetFault(QRVCTL_FAULT_LONG_COMPLETION, count, extra);
}

void SimDriver::FailReplies(unsigned count, NTSTATUS status) {
  SetFault(QRVCTL_FAULT_REPLY_STATUS, count, static_cast<uint32_t>(status));
}

void SimDriver::DelayRequests(DWORD code, std::chrono::milliseconds delay, unsigned count) {
  SetFault(QRVCTL_FAULT_PEND_REQUEST, count, code, 0, 0, 0, static_cast<uint32_t>(delay.count()));
}

void SimDriver::AlsoDelayRequests(DWORD code, std::chrono::milliseconds delay, unsigned count) {
  SetFault(QRVCTL_FAULT_PEND_REQUEST_TOO, count, code, 0, 0, 0,
           static_cast<uint32_t>(delay.count()));
}

size_t SimDriver::FinishDelayed(DWORD code) { return glue_->RunDelayedNow(code); }

void SimDriver::IgnoreCancellation(DWORD code, unsigned count) {
  SetFault(QRVCTL_FAULT_IGNORE_CANCEL, count, 0, 0, code);
}

void SimDriver::KeepReceivesOnFree(unsigned count) {
  SetFault(QRVCTL_FAULT_FREE_KEEPS_RECEIVES, count, 0);
}

void SimDriver::ClearFaults() {
  for (uint32_t kind = 0; kind < QRVCTL_FAULT_KIND_COUNT; ++kind) SetFault(kind, 0, 0);
}

}  // namespace sim
}  // namespace qrv
