// The host side of every QUORVEL.DLL scenario under Wine: the framework
// stand-in PXCOM.dll loaded first, then QUORVEL.DLL by LoadLibrary with its
// four entry points found by ordinal and its RtlUnwind import replaced by
// one that clears registers as Windows' does (native_unwind.h), the
// reference driver (loaded by the harness main) reached through its control
// device, and helpers to read what reached the sink and what the driver saw.
//
// Each scenario runs in a process of its own (CTest), so the library's
// process-wide state starts fresh. Every scenario ends with UnInit
// (TearDown), every wait is bounded and fails with a message, and a watchdog
// ends a scenario whose library call never returns.
#ifndef QRV_TESTS_WINDOWS_HOST_HOST_FIXTURE_H_
#define QRV_TESTS_WINDOWS_HOST_HOST_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#define QUORVEL_HOST_LOADER
#include "framework/stand_in.h"
#include "harness/kernel_driver_control.h"
#include "host/host_service.h"
#include "host/sync.h"
#include "host/watchdog.h"
#include "quorvel/quorvel.h"

namespace qrv {
namespace wintest {

// The library's module name; the build copies it next to every test program.
constexpr char kLibraryName[] = "QUORVEL.DLL";
// Bound of every wait of a scenario.
constexpr DWORD kWaitMs = 10000;

// The protocol's control codes as the driver logs them.
constexpr uint32_t kCreateEchoPort = 0x83002404u;
constexpr uint32_t kEcho = 0x83002408u;
constexpr uint32_t kCloseEchoPort = 0x8300240Cu;
constexpr uint32_t kAllocatePort = 0x83002410u;
constexpr uint32_t kFreePort = 0x83002414u;
constexpr uint32_t kBindThread = 0x83002418u;
constexpr uint32_t kReceive = 0x8300241Eu;
constexpr uint32_t kReply = 0x83002421u;

// NTSTATUS values in the driver's log.
constexpr uint32_t kStatusSuccess = 0;
constexpr uint32_t kStatusPending = 0x103u;
constexpr uint32_t kStatusBufferTooSmall = 0xC0000023u;
constexpr uint32_t kStatusInvalidDeviceState = 0xC0000184u;

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Bounds the rest of the scenario by `limitMs` from now instead of the
  // default limit, for scenarios that run for long: call it once per round.
  void RestartWatchdog(DWORD limitMs);

  // The library, loaded as a host loads it. SetUp loads it once.
  void LoadQuorvel();
  // FreeLibrary of the host's reference; the entry points are gone after it.
  void FreeQuorvel();
  bool LibraryLoaded() const { return library_ != nullptr; }
  const quorvel::HostLibrary& Library() const { return *library_; }

  // The four entry points, each called through the stack probe: a callee
  // that does not remove exactly its arguments fails the test.
  int32_t Init();
  void UnInit();
  int32_t Register(uint32_t serviceId, HostService& service);
  int32_t Register(uint32_t serviceId, const void* callback, void* context);
  int32_t Unregister(uint32_t serviceId);

  // Services and gates live until after TearDown's UnInit, so that no worker
  // can call into one that is gone.
  HostService& NewService();
  Gate& NewGate();

  // The framework stand-in PXCOM.dll, as a host loads and frees it. SetUp
  // loads it once; Sink() is not available while it is freed.
  void LoadFramework();
  void FreeFramework();

  // What reached the framework stand-in's sink.
  pxcom::StandIn& Sink() { return *standIn_; }
  std::vector<std::string> Texts() const;
  std::vector<std::string> TextsStartingWith(const std::string& prefix) const;
  // Waits for a text; fails the test naming it when it never comes.
  void ExpectText(const std::string& text) const;
  int CountText(const std::string& text) const { return standIn_->CountText(text); }

  // The reference driver.
  KernelDriverControl& Control() { return *control_; }
  // Protocol requests the driver logged since SetUp, completions included.
  std::vector<QrvCtlLogEntry> DriverLog();
  // The requests of one code as issued, without the completions of pended
  // ones.
  std::vector<QrvCtlLogEntry> RequestsOf(uint32_t code);
  uint32_t PortOf(uint32_t serviceId) { return control_->ServicePort(serviceId); }
  uint32_t Post(uint32_t serviceId, uint32_t header, const std::vector<uint8_t>& payload,
                uint32_t slot = QRVCTL_ANY_SLOT);
  // Posts like Post but fails nothing: the driver's error, or ERROR_SUCCESS
  // with *id set (a service may lose its port between a check and a post).
  DWORD TryPost(uint32_t serviceId, uint32_t header, const std::vector<uint8_t>& payload,
                uint32_t* id);
  // The message's final outcome; fails the test when it does not come.
  MessageOutcome AwaitOutcome(uint32_t messageId);
  QrvCtlCounters Counters();
  void Arm(uint32_t kind, uint32_t skip, uint32_t count, uint32_t value, uint32_t flags = 0,
           uint32_t delayMs = 0, uint32_t code = 0);
  bool WaitForPendingReceives(uint32_t serviceId, uint32_t count) {
    return control_->WaitForPendingReceives(serviceId, count, kWaitMs);
  }
  bool WaitUntil(const std::function<bool()>& condition) {
    return control_->WaitUntil(kWaitMs, condition);
  }

  static std::vector<uint8_t> Bytes(size_t count, uint8_t seed);

 private:
  // The entry point held in `field` of the loaded library, or null.
  template <typename Function>
  const void* EntryPoint(Function quorvel::HostLibrary::*field) const {
    return library_ ? reinterpret_cast<const void*>((*library_).*field) : nullptr;
  }
  // Calls an entry point through the stack probe; fails the test, without
  // calling, when it is null.
  uint32_t CallEntry(const char* name, const void* entry, std::initializer_list<uint32_t> args);
  void ClearFaults();

  std::unique_ptr<Watchdog> watchdog_;
  std::unique_ptr<KernelDriverControl> control_;
  uint32_t logStart_ = 0;
  std::unique_ptr<pxcom::StandIn> standIn_;
  std::unique_ptr<quorvel::HostLibrary> library_;
  std::vector<std::unique_ptr<HostService>> services_;
  std::vector<std::unique_ptr<Gate>> gates_;
};

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_HOST_HOST_FIXTURE_H_
