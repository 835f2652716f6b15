// The log channel and its binding to the framework, seen from the sink.
#include "diagnostics/log_channel.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <filesystem>

#include "diagnostics/component_library.h"
#include "library_fixture.h"

namespace qrv {

namespace {

using Variant = pxcom::StandIn::Variant;

// A process with a chosen framework variant loaded, or none.
class LogChannelTest : public ::testing::Test {
 protected:
  void Load(Variant variant) {
    std::string error;
    standIn_ = pxcom::StandIn::Load(variant, &error);
    ASSERT_NE(standIn_, nullptr) << error;
    standIn_->StayLoaded();
  }
  void TearDown() override { LogChannel::Instance().Shutdown(); }

  pxcom::StandIn& Sink() { return *standIn_; }
  LogChannel& Channel() { return LogChannel::Instance(); }

  std::unique_ptr<pxcom::StandIn> standIn_;
};

}  // namespace

TEST_F(LogChannelTest, ClosedChannelDropsMessagesAndShutdownCallsNothing) {
  Load(Variant::kFull);
  Channel().Print("%s", "quorvel: dropped");
  Channel().Shutdown();
  EXPECT_EQ(Sink().Counters().vprintCalls, 0);
  EXPECT_EQ(Sink().Counters().createInstanceCalls, 0);
  EXPECT_EQ(Sink().Counters().releaseCalls, 0);
}

TEST_F(LogChannelTest, OpenShutdownOpenMakesAFreshComponentAndSinkWithIdFour) {
  Load(Variant::kFull);
  ASSERT_GE(Channel().Open(), 0);
  EXPECT_EQ(Channel().Open(), 0);  // already open: nothing new
  EXPECT_EQ(Sink().Counters().componentsCreated, 1);
  Channel().Print(nullptr);
  EXPECT_EQ(Sink().Counters().vprintCalls, 0);
  Channel().Shutdown();
  ASSERT_GE(Channel().Open(), 0);
  Channel().Shutdown();
  EXPECT_EQ(Sink().Counters().componentsCreated, 2);
  EXPECT_EQ(Sink().CreateSinkIds(), (std::vector<int32_t>{4, 4}));
  const auto destroyed = Sink().DestroySinkCalls();
  ASSERT_EQ(destroyed.size(), 2u);
  for (const auto& call : destroyed) {
    EXPECT_EQ(call.id, 4);
    EXPECT_TRUE(call.sink_matched);
  }
  EXPECT_EQ(Sink().Counters().liveComponents, 0);
}

TEST_F(LogChannelTest, GlueFormatAndArgumentsReachTheSinkUnjoined) {
  Load(Variant::kFull);
  ASSERT_GE(Channel().Open(), 0);
  Channel().Print("%s%d%s", "quorvel-Register( ", 3, " ): success.");
  const auto records = Sink().Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].format, "%s%d%s");
  EXPECT_EQ(records[0].text, "quorvel-Register( 3 ): success.");
}

TEST_F(LogChannelTest, CreateSinkFailureReleasesOnceAndDestroysNothing) {
  Load(Variant::kFull);
  Sink().FailCreateSink(static_cast<int32_t>(0x8007000Eu));
  EXPECT_EQ(Channel().Open(), static_cast<HRESULT>(0x8007000Eu));
  Channel().Shutdown();
  EXPECT_EQ(Sink().Counters().releaseCalls, 1);
  EXPECT_EQ(Sink().Counters().destroySinkCalls, 0);
  EXPECT_EQ(Sink().Counters().liveComponents, 0);
  Channel().Print("%s", "x");
  EXPECT_EQ(Sink().Counters().vprintCalls, 0);
}

TEST_F(LogChannelTest, CreateInstanceFailureIsReturnedAndHoldsNothing) {
  Load(Variant::kFull);
  Sink().FailCreateInstance(static_cast<int32_t>(0x80040154u));
  EXPECT_EQ(Channel().Open(), static_cast<HRESULT>(0x80040154u));
  Sink().FailCreateInstance(0);
  EXPECT_GE(Channel().Open(), 0);  // the next Open tries again
}

