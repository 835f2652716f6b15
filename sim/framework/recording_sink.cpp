#include "recording_sink.h"

#include <cstdio>
#include <string>

#include "monitor.h"

#if !defined(_WIN32)
#include <stdexcept>
#endif

namespace pxcom {

namespace {

// Raises the fault the way the library will meet it in production: a C++
// exception from a sink built like the library on Linux; on Windows, the
// structured exception an MSVC-built sink raises for a C++ throw (a GCC
// throw cannot cross into another module's runtime), or a processor fault.
void InjectFault(PxFault fault) {
  switch (fault) {
    case PX_FAULT_NONE:
      return;
    case PX_FAULT_THROW:
#if defined(_WIN32)
      RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, nullptr);
#else
      throw std::runtime_error("pxcom: VPrint fault injected");
#endif
      return;
    case PX_FAULT_ACCESS_VIOLATION: {
      // Volatile, so the compiler cannot see the null and replace the write
      // with a trap instruction.
      volatile int* volatile target = nullptr;
      *target = 0;
      return;
    }
  }
}

// Renders into *text; false when vsnprintf reports an encoding error.
bool Render(const char* format, va_list args, std::string* text) {
  char small[256];
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(small, sizeof small, format, measure);
  va_end(measure);
  if (length < 0) return false;
  if (static_cast<size_t>(length) < sizeof small) {
    text->assign(small, static_cast<size_t>(length));
    return true;
  }
  text->resize(static_cast<size_t>(length));
  // Writes the terminator into the string's own, always present, one.
  std::vsnprintf(&(*text)[0], text->size() + 1, format, args);
  return true;
}

}  // namespace

Result PX_STDCALL RecordingSink::Reserved() { return kOk; }

Result PX_STDCALL RecordingSink::VPrint(const char* format, va_list args) {
  Monitor& monitor = Monitor::Instance();
  monitor.Count(&PxCounters::vprintCalls);
  const Knobs knobs = monitor.GetKnobs();
  if (knobs.vprint_hook.call != nullptr) knobs.vprint_hook.call(knobs.vprint_hook.context);
  InjectFault(knobs.vprint_fault);
  if (format == nullptr) return kPointer;
  std::string text;
  if (!Render(format, args, &text)) return kFail;
  monitor.AddRecord(format, text);
  return static_cast<Result>(text.size());
}

}  // namespace pxcom
