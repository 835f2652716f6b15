// The simulated kernel driver behind the control device "\\.\QRVDev".
//
// It is the reference driver's own port model (sim/kernel: ports, slots,
// queues, delivery, faults, counters and the request log) behind an
// in-process glue (ModelGlue), registered as a qrv::posix::Device, so that
// the library runs unchanged against the very code the kernel driver runs.
// How the driver behaves is described in sim/kernel/qrvctl.h; in short:
//  - 16 ports (0..15) shared by the echo port and service ports, lowest free
//    first; one service port per service id;
//  - a service port has ThreadCount (at most 16) slots, bound lowest first;
//  - Post() queues a message for a service's port; it goes to the lowest
//    idle pending receive that may take it, or waits for a receive;
//  - a message that does not fit the receiver's output is reported too
//    small: the size it needs (Header included) goes into the first word of
//    the caller's output and the message stays assigned to that slot;
//  - FREE_PORT, CLOSE_ECHO_PORT and the close of the handle that allocated
//    a port complete its pending receives as cancelled and fail back every
//    message it still held; requests naming a port that is not open fail at
//    once with STATUS_INVALID_DEVICE_STATE (error 22) and never pend.
// Every posted message ends exactly once as answered, not wanted or failed
// back (see Outcome); the counters account for each.
//
// Thread safety: every method may be called from any thread. Requests are
// completed and the request hook is called without the model's lock.
#ifndef QUORVEL_SIM_DRIVER_SIM_DRIVER_H_
#define QUORVEL_SIM_DRIVER_SIM_DRIVER_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/device.h"
#include "sim/driver/message.h"
#include "sim/driver/wire_tables.h"

namespace qrv {
namespace sim {

class ModelGlue;
using posix::NTSTATUS;

// Totals since the process started; never reset.
struct Counters {
  uint64_t posted = 0;  // posts the driver accepted (a service with a port)
  uint64_t answered = 0;
  uint64_t notWanted = 0;
  uint64_t failedBack = 0;
  uint64_t inFlight = 0;      // posted and not yet final
  uint64_t pings = 0;         // well-formed ECHO requests on an echo port
  uint64_t pingFailures = 0;  // ECHO requests not answered with the magic
  uint64_t receives = 0;      // well-formed RECEIVE requests on a bound slot
  uint64_t pendedReceives = 0;
  uint64_t tooSmallReports = 0;
  uint64_t replies = 0;  // REPLY requests that answered a message
  uint64_t replyFailures = 0;
  uint64_t portsAllocated = 0;  // echo and service ports
  uint64_t portsFreed = 0;      // echo and service ports, by request
  uint64_t binds = 0;           // successful bindings
  uint64_t requests = 0;        // protocol requests, valid or not
  uint64_t rejected = 0;        // protocol requests refused for input or state
  uint64_t cancelled = 0;       // pending receives completed as cancelled
  uint64_t delivered = 0;       // messages written to a receiver
  uint64_t faultsFired = 0;
};

// One request as the driver saw it.
struct RequestRecord {
  uint64_t sequence = 0;  // consecutive in arrival order
  DWORD code = 0;
  std::vector<uint8_t> input;  // its first 16 bytes; every record fits
  DWORD outputLength = 0;
  bool outputNull = true;
  bool overlapped = false;
  std::optional<uint32_t> port;         // decoded for codes that name a port
  std::optional<uint32_t> threadIndex;  // RECEIVE and REPLY
  std::optional<uint8_t> largeBuffer;   // RECEIVE
  bool pended = false;
  std::optional<NTSTATUS> status;  // final status; empty while pending
  DWORD bytes = 0;                 // final byte count
};

enum class PingFault {
  kFail,       // the ECHO request fails (STATUS_UNSUCCESSFUL)
  kWrongWord,  // the ECHO request succeeds but answers a wrong word
  kNoAnswer    // the ECHO request succeeds without writing an answer
};

enum class FaultPath {
  kImmediate,  // the request fails at once with the status
  kPending     // the receive pends and completes with the status when a
               // message would be delivered to it; the message moves on
};

enum class HostileSize {
  kBelowHeader,  // the size word says 3, less than the Header itself
  kNoLarger      // the size word equals the output length it came through
};

// A size word below the Header itself, as kBelowHeader writes it.
constexpr uint32_t kHostileSizeBelowHeader = 3;

class SimDriver : public posix::Device {
 public:
  static constexpr const wchar_t* kDevicePath = L"\\\\.\\QRVDev";
  // The status of a port or bind request that finds no free port or slot.
  static constexpr NTSTATUS kStatusNoFreePort = posix::kStatusInsufficientResources;

