#include "host/host_fixture.h"

#include <cstdlib>

#include "harness/driver_service.h"
#include "host/native_unwind.h"

namespace qrv {
namespace wintest {
namespace {

// A scenario's whole life, well above what any takes; CTest's timeout is
// the backstop behind it.
constexpr DWORD kScenarioLimitMs = 90000;
// Breaches of the callback contract listed in a failure.
constexpr size_t kViolationsShown = 5;

std::string CurrentTestName() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info ? std::string(info->test_suite_name()) + "." + info->name() : "the program";
}

uint32_t Word(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

}  // namespace

void HostTest::SetUp() {
  ReportUnhandledExceptions();
  watchdog_ = std::make_unique<Watchdog>(CurrentTestName(), kScenarioLimitMs);
  DWORD error = 0;
  control_ = KernelDriverControl::Open(&error);
  ASSERT_NE(control_, nullptr) << "cannot open the driver's control device: error " << error;
  ClearFaults();
  std::vector<QrvCtlLogEntry> ignored;
  ASSERT_EQ(control_->ReadLog(0, &ignored, &logStart_), static_cast<DWORD>(ERROR_SUCCESS));

  LoadFramework();
  LoadQuorvel();
}

void HostTest::LoadFramework() {
  std::string reason;
  standIn_ = pxcom::StandIn::Load(pxcom::StandIn::Variant::kFull, &reason);
  ASSERT_NE(standIn_, nullptr) << "cannot load PXCOM.dll: " << reason;
  // Library threads may log until the process ends.
  standIn_->StayLoaded();
}

void HostTest::FreeFramework() {
  standIn_->Unload();
  standIn_.reset();
}

void HostTest::TearDown() {
  for (auto& gate : gates_) gate->Open();
  // A scenario that let go of the library while its connections ran takes
  // it back for the UnInit.
  if (!library_ && GetModuleHandleA(kLibraryName) != nullptr) LoadQuorvel();
  if (library_ && library_->Loaded()) UnInit();
  EXPECT_EQ(MisplacedCallbacks(), 0) << "callbacks whose context was not in the fourth slot";
  for (const auto& service : services_) {
    const std::vector<std::string> violations = service->Violations();
    if (violations.empty()) continue;
    std::string listed;
    for (size_t i = 0; i < violations.size() && i < kViolationsShown; ++i)
      listed += "\n  " + violations[i];
    ADD_FAILURE() << violations.size()
                  << " breaches of the callback contract, the first:" << listed;
  }
  if (control_) ClearFaults();
  services_.clear();
  gates_.clear();
  watchdog_.reset();
}

// QRV_QUORVEL_DLL (a Unix path) runs the scenarios against another build
// of the module, as the test command's -Os pass does; by default the copy
// next to the program.
void HostTest::LoadQuorvel() {
  const char* other = std::getenv("QRV_QUORVEL_DLL");
  library_ = other != nullptr && *other != '\0'
                 ? std::make_unique<quorvel::HostLibrary>(WinePathOf(other).c_str())
                 : std::make_unique<quorvel::HostLibrary>(kLibraryName);
  DWORD error = GetLastError();
  ASSERT_TRUE(library_->Loaded()) << "cannot load " << kLibraryName
                                  << " or find its four ordinals: error " << error;
  std::string reason;
  ASSERT_TRUE(UseNativeLikeRtlUnwind(GetModuleHandleA(kLibraryName), &reason))
      << "cannot replace the RtlUnwind of " << kLibraryName << ": " << reason;
}

void HostTest::FreeQuorvel() { library_.reset(); }

uint32_t HostTest::CallEntry(const char* name, const void* entry,
                             std::initializer_list<uint32_t> args) {
  if (entry == nullptr) {
    ADD_FAILURE() << name << " called while " << kLibraryName << " is not loaded";
    return static_cast<uint32_t>(QUORVEL_E_FAIL);
  }
  const std::vector<uint32_t> words(args);
  int32_t left = 0;
  const uint32_t result =
      qrv_stdcall_probe(entry, words.data(), static_cast<uint32_t>(words.size()), &left);
  EXPECT_EQ(left, 0) << name << " left " << left << " of its " << 4 * words.size()
                     << " argument bytes on the stack: it is not stdcall with " << words.size()
                     << " arguments";
  return result;
}

int32_t HostTest::Init() {
  return static_cast<int32_t>(CallEntry("Init", EntryPoint(&quorvel::HostLibrary::init), {0}));
}

void HostTest::UnInit() { CallEntry("UnInit", EntryPoint(&quorvel::HostLibrary::unInit), {}); }

int32_t HostTest::Register(uint32_t serviceId, HostService& service) {
  return Register(serviceId, reinterpret_cast<const void*>(&qrv_service_stub), &service);
}

int32_t HostTest::Register(uint32_t serviceId, const void* callback, void* context) {
  return static_cast<int32_t>(CallEntry("Register",
                                        EntryPoint(&quorvel::HostLibrary::registerService),
                                        {serviceId, Word(callback), Word(context)}));
}

int32_t HostTest::Unregister(uint32_t serviceId) {
  return static_cast<int32_t>(
      CallEntry("Unregister", EntryPoint(&quorvel::HostLibrary::unregisterService), {serviceId}));
}

HostService& HostTest::NewService() {
  services_.push_back(std::make_unique<HostService>());
  return *services_.back();
}

Gate& HostTest::NewGate() {
  gates_.push_back(std::make_unique<Gate>());
  return *gates_.back();
}

std::vector<std::string> HostTest::Texts() const {
  std::vector<std::string> texts;
  for (const auto& record : standIn_->Records()) texts.push_back(record.text);
  return texts;
}

std::vector<std::string> HostTest::TextsStartingWith(const std::string& prefix) const {
  std::vector<std::string> texts;
  for (const std::string& text : Texts()) {
    if (text.compare(0, prefix.size(), prefix) == 0) texts.push_back(text);
  }
  return texts;
}

void HostTest::ExpectText(const std::string& text) const {
  EXPECT_TRUE(standIn_->WaitForText(text, kWaitMs))
      << "never logged within " << kWaitMs << " ms: \"" << text << "\"";
}

std::vector<QrvCtlLogEntry> HostTest::DriverLog() {
  std::vector<QrvCtlLogEntry> entries;
  uint32_t next = 0;
  EXPECT_EQ(control_->ReadLog(logStart_, &entries, &next), static_cast<DWORD>(ERROR_SUCCESS));
  return entries;
}

std::vector<QrvCtlLogEntry> HostTest::RequestsOf(uint32_t code) {
  std::vector<QrvCtlLogEntry> found;
  for (const QrvCtlLogEntry& entry : DriverLog()) {
    if (entry.code == code && (entry.flags & QRVCTL_LOG_COMPLETION) == 0) found.push_back(entry);
  }
  return found;
}

uint32_t HostTest::Post(uint32_t serviceId, uint32_t header, const std::vector<uint8_t>& payload,
                        uint32_t slot) {
  uint32_t id = 0;
  EXPECT_EQ(control_->Post(serviceId, header, payload.data(), static_cast<uint32_t>(payload.size()),
                           slot, &id),
            static_cast<DWORD>(ERROR_SUCCESS))
      << "posting to service " << serviceId;
  return id;
}

DWORD HostTest::TryPost(uint32_t serviceId, uint32_t header, const std::vector<uint8_t>& payload,
                        uint32_t* id) {
  return control_->Post(serviceId, header, payload.data(), static_cast<uint32_t>(payload.size()),
                        QRVCTL_ANY_SLOT, id);
}

void HostTest::RestartWatchdog(DWORD limitMs) {
  watchdog_.reset();
  watchdog_ = std::make_unique<Watchdog>(CurrentTestName(), limitMs);
}

MessageOutcome HostTest::AwaitOutcome(uint32_t messageId) {
  MessageOutcome outcome;
  EXPECT_TRUE(control_->WaitForOutcome(messageId, kWaitMs, &outcome))
      << "message " << messageId << " not final within " << kWaitMs << " ms; state "
      << outcome.record.state;
  return outcome;
}

QrvCtlCounters HostTest::Counters() {
  QrvCtlCounters counters{};
  EXPECT_EQ(control_->Counters(&counters), static_cast<DWORD>(ERROR_SUCCESS));
  return counters;
}

void HostTest::Arm(uint32_t kind, uint32_t skip, uint32_t count, uint32_t value, uint32_t flags,
                   uint32_t delayMs, uint32_t code) {
  ASSERT_EQ(control_->SetFault(QrvCtlFault{kind, skip, count, value, flags, delayMs, code}),
            static_cast<DWORD>(ERROR_SUCCESS));
}

void HostTest::ClearFaults() {
  for (uint32_t kind = 0; kind < QRVCTL_FAULT_KIND_COUNT; kind++)
    EXPECT_EQ(control_->ClearFault(kind), static_cast<DWORD>(ERROR_SUCCESS));
}

std::vector<uint8_t> HostTest::Bytes(size_t count, uint8_t seed) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

}  // namespace wintest
}  // namespace qrv
