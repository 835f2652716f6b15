#include "platform/posix/device_registry.h"

namespace qrv {
namespace posix {
namespace {

std::wstring Key(const wchar_t* path) {
  std::wstring key(path);
  for (wchar_t& c : key) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return key;
}

}  // namespace

DeviceRegistry& DeviceRegistry::Instance() {
  // Leaked on purpose: a device may be opened while static destructors run.
  static DeviceRegistry* registry = new DeviceRegistry;
  return *registry;
}

void DeviceRegistry::Register(const wchar_t* path, Device* device) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_[Key(path)] = device;
}

void DeviceRegistry::Unregister(const wchar_t* path) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_.erase(Key(path));
}

Device* DeviceRegistry::Find(const wchar_t* path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = devices_.find(Key(path));
  return it == devices_.end() ? nullptr : it->second;
}

void RegisterDevice(const wchar_t* path, Device* device) {
  DeviceRegistry::Instance().Register(path, device);
}

void UnregisterDevice(const wchar_t* path) { DeviceRegistry::Instance().Unregister(path); }

}  // namespace posix
}  // namespace qrv
