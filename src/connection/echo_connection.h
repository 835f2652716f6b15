// The heartbeat connection: pings the driver about once a second and, when a
// ping fails, stops every service connection.
#ifndef QUORVEL_CONNECTION_ECHO_CONNECTION_H_
#define QUORVEL_CONNECTION_ECHO_CONNECTION_H_

#include <atomic>

#include "connection/device_request.h"
#include "connection/port_connection.h"
#include "connection/service_teardown.h"

namespace qrv {

// One thread, which reads the device, the port and the two events and
// writes only the heartbeat state.
class CNUcEchoConnection final : public PortConnection {
 public:
  // `teardown` ends the service connections when a ping fails; it must
  // outlive this connection.
  explicit CNUcEchoConnection(IServiceTeardown& teardown) : teardown_(teardown) {}

  // Accepts only thread count 1 and a device other than INVALID_HANDLE_VALUE;
  // callback and context are not used.
  int32_t Create(uint32_t serviceId, uint32_t threadCount, HANDLE device,
                 UcServiceCallback callback, void* context) QRV_REQUIRES(ProcessLock()) override;

  // True while the heartbeat runs: started and no ping has failed. A lost
  // heartbeat counts as gone from the moment its ping fails, whatever its
  // thread is still doing.
  bool IsRunning() const;
  // True once, for the caller that takes over the teardown a lost heartbeat
  // calls for; false when the heartbeat is not lost or the teardown has
  // been claimed already. REQUIRES: the process-wide lock is held.
  bool ClaimTeardown() QRV_REQUIRES(ProcessLock());

  static DWORD WINAPI EchoThreadProc(LPVOID connection);

 private:
  enum class Heartbeat { kBeating, kLostTeardownPending, kLost };
  enum class PingResult { kAnswered, kFailed, kStopped };

  Result AcquirePort(uint32_t* port) QRV_REQUIRES(ProcessLock()) override;
  void ReleasePort() QRV_REQUIRES(ProcessLock()) override;
  PingResult Ping(DeviceRequest& request, const EchoPacket& packet) const;
  bool WaitUntilPingDue() const;
  void LoseHeartbeat();

  std::atomic<Heartbeat> heartbeat_{Heartbeat::kBeating};
  IServiceTeardown& teardown_;
};

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_ECHO_CONNECTION_H_
