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

// Operations run under the process-wide lock (see IUcConnection). The
// threads only read the fields; the port is written before the start event
// is set and read only after a thread has seen it. The device is borrowed
// from the process context and never closed here.
class PortConnection : public IUcConnection {
 public:
  static constexpr uint32_t kMaxThreads = 16;
  // How long a stop lets the driver end the requests its threads hold once
  // the port is given back. A driver completes them within the release
  // itself, and a second covers their completion reaching a thread on a
  // loaded machine; only what is still pending then is cancelled.
  static constexpr DWORD kStopGraceMs = 1000;

  PortConnection(const PortConnection&) = delete;
  PortConnection& operator=(const PortConnection&) = delete;

  // Closes every thread handle and both events that are still open, and
  // leaves them null; skips the ones that already are. Waits for nothing.
  void Close() QRV_REQUIRES(ProcessLock()) final;
  // Obtains the port (AcquirePort) and releases the threads; 1 at once when
  // already started.
  int32_t Start() QRV_REQUIRES(ProcessLock()) final;
  // Sets the stop event, gives a held port back (ReleasePort), then waits
  // for the threads: once the grace has passed, sets the give-up event, on
  // which the threads cancel what they still wait for. WAIT_OBJECT_0 when
  // no thread handle is left.
  uint32_t Stop() QRV_REQUIRES(ProcessLock()) final;
  // Makes the next Stop give up at once after the release: the driver has
  // already shown that it keeps requests past the grace.
  void SkipStopGrace() QRV_REQUIRES(ProcessLock()) { graceMs_ = 0; }

  uint32_t ServiceId() const { return serviceId_; }
  // The threads' wait for a signal: WAIT_OBJECT_0 + kStopEvent or
  // WAIT_OBJECT_0 + kStartEvent (the stop event when both are set).
  DWORD WaitForSignal() const { return WaitForMultipleObjects(2, events_, FALSE, INFINITE); }
  // Set by Stop once its grace has passed; the threads' requests wait on it.
  HANDLE GiveUpEvent() const { return events_[kGiveUpEvent]; }
  // True while a thread handle is open: the connection may still use the
  // device.
  bool HasThreads() const;

 protected:
  enum { kStopEvent = 0, kStartEvent = 1, kGiveUpEvent = 2, kEventCount = 3 };

  PortConnection() = default;
  ~PortConnection() { Close(); }

  // Records what Create was given.
  void Assign(uint32_t serviceId, uint32_t threadCount, HANDLE device);
  // Creates the stop event (manual-reset when `manualResetStop`), the
  // manual-reset start and give-up events. On failure *failed is the index
  // of the event that could not be created, and the result holds its error.
  Result CreateEvents(BOOL manualResetStop, int* failed);
  // Asks the driver for the port and logs the outcome; success with *port
  // set.
  virtual Result AcquirePort(uint32_t* port) QRV_REQUIRES(ProcessLock()) = 0;
  // Gives the held port back and logs it.
  virtual void ReleasePort() QRV_REQUIRES(ProcessLock()) = 0;
  // The port request `code`; fails unless the answer is a port below
  // UC_MAX_PORTS (ERROR_GEN_FAILURE), so a success without one is refused.
  Result RequestPort(DWORD code, PortKind kind, uint32_t* port) QRV_REQUIRES(ProcessLock());
  // The closing request `code`; the port counts as given back whatever
  // the driver does with it.
  void ReturnPort(DWORD code) QRV_REQUIRES(ProcessLock());
  // The one wait for the connection's threads: every open thread handle at
  // once, without a time limit. WAIT_OBJECT_0 when there is none.
  DWORD WaitForThreads() const;

  HANDLE device_ = INVALID_HANDLE_VALUE;
  uint32_t serviceId_ = 0;
  uint32_t threadCount_ = 0;
  uint32_t port_ = UC_MAX_PORTS;
  int32_t started_ = 0;
  // The stop, start and give-up events; INVALID_HANDLE_VALUE until created,
  // null once closed. A wait on the first two that finds both set reports
  // the stop event.
  HANDLE events_[kEventCount] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  HANDLE threads_[kMaxThreads] = {};

 private:
  // Waits for the threads through the stop's grace, then gives up.
  DWORD AwaitStoppedThreads() const QRV_REQUIRES(ProcessLock());
  // Copies the open thread handles to `open`; returns how many.
  DWORD OpenThreads(HANDLE (&open)[kMaxThreads]) const;

  DeviceRequest control_ QRV_GUARDED_BY(ProcessLock());  // port and closing requests
  DWORD graceMs_ QRV_GUARDED_BY(ProcessLock()) = kStopGraceMs;
};

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_PORT_CONNECTION_H_
