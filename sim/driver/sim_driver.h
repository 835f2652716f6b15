// The simulated kernel driver behind the control device "\\.\QRVDev".
//
// It models the driver's whole port messaging contract in process, as a
// qrv::posix::Device, so that the library runs unchanged against it:
//  - 16 ports (0..15) shared by the echo port and service ports; the port
//    requests take the lowest free port;
//  - a service port has ThreadCount slots; BIND_THREAD hands them out in
//    order; each slot holds at most one pending receive, at most one message
//    assigned to it after a too-small report, and at most one delivered
//    message awaiting its reply;
//  - Post() queues a message for a service's port; it goes to a pending
//    receive (round robin over the slots) or waits in the port's queue until
//    a receive takes it at once;
//  - a message that does not fit the receiver's output is reported too small:
//    the size it needs (Header included) goes into the first word of the
//    caller's output and the message stays assigned to that slot;
//  - FREE_PORT, CLOSE_ECHO_PORT and the close of a handle complete the
//    pending receives of the port with STATUS_CANCELLED and fail back every
//    message the port still held; requests naming a port that is not open
//    fail at once and never pend.
// Every posted message ends exactly once as answered, not wanted or failed
// back (see Outcome); the counters account for each.
//
// Thread safety: every method may be called from any thread. All state is
// behind one mutex; requests are completed and the request hook is called
// without holding it.
#ifndef QUORVEL_SIM_DRIVER_SIM_DRIVER_H_
#define QUORVEL_SIM_DRIVER_SIM_DRIVER_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/posix/device.h"
#include "sim/driver/message.h"
#include "sim/driver/wire_tables.h"

namespace qrv {
namespace sim {

using posix::NTSTATUS;

// Totals since the process started; never reset.
struct Counters {
  uint64_t posted = 0;
  uint64_t answered = 0;
  uint64_t notWanted = 0;
  uint64_t failedBack = 0;
  uint64_t inFlight = 0;      // posted and not yet final
  uint64_t pings = 0;         // ECHO requests
  uint64_t pingFailures = 0;  // ECHO requests not answered with the magic
  uint64_t receives = 0;      // RECEIVE requests
  uint64_t pendedReceives = 0;
  uint64_t tooSmallReports = 0;
  uint64_t replies = 0;  // REPLY requests
  uint64_t replyFailures = 0;
  uint64_t portsAllocated = 0;  // echo and service ports
  uint64_t portsFreed = 0;      // by request or by the close of the handle
  uint64_t binds = 0;           // successful bindings
};

// One request as the driver saw it.
struct RequestRecord {
  uint64_t sequence = 0;  // 1, 2, ... in arrival order
  DWORD code = 0;
  std::vector<uint8_t> input;
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

class SimDriver : public posix::Device {
 public:
  static constexpr const wchar_t* kDevicePath = L"\\\\.\\QRVDev";
  // The status of a request that no open port or slot can serve.
  static constexpr NTSTATUS kStatusNoFreePort = posix::StatusFromWin32Error(1450);

  // The process-wide driver; never destroyed, so that library threads still
  // running at exit cannot outlive it. Not attached until Attach().
  static SimDriver& Instance();

  SimDriver(const SimDriver&) = delete;
  SimDriver& operator=(const SimDriver&) = delete;

  // Registers / unregisters the device path. Handles already open keep
  // working after Detach; only new opens fail (ERROR_FILE_NOT_FOUND).
  void Attach();
  void Detach();

  // Queues a message for the service's port (the most recently allocated open
  // service port of that service id). With a thread index only that slot may
  // take it. Without an open port the message is counted as posted and failed
  // back at once. REQUIRES: 4 + payload size fits in 32 bits.
  std::shared_ptr<Message> Post(uint32_t serviceId, uint32_t header, std::vector<uint8_t> payload,
                                std::optional<uint32_t> threadIndex = std::nullopt);

  // The open service port of the service (as Post chooses it), if any.
  std::optional<uint32_t> PortOf(uint32_t serviceId) const;

  Counters counters() const;
  // How many requests of the code arrived since the process started
  // (ClearRequestLog does not reset it).
  size_t RequestCount(DWORD code) const;
  // The log grows with every request; long runs call ClearRequestLog().
  std::vector<RequestRecord> requests() const;
  void ClearRequestLog();

  // Bounded waits; each returns false when the timeout passes first.
  // Until RequestCount(code) >= count.
  bool WaitForRequests(DWORD code, size_t count, std::chrono::milliseconds timeout);
  // Until at least `count` receives are pending on the service's port.
  bool WaitForPendingReceives(uint32_t serviceId, size_t count, std::chrono::milliseconds timeout);
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
  // with std::nullopt they succeed without writing any answer.
  void OverridePortAnswer(DWORD code, std::optional<uint32_t> answer, unsigned count = 1);
  // The next `count` requests of `code` (a port-creating code) fail.
  void FailPortRequests(DWORD code, unsigned count, NTSTATUS status = posix::kStatusUnsuccessful);
  // The next `count` binds succeed without binding a slot and answer
  // `answer`; with std::nullopt they write no answer.
  void OverrideBindAnswer(std::optional<uint32_t> answer, unsigned count = 1);
  // After `goodPings` more good pings every ping fails, answers `wrongWord`
  // or answers nothing, until ClearFaults().
  void FaultPingsAfter(unsigned goodPings, PingFault fault, uint32_t wrongWord = 0);
  // kImmediate: the next `count` receives on a valid port and slot fail at
  // once with `status`. kPending: the next `count` receives that pend
  // complete with `status` when a message would be delivered to them.
  void FailReceives(unsigned count, NTSTATUS status, FaultPath path = FaultPath::kImmediate);
  // Completes every receive pending on the service's port now with `status`
  // and 0 bytes; returns how many it completed.
  size_t CompletePendingReceives(uint32_t serviceId, NTSTATUS status);
  // The status of a too-small report: posix::kStatusBufferTooSmall (the
  // client sees 122, the default) or posix::StatusFromWin32Error(111).
  void SetTooSmallStatus(NTSTATUS status);
  // The next `count` too-small reports write a hostile size word.
  void ReportHostileSizes(unsigned count, HostileSize kind);
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
  void ClearFaults();

  // posix::Device.
  NTSTATUS Dispatch(posix::IoRequest* request, DWORD* bytes) override;
  // The library opens the device without sharing, so a closed handle is the
  // last one: every port is flushed as if freed.
  void HandleClosed() override;

 private:
  struct Impl;
  SimDriver();
  // Handles a delayed request once its delay has passed, and completes it.
  void HandleLater(posix::IoRequest* request, std::vector<uint8_t> input, uint64_t sequence,
                   std::chrono::milliseconds delay);
  ~SimDriver() override;

  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
}  // namespace qrv

#endif  // QUORVEL_SIM_DRIVER_SIM_DRIVER_H_
