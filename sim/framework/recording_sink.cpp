#include "recording_sink.h"

#include <cstdio>
#include <string>

#include "fault.h"
#include "monitor.h"

namespace pxcom {

namespace {

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
