// A minimal Windows host in C++: loads QUORVEL.DLL at run time and serves
// service 0 by echoing every message back, until Enter, or for the seconds
// given with --seconds N (see serve_until.h, beside the C sample).
#include <cstdio>
#include <cstring>

#define QUORVEL_HOST_LOADER
#include <quorvel/quorvel.h>

#include "serve_until.h"

namespace {

constexpr uint32_t kEchoService = 0;

// Runs on a worker thread of the library; must not throw (see quorvel.h).
void QUORVEL_STDCALL Echo(NIMUC::IAllocator* allocator, void* message, uint32_t length,
                          void* /*context*/, void** answer, uint32_t* answerLength) {
  if (length == 0) return;  // an empty reply
  void* copy = allocator->Allocate(length);
  if (copy == nullptr) return;
  std::memcpy(copy, message, length);
  *answer = copy;
  *answerLength = length;
}

}  // namespace

int main(int argc, char** argv) {
  DWORD milliseconds = INFINITE;
  if (ServeUntilParse(argc, argv, nullptr, &milliseconds) == 0) {
    std::fprintf(stderr, "usage: %s [--seconds N]\n", argv[0]);
    return 2;
  }
  const char* reason = "";
  quorvel::HostLibrary library(L"QUORVEL.DLL");
  if (!library.Loaded()) {
    std::fprintf(stderr, "%s\n", library.Error().c_str());
    return 1;
  }
  {
    // Declared after the library, so UnInit runs before the unload.
    quorvel::Session session(library);
    if (!session.Ok()) {
      std::fprintf(stderr, "Init failed (0x%08x): is the driver loaded?\n",
                   static_cast<unsigned>(session.Result()));
      return 1;
    }
    if (session.Register(kEchoService, &Echo, nullptr) != QUORVEL_OK) {
      std::fprintf(stderr, "Register(%u) failed\n", kEchoService);
      return 1;
    }
    std::printf("echo host (C++): serving service %u; %s to stop\n", kEchoService,
                milliseconds == INFINITE ? "Enter or Ctrl-C" : "Ctrl-C");
    std::fflush(stdout);
    reason = ServeUntilStopped(milliseconds, nullptr);
  }
  library.Unload();
  std::printf("echo host (C++): stopped (%s)\n", reason);
  return 0;
}