  // The process-wide driver; never destroyed, so that library threads still
  // running at exit cannot outlive it. Not attached until Attach().
  static SimDriver& Instance();

  SimDriver(const SimDriver&) = delete;
  SimDriver& operator=(const SimDriver&) = delete;

  // Registers / unregisters the device path. Handles already open keep
  // working after Detach; only new opens fail (ERROR_FILE_NOT_FOUND).
  void Attach();
  void Detach();

  // Queues a message for the service's port. With a thread index only that
  // slot may take it. A post the driver refuses (no open port, a thread
  // index beyond the port's, a payload over 64 KiB) returns a message that
  // is failed back at once and is not counted as posted.
  std::shared_ptr<Message> Post(uint32_t serviceId, uint32_t header, std::vector<uint8_t> payload,
                                std::optional<uint32_t> threadIndex = std::nullopt);

  // The open service port of the service (as Post chooses it), if any.
  std::optional<uint32_t> PortOf(uint32_t serviceId) const;

  Counters counters() const;
  // How many requests of the code (one of the eight protocol codes; 0 for
  // any other) arrived since the process started, beyond the log's window
  // too (ClearRequestLog does not reset it).
  size_t RequestCount(DWORD code) const;
  // The most recent requests (at most 1024, oldest first), each with its
  // completion if it pended; older ones are only counted.
  std::vector<RequestRecord> requests() const;
  // The logged requests of one code in a line, for a failure's report:
  // "<n> requests of code <hex>, <m> pending".
  std::string DescribeRequests(DWORD code) const;
  void ClearRequestLog();

  // Bounded waits; each returns false when the timeout passes first.
  // Until RequestCount(code) >= count.
  bool WaitForRequests(DWORD code, size_t count, std::chrono::milliseconds timeout);
  // Until at least `count` receives are pending on the service's port.
  bool WaitForPendingReceives(uint32_t serviceId, size_t count, std::chrono::milliseconds timeout);
  // Until at least `count` posted messages are final. The bound is on
  // progress, not on the whole: false only when no message becomes final
  // for `idle`. *finals (when given) is the count last seen.
  bool WaitForFinals(uint64_t count, std::chrono::milliseconds idle, uint64_t* finals = nullptr);
  // Until the predicate holds for the counters; it runs under the driver lock
  // and must not call back into the driver.
  bool WaitUntil(const std::function<bool(const Counters&)>& predicate,
                 std::chrono::milliseconds timeout);

  // Called on the requesting thread at the start of every request, before the
  // driver looks at it and without the driver lock, so a test may block there
  // to order requests of different threads. Empty function: no hook.
  void SetRequestHook(std::function<void(DWORD code, const std::vector<uint8_t>& input)> hook);

  // ---- Faults. A count arms the next N matching requests; ClearFaults()
  // disarms every fault and restores the default too-small status.

