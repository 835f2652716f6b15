// The control API: a C face over the Monitor.
#include <algorithm>
#include <cstring>
#include <string>

#include "fault.h"
#include "monitor.h"
#include "px_control.h"

using pxcom::Knobs;
using pxcom::Monitor;

namespace {

// Copies as much of `source` as fits, always zero-terminated.
void CopyOut(const std::string& source, char* buffer, int32_t size, int32_t* length) {
  if (length != nullptr) *length = static_cast<int32_t>(source.size());
  if (buffer == nullptr || size <= 0) return;
  const size_t n = std::min(source.size(), static_cast<size_t>(size) - 1);
  std::memcpy(buffer, source.data(), n);
  buffer[n] = '\0';
}

}  // namespace

void PxControl_Reset(void) { Monitor::Instance().Reset(); }

void PxControl_FailCreateInstance(int32_t result) {
  Monitor::Instance().SetKnob(&Knobs::create_instance_failure, result);
}

void PxControl_FailCreateSink(int32_t result) {
  Monitor::Instance().SetKnob(&Knobs::create_sink_failure, result);
}

void PxControl_SetNullSink(int32_t on) { Monitor::Instance().SetKnob(&Knobs::null_sink, on != 0); }

int32_t PxControl_SetVPrintFault(int32_t fault) {
  if (!pxcom::FaultAvailable(fault)) return 0;
  Monitor::Instance().SetKnob(&Knobs::vprint_fault, static_cast<PxFault>(fault));
  return 1;
}

int32_t PxControl_SetCallFault(int32_t call, int32_t fault) {
  if (call < 0 || call >= PX_CALL_COUNT || !pxcom::FaultAvailable(fault)) return 0;
  Monitor::Instance().SetCallFault(static_cast<PxCall>(call), static_cast<PxFault>(fault));
  return 1;
}

void PxControl_SetEcho(int32_t on) { Monitor::Instance().SetKnob(&Knobs::echo, on != 0); }

void PxControl_SetLineCallback(PxLineCallback callback, void* context) {
  Monitor::Instance().SetLineCallback(callback, context);
}

void PxControl_SetVPrintHook(PxVPrintHook hook, void* context) {
  Monitor::Instance().SetKnob(&Knobs::vprint_hook, pxcom::VPrintHook{hook, context});
}

void PxControl_GetCounters(PxCounters* out) {
  if (out != nullptr) *out = Monitor::Instance().GetCounters();
}

int32_t PxControl_GetCreateSinkId(int32_t index, int32_t* id) {
  int32_t value = 0;
  if (!Monitor::Instance().GetCreateSinkId(index, &value)) return 0;
  if (id != nullptr) *id = value;
  return 1;
}

int32_t PxControl_GetDestroySinkCall(int32_t index, int32_t* id, int32_t* sinkMatched) {
  pxcom::DestroySinkCall call;
  if (!Monitor::Instance().GetDestroySinkCall(index, &call)) return 0;
  if (id != nullptr) *id = call.id;
  if (sinkMatched != nullptr) *sinkMatched = call.sink_matched ? 1 : 0;
  return 1;
}

int32_t PxControl_RecordCount(void) { return Monitor::Instance().RecordCount(); }

int32_t PxControl_GetRecord(int32_t index, char* format, int32_t formatSize, int32_t* formatLength,
                            char* text, int32_t textSize, int32_t* textLength) {
  pxcom::Record record;
  if (!Monitor::Instance().GetRecord(index, &record)) return 0;
  CopyOut(record.format, format, formatSize, formatLength);
  CopyOut(record.text, text, textSize, textLength);
  return 1;
}

void PxControl_ClearRecords(void) { Monitor::Instance().ClearRecords(); }

int32_t PxControl_WaitForText(const char* text, int32_t timeoutMs) {
  if (text == nullptr) return 0;
  return Monitor::Instance().WaitForText(text, timeoutMs) ? 1 : 0;
}

int32_t PxControl_CountText(const char* text) {
  if (text == nullptr) return 0;
  return Monitor::Instance().CountText(text);
}
