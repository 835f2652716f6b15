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

// Holds at most one echo connection and the service connections in the
// order of their creation, and owns them. It constructs and creates
// connections but never starts them; each borrows the device it is created
// with and never closes it. Part of the process context, which decides its
// lifetime; the list is fixed-size (one entry per service id) and the
// connections come from the heap through placement construction, so that
// nothing here can raise an exception.
class ConnectionFactory final : public IServiceTeardown {
 public:
  ConnectionFactory(const ConnectionFactory&) = delete;
  ConnectionFactory& operator=(const ConnectionFactory&) = delete;

  // The process context's factory; never null once the module is attached
  // (the pointer is kept for the callers that test it). Takes no lock.
  static ConnectionFactory* Instance();

  // A created, recorded echo connection (service id 15, one thread), or null.
  CNUcEchoConnection* CreateEchoConnection(HANDLE device) QRV_REQUIRES(ProcessLock());
  // A created service connection with three workers, filed at the end of the
  // list, or null.
  CNUcCommuniateConnection* CreateServiceConnection(HANDLE device, uint32_t serviceId,
                                                    UcServiceCallback callback, void* context)
      QRV_REQUIRES(ProcessLock());
  // The first listed connection with the id, or null. With `remove` it leaves
  // the list and belongs to the caller, who ends it with End.
  CNUcCommuniateConnection* FindServiceConnection(uint32_t serviceId, bool remove)
      QRV_REQUIRES(ProcessLock());
  // The one teardown of a connection: Stop, Close, then delete. Every path
  // that ends connections comes here: Unregister, a Register or Init that
  // replaces a connection that no longer runs, UnInit, and the teardown a
  // lost heartbeat calls for (SettleHeartbeatLoss). The other release,
  // ReleaseAtUnload, deletes without stopping because no thread is left.
  //
  // Ends a connection that is no longer recorded.
  template <typename Connection>
  void End(Connection* connection) QRV_REQUIRES(ProcessLock()) {
    Halt(connection);
    Delete(connection);
  }
  // Ends every service connection, front to back, paying the stop's grace
  // at most once for a driver that keeps its requests.
  void EndServices() QRV_REQUIRES(ProcessLock());
  // Ends the recorded echo connection, if any, and records none.
  void EndEcho() QRV_REQUIRES(ProcessLock());
  // The first half of End, for a connection whose Start failed: it is
  // stopped and closed, and stays recorded until it is ended.
  template <typename Connection>
  static void Halt(Connection* connection) QRV_REQUIRES(ProcessLock()) {
    connection->Stop();
    connection->Close();
  }

  // When the recorded heartbeat has been lost and the teardown that the loss
  // calls for has not happened yet, does it now: every service connection
  // is ended. The first caller under the lock does it, whether the echo
  // thread or an entry point, and only once per loss.
  void SettleHeartbeatLoss() QRV_REQUIRES(ProcessLock());
  // The echo thread's side of SettleHeartbeatLoss (IServiceTeardown).
  bool TearDownServices(HANDLE stopEvent) override;

  // True while a connection is filed or the echo connection still has a
  // thread: the device must stay open.
  bool UsesDevice() const QRV_REQUIRES(ProcessLock());

  CNUcEchoConnection* EchoConnection() const QRV_REQUIRES(ProcessLock()) { return echo_; }

  // Makes the factory take connection objects from `heap` (tests make it
  // fail); the process heap otherwise. REQUIRES: no connection is filed.
  void UseHeap(BlockHeap& heap) QRV_REQUIRES(ProcessLock()) { heap_ = &heap; }

  // Deletes whatever connections are still recorded, without stopping them.
  // REQUIRES: the module is being unloaded and no thread of it runs.
  void ReleaseAtUnload();

 private:
  friend class ProcessContext;  // the owner
  ConnectionFactory() = default;
  ~ConnectionFactory() = default;

  template <typename Connection>
  void Delete(Connection* connection) QRV_REQUIRES(ProcessLock()) {
    DeleteOnHeap(*heap_, connection);
  }

  BlockHeap* heap_ QRV_GUARDED_BY(ProcessLock()) = &BlockHeap::Process();
  CNUcEchoConnection* echo_ QRV_GUARDED_BY(ProcessLock()) = nullptr;
  CNUcCommuniateConnection* services_[QUORVEL_MAX_SERVICES] QRV_GUARDED_BY(ProcessLock()) = {};
  uint32_t serviceCount_ QRV_GUARDED_BY(ProcessLock()) = 0;
};

}  // namespace qrv

#endif  // QUORVEL_API_CONNECTION_FACTORY_H_
