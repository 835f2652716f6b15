#include "monitor.h"

#include <cstdio>
#include <new>

#include "fault.h"

namespace pxcom {

namespace {

// Never destroyed: at process exit the module's static destructors run while
// another module's threads may still log through a sink into the monitor.
// Its heap memory is given back at unload instead (see Releaser), so a host
// that unloads the module leaks nothing.
alignas(Monitor) unsigned char g_storage[sizeof(Monitor)];

struct Releaser {
  Releaser() = default;
  Releaser(const Releaser&) = delete;
  Releaser& operator=(const Releaser&) = delete;
  ~Releaser() { Monitor::Instance().FreeRecords(); }
};
Releaser g_releaser;

}  // namespace

Monitor& Monitor::Instance() {
  static Monitor* monitor = new (g_storage) Monitor();
  return *monitor;
}

Knobs Monitor::GetKnobs() {
  MutexLock hold(&mu_);
  return knobs_;
}

void Monitor::SetCallFault(PxCall call, PxFault fault) {
  MutexLock hold(&mu_);
  knobs_.call_faults[call] = fault;
}

void Monitor::InjectCallFault(PxCall call) {
  PxFault fault;
  {
    MutexLock hold(&mu_);
    fault = knobs_.call_faults[call];
  }
  InjectFault(fault);
}

void Monitor::SetLineCallback(PxLineCallback callback, void* context) {
  // Taking callback_mu_ waits out a callback that is running right now.
  MutexLock hold(&callback_mu_);
  callback_ = callback;
  callback_context_ = context;
}

void Monitor::Reset() {
  MutexLock hold(&mu_);
  knobs_ = Knobs();
  const int32_t live = counters_.liveComponents;
  counters_ = PxCounters{};
  counters_.liveComponents = live;
  create_sink_ids_.clear();
  destroy_sink_calls_.clear();
  ClearRecordsLocked();
}

void Monitor::Count(int32_t PxCounters::*counter) {
  MutexLock hold(&mu_);
  ++(counters_.*counter);
}

void Monitor::ComponentBorn() {
  MutexLock hold(&mu_);
  ++counters_.componentsCreated;
  ++counters_.liveComponents;
}

void Monitor::ComponentGone() {
  MutexLock hold(&mu_);
  --counters_.liveComponents;
}

void Monitor::LogCreateSink(int32_t id) {
  MutexLock hold(&mu_);
  ++counters_.createSinkCalls;
  create_sink_ids_.push_back(id);
}

void Monitor::LogDestroySink(int32_t id, bool sink_matched) {
  MutexLock hold(&mu_);
  ++counters_.destroySinkCalls;
  if (!sink_matched) ++counters_.destroySinkMismatches;
  destroy_sink_calls_.push_back({id, sink_matched});
}

void Monitor::AddRecord(const char* format, const std::string& text) {
  bool echo;
  {
    MutexLock hold(&mu_);
    records_.push_back({format, text});
    echo = knobs_.echo;
    // Signalled under the lock, so that a waiter that sees the record also
    // sees everything this thread did before it (the last record of a
    // thread that then ends included).
    record_added_.SignalAll();
  }
  // One fprintf per line keeps concurrent lines from interleaving.
  if (echo) std::fprintf(stderr, "%s\n", text.c_str());
  MutexLock hold(&callback_mu_);
  if (callback_ != nullptr) callback_(callback_context_, text.c_str());
}

PxCounters Monitor::GetCounters() {
  MutexLock hold(&mu_);
  return counters_;
}

bool Monitor::GetCreateSinkId(int32_t index, int32_t* id) {
  MutexLock hold(&mu_);
  if (index < 0 || static_cast<size_t>(index) >= create_sink_ids_.size()) return false;
  *id = create_sink_ids_[index];
  return true;
}

bool Monitor::GetDestroySinkCall(int32_t index, DestroySinkCall* call) {
  MutexLock hold(&mu_);
  if (index < 0 || static_cast<size_t>(index) >= destroy_sink_calls_.size()) return false;
  *call = destroy_sink_calls_[index];
  return true;
}

int32_t Monitor::RecordCount() {
  MutexLock hold(&mu_);
  return static_cast<int32_t>(records_.size());
}

bool Monitor::GetRecord(int32_t index, Record* record) {
  MutexLock hold(&mu_);
  if (index < 0 || static_cast<size_t>(index) >= records_.size()) return false;
  *record = records_[index];
  return true;
}

void Monitor::ClearRecords() {
  MutexLock hold(&mu_);
  ClearRecordsLocked();
}

void Monitor::FreeRecords() {
  MutexLock hold(&mu_);
  std::vector<int32_t>().swap(create_sink_ids_);
  std::vector<DestroySinkCall>().swap(destroy_sink_calls_);
  std::vector<Record>().swap(records_);
  ++records_generation_;
}

void Monitor::ClearRecordsLocked() {
  records_.clear();
  ++records_generation_;
}

bool Monitor::WaitForText(const char* text, int32_t timeout_ms) {
  const uint64_t deadline = MonotonicMs() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  MutexLock hold(&mu_);
  // Records are append-only between clears, so each wake only scans the new
  // ones; a clear restarts the scan.
  size_t scanned = 0;
  uint64_t generation = records_generation_;
  for (;;) {
    if (generation != records_generation_) {
      generation = records_generation_;
      scanned = 0;
    }
    for (; scanned < records_.size(); ++scanned) {
      if (records_[scanned].text == text) return true;
    }
    const uint64_t now = MonotonicMs();
    if (now >= deadline) return false;
    record_added_.WaitFor(&mu_, static_cast<uint32_t>(deadline - now));
  }
}

int32_t Monitor::CountText(const char* text) {
  MutexLock hold(&mu_);
  int32_t count = 0;
  for (const Record& record : records_) count += record.text == text ? 1 : 0;
  return count;
}

}  // namespace pxcom
