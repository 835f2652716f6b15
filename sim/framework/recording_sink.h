// The log component's sink: renders each message and records it in the
// Monitor, with the raw format alongside the rendered text.
#ifndef QUORVEL_SIM_FRAMEWORK_RECORDING_SINK_H_
#define QUORVEL_SIM_FRAMEWORK_RECORDING_SINK_H_

#include "log_interfaces.h"

namespace pxcom {

// Owned by the LogComponent that created it. VPrint is safe from any number
// of threads at once; the sink itself holds no state.
class RecordingSink final : public ILogSink {
 public:
  RecordingSink() = default;
  RecordingSink(const RecordingSink&) = delete;
  RecordingSink& operator=(const RecordingSink&) = delete;
  ~RecordingSink() = default;

  Result PX_STDCALL Reserved() override;
  // Returns the rendered length; kPointer for a null format, kFail when the
  // format cannot be rendered. A fault knob replaces all of this.
  Result PX_STDCALL VPrint(const char* format, va_list args) override;
};

}  // namespace pxcom

#endif  // QUORVEL_SIM_FRAMEWORK_RECORDING_SINK_H_