TEST_F(LogChannelTest, NullSinkGivesAnOpenChannelThatPrintsNothing) {
  Load(Variant::kFull);
  Sink().SetNullSink(true);
  ASSERT_GE(Channel().Open(), 0);
  Channel().Print("%s", "x");
  EXPECT_EQ(Sink().Counters().vprintCalls, 0);
  Channel().Shutdown();
  EXPECT_EQ(Sink().Counters().destroySinkCalls, 0);
  EXPECT_EQ(Sink().Counters().releaseCalls, 1);
}

TEST_F(LogChannelTest, ThrowingSinkIsSwallowedAndStaysInUse) {
  Load(Variant::kFull);
  ASSERT_GE(Channel().Open(), 0);
  ASSERT_TRUE(Sink().SetVPrintFault(pxcom::StandIn::Fault::kThrow));
  Channel().Print("%s", "lost");
  Sink().SetVPrintFault(pxcom::StandIn::Fault::kNone);
  Channel().Print("%s", "kept");
  EXPECT_EQ(Sink().Counters().vprintCalls, 2);
  EXPECT_EQ(Sink().CountText("kept"), 1);
}

// Whatever one of the framework's calls raises counts as that call failing:
// Open and Shutdown return, the channel ends closed, the component of a
// raising CreateSink is still released, and the next Open starts afresh.
TEST_F(LogChannelTest, FrameworkCallThatRaisesCountsAsFailed) {
  using Call = pxcom::StandIn::Call;
  struct Case {
    Call call;
    bool opens;        // Open succeeds: the fault comes in Shutdown
    int releaseCalls;  // by Open and Shutdown together
  };
  static const Case kCases[] = {
      {Call::kCreateInstance, false, 0},
      {Call::kCreateSink, false, 1},
      {Call::kDestroySink, true, 1},
      {Call::kRelease, true, 1},
  };
  Load(Variant::kFull);
  for (const Case& test : kCases) {
    SCOPED_TRACE(::testing::Message() << "call " << static_cast<int>(test.call));
    Sink().Reset();
    ASSERT_TRUE(Sink().SetCallFault(test.call, pxcom::StandIn::Fault::kThrow));
    const HRESULT opened = Channel().Open();
    EXPECT_EQ(opened >= 0, test.opens) << std::hex << opened;
    if (!test.opens) {
      EXPECT_EQ(opened, E_FAIL);
    }
    Channel().Shutdown();
    Channel().Print("%s", "x");
    EXPECT_EQ(Sink().Counters().vprintCalls, 0) << "the channel stayed open";
    EXPECT_EQ(Sink().Counters().releaseCalls, test.releaseCalls);
    Sink().SetCallFault(test.call, pxcom::StandIn::Fault::kNone);
    ASSERT_GE(Channel().Open(), 0) << "a raising call left the channel unable to open";
    Channel().Print("%s", "again");
    EXPECT_EQ(Sink().CountText("again"), 1);
    Channel().Shutdown();
  }
}

// The host frees the framework while the channel is open: the channel's own
// reference keeps it mapped, so printing goes on, until Shutdown drops it.
TEST_F(LogChannelTest, FrameworkFreedWhileOpenStaysLoadedUntilShutdown) {
  std::string error;
  auto host = pxcom::StandIn::Load(Variant::kFull, &error);
  ASSERT_NE(host, nullptr) << error;
  ASSERT_GE(Channel().Open(), 0);
  std::string printed;
  host->SetLineCallback(
      [](void* context, const char* text) { *static_cast<std::string*>(context) = text; },
      &printed);
  host->Unload();
  ASSERT_NE(GetModuleHandleW(L"PXCOM.dll"), nullptr) << "the open channel holds no reference";
  Channel().Print("%s", "quorvel: still here");
  EXPECT_EQ(printed, "quorvel: still here");
  Channel().Shutdown();
  EXPECT_EQ(GetModuleHandleW(L"PXCOM.dll"), nullptr) << "the reference outlived Shutdown";
}

