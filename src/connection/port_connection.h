// What the echo and service connections share: a port at the driver, the
// threads that use it, and the events those threads wait on.
#ifndef QUORVEL_CONNECTION_PORT_CONNECTION_H_
#define QUORVEL_CONNECTION_PORT_CONNECTION_H_

#include <cstdint>

#include "connection/connection.h"
#include "connection/device_request.h"
#include "connection/protocol.h"
#include "platform/result.h"

namespace qrv {

// The threads only read the fields; the port is written before the start
// event is set. The device is borrowed, never closed here.
class PortConnection : public IUcConnection {
 public:
  static constexpr uint32_t kMaxThreads = 16;
  // How long a stop lets the driver end the threads' requests after the
  // port's release before it gives up on them.
  static constexpr DWORD kStopGraceMs = 1000;

  PortConnection(const PortConnection&) = delete;
  PortConnection& operator=(const PortConnection&) = delete;

  // Closes the thread handles and events still open and leaves them null.
  void Close() QRV_REQUIRES(ProcessLock()) final;
  // Obtains the port and releases the threads; 1 at once when started.
  int32_t Start() QRV_REQUIRES(ProcessLock()) final;
  // Sets the stop event, gives a held port back, then waits for the
  // threads, setting the give-up event once the grace has passed.
  uint32_t Stop() QRV_REQUIRES(ProcessLock()) final;
  // Makes Stop give up right after the release.
  void SkipStopGrace() QRV_REQUIRES(ProcessLock()) { graceMs_ = 0; }

  uint32_t ServiceId() const { return serviceId_; }
  // WAIT_OBJECT_0 + kStopEvent or + kStartEvent (stop when both are set).
  DWORD WaitForSignal() const { return WaitForMultipleObjects(2, events_, FALSE, INFINITE); }
  // True when the stop event is or becomes set within `ms`, or the wait
  // fails; consumes an auto-reset stop event.
  bool StopSetWithin(DWORD ms) const {
    return WaitForSingleObject(events_[kStopEvent], ms) != WAIT_TIMEOUT;
  }
  HANDLE GiveUpEvent() const { return events_[kGiveUpEvent]; }
  // True while a thread handle is open: the device may still be used.
  bool HasThreads() const;

 protected:
  enum { kStopEvent = 0, kStartEvent = 1, kGiveUpEvent = 2, kEventCount = 3 };

  // The port is requested with `portCode` as one of `kind`.
  PortConnection(DWORD portCode, PortKind kind) : portCode_(portCode), portKind_(kind) {}
  // Only returns memory: the owner has Closed the connection.
  ~PortConnection() = default;

  // Records what Create was given, then creates the stop event and the
  // manual-reset start and give-up events; a failure goes to LogEventFailure.
  Result Prepare(uint32_t serviceId, uint32_t threadCount, HANDLE device, BOOL manualResetStop);
  // Waits for every open thread handle (WAIT_OBJECT_0 when none is), setting
  // the give-up event once `graceMs` has passed unless it is INFINITE.
  DWORD WaitForThreads(DWORD graceMs = INFINITE) const;

  // The subclass's lines: event `index` not created; the port request's
  // outcome (a success with the port in port_); the port given back.
  virtual void LogEventFailure(int index, DWORD error) = 0;
  virtual void LogPortRequest(const Result& result) QRV_REQUIRES(ProcessLock()) = 0;
  virtual void LogPortReleased() QRV_REQUIRES(ProcessLock()) = 0;

  HANDLE device_ = INVALID_HANDLE_VALUE;
  uint32_t serviceId_ = 0;
  uint32_t threadCount_ = 0;
  uint32_t port_ = UC_MAX_PORTS;
  int32_t started_ = 0;
  // INVALID_HANDLE_VALUE until created, null once closed.
  HANDLE events_[kEventCount] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  HANDLE threads_[kMaxThreads] = {};

 private:
  // A success only with a port below UC_MAX_PORTS, which it stores.
  Result AcquirePort() QRV_REQUIRES(ProcessLock());
  // The port counts as given back whatever the driver answers.
  void ReleasePort() QRV_REQUIRES(ProcessLock());
  // Copies the open thread handles to `open`; returns how many.
  DWORD OpenThreads(HANDLE (&open)[kMaxThreads]) const;

  const DWORD portCode_;
  const PortKind portKind_;
  DeviceRequest control_ QRV_GUARDED_BY(ProcessLock());  // port and closing requests
  DWORD graceMs_ QRV_GUARDED_BY(ProcessLock()) = kStopGraceMs;
};

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_PORT_CONNECTION_H_
