// What the heartbeat needs from its owner when the driver is lost.
#ifndef QUORVEL_CONNECTION_SERVICE_TEARDOWN_H_
#define QUORVEL_CONNECTION_SERVICE_TEARDOWN_H_

#include "platform/win32.h"

namespace qrv {

// Ends every service connection on behalf of the echo thread. Implemented by
// the layer that owns the connections and the process-wide lock, and handed
// to the echo connection when it is constructed, so that the connections do
// not reach up into that layer. The implementation outlives the echo
// connection.
class IServiceTeardown {
 public:
  // Called on the echo thread, holding no lock. Takes the process-wide lock
  // unless `stopEvent` is set first, never blocking on the lock itself; with
  // it, stops, closes and deletes every service connection still to be ended
  // and returns true. Returns false, having done nothing, when the stop
  // event ended the wait (which consumes it).
  virtual bool TearDownServices(HANDLE stopEvent) = 0;

 protected:
  ~IServiceTeardown() = default;
};

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_SERVICE_TEARDOWN_H_
