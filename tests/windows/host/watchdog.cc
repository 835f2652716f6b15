#include "host/watchdog.h"

#include <cstdio>

namespace qrv {
namespace wintest {
namespace {

constexpr DWORD kDisarmMs = 10000;

// Both streams: whichever of the program's outputs a reader looks at.
void Report(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
  std::fputs(text, stderr);
  std::fflush(stderr);
}

// The file of the module whose image holds `address`, or "no module" (a
// jump through a broken return address lands outside every image).
std::string ModuleOf(const void* address) {
  MEMORY_BASIC_INFORMATION region{};
  char name[MAX_PATH] = "no module";
  if (VirtualQuery(address, &region, sizeof(region)) == sizeof(region) &&
      region.Type == MEM_IMAGE) {
    GetModuleFileNameA(static_cast<HMODULE>(region.AllocationBase), name, sizeof(name));
  }
  return name;
}

LONG WINAPI ReportException(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  char text[512];
  std::snprintf(text, sizeof(text),
                "[ CRASH    ] unhandled exception 0x%08lx at %p in %s on thread %lu\n",
                record->ExceptionCode, record->ExceptionAddress,
                ModuleOf(record->ExceptionAddress).c_str(), GetCurrentThreadId());
  Report(text);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

Watchdog::Watchdog(const std::string& what, DWORD timeoutMs)
    : what_(what),
      timeoutMs_(timeoutMs),
      disarmed_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      thread_(CreateThread(nullptr, 0, &Watch, this, 0, nullptr)) {}

Watchdog::~Watchdog() {
  SetEvent(disarmed_.get());
  // The watching thread ends as soon as it sees the event.
  WaitForSingleObject(thread_.get(), kDisarmMs);
}

DWORD WINAPI Watchdog::Watch(LPVOID parameter) {
  auto* self = static_cast<Watchdog*>(parameter);
  if (WaitForSingleObject(self->disarmed_.get(), self->timeoutMs_) != WAIT_TIMEOUT) return 0;
  char text[512];
  std::snprintf(text, sizeof(text),
                "[ WATCHDOG ] %s did not finish within %lu ms: a call into the library never "
                "returned\n",
                self->what_.c_str(), self->timeoutMs_);
  Report(text);
  TerminateProcess(GetCurrentProcess(), 3);
  return 0;
}

void ReportUnhandledExceptions() { SetUnhandledExceptionFilter(&ReportException); }

}  // namespace wintest
}  // namespace qrv