TEST_F(LogChannelTest, FrameworkLoadedAfterTheFirstOpenIsNeverSeen) {
  EXPECT_EQ(Channel().Open(), -1);
  Load(Variant::kFull);
  EXPECT_EQ(Channel().Open(), -1);
  EXPECT_EQ(Sink().Counters().createInstanceCalls, 0);
}

TEST_F(LogChannelTest, FrameworkWithoutUninitializeLeavesTheTableUnbound) {
  Load(Variant::kNoUninit);
  EXPECT_EQ(Channel().Open(), -1);
  EXPECT_EQ(Sink().Counters().createInstanceCalls, 0);
}

TEST_F(LogChannelTest, FrameworkLackingOptionalNamesIsBound) {
  Load(Variant::kMinimal);
  ASSERT_GE(Channel().Open(), 0);
  EXPECT_EQ(Sink().Counters().createInstanceCalls, 1);
  Channel().Print("%s", "quorvel: minimal");
  EXPECT_EQ(Sink().CountText("quorvel: minimal"), 1);
}

TEST_F(LogChannelTest, DeadReferenceAfterDestroyInstanceKeepsTheChannelClosed) {
  Load(Variant::kFull);
  ASSERT_NE(ComponentLibrary::Instance(), nullptr);
  ComponentLibrary::DestroyInstance();
  // Nothing is created again, and no exception is raised for it.
  for (int i = 0; i < 2; ++i) EXPECT_EQ(ComponentLibrary::Instance(), nullptr);
  EXPECT_EQ(Channel().Open(), -1);
  // The framework module was neither freed nor touched.
  EXPECT_EQ(Sink().Counters().createInstanceCalls, 0);
}

// The host frees the framework between two sessions, then loads it again at
// another address: the stale entries are never called, and the channel
// binds to the module loaded now.
TEST_F(LogChannelTest, FreedFrameworkIsUnboundAndItsReloadElsewhereIsBound) {
  std::string error;
  auto first = pxcom::StandIn::Load(Variant::kFull, &error);
  ASSERT_NE(first, nullptr) << error;
  ASSERT_GE(Channel().Open(), 0);
  Channel().Shutdown();
  void* const oldEntry = first->Symbol("TzCoCreateInstance");
  Dl_info info;
  ASSERT_NE(dladdr(oldEntry, &info), 0);
  first->Unload();
  ASSERT_EQ(GetModuleHandleW(L"PXCOM.dll"), nullptr) << "the framework stayed loaded";
  EXPECT_EQ(Channel().Open(), -1);

  // The old base stays taken, so the copy cannot be mapped where it was.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* reserved = mmap(info.dli_fbase, page, PROT_NONE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  ASSERT_EQ(reserved, info.dli_fbase);
  const std::filesystem::path copy = std::filesystem::path(testing::TempDir()) /
                                     ("pxcom_reload_" + std::to_string(getpid()) + ".so");
  std::filesystem::copy_file(pxcom::StandIn::PathOf(Variant::kFull), copy,
                             std::filesystem::copy_options::overwrite_existing);
  standIn_ = pxcom::StandIn::LoadPath(copy.string(), &error);
  std::filesystem::remove(copy);
  ASSERT_NE(standIn_, nullptr) << error;
  standIn_->StayLoaded();
  ASSERT_NE(Sink().Symbol("TzCoCreateInstance"), oldEntry);

  ASSERT_GE(Channel().Open(), 0);
  EXPECT_EQ(Sink().Counters().createInstanceCalls, 1);
  Channel().Print("%s", "quorvel: back");
  EXPECT_EQ(Sink().CountText("quorvel: back"), 1);
  munmap(reserved, page);
}

}  // namespace qrv
