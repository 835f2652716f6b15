// A host that lets go of QUORVEL.DLL while its connections run and exits
// without UnInit, started and watched by quorvel_unload_test:
//
//   quorvel_unload_host.exe <ready event> <exit event>
//
// Loads PXCOM.dll and QUORVEL.DLL, calls Init and registers service 7 (whose
// callback echoes each message), calls FreeLibrary on the library, checks
// that the module is still mapped, sets the ready event, and returns from
// main once the exit event is set: the process then exits with the
// library's threads still running. The exit status says how far it got.
#include <cstdio>
#include <cstring>

#define QUORVEL_HOST_LOADER
#include "quorvel/quorvel.h"

namespace {

enum ExitStatus {
  kClean = 0,
  kBadArguments = 10,
  kNoEvents = 11,
  kNoFramework = 12,
  kNoLibrary = 13,
  kInitFailed = 14,
  kRegisterFailed = 15,
  kUnmapped = 16,
  kNoExitSignal = 17,
};

constexpr DWORD kExitSignalMs = 30000;
constexpr char kLibraryName[] = "QUORVEL.DLL";

void WINAPI EchoBack(NIMUC::IAllocator* allocator, void* message, uint32_t length, void*,
                     void** answer, uint32_t* answerLength) {
  void* block = allocator->Allocate(length);
  if (block == nullptr) return;
  std::memcpy(block, message, length);
  *answer = block;
  *answerLength = length;
}

int Fail(ExitStatus status, const char* what) {
  std::fprintf(stderr, "quorvel_unload_host: %s (exit status %d)\n", what, status);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return Fail(kBadArguments, "usage: <ready event> <exit event>");
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1]);
  HANDLE exitSignal = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
  if (ready == nullptr || exitSignal == nullptr) return Fail(kNoEvents, "cannot open the events");
  // Both stay loaded until the process ends.
  if (LoadLibraryA("PXCOM.dll") == nullptr) return Fail(kNoFramework, "cannot load PXCOM.dll");

  char path[MAX_PATH] = "";
  {
    quorvel::HostLibrary library(kLibraryName);
    if (!library.Loaded()) return Fail(kNoLibrary, "cannot load QUORVEL.DLL by its ordinals");
    if (library.init(0) != QUORVEL_OK) return Fail(kInitFailed, "Init failed");
    if (library.registerService(7, &EchoBack, nullptr) != QUORVEL_OK)
      return Fail(kRegisterFailed, "Register(7) failed");
    GetModuleFileNameA(GetModuleHandleA(kLibraryName), path, sizeof(path));
  }  // FreeLibrary, without UnInit
  if (GetModuleHandleA(kLibraryName) == nullptr || GetModuleHandleA(path) == nullptr)
    return Fail(kUnmapped, "QUORVEL.DLL was unmapped under its running threads");
  std::printf("quorvel_unload_host: freed %s with its connections running\n", path);
  std::fflush(stdout);
  SetEvent(ready);
  if (WaitForSingleObject(exitSignal, kExitSignalMs) != WAIT_OBJECT_0)
    return Fail(kNoExitSignal, "no exit signal");
  // Returning runs the process's exit with the library's threads still
  // running and the module still mapped.
  return kClean;
}
