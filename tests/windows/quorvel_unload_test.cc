// FreeLibrary of QUORVEL.DLL by its host: with connections still running
// (each library thread holds its own reference on the module and drops it as
// it exits), and after UnInit, followed by a fresh load.
#include <cstdio>
#include <string>

#include "harness/win_handle.h"
#include "host/host_fixture.h"

namespace qrv {
namespace wintest {
namespace {

class Unload : public HostTest {
 protected:
  // Waits for a ping after those counted now: the heartbeat still runs.
  void ExpectAnotherPing() {
    const uint32_t pings = Counters().pings;
    EXPECT_TRUE(WaitUntil([&] { return Counters().pings > pings; }))
        << "no ping within " << kWaitMs << " ms: the heartbeat stopped";
  }
};

std::string ModulePath(HMODULE module) {
  char path[MAX_PATH] = "";
  GetModuleFileNameA(module, path, sizeof(path));
  return path;
}

TEST_F(Unload, FreeLibraryWithRunningConnectionsKeepsTheModuleMapped) {
  HostService& service = NewService();
  ASSERT_EQ(Init(), QUORVEL_OK);
  ASSERT_EQ(Register(1, service), QUORVEL_OK);
  ASSERT_TRUE(WaitForPendingReceives(1, 3)) << "the workers never received";
  const std::string path = ModulePath(GetModuleHandleA(kLibraryName));
  ASSERT_FALSE(path.empty());

  FreeQuorvel();
  EXPECT_NE(GetModuleHandleA(kLibraryName), nullptr) << "unmapped by name under running threads";
  EXPECT_NE(GetModuleHandleA(path.c_str()), nullptr) << "unmapped by path: " << path;
  ExpectAnotherPing();
  EXPECT_EQ(AwaitOutcome(Post(1, 1, Bytes(40, 1))).reply, Bytes(40, 1))
      << "the workers stopped serving";

  // Loading it again finds the same, still initialised, library.
  LoadQuorvel();
  EXPECT_EQ(Init(), QUORVEL_OK);
  EXPECT_EQ(CountText("quorvel-Initialize successfully."), 1) << "a second heartbeat";
  UnInit();
  ExpectText("quorvel-UnInit: ok.");
  // Every thread has ended and given its reference back: the host's is the
  // last one.
  FreeQuorvel();
  EXPECT_EQ(GetModuleHandleA(kLibraryName), nullptr) << "still mapped after UnInit and FreeLibrary";
}

// A host that lets go of the library with its connections running and then
// exits without UnInit: quorvel_unload_host.exe, watched from here.
TEST_F(Unload, ProcessExitsCleanlyAfterFreeLibraryWithoutUnInit) {
  const std::string tag = std::to_string(GetCurrentProcessId());
  const std::string readyName = "qrv-unload-ready-" + tag;
  const std::string exitName = "qrv-unload-exit-" + tag;
  Handle ready(CreateEventA(nullptr, TRUE, FALSE, readyName.c_str()));
  Handle exitSignal(CreateEventA(nullptr, TRUE, FALSE, exitName.c_str()));
  ASSERT_TRUE(ready.valid() && exitSignal.valid());

  char self[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, self, sizeof(self));
  std::string directory(self);
  directory.resize(directory.find_last_of('\\') + 1);
  std::string command =
      "\"" + directory + "quorvel_unload_host.exe\" " + readyName + " " + exitName;
  // The child writes into this program's log.
  for (DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
    SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  std::fflush(stdout);
  ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                             directory.c_str(), &startup, &info))
      << "cannot start " << command << ": error " << GetLastError();
  Handle process(info.hProcess);
  Handle thread(info.hThread);

  HANDLE waits[2] = {ready.get(), process.get()};
  DWORD woke = WaitForMultipleObjects(2, waits, FALSE, kWaitMs);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  ASSERT_EQ(woke, static_cast<DWORD>(WAIT_OBJECT_0))
      << "the host never got ready; exit code " << code << " (see quorvel_unload_host.cc)";

  // The host has freed the library; its heartbeat and its service go on.
  ExpectAnotherPing();
  EXPECT_EQ(AwaitOutcome(Post(7, 1, Bytes(30, 7))).reply, Bytes(30, 7))
      << "the workers stopped serving";

