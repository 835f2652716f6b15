// What the heartbeat needs from its owner when the driver is lost.
#ifndef QUORVEL_CONNECTION_SERVICE_TEARDOWN_H_
#define QUORVEL_CONNECTION_SERVICE_TEARDOWN_H_

namespace qrv {

// Ends every service connection on behalf of the echo thread. Implemented by
// the layer that owns the connections and the process-wide lock, and handed
// to the echo connection when it is constructed, so that the connections do
// not reach up into that layer. The implementation outlives the echo
// connection.
class IServiceTeardown {
 public:
  // Called on the echo thread, holding no lock. When the process-wide lock
  // can be taken at once, stops, closes and deletes every service connection
  // under it and returns true; otherwise does nothing and returns false, so
  // that the caller can look at its stop event before it tries again.
  virtual bool TryTearDownServices() = 0;

 protected:
  ~IServiceTeardown() = default;
};

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_SERVICE_TEARDOWN_H_
