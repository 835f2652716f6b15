// The heartbeat connection: pings the driver about once a second and, when a
// ping fails, stops every service connection.
#ifndef QUORVEL_CONNECTION_ECHO_CONNECTION_H_
#define QUORVEL_CONNECTION_ECHO_CONNECTION_H_

#include "connection/connection.h"
#include "connection/protocol.h"
#include "connection/service_teardown.h"
#include "connection/sync_request.h"

// Operations run under the process-wide lock (see IUcConnection). The echo
// thread reads the device, the port and the two events, never writes a
// field, and reads the port only after it has seen the start event.
class CNUcEchoConnection final : public IUcConnection {
 public:
  // `teardown` ends the service connections when a ping fails; it must
  // outlive this connection.
  explicit CNUcEchoConnection(IServiceTeardown& teardown) : teardown_(teardown) {}
  CNUcEchoConnection(const CNUcEchoConnection&) = delete;
  CNUcEchoConnection& operator=(const CNUcEchoConnection&) = delete;
  // Closes whatever Close has not; waits for nothing.
  ~CNUcEchoConnection() { Close(); }

  // Accepts only thread count 1 and a device other than INVALID_HANDLE_VALUE.
  int32_t Create(uint32_t serviceId, uint32_t threadCount, HANDLE device,
                 UcServiceCallback callback, void* context) override;
  void Close() override;
  // Obtains the echo port and releases the thread.
  int32_t Start() override;
  // Closes the echo port when one is held and waits for the thread.
  uint32_t Stop() override;

  // True while the heartbeat runs: started, and the echo thread has not
  // ended (it ends on a stop or after a lost heartbeat).
  bool IsRunning() const;

  static DWORD WINAPI EchoThreadProc(LPVOID connection);

 private:
  enum { kStopEvent = 0, kStartEvent = 1 };
  enum class PingResult { kAnswered, kFailed, kStopped };

  DWORD WaitForSignal() const;
  PingResult Ping(SyncRequest& request, const EchoPacket& packet) const;
  bool WaitUntilPingDue() const;
  void TearDownServices() const;

  HANDLE device_ = INVALID_HANDLE_VALUE;
  uint32_t serviceId_ = 0;
  uint32_t threadCount_ = 0;
  uint32_t port_ = UC_MAX_PORTS;
  int32_t started_ = 0;
  // Element 0 the stop event (auto-reset), element 1 the start event
  // (manual-reset, never reset): a wait on both that finds both set reports
  // the stop event.
  HANDLE events_[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  UcServiceCallback callback_ = nullptr;
  void* context_ = nullptr;
  HANDLE thread_ = nullptr;
  IServiceTeardown& teardown_;
};

#endif  // QUORVEL_CONNECTION_ECHO_CONNECTION_H_
