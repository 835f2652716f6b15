#include "log_component.h"

#include <algorithm>

#include "monitor.h"

namespace pxcom {

LogComponent* LogComponent::Create() {
  Monitor::Instance().ComponentBorn();
  return new LogComponent();
}

LogComponent::~LogComponent() { Monitor::Instance().ComponentGone(); }

Result PX_STDCALL LogComponent::QueryInterface(const Guid& iid, void** out) {
  Monitor::Instance().Count(&PxCounters::queryInterfaceCalls);
  if (out == nullptr) return kPointer;
  if (!(iid == kIidLogComponent || iid == kIidUnknown)) {
    *out = nullptr;
    return kNoInterface;
  }
  AddRef();
  *out = static_cast<ILogComponent*>(this);
  return kOk;
}

uint32_t PX_STDCALL LogComponent::AddRef() {
  Monitor::Instance().Count(&PxCounters::addRefCalls);
  return ++references_;
}

uint32_t PX_STDCALL LogComponent::Release() {
  Monitor::Instance().Count(&PxCounters::releaseCalls);
  const uint32_t left = --references_;
  if (left == 0) delete this;
  Monitor::Instance().InjectCallFault(PX_CALL_RELEASE);
  return left;
}

Result PX_STDCALL LogComponent::CreateSink(int32_t id, ILogSink** sink) {
  Monitor& monitor = Monitor::Instance();
  monitor.LogCreateSink(id);
  monitor.InjectCallFault(PX_CALL_CREATE_SINK);
  if (sink == nullptr) return kPointer;
  *sink = nullptr;
  const Knobs knobs = monitor.GetKnobs();
  if (knobs.create_sink_failure < 0) return knobs.create_sink_failure;
  if (knobs.null_sink) return kOk;
  MutexLock hold(&mu_);
  sinks_.push_back(std::make_unique<RecordingSink>());
  *sink = sinks_.back().get();
  return kOk;
}

Result PX_STDCALL LogComponent::DestroySink(int32_t id, ILogSink* sink) {
  Monitor::Instance().InjectCallFault(PX_CALL_DESTROY_SINK);
  bool matched;
  {
    MutexLock hold(&mu_);
    auto owned =
        std::find_if(sinks_.begin(), sinks_.end(), [sink](const std::unique_ptr<RecordingSink>& s) {
          return sink != nullptr && s.get() == sink;
        });
    matched = owned != sinks_.end();
    if (matched) sinks_.erase(owned);
  }
  Monitor::Instance().LogDestroySink(id, matched);
  return matched ? kOk : kInvalidArg;
}

}  // namespace pxcom
