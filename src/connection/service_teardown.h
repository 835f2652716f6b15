// What the heartbeat needs from its owner when the driver is lost.
#ifndef QUORVEL_CONNECTION_SERVICE_TEARDOWN_H_
#define QUORVEL_CONNECTION_SERVICE_TEARDOWN_H_

#include "platform/win32.h"

namespace qrv {

// Implemented by the owner of the connections, which outlives the echo
// connection, so that the connections do not reach up into that layer.
class IServiceTeardown {
 public:
  // On the echo thread: takes the process-wide lock unless `stopEvent` is
  // set first (false, consuming it) and ends every service connection.
  virtual bool TearDownServices(HANDLE stopEvent) = 0;

 protected:
  ~IServiceTeardown() = default;
};

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_SERVICE_TEARDOWN_H_
