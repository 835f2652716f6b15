#include "api/connection_factory.h"

#include "api/process_context.h"
#include "connection/device_request.h"
#include "connection/echo_connection.h"
#include "connection/protocol.h"
#include "connection/service_connection.h"

namespace qrv {

constexpr uint32_t kWorkersPerService = 3;

ConnectionFactory* ConnectionFactory::Instance() { return &ProcessContext::Get().Factory(); }

// Takes no lock: no thread is left that could race it.
void ConnectionFactory::ReleaseAtUnload() QRV_NO_THREAD_SAFETY_ANALYSIS {
  for (uint32_t i = 0; i < serviceCount_; ++i) Discard(services_[i]);
  serviceCount_ = 0;
  if (echo_ != nullptr) Discard(echo_);
  echo_ = nullptr;
}

CNUcEchoConnection* ConnectionFactory::CreateEchoConnection(HANDLE device) {
  echo_ = NewOnHeap<CNUcEchoConnection>(*heap_, static_cast<IServiceTeardown&>(*this));
  if (echo_ != nullptr && !echo_->Create(kEchoServiceId, 1, device, nullptr, nullptr)) {
    Discard(echo_);
    echo_ = nullptr;
  }
  return echo_;
}

// The list has room for every service id, and callers look the id up first,
// so a full list is a caller's error reported like a failed creation.
CNUcCommuniateConnection* ConnectionFactory::CreateServiceConnection(HANDLE device,
                                                                     uint32_t serviceId,
                                                                     UcServiceCallback callback,
                                                                     void* context) {
  if (serviceCount_ == QUORVEL_MAX_SERVICES) return nullptr;
  auto* connection = NewOnHeap<CNUcCommuniateConnection>(*heap_, *heap_);
  if (connection == nullptr) return nullptr;
  if (!connection->Create(serviceId, kWorkersPerService, device, callback, context)) {
    Discard(connection);
    return nullptr;
  }
  services_[serviceCount_++] = connection;
  return connection;
}

CNUcCommuniateConnection* ConnectionFactory::FindServiceConnection(uint32_t serviceId,
                                                                   bool remove) {
  for (uint32_t i = 0; i < serviceCount_; ++i) {
    CNUcCommuniateConnection* connection = services_[i];
    if (connection->ServiceId() != serviceId) continue;
    if (remove) {
      for (uint32_t j = i + 1; j < serviceCount_; ++j) services_[j - 1] = services_[j];
      services_[--serviceCount_] = nullptr;
    }
    return connection;
  }
  return nullptr;
}

// Each service's workers have ended before the next port is freed. Once a
// stop has had to cancel, the driver has shown that it keeps requests past
// the grace, and the stops after it in this teardown do not wait for it.
void ConnectionFactory::EndServices() {
  bool driverKeepsRequests = false;
  for (uint32_t i = 0; i < serviceCount_; ++i) {
    if (driverKeepsRequests) services_[i]->SkipStopGrace();
    const uint32_t cancellations = DeviceRequest::Cancellations();
    End(services_[i]);
    services_[i] = nullptr;
    driverKeepsRequests = driverKeepsRequests || DeviceRequest::Cancellations() != cancellations;
  }
  serviceCount_ = 0;
}

void ConnectionFactory::EndEcho() {
  if (echo_ == nullptr) return;
  End(echo_);
  echo_ = nullptr;
}

void ConnectionFactory::SettleHeartbeatLoss() {
  if (echo_ != nullptr && echo_->ClaimTeardown()) EndServices();
}

bool ConnectionFactory::TearDownServices(HANDLE stopEvent) {
  if (!ProcessLock().EnterUnless(stopEvent)) return false;
  SettleHeartbeatLoss();
  ProcessLock().Leave();
  return true;
}

bool ConnectionFactory::UsesDevice() const {
  return serviceCount_ != 0 || (echo_ != nullptr && echo_->HasThreads());
}

}  // namespace qrv
