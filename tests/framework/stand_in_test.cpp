// The framework stand-in as the library meets it: found by its module name
// once the host loaded it, the entries each variant exports, the log
// component's contract, the knobs, and recording under concurrent VPrint.
#include "framework/stand_in.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "framework/log_interfaces.h"

namespace pxcom {
namespace {

using CreateInstanceFn = Result(PX_STDCALL*)(const Guid*, const Guid*, void**);

const char* const kAllEntries[] = {
    "TzCoCreateInstance",   "TzCoInitialize",        "TzCoUninitialize",     "TzFreeLib",
    "TzFreeLibEx",          "TzFreeUnusedLib",       "TzCanUnLoadAllLibNow", "TzRegisterServer",
    "TzUnRegisterServer",   "TzRegisterServerEx",    "TzUnRegisterServerEx", "TzCoTaskMemAlloc",
    "TzCoTaskMemFree",      "TzCoGetMalloc",         "TzCoGetLibraryPath",   "TzInitConfigData",
    "TzCoLoadLibrary",      "TzCoProgIDFromCLSID",   "TzCoBuildVersion",     "TzGetPropertyCLSID",
    "TzSetCLSIDProperty",   "TzCoCLSIDFromProgID",   "TzFreeLibExW",         "TzRegisterServerW",
    "TzRegisterServerExW",  "TzUnRegisterServerExW", "TzCoGetLibraryPathW",  "TzCoProgIDFromCLSIDW",
    "TzCoCLSIDFromProgIDW", "TzCoLoadLibraryW"};

// The lookup the library makes: by module name, never loading.
bool FrameworkLoaded() {
  void* handle = dlopen("PXCOM.dll", RTLD_LAZY | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
}

std::unique_ptr<StandIn> MustLoad(StandIn::Variant variant) {
  std::string error;
  std::unique_ptr<StandIn> stand_in = StandIn::Load(variant, &error);
  EXPECT_NE(stand_in, nullptr) << error;
  return stand_in;
}

Result Print(ILogSink* sink, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const Result result = sink->VPrint(format, args);
  va_end(args);
  return result;
}

std::string VariantName(const testing::TestParamInfo<StandIn::Variant>& info) {
  switch (info.param) {
    case StandIn::Variant::kNoUninit:
      return "NoUninit";
    case StandIn::Variant::kMinimal:
      return "Minimal";
    case StandIn::Variant::kFull:
      break;
  }
  return "Full";
}

class VariantTest : public testing::TestWithParam<StandIn::Variant> {};

TEST_P(VariantTest, FoundByModuleNameOnlyWhileLoadedAndExportsItsEntries) {
  ASSERT_FALSE(FrameworkLoaded());
  std::unique_ptr<StandIn> stand_in = MustLoad(GetParam());
  ASSERT_NE(stand_in, nullptr);
  ASSERT_TRUE(FrameworkLoaded());

  std::vector<std::string> expected_missing;
  if (GetParam() == StandIn::Variant::kNoUninit) expected_missing = {"TzCoUninitialize"};
  if (GetParam() == StandIn::Variant::kMinimal) {
    expected_missing.assign(std::begin(StandIn::kMinimalLacks), std::end(StandIn::kMinimalLacks));
  }
  std::vector<std::string> missing;
  for (const char* name : kAllEntries) {
    if (stand_in->Symbol(name) == nullptr) missing.push_back(name);
  }
  EXPECT_EQ(missing, expected_missing);

  stand_in->Unload();
  EXPECT_FALSE(FrameworkLoaded());
}

INSTANTIATE_TEST_SUITE_P(AllVariants, VariantTest,
                         testing::Values(StandIn::Variant::kFull, StandIn::Variant::kNoUninit,
                                         StandIn::Variant::kMinimal),
                         VariantName);

class LogComponentTest : public testing::Test {
 protected:
  void SetUp() override {
    stand_in_ = MustLoad(StandIn::Variant::kFull);
    ASSERT_NE(stand_in_, nullptr);
    create_ = reinterpret_cast<CreateInstanceFn>(stand_in_->Symbol("TzCoCreateInstance"));
    ASSERT_NE(create_, nullptr);
  }

  Result Create(const Guid& clsid, const Guid& iid, ILogComponent** component) {
    return create_(&clsid, &iid, reinterpret_cast<void**>(component));
  }

  ILogComponent* MustCreate() {
    ILogComponent* component = nullptr;
    EXPECT_EQ(Create(kClsidLogComponent, kIidLogComponent, &component), kOk);
    return component;
  }

  std::unique_ptr<StandIn> stand_in_;
  CreateInstanceFn create_ = nullptr;
};

TEST_F(LogComponentTest, CreateInstanceRefusesOtherIdentifiers) {
  ILogComponent* component = reinterpret_cast<ILogComponent*>(1);
  EXPECT_EQ(Create(kIidLogComponent, kIidLogComponent, &component), kClassNotReg);
  EXPECT_EQ(component, nullptr);
  EXPECT_EQ(Create(kClsidLogComponent, kClsidLogComponent, &component), kNoInterface);
  EXPECT_EQ(create_(&kClsidLogComponent, &kIidLogComponent, nullptr), kPointer);
  const PxCounters counters = stand_in_->Counters();
  EXPECT_EQ(counters.createInstanceCalls, 3);
  EXPECT_EQ(counters.componentsCreated, 0);
}

TEST_F(LogComponentTest, SinkRecordsFormatAndTextAndIsDestroyedOnlyOnce) {
  ILogComponent* component = MustCreate();
  ASSERT_NE(component, nullptr);
  ILogSink* sink = nullptr;
  ASSERT_EQ(component->CreateSink(4, &sink), kOk);
  ASSERT_NE(sink, nullptr);

  const std::string long_piece(1000, 'x');
  EXPECT_EQ(Print(sink, "%s%d%s", "quorvel-Register( ", 3, " ): success."), 31);
  EXPECT_EQ(Print(sink, "%s%x", "code", 0xbeef), 8);
  EXPECT_EQ(Print(sink, "%s", long_piece.c_str()), 1000);
  EXPECT_EQ(Print(sink, nullptr), kPointer);
  const std::vector<StandIn::Record> records = stand_in_->Records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].format, "%s%d%s");
  EXPECT_EQ(records[0].text, "quorvel-Register( 3 ): success.");
  EXPECT_EQ(records[1].text, "codebeef");
  EXPECT_EQ(records[2].text, long_piece);