  // The next `count` requests of `code` (wire::kCreateEchoPort or
  // wire::kAllocatePort) succeed without taking a port and answer `answer`;
  // with std::nullopt they succeed without writing any answer. One such
  // override is armed at a time: arming it for one code replaces the other.
  void OverridePortAnswer(DWORD code, std::optional<uint32_t> answer, unsigned count = 1);
  // The next `count` requests of `code` (a port-creating code) fail; one
  // such fault is armed at a time, as for OverridePortAnswer.
  void FailPortRequests(DWORD code, unsigned count, NTSTATUS status = posix::kStatusUnsuccessful);
  // The next `count` binds succeed without binding a slot and answer
  // `answer`; with std::nullopt they write no answer.
  void OverrideBindAnswer(std::optional<uint32_t> answer, unsigned count = 1);
  // After `goodPings` more good pings every ping fails, answers `wrongWord`
  // or answers nothing, until ClearFaults().
  void FaultPingsAfter(unsigned goodPings, PingFault fault, uint32_t wrongWord = 0);
  // kImmediate: the next `count` receives on a valid port and slot fail at
  // once with `status`. kPending: the next `count` receives that pend
  // complete with `status` when a message would be delivered to them; the
  // message stays queued for the next receive.
  void FailReceives(unsigned count, NTSTATUS status, FaultPath path = FaultPath::kImmediate);
  // Completes every receive pending on the service's port now with `status`
  // and 0 bytes; returns how many it completed.
  size_t CompletePendingReceives(uint32_t serviceId, NTSTATUS status);
  // The status of every too-small report until ClearFaults():
  // posix::kStatusBufferTooSmall (the client sees 122, the default) or
  // posix::StatusFromWin32Error(111).
  void SetTooSmallStatus(NTSTATUS status);
  // The next `count` too-small reports write a hostile size word.
  void ReportHostileSizes(unsigned count, HostileSize kind);
  // The next `count` too-small reports write `size` as the size word.
  void ReportSizes(unsigned count, uint32_t size);
  // The next `count` deliveries that fit complete with `bytes` (< 4) as
  // their byte count; the message itself is delivered as usual.
  void ShortCompletions(unsigned count, DWORD bytes = 2);
  // The next `count` deliveries that fit report the output length plus
  // `extra` as their byte count, while writing only the message.
  void InflateCompletions(unsigned count, DWORD extra);
  // The next `count` replies that find an outstanding message fail with
  // `status`; that message is failed back.
  void FailReplies(unsigned count, NTSTATUS status = posix::kStatusUnsuccessful);
  // The next `count` requests of `code` (any code but wire::kReceive) pend
  // and are handled as usual only after `delay`, on a thread of their own.
  void DelayRequests(DWORD code, std::chrono::milliseconds delay, unsigned count = 1);
  // The same for a second code at once, with its own count and delay.
  void AlsoDelayRequests(DWORD code, std::chrono::milliseconds delay, unsigned count = 1);
  // Runs now every request of `code` that DelayRequests holds back, as if
  // its delay had passed; returns how many ran.
  size_t FinishDelayed(DWORD code);
  // The next `count` requests of `code` (0: any) that pend ignore CancelIoEx,
  // as under a driver without a cancel routine: each stays pending until the
  // driver finishes it as usual (its delay ends, a message comes, its port is
  // freed or its handle closed).
  void IgnoreCancellation(DWORD code, unsigned count = 1);
  // The next `count` FREE_PORT or CLOSE_ECHO_PORT requests leave the port's
  // pending receives pending: only CancelIoEx or the handle's close ends them.
  void KeepReceivesOnFree(unsigned count);
  void ClearFaults();

  // posix::Device.
  NTSTATUS Dispatch(posix::IoRequest* request, DWORD* bytes) override;
  // Frees the ports the handle allocated, as if freed by request.
  void HandleClosed(const void* file) override;
  // Completes a request still pending (a receive, or one held back by
  // DelayRequests) as cancelled.
  void Cancel(posix::IoRequest* request) override;

 private:
  SimDriver();
  ~SimDriver() override;

  void SetFault(uint32_t kind, unsigned count, uint32_t value, uint32_t flags = 0,
                uint32_t code = 0, uint32_t skip = 0, uint32_t delayMs = 0);

  const std::unique_ptr<ModelGlue> glue_;  // the port model and its lock
  std::mutex hookMu_;
  std::function<void(DWORD, const std::vector<uint8_t>&)> hook_;  // GUARDED_BY(hookMu_)
};

}  // namespace sim
}  // namespace qrv

#endif  // QUORVEL_SIM_DRIVER_SIM_DRIVER_H_
