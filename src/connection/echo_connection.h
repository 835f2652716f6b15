// The heartbeat: pings the driver about once a second and, when a ping
// fails, ends every service connection.
#ifndef QUORVEL_CONNECTION_ECHO_CONNECTION_H_
#define QUORVEL_CONNECTION_ECHO_CONNECTION_H_

#include <atomic>

#include "connection/device_request.h"
#include "connection/port_connection.h"
#include "connection/service_teardown.h"

namespace qrv {

// Its one thread writes only the heartbeat state.
class CNUcEchoConnection final : public PortConnection {
 public:
  // `teardown` ends the service connections when a ping fails; it must
  // outlive this connection.
  explicit CNUcEchoConnection(IServiceTeardown& teardown)
      : PortConnection(IOCTL_UC_CREATE_ECHO_PORT, kEchoPort), teardown_(teardown) {}

  // Accepts only thread count 1 and a device other than INVALID_HANDLE_VALUE;
  // callback and context are not used.
  int32_t Create(uint32_t serviceId, uint32_t threadCount, HANDLE device,
                 UcServiceCallback callback, void* context) QRV_REQUIRES(ProcessLock()) override;

  // True while the heartbeat runs: started and no ping has failed.
  bool IsRunning() const;
  // True once, for the caller that takes over a lost heartbeat's teardown.
  bool ClaimTeardown() QRV_REQUIRES(ProcessLock());

  static DWORD WINAPI EchoThreadProc(LPVOID connection);

 private:
  enum class Heartbeat { kBeating, kLostTeardownPending, kLost };

  void LogEventFailure(int index, DWORD error) override;
  void LogPortRequest(const Result& result) QRV_REQUIRES(ProcessLock()) override;
  void LogPortReleased() QRV_REQUIRES(ProcessLock()) override;
  // Succeeds when the driver answers UC_ECHO_MAGIC.
  Result Ping(DeviceRequest& request, const EchoPacket& packet) const;
  void LoseHeartbeat();

  std::atomic<Heartbeat> heartbeat_{Heartbeat::kBeating};
  IServiceTeardown& teardown_;
};

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_ECHO_CONNECTION_H_
