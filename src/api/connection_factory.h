// The process-wide registry of live connections to the driver.
#ifndef QUORVEL_API_CONNECTION_FACTORY_H_
#define QUORVEL_API_CONNECTION_FACTORY_H_

#include <cstdint>
#include <vector>

#include "connection/service_teardown.h"
#include "quorvel/quorvel.h"

class CNUcEchoConnection;
class CNUcCommuniateConnection;

// Holds at most one echo connection and the service connections in the
// order of their creation, and owns them. It constructs and creates
// connections but never starts them.
//
// REQUIRES for every operation but Instance and TryTearDownServices: the
// process-wide lock is held.
class ConnectionFactory final : public IServiceTeardown {
 public:
  ConnectionFactory(const ConnectionFactory&) = delete;
  ConnectionFactory& operator=(const ConnectionFactory&) = delete;

  // The factory, created on first use and never destroyed; null when it
  // could not be allocated (the next call tries again). Takes no lock.
  static ConnectionFactory* Instance();

  // A created, recorded echo connection (service id 15, one thread), or null.
  CNUcEchoConnection* CreateEchoConnection();
  // A created service connection with three workers, filed at the end of the
  // list, or null.
  CNUcCommuniateConnection* CreateServiceConnection(uint32_t serviceId, UcServiceCallback callback,
                                                    void* context);
  // The first listed connection with the id, or null. With `remove` it leaves
  // the list and belongs to the caller.
  CNUcCommuniateConnection* FindServiceConnection(uint32_t serviceId, bool remove);
  // Stops, closes and deletes every service connection, front to back.
  void DestroyServiceConnections();
  // Stops, closes and deletes the recorded echo connection, if any, and
  // records none.
  void DestroyEchoConnection();
  // DestroyServiceConnections, then DestroyEchoConnection.
  void DestroyAllConnections();
  // The echo thread's teardown after a lost heartbeat: takes the
  // process-wide lock only if it is free at once.
  bool TryTearDownServices() override;

  CNUcEchoConnection* EchoConnection() const { return echo_; }

  // Deletes the factory with whatever connections it still records.
  // REQUIRES: the module is being unloaded and no thread of it runs.
  void ReleaseAtUnload();

 private:
  ConnectionFactory() = default;
  ~ConnectionFactory() = default;

  CNUcEchoConnection* echo_ = nullptr;
  std::vector<CNUcCommuniateConnection*> services_;
};

#endif  // QUORVEL_API_CONNECTION_FACTORY_H_
