// The framework module's one record of what its callers did, and the knobs
// that make its log component misbehave on purpose. The control API
// (px_control.h) reads and sets it; the component and its sinks report to it.
//
// Thread safety: every method may be called from any thread; all state is
// behind one mutex. The line callback runs under a second lock of its own,
// never under the first, so a callback may read records.
#ifndef QUORVEL_SIM_FRAMEWORK_MONITOR_H_
#define QUORVEL_SIM_FRAMEWORK_MONITOR_H_

#include <cstdint>
#include <string>
#include <vector>

#include "px_control.h"
#include "sync.h"

namespace pxcom {

struct VPrintHook {
  PxVPrintHook call = nullptr;
  void* context = nullptr;
};

struct Knobs {
  int32_t create_instance_failure = 0;  // negative: TzCoCreateInstance fails with it
  int32_t create_sink_failure = 0;      // negative: CreateSink fails with it
  bool null_sink = false;
  PxFault vprint_fault = PX_FAULT_NONE;
  PxFault call_faults[PX_CALL_COUNT] = {};  // indexed by PxCall
  bool echo = false;
  VPrintHook vprint_hook;
};

struct Record {
  std::string format;
  std::string text;
};

struct DestroySinkCall {
  int32_t id;
  bool sink_matched;
};

class Monitor {
 public:
  // The module's instance; never destroyed, so a thread that logs while the
  // process exits still finds it.
  static Monitor& Instance();

  Monitor() = default;
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  Knobs GetKnobs();
  template <typename T>
  void SetKnob(T Knobs::*knob, T value) {
    MutexLock hold(&mu_);
    knobs_.*knob = value;
  }
  void SetCallFault(PxCall call, PxFault fault);
  // Raises the fault set for `call`, if any, on the calling thread.
  void InjectCallFault(PxCall call);
  void SetLineCallback(PxLineCallback callback, void* context);
  // Clears everything but liveComponents and the line callback.
  void Reset();

  void Count(int32_t PxCounters::*counter);
  void ComponentBorn();
  void ComponentGone();
  void LogCreateSink(int32_t id);
  void LogDestroySink(int32_t id, bool sink_matched);
  // Stores the record, wakes waiters, then echoes and calls the callback.
  void AddRecord(const char* format, const std::string& text);

  PxCounters GetCounters();
  bool GetCreateSinkId(int32_t index, int32_t* id);
  bool GetDestroySinkCall(int32_t index, DestroySinkCall* call);
  int32_t RecordCount();
  bool GetRecord(int32_t index, Record* record);
  void ClearRecords();
  // Drops the records and call logs and gives their memory back; the module
  // calls it as it unloads. Records added later start a new list.
  void FreeRecords();
  bool WaitForText(const char* text, int32_t timeout_ms);
  int32_t CountText(const char* text);

 private:
  void ClearRecordsLocked();

  Mutex mu_;
  CondVar record_added_;
  Knobs knobs_;
  PxCounters counters_ = {};
  std::vector<int32_t> create_sink_ids_;
  std::vector<DestroySinkCall> destroy_sink_calls_;
  std::vector<Record> records_;
  // Bumped by every clear, so that a waiter knows its scan position is stale.
  uint64_t records_generation_ = 0;

  Mutex callback_mu_;  // held while the callback runs
  PxLineCallback callback_ = nullptr;
  void* callback_context_ = nullptr;
};

}  // namespace pxcom

#endif  // QUORVEL_SIM_FRAMEWORK_MONITOR_H_
