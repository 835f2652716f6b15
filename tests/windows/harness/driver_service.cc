#include "driver_service.h"

#include <utility>

namespace qrv {
namespace wintest {
namespace {

// Wine's service manager offers no waitable for a driver's state, so the
// state is polled, in short steps and within a bound.
constexpr DWORD kStateTimeoutMs = 10000;
constexpr DWORD kStatePollMs = 5;

std::string Describe(const char* step, DWORD error) {
  return std::string(step) + " failed with error " + std::to_string(error);
}

// Waits while the service is in `transient`. Returns the state it left in.
DWORD AwaitStateOtherThan(SC_HANDLE service, DWORD transient) {
  SERVICE_STATUS status{};
  for (DWORD waited = 0; waited < kStateTimeoutMs; waited += kStatePollMs) {
    if (!QueryServiceStatus(service, &status)) return 0;
    if (status.dwCurrentState != transient) return status.dwCurrentState;
    Sleep(kStatePollMs);
  }
  return status.dwCurrentState;
}

void StopAndDelete(SC_HANDLE service) {
  SERVICE_STATUS status{};
  if (ControlService(service, SERVICE_CONTROL_STOP, &status))
    AwaitStateOtherThan(service, SERVICE_STOP_PENDING);
  DeleteService(service);
}

void RemoveStale(SC_HANDLE manager, const std::wstring& name) {
  ServiceHandle stale(OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS));
  if (stale) StopAndDelete(stale.get());
}

}  // namespace

std::unique_ptr<DriverService> DriverService::Start(const std::wstring& name,
                                                    const std::wstring& imagePath,
                                                    std::string* error) {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    *error = Describe("OpenSCManagerW", GetLastError());
    return nullptr;
  }
  RemoveStale(manager.get(), name);
  ServiceHandle service(
      CreateServiceW(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                     SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                     imagePath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) {
    *error = Describe("CreateServiceW", GetLastError());
    return nullptr;
  }
  if (!StartServiceW(service.get(), 0, nullptr)) {
    *error = Describe("StartServiceW", GetLastError());
    DeleteService(service.get());
    return nullptr;
  }
  DWORD state = AwaitStateOtherThan(service.get(), SERVICE_START_PENDING);
  if (state != SERVICE_RUNNING) {
    *error = "the driver did not reach SERVICE_RUNNING; state " + std::to_string(state);
    StopAndDelete(service.get());
    return nullptr;
  }
  return std::unique_ptr<DriverService>(new DriverService(std::move(manager), std::move(service)));
}

DriverService::DriverService(ServiceHandle&& manager, ServiceHandle&& service)
    : manager_(std::move(manager)), service_(std::move(service)) {}

DriverService::~DriverService() { StopAndDelete(service_.get()); }

std::wstring WinePathOf(const std::string& unixPath) {
  std::wstring path = L"Z:";
  for (char c : unixPath) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return path;
}

}  // namespace wintest
}  // namespace qrv
