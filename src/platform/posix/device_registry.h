// The devices registered in the process, by path.
#ifndef QUORVEL_PLATFORM_POSIX_DEVICE_REGISTRY_H_
#define QUORVEL_PLATFORM_POSIX_DEVICE_REGISTRY_H_

#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/posix/device.h"

namespace qrv {
namespace posix {

// Thread-safe. Paths compare without regard to ASCII case, as Windows
// object names do.
class DeviceRegistry {
 public:
  // The one registry of the process; never destroyed.
  static DeviceRegistry& Instance();

  DeviceRegistry(const DeviceRegistry&) = delete;
  DeviceRegistry& operator=(const DeviceRegistry&) = delete;

  void Register(const wchar_t* path, Device* device);
  void Unregister(const wchar_t* path);
  // Null when no device is registered under the path.
  Device* Find(const wchar_t* path) const;

 private:
  DeviceRegistry() = default;

  mutable std::mutex mutex_;
  std::unordered_map<std::wstring, Device*> devices_;  // GUARDED_BY(mutex_)
};

}  // namespace posix
}  // namespace qrv

#endif  // QUORVEL_PLATFORM_POSIX_DEVICE_REGISTRY_H_
