// The process-wide registry of live connections to the driver.
#ifndef QUORVEL_API_CONNECTION_FACTORY_H_
#define QUORVEL_API_CONNECTION_FACTORY_H_

#include <cstdint>

#include "connection/service_teardown.h"
#include "platform/block_heap.h"
#include "platform/process_lock.h"
#include "quorvel/quorvel.h"

namespace qrv {

class CNUcEchoConnection;
class CNUcCommuniateConnection;

// Owns at most one echo connection and the service connections, in the order
// of their creation (one entry per service id). It creates connections but
// never starts them; each borrows the device it is created with.
class ConnectionFactory final : public IServiceTeardown {
 public:
  ConnectionFactory(const ConnectionFactory&) = delete;
  ConnectionFactory& operator=(const ConnectionFactory&) = delete;

  // The process context's factory; never null while the module is attached.
  static ConnectionFactory* Instance();

  // A created, recorded echo connection (service id 15, one thread), or null.
  CNUcEchoConnection* CreateEchoConnection(HANDLE device) QRV_REQUIRES(ProcessLock());
  // A created service connection with three workers, filed last, or null.
  CNUcCommuniateConnection* CreateServiceConnection(HANDLE device, uint32_t serviceId,
                                                    UcServiceCallback callback, void* context)
      QRV_REQUIRES(ProcessLock());
  // The first filed connection with the id, or null. With `remove` it is
  // unfiled and the caller ends it with End.
  CNUcCommuniateConnection* FindServiceConnection(uint32_t serviceId, bool remove)
      QRV_REQUIRES(ProcessLock());
  // Stops, closes and deletes a connection that is no longer recorded.
  template <typename Connection>
  void End(Connection* connection) QRV_REQUIRES(ProcessLock()) {
    connection->Stop();
    Discard(connection);
  }
  // Ends every service connection, front to back; a driver that keeps its
  // requests costs the stop's grace once.
  void EndServices() QRV_REQUIRES(ProcessLock());
  // Ends the recorded echo connection, if any, and records none.
  void EndEcho() QRV_REQUIRES(ProcessLock());
  // Stops and closes a connection whose Start failed; it stays recorded.
  template <typename Connection>
  static void Halt(Connection* connection) QRV_REQUIRES(ProcessLock()) {
    connection->Stop();
    connection->Close();
  }

  // Ends every service connection once per lost heartbeat, on the first
  // caller under the lock: the echo thread or an entry point.
  void SettleHeartbeatLoss() QRV_REQUIRES(ProcessLock());
  // The echo thread's side of SettleHeartbeatLoss (IServiceTeardown).
  bool TearDownServices(HANDLE stopEvent) override;

  // True while a connection is filed or the echo connection has a thread.
  bool UsesDevice() const QRV_REQUIRES(ProcessLock());

  CNUcEchoConnection* EchoConnection() const QRV_REQUIRES(ProcessLock()) { return echo_; }

  // Makes connections come from `heap` (the process heap until a test sets
  // another). REQUIRES: no connection is filed.
  void UseHeap(BlockHeap& heap) QRV_REQUIRES(ProcessLock()) { heap_ = &heap; }

  // Closes and deletes the recorded connections without stopping them.
  // REQUIRES: the module is being unloaded and no thread of it runs.
  void ReleaseAtUnload();

 private:
  friend class ProcessContext;  // the owner
  ConnectionFactory() = default;
  ~ConnectionFactory() = default;

  // Closes and deletes a connection none of whose threads runs any more.
  template <typename Connection>
  void Discard(Connection* connection) QRV_REQUIRES(ProcessLock()) {
    connection->Close();
    DeleteOnHeap(*heap_, connection);
  }

  BlockHeap* heap_ QRV_GUARDED_BY(ProcessLock()) = &BlockHeap::Process();
  CNUcEchoConnection* echo_ QRV_GUARDED_BY(ProcessLock()) = nullptr;
  CNUcCommuniateConnection* services_[QUORVEL_MAX_SERVICES] QRV_GUARDED_BY(ProcessLock()) = {};
  uint32_t serviceCount_ QRV_GUARDED_BY(ProcessLock()) = 0;
};

}  // namespace qrv

#endif  // QUORVEL_API_CONNECTION_FACTORY_H_
