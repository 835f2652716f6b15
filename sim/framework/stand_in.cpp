#include "stand_in.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace pxcom {

namespace {

#if defined(_WIN32)
void* OpenModule(const std::string& path, std::string* error) {
  std::wstring wide(path.size() + 1, L'\0');
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
  HMODULE module = n > 0 ? LoadLibraryW(wide.c_str()) : nullptr;
  if (module == nullptr) *error = "LoadLibraryW failed, error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(module);
}
void CloseModule(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }
void* FindSymbol(void* handle, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
#else
void* OpenModule(const std::string& path, std::string* error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  // dlerror's text is per thread in glibc and is read right after the
  // failing dlopen on the same thread.
  if (handle == nullptr) *error = dlerror();  // NOLINT(concurrency-mt-unsafe)
  return handle;
}
void CloseModule(void* handle) { dlclose(handle); }
void* FindSymbol(void* handle, const char* name) { return dlsym(handle, name); }
#endif

template <typename Function>
bool ResolveOne(void* handle, const char* name, Function* out, std::string* missing) {
  *out = reinterpret_cast<Function>(FindSymbol(handle, name));
  if (*out == nullptr) *missing = name;
  return *out != nullptr;
}

}  // namespace

std::string StandIn::PathOf(Variant variant) {
#if defined(_WIN32)
  (void)variant;
  return "PXCOM.dll";
#else
  const std::string dir = QRV_PXCOM_DIR "/";
  switch (variant) {
    case Variant::kNoUninit:
      return dir + "libpxcom_nouninit.so";
    case Variant::kMinimal:
      return dir + "libpxcom_minimal.so";
    case Variant::kFull:
      break;
  }
  return dir + "PXCOM.dll";
#endif
}

std::unique_ptr<StandIn> StandIn::Load(Variant variant, std::string* error) {
  return LoadPath(PathOf(variant), error);
}

std::unique_ptr<StandIn> StandIn::LoadPath(const std::string& path, std::string* error) {
  std::string reason;
  void* handle = OpenModule(path, &reason);
  std::unique_ptr<StandIn> stand_in;
  if (handle != nullptr) {
    stand_in.reset(new StandIn(handle));
    std::string missing;
    if (!stand_in->Resolve(&missing)) {
      reason = path + " lacks " + missing;
      stand_in.reset();
    }
  }
  if (stand_in == nullptr && error != nullptr) *error = reason;
  return stand_in;
}

StandIn::~StandIn() {
  if (!stay_loaded_) Unload();
}

void StandIn::Unload() {
  if (handle_ == nullptr) return;
  CloseModule(handle_);
  handle_ = nullptr;
  api_ = Api{};
}

void* StandIn::Symbol(const char* name) const {
  return handle_ == nullptr ? nullptr : FindSymbol(handle_, name);
}

bool StandIn::Resolve(std::string* missing) {
  return ResolveOne(handle_, "PxControl_Reset", &api_.reset, missing) &&
         ResolveOne(handle_, "PxControl_FailCreateInstance", &api_.fail_create_instance, missing) &&
         ResolveOne(handle_, "PxControl_FailCreateSink", &api_.fail_create_sink, missing) &&
         ResolveOne(handle_, "PxControl_SetNullSink", &api_.set_null_sink, missing) &&
         ResolveOne(handle_, "PxControl_SetVPrintFault", &api_.set_vprint_fault, missing) &&
         ResolveOne(handle_, "PxControl_SetCallFault", &api_.set_call_fault, missing) &&
         ResolveOne(handle_, "PxControl_SetEcho", &api_.set_echo, missing) &&
         ResolveOne(handle_, "PxControl_SetLineCallback", &api_.set_line_callback, missing) &&
         ResolveOne(handle_, "PxControl_SetVPrintHook", &api_.set_vprint_hook, missing) &&
         ResolveOne(handle_, "PxControl_GetCounters", &api_.get_counters, missing) &&
         ResolveOne(handle_, "PxControl_GetCreateSinkId", &api_.get_create_sink_id, missing) &&
         ResolveOne(handle_, "PxControl_GetDestroySinkCall", &api_.get_destroy_sink_call,
                    missing) &&
         ResolveOne(handle_, "PxControl_RecordCount", &api_.record_count, missing) &&
         ResolveOne(handle_, "PxControl_GetRecord", &api_.get_record, missing) &&
         ResolveOne(handle_, "PxControl_ClearRecords", &api_.clear_records, missing) &&
         ResolveOne(handle_, "PxControl_WaitForText", &api_.wait_for_text, missing) &&
         ResolveOne(handle_, "PxControl_CountText", &api_.count_text, missing);
}

PxCounters StandIn::Counters() const {
  PxCounters counters = {};
  api_.get_counters(&counters);
  return counters;
}

std::vector<int32_t> StandIn::CreateSinkIds() const {
  std::vector<int32_t> ids;
  int32_t id = 0;
  for (int32_t i = 0; api_.get_create_sink_id(i, &id) != 0; ++i) ids.push_back(id);
  return ids;
}

std::vector<StandIn::DestroySinkCall> StandIn::DestroySinkCalls() const {
  std::vector<DestroySinkCall> calls;
  int32_t id = 0;
  int32_t matched = 0;
  for (int32_t i = 0; api_.get_destroy_sink_call(i, &id, &matched) != 0; ++i) {
    calls.push_back({id, matched != 0});
  }
  return calls;
}

std::vector<StandIn::Record> StandIn::Records() const {
  std::vector<Record> records;
  for (int32_t i = 0;; ++i) {
    int32_t format_length = 0;
    int32_t text_length = 0;
    if (api_.get_record(i, nullptr, 0, &format_length, nullptr, 0, &text_length) == 0) break;
    Record record;
    record.format.resize(static_cast<size_t>(format_length));
    record.text.resize(static_cast<size_t>(text_length));
    // Both strings have room for the terminator the copy appends. A record
    // never changes once stored; a clear in between ends the list.
    if (api_.get_record(i, &record.format[0], format_length + 1, nullptr, &record.text[0],
                        text_length + 1, nullptr) == 0) {
      break;
    }
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace pxcom
