// The framework's log component: a reference-counted object that creates
// and destroys RecordingSinks, reporting every call to the Monitor and
// obeying its knobs.
#ifndef QUORVEL_SIM_FRAMEWORK_LOG_COMPONENT_H_
#define QUORVEL_SIM_FRAMEWORK_LOG_COMPONENT_H_

#include <atomic>
#include <memory>
#include <vector>

#include "log_interfaces.h"
#include "recording_sink.h"
#include "sync.h"

namespace pxcom {

// Thread safety: every method may be called from any thread. The component
// deletes itself, and every sink it still owns, when its count reaches zero.
class LogComponent final : public ILogComponent {
 public:
  // Returns a new component holding one reference for the caller.
  static LogComponent* Create();

  LogComponent(const LogComponent&) = delete;
  LogComponent& operator=(const LogComponent&) = delete;

  Result PX_STDCALL QueryInterface(const Guid& iid, void** out) override;
  uint32_t PX_STDCALL AddRef() override;
  uint32_t PX_STDCALL Release() override;
  Result PX_STDCALL CreateSink(int32_t id, ILogSink** sink) override;
  // Refuses, with kInvalidArg, a sink this component did not create or has
  // already destroyed, rather than freeing memory it does not own.
  Result PX_STDCALL DestroySink(int32_t id, ILogSink* sink) override;

 private:
  LogComponent() = default;
  ~LogComponent();

  std::atomic<uint32_t> references_{1};
  Mutex mu_;
  std::vector<std::unique_ptr<RecordingSink>> sinks_;  // guarded by mu_
};

}  // namespace pxcom

#endif  // QUORVEL_SIM_FRAMEWORK_LOG_COMPONENT_H_
