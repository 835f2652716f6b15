#include "api/connection_factory.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "api/process_state.h"
#include "connection/echo_connection.h"
#include "connection/protocol.h"
#include "connection/service_connection.h"
#include "platform/module_thread.h"

namespace {

constexpr uint32_t kWorkersPerService = 3;

// The echo thread reads the pointer without the lock.
std::atomic<ConnectionFactory*> factory{nullptr};

// The factory outlives UnInit to serve the next Init, but once the module is
// unloaded there is no next Init: what it still holds is freed then, so
// that load and unload cycles leak nothing. Only when no library thread
// runs, which a real unload guarantees (every thread keeps the module
// mapped); at process exit on POSIX threads may still run, and everything
// is left as it is.
class FactoryReaper {
 public:
  FactoryReaper() = default;
  FactoryReaper(const FactoryReaper&) = delete;
  FactoryReaper& operator=(const FactoryReaper&) = delete;
  ~FactoryReaper() {
    if (RunningModuleThreads() != 0) return;
    ConnectionFactory* existing = factory.exchange(nullptr);
    if (existing != nullptr) existing->ReleaseAtUnload();
  }
};

FactoryReaper reaper;

}  // namespace

void ConnectionFactory::ReleaseAtUnload() {
  // Every thread has ended: closing is all that is left to do.
  for (CNUcCommuniateConnection* connection : services_) delete connection;
  delete echo_;
  delete this;
}

ConnectionFactory* ConnectionFactory::Instance() {
  ConnectionFactory* existing = factory.load(std::memory_order_acquire);
  if (existing != nullptr) return existing;
  ConnectionFactory* created = new (std::nothrow) ConnectionFactory();
  factory.store(created, std::memory_order_release);
  return created;
}

CNUcEchoConnection* ConnectionFactory::CreateEchoConnection() {
  echo_ = nullptr;
  auto* echo = new (std::nothrow) CNUcEchoConnection(*this);
  if (echo == nullptr) return nullptr;
  if (!echo->Create(kEchoServiceId, 1, DeviceHandle(), nullptr, nullptr)) {
    echo->Close();
    delete echo;
    return nullptr;
  }
  echo_ = echo;
  return echo;
}

CNUcCommuniateConnection* ConnectionFactory::CreateServiceConnection(uint32_t serviceId,
                                                                     UcServiceCallback callback,
                                                                     void* context) {
  auto* connection = new (std::nothrow) CNUcCommuniateConnection();
  if (connection == nullptr) return nullptr;
  if (!connection->Create(serviceId, kWorkersPerService, DeviceHandle(), callback, context)) {
    connection->Close();
    delete connection;
    return nullptr;
  }
  try {
    services_.push_back(connection);
  } catch (const std::bad_alloc&) {
    // Unfiled, the connection would run unowned: end it like any other.
    EndConnection(connection);
    return nullptr;
  }
  return connection;
}

CNUcCommuniateConnection* ConnectionFactory::FindServiceConnection(uint32_t serviceId,
                                                                   bool remove) {
  auto found = std::find_if(services_.begin(), services_.end(),
                            [serviceId](CNUcCommuniateConnection* connection) {
                              return connection->ServiceId() == serviceId;
                            });
  if (found == services_.end()) return nullptr;
  CNUcCommuniateConnection* connection = *found;
  if (remove)
    services_.erase(std::remove(services_.begin(), services_.end(), connection), services_.end());
  return connection;
}

void ConnectionFactory::DestroyServiceConnections() {
  for (CNUcCommuniateConnection* connection : services_) EndConnection(connection);
  services_.clear();
}

void ConnectionFactory::DestroyEchoConnection() {
  if (echo_ == nullptr) return;
  EndConnection(echo_);
  echo_ = nullptr;
}

void ConnectionFactory::DestroyAllConnections() {
  DestroyServiceConnections();
  DestroyEchoConnection();
}

bool ConnectionFactory::TryTearDownServices() {
  if (!TryEnterCriticalSection(ProcessLock())) return false;
  DestroyServiceConnections();
  LeaveCriticalSection(ProcessLock());
  return true;
}