  EXPECT_EQ(component->DestroySink(4, sink), kOk);
  EXPECT_EQ(component->DestroySink(5, sink), kInvalidArg);  // already gone: not freed twice
  EXPECT_EQ(component->Release(), 0u);

  EXPECT_EQ(stand_in_->CreateSinkIds(), std::vector<int32_t>{4});
  const std::vector<StandIn::DestroySinkCall> destroys = stand_in_->DestroySinkCalls();
  ASSERT_EQ(destroys.size(), 2u);
  EXPECT_EQ(destroys[0].id, 4);
  EXPECT_TRUE(destroys[0].sink_matched);
  EXPECT_EQ(destroys[1].id, 5);
  EXPECT_FALSE(destroys[1].sink_matched);
  const PxCounters counters = stand_in_->Counters();
  EXPECT_EQ(counters.componentsCreated, 1);
  EXPECT_EQ(counters.liveComponents, 0);
  EXPECT_EQ(counters.destroySinkMismatches, 1);
  EXPECT_EQ(counters.vprintCalls, 4);
}

TEST_F(LogComponentTest, ReferenceCountKeepsComponentAlive) {
  ILogComponent* component = MustCreate();
  ASSERT_NE(component, nullptr);
  void* same = nullptr;
  ASSERT_EQ(component->QueryInterface(kIidUnknown, &same), kOk);
  EXPECT_EQ(same, component);
  EXPECT_EQ(component->QueryInterface(kClsidLogComponent, &same), kNoInterface);
  EXPECT_EQ(component->Release(), 1u);
  EXPECT_EQ(stand_in_->Counters().liveComponents, 1);
  EXPECT_EQ(component->Release(), 0u);
  EXPECT_EQ(stand_in_->Counters().liveComponents, 0);
}

TEST_F(LogComponentTest, KnobsFailCreationLeaveSinkNullAndThrow) {
  ILogComponent* component = nullptr;
  stand_in_->FailCreateInstance(static_cast<int32_t>(0x8007000E));
  EXPECT_EQ(Create(kClsidLogComponent, kIidLogComponent, &component),
            static_cast<Result>(0x8007000E));
  EXPECT_EQ(component, nullptr);
  stand_in_->FailCreateInstance(0);
  component = MustCreate();
  ASSERT_NE(component, nullptr);

  ILogSink* sink = reinterpret_cast<ILogSink*>(1);
  stand_in_->FailCreateSink(kFail);
  EXPECT_EQ(component->CreateSink(4, &sink), kFail);
  EXPECT_EQ(sink, nullptr);
  stand_in_->FailCreateSink(0);
  stand_in_->SetNullSink(true);
  EXPECT_EQ(component->CreateSink(4, &sink), kOk);
  EXPECT_EQ(sink, nullptr);
  stand_in_->SetNullSink(false);
  ASSERT_EQ(component->CreateSink(4, &sink), kOk);
  ASSERT_NE(sink, nullptr);

  EXPECT_FALSE(stand_in_->SetVPrintFault(StandIn::Fault::kAccessViolation));  // Windows only
  ASSERT_TRUE(stand_in_->SetVPrintFault(StandIn::Fault::kThrow));
  EXPECT_THROW(Print(sink, "%s", "lost"), std::runtime_error);
  stand_in_->Reset();
  EXPECT_EQ(Print(sink, "%s", "kept"), 4);
  EXPECT_EQ(stand_in_->CountText("kept"), 1);
  EXPECT_EQ(stand_in_->CountText("lost"), 0);
  EXPECT_EQ(stand_in_->Counters().liveComponents, 1);  // a state, not reset

  // A faulting DestroySink leaves the sink in place; Reset clears the knob.
  EXPECT_FALSE(stand_in_->SetCallFault(StandIn::Call::kDestroySink,
                                       StandIn::Fault::kAccessViolation));  // Windows only
  ASSERT_TRUE(stand_in_->SetCallFault(StandIn::Call::kDestroySink, StandIn::Fault::kThrow));
  EXPECT_THROW(component->DestroySink(4, sink), std::runtime_error);
  stand_in_->Reset();
  EXPECT_EQ(component->DestroySink(4, sink), kOk);
  component->Release();
}

TEST_F(LogComponentTest, ConcurrentPrintsAreAllRecordedAndAwaitable) {
  ILogComponent* component = MustCreate();
  ASSERT_NE(component, nullptr);
  ILogSink* sink = nullptr;
  ASSERT_EQ(component->CreateSink(4, &sink), kOk);
  std::vector<std::string> lines;
  stand_in_->SetLineCallback(
      [](void* context, const char* text) {
        static_cast<std::vector<std::string>*>(context)->push_back(text);
      },
      &lines);

  constexpr int kThreads = 6;
  constexpr int kPrints = 300;
  // Cannot fail falsely: nothing prints the text before the threads start.
  EXPECT_FALSE(stand_in_->WaitForText("thread[0] done", 10));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([sink, t] {
      for (int i = 0; i < kPrints; ++i) Print(sink, "quorvel: thread[%d] message", t);
      Print(sink, "thread[%d] done", t);
    });
  }
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_TRUE(stand_in_->WaitForText("thread[" + std::to_string(t) + "] done", 10000))
        << "thread " << t << " never finished printing";
  }
  for (std::thread& thread : threads) thread.join();
  stand_in_->SetLineCallback(nullptr, nullptr);

  EXPECT_EQ(stand_in_->RecordCount(), kThreads * (kPrints + 1));
  EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * (kPrints + 1)));
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(stand_in_->CountText("quorvel: thread[" + std::to_string(t) + "] message"), kPrints);
  }
  stand_in_->ClearRecords();
  EXPECT_EQ(stand_in_->RecordCount(), 0);
  EXPECT_EQ(component->DestroySink(4, sink), kOk);
  component->Release();
}

}  // namespace
}  // namespace pxcom
