// The binary contract of the shipped QUORVEL.DLL: an export table of four
// ordinals and no names, and the stdcall convention on every call that
// crosses between host and library, checked by the stack pointer around the
// call (host/stdcall_probe.S), where a frame pointer cannot hide a callee
// that removes the wrong number of argument bytes.
#include <algorithm>
#include <cstdint>

#include "host/host_fixture.h"

namespace qrv {
namespace wintest {
namespace {

using Abi = HostTest;

// Callees of each convention, for the probe's own test.
extern "C" __attribute__((noinline)) uint32_t __cdecl CdeclSum(uint32_t a, uint32_t b) {
  return a + b;
}
extern "C" __attribute__((noinline)) uint32_t __stdcall StdcallSum(uint32_t a, uint32_t b) {
  return a + b;
}
__attribute__((noinline, thiscall)) uint32_t ThiscallSum(uint32_t self, uint32_t b) {
  return self + b;
}

uint32_t Probe(const void* function, std::vector<uint32_t> args, int32_t* left) {
  return qrv_stdcall_probe(function, args.data(), static_cast<uint32_t>(args.size()), left);
}

TEST_F(Abi, ProbeSeesWhatACalleeLeavesOnTheStack) {
  int32_t left = -1;
  EXPECT_EQ(Probe(reinterpret_cast<const void*>(&StdcallSum), {2, 3}, &left), 5u);
  EXPECT_EQ(left, 0);
  EXPECT_EQ(Probe(reinterpret_cast<const void*>(&CdeclSum), {2, 3}, &left), 5u);
  EXPECT_EQ(left, 8) << "a cdecl callee leaves both arguments";
  // A thiscall callee takes `self` from ECX and its second parameter from
  // the first stack slot, which holds `self` again, and removes that slot.
  EXPECT_EQ(Probe(reinterpret_cast<const void*>(&ThiscallSum), {2, 3}, &left), 4u);
  EXPECT_EQ(left, 4);
}

TEST_F(Abi, ExportTableHoldsFourOrdinalsAndNoNames) {
  HMODULE module = GetModuleHandleA(kLibraryName);
  ASSERT_NE(module, nullptr);
  for (const char* name : {"Init", "UnInit", "Register", "Unregister", "Init@4", "_Init@4",
                           "UnInit@0", "Register@12", "Unregister@4", "DllMain", "DllMain@12"}) {
    EXPECT_EQ(GetProcAddress(module, name), nullptr) << "exported by name: " << name;
  }
  const auto* base = reinterpret_cast<const uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
  EXPECT_NE(nt->FileHeader.Characteristics & IMAGE_FILE_DLL, 0);
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(directory.VirtualAddress, 0u);
  const auto* exports =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
  EXPECT_EQ(exports->Base, 1u);
  EXPECT_EQ(exports->NumberOfFunctions, 4u);
  EXPECT_EQ(exports->NumberOfNames, 0u);
  const auto* functions = reinterpret_cast<const DWORD*>(base + exports->AddressOfFunctions);
  std::vector<FARPROC> entries;
  for (WORD ordinal = 1; ordinal <= 4; ++ordinal) {
    const DWORD rva = functions[ordinal - 1];
    EXPECT_FALSE(rva >= directory.VirtualAddress && rva < directory.VirtualAddress + directory.Size)
        << "ordinal " << ordinal << " is a forwarder";
    FARPROC entry = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(entry), base + rva) << "ordinal " << ordinal;
    entries.push_back(entry);
  }
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(std::unique(entries.begin(), entries.end()), entries.end()) << "shared entry points";
  EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(5)), nullptr);
}

// Every call here goes through the probe (HostTest), which fails the test
// when an entry point does not remove exactly its arguments; the calls take
// each way out of each entry point, which the compiler may give epilogues
// of their own.
TEST_F(Abi, EntryPointsRemoveExactlyTheirArgumentsOnEveryPath) {
  HostService& service = NewService();
  EXPECT_EQ(Register(1, service), QUORVEL_E_FAIL) << "before Init";
  EXPECT_EQ(Unregister(1), QUORVEL_E_FAIL) << "before Init";
  UnInit();
  EXPECT_EQ(Init(), QUORVEL_OK);
  EXPECT_EQ(Init(), QUORVEL_OK);
  EXPECT_EQ(Register(16, service), QUORVEL_E_FAIL);
  EXPECT_EQ(Register(1, nullptr, &service), QUORVEL_E_FAIL);
  EXPECT_EQ(Register(1, service), QUORVEL_OK);
  EXPECT_EQ(Register(1, service), QUORVEL_OK) << "already registered";
  EXPECT_EQ(Unregister(16), QUORVEL_E_FAIL) << "refused before the lock";
  EXPECT_EQ(Unregister(1), QUORVEL_OK);
  EXPECT_EQ(Unregister(1), QUORVEL_E_FAIL) << "not registered";
  UnInit();
  UnInit();
  EXPECT_EQ(CountText("quorvel-UnInit: ok."), 1);
}

// The library calls the registered assembly stub, which checks that the six
// arguments lie where stdcall puts them and returns with `ret $24`; the
// callback reaches IAllocator::Allocate through slot 0 of the allocator's
// table under the probe. Each worker must then go on serving at the same
// stack depth (see HostService::NoteEntryStack); TearDown fails the test
// with every breach the callbacks recorded.
TEST_F(Abi, CallbackAndAllocatorKeepTheStdcallContract) {
  HostService& service = NewService();
  service.SetBehaviour([](ServiceCall& call) {
    call.Allocate(1);
    auto* block = static_cast<uint8_t*>(call.Allocate(call.length()));
    call.Allocate(0);
    for (uint32_t i = 0; i < call.length(); ++i) block[i] = call.message()[call.length() - 1 - i];
    call.Answer(block, call.length());
  });
  ASSERT_EQ(Init(), QUORVEL_OK);
  ASSERT_EQ(Register(7, service), QUORVEL_OK);
  ASSERT_TRUE(WaitForPendingReceives(7, 3)) << "the workers never received";
  constexpr int kRounds = 4;
  for (int round = 0; round < kRounds; ++round) {
    for (uint32_t slot = 0; slot < 3; ++slot) {
      std::vector<uint8_t> payload = Bytes(20 + slot, static_cast<uint8_t>(round));
      MessageOutcome outcome = AwaitOutcome(Post(7, round * 3 + slot + 1, payload, slot));
      std::reverse(payload.begin(), payload.end());
      EXPECT_EQ(outcome.reply, payload) << "round " << round << ", thread index " << slot;
    }
  }
  EXPECT_EQ(service.calls(), kRounds * 3);
  EXPECT_EQ(service.ThreadCount(), 3u);
}

}  // namespace
}  // namespace wintest
}  // namespace qrv
