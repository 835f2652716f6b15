// The control program for a host that exits without UnInit: the same exit
// with no QUORVEL.DLL in the process. Seven threads hold requests at the
// reference driver (a bare client's port, a receive pending on each thread,
// as the heartbeat and two services' workers hold theirs), and main returns
// with them held. Under Wine such an exit sometimes hangs or crashes inside
// Wine; tests/windows/exit_control.sh runs this program many times and counts.
//
//   exit_control.exe          (the reference driver loaded)
//
// Exit status 0: main returned with the seven receives pending. 10 to 12: the
// set-up failed (see ExitStatus), before the exit that is under study.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "bench/bare_client.h"
#include "harness/kernel_driver_control.h"

namespace {

enum ExitStatus {
  kHeld = 0,
  kNoDriver = 10,
  kNoClient = 11,
  kNotPending = 12,
};

constexpr uint32_t kService = 0;
constexpr uint32_t kThreads = 7;
constexpr DWORD kWaitMs = 10000;

int Fail(ExitStatus status, const std::string& what) {
  std::fprintf(stderr, "exit_control: %s (exit status %d)\n", what.c_str(), status);
  return status;
}

}  // namespace

int main() {
  using qrv::wintest::BareClient;
  using qrv::wintest::KernelDriverControl;
  DWORD error = 0;
  const std::unique_ptr<KernelDriverControl> control = KernelDriverControl::Open(&error);
  if (control == nullptr)
    return Fail(kNoDriver, "no control device: error " + std::to_string(error));
  // Never deleted: its destructor frees the port and joins the threads, the
  // orderly end that this exit must not have.
  auto* client = new BareClient();
  std::string why;
  if (!client->Start(kService, kThreads, 0, nullptr, &why)) return Fail(kNoClient, why);
  if (!control->WaitForPendingReceives(kService, kThreads, kWaitMs))
    return Fail(kNotPending,
                "the receives were not all pending within " + std::to_string(kWaitMs) + " ms");
  std::printf("exit_control: %u threads hold a receive at the driver; exiting\n", kThreads);
  std::fflush(stdout);
  return kHeld;
}