  SetEvent(exitSignal.get());
  ASSERT_EQ(WaitForSingleObject(process.get(), kWaitMs), static_cast<DWORD>(WAIT_OBJECT_0))
      << "the host did not exit within " << kWaitMs << " ms";
  ASSERT_TRUE(GetExitCodeProcess(process.get(), &code));
  EXPECT_EQ(code, 0u) << "the host's exit was not clean";
  // Its handle closed with the process: the driver freed both its ports.
  EXPECT_EQ(PortOf(7), QRVCTL_NO_PORT);
  QrvCtlPorts ports{};
  ASSERT_EQ(Control().Ports(&ports), static_cast<DWORD>(ERROR_SUCCESS));
  for (uint32_t port = 0; port < QRVCTL_MAX_PORTS; ++port)
    EXPECT_EQ(ports.ports[port].state, static_cast<uint32_t>(QRVCTL_PORT_FREE)) << "port " << port;
}

TEST_F(Unload, ReloadAfterUnInitGivesAFreshLibrary) {
  HostService& service = NewService();
  ASSERT_EQ(Init(), QUORVEL_OK);
  ASSERT_EQ(Register(2, service), QUORVEL_OK);
  EXPECT_EQ(AwaitOutcome(Post(2, 1, Bytes(9, 1))).reply, Bytes(9, 1));
  UnInit();
  FreeQuorvel();
  ASSERT_EQ(GetModuleHandleA(kLibraryName), nullptr) << "not unloaded after UnInit";

  LoadQuorvel();
  // A fresh module binds the framework anew: the log channel opens again
  // (an unload marks the old framework table dead for good).
  ASSERT_EQ(Init(), QUORVEL_OK);
  EXPECT_EQ(CountText("quorvel-Initialize successfully."), 2);
  EXPECT_EQ(Sink().CreateSinkIds(), (std::vector<int32_t>{4, 4}));
  EXPECT_EQ(Sink().Counters().liveComponents, 1);
  ASSERT_EQ(Register(2, service), QUORVEL_OK);
  EXPECT_EQ(CountText("quorvel-Register( 2 ): success."), 2);
  EXPECT_EQ(AwaitOutcome(Post(2, 1, Bytes(9, 2))).reply, Bytes(9, 2));
  EXPECT_EQ(RequestsOf(kCreateEchoPort).size(), 2u);
}

// The host frees PXCOM.dll between UnInit and Init: the library never calls
// the freed module, and binds to it again once it is loaded anew, here at
// another address (its old base stays reserved).
TEST_F(Unload, FrameworkFreedBetweenUnInitAndInitIsNeverCalledAndItsReloadIsBound) {
  ASSERT_EQ(Init(), QUORVEL_OK);
  UnInit();
  const HMODULE oldBase = GetModuleHandleA("PXCOM.dll");
  ASSERT_NE(oldBase, nullptr);
  FreeFramework();
  ASSERT_EQ(GetModuleHandleA("PXCOM.dll"), nullptr) << "PXCOM.dll stayed loaded";
  EXPECT_EQ(Init(), QUORVEL_OK);
  UnInit();

  void* reserved = VirtualAlloc(oldBase, 0x1000, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_EQ(reserved, static_cast<void*>(oldBase)) << "error " << GetLastError();
  LoadFramework();
  ASSERT_NE(GetModuleHandleA("PXCOM.dll"), oldBase) << "reloaded at the same address";
  ASSERT_EQ(Init(), QUORVEL_OK);
  ExpectText("quorvel-Initialize successfully.");
  EXPECT_EQ(Sink().Counters().liveComponents, 1);
  UnInit();
  EXPECT_EQ(Sink().Counters().liveComponents, 0);
  VirtualFree(reserved, 0, MEM_RELEASE);
}

// The host frees PXCOM.dll while services log: the library's own reference
// keeps it mapped, so logging goes on until UnInit, which lets it unload.
TEST_F(Unload, FrameworkFreedWhileServicesLogStaysLoadedUntilUnInit) {
  HostService& service = NewService();
  ASSERT_EQ(Init(), QUORVEL_OK);
  ASSERT_EQ(Register(2, service), QUORVEL_OK);
  ASSERT_TRUE(WaitForPendingReceives(2, 3)) << "the workers never received";
  // Read through the module's own exports while only the library holds it.
  const auto recordCount =
      reinterpret_cast<decltype(&PxControl_RecordCount)>(Sink().Symbol("PxControl_RecordCount"));
  const auto countText =
      reinterpret_cast<decltype(&PxControl_CountText)>(Sink().Symbol("PxControl_CountText"));
  const HMODULE framework = GetModuleHandleA("PXCOM.dll");
  FreeFramework();
  ASSERT_EQ(GetModuleHandleA("PXCOM.dll"), framework) << "unmapped while the library may log";

  EXPECT_EQ(AwaitOutcome(Post(2, 1, Bytes(9, 2))).reply, Bytes(9, 2));
  const int32_t before = recordCount();
  ASSERT_EQ(Unregister(2), QUORVEL_OK);
  // The free-port line, the workers' lines on their own threads, the result.
  EXPECT_EQ(recordCount() - before, 1 + 3 * 2 + 1);
  EXPECT_EQ(countText("quorvel-Unregister( 2 ): ok."), 1);
  UnInit();
  EXPECT_EQ(GetModuleHandleA("PXCOM.dll"), nullptr) << "the library's reference outlived UnInit";
}

}  // namespace
}  // namespace wintest
}  // namespace qrv
