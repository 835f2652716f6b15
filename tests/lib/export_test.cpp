// The shared library as a host loads it: only the four entry points are
// visible, and it can be unloaded with connections still running.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#define QUORVEL_HOST_LOADER
#include "framework/stand_in.h"
#include "quorvel/quorvel.h"
#include "sim/driver/sim_driver.h"

namespace qrv {

// UnloadWithAnOpenChannelReleasesNothing checks that the library keeps its
// reference on the framework's log component when it is unloaded with the
// channel open; that component is then unreachable by design, not lost by
// a fault. Only that allocation is exempt from the leak check.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:pxcom::LogComponent::Create\n";
}

namespace {

constexpr int kWaitMs = 10000;

bool ModuleLoaded() {
  void* handle = dlopen(QUORVEL_LIBRARY_PATH, RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qrv::sim::SimDriver::Instance().Attach();
    standIn_ = pxcom::StandIn::Load(pxcom::StandIn::Variant::kFull);
    ASSERT_NE(standIn_, nullptr);
    standIn_->StayLoaded();
  }
  std::unique_ptr<pxcom::StandIn> standIn_;
};

}  // namespace

TEST_F(ExportTest, ExportsExactlyTheFourEntryPoints) {
  quorvel::HostLibrary library(QUORVEL_LIBRARY_PATH);
  ASSERT_TRUE(library.Loaded()) << dlerror();
  void* handle = dlopen(QUORVEL_LIBRARY_PATH, RTLD_LAZY | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  for (const char* hidden :
       {"DllMain", "_ZN10LogChannel8InstanceEv", "_ZN17ConnectionFactory8InstanceEv"}) {
    EXPECT_EQ(dlsym(handle, hidden), nullptr) << hidden;
  }
  dlclose(handle);
  ASSERT_EQ(library.init(0), QUORVEL_OK);
  library.unInit();
  EXPECT_TRUE(standIn_->WaitForText("quorvel-UnInit: ok.", kWaitMs));
}

// The running echo thread keeps the module mapped after the host lets go of
// it; UnInit through a fresh handle then lets the module go for good.
TEST_F(ExportTest, UnloadWithoutUnInitKeepsTheModuleUntilItsThreadsEnd) {
  auto library = std::make_unique<quorvel::HostLibrary>(QUORVEL_LIBRARY_PATH);
  ASSERT_TRUE(library->Loaded());
  ASSERT_EQ(library->init(0), QUORVEL_OK);
  library.reset();
  ASSERT_TRUE(ModuleLoaded()) << "unmapped under a running thread";
  EXPECT_TRUE(qrv::sim::SimDriver::Instance().WaitForRequests(qrv::sim::wire::kEcho, 2,
                                                              std::chrono::milliseconds(kWaitMs)));
  {
    quorvel::HostLibrary again(QUORVEL_LIBRARY_PATH);
    ASSERT_TRUE(again.Loaded());
    again.unInit();
  }
  EXPECT_FALSE(ModuleLoaded());
  // The channel was shut down by UnInit, not by the unload.
  EXPECT_EQ(standIn_->Counters().liveComponents, 0);
}

// A channel still open at unload is left alone: no DestroySink, no Release.
TEST_F(ExportTest, UnloadWithAnOpenChannelReleasesNothing) {
  qrv::sim::SimDriver::Instance().FaultPingsAfter(0, qrv::sim::PingFault::kFail);
  auto library = std::make_unique<quorvel::HostLibrary>(QUORVEL_LIBRARY_PATH);
  ASSERT_EQ(library->init(0), QUORVEL_OK);
  ASSERT_TRUE(standIn_->WaitForText("quorvel: echo quit.", kWaitMs));
  library.reset();
  // The echo thread gives its module reference back as it exits; nothing
  // signals that, so look for the unload with a bounded wait.
  bool unloaded = false;
  for (int waited = 0; waited < kWaitMs && !unloaded; ++waited) {
    unloaded = !ModuleLoaded();
    if (!unloaded) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(unloaded) << "the module stayed loaded";
  EXPECT_EQ(standIn_->Counters().destroySinkCalls, 0);
  EXPECT_EQ(standIn_->Counters().releaseCalls, 0);
  EXPECT_EQ(standIn_->Counters().liveComponents, 1);
}

// The loader says why a module is refused and forgets every entry point on
// Unload; a session pairs Init with UnInit.
TEST_F(ExportTest, LoaderExplainsRefusalsAndSessionPairsInitWithUnInit) {
  const std::string standIn = pxcom::StandIn::PathOf(pxcom::StandIn::Variant::kFull);
  const struct {
    std::string path;
    std::string error;
  } refusals[] = {
      {"/no/such/libquorvel.so", "cannot load /no/such/libquorvel.so: "},
      {standIn, standIn + ": no entry point Init (ordinal 1)"},
  };
  for (const auto& refusal : refusals) {
    quorvel::HostLibrary library(refusal.path.c_str());
    EXPECT_FALSE(library.Loaded()) << refusal.path;
    EXPECT_EQ(library.Error().rfind(refusal.error, 0), 0u) << library.Error();
    EXPECT_EQ(library.init, nullptr) << "a refused module left an entry point";
    quorvel::Session session(library);
    EXPECT_EQ(session.Result(), QUORVEL_E_FAIL);
    EXPECT_EQ(session.Register(0, nullptr, nullptr), QUORVEL_E_FAIL);
  }

  quorvel::HostLibrary library(QUORVEL_LIBRARY_PATH);
  ASSERT_TRUE(library.Loaded()) << library.Error();
  EXPECT_TRUE(library.Error().empty());
  {
    quorvel::Session session(library);
    ASSERT_TRUE(session.Ok());
    EXPECT_TRUE(standIn_->WaitForText("quorvel-Initialize successfully.", kWaitMs));
  }
  EXPECT_TRUE(standIn_->WaitForText("quorvel-UnInit: ok.", kWaitMs)) << "no UnInit at the end";
  library.Unload();
  EXPECT_FALSE(library.Loaded());
  EXPECT_FALSE(library.init || library.unInit || library.registerService ||
               library.unregisterService)
      << "an entry point survived Unload";
}

}  // namespace qrv
