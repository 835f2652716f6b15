// Host-side handle on the framework stand-in module ("PXCOM.dll"): loads a
// variant, drives its knobs and reads what the library did with it.
//
// Link the static library pxcom_host (never a pxcom module itself: a test
// must be able to start with the framework not loaded). Linking pxcom_host
// makes the Linux variants build first and compiles in their directory
// (QRV_PXCOM_DIR), so PathOf() needs nothing from the consumer. On Windows
// only kFull exists; it is loaded by the bare name "PXCOM.dll", found next
// to the executable; use LoadPath() for anywhere else.
//
// Load at most one variant per process: all share the module name
// "PXCOM.dll", and a lookup by that name finds the first one loaded.
//
// Thread safety: every method except Unload() may be called from any thread.
#ifndef QUORVEL_SIM_FRAMEWORK_STAND_IN_H_
#define QUORVEL_SIM_FRAMEWORK_STAND_IN_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "px_control.h"

namespace pxcom {

class StandIn {
 public:
  enum class Variant {
    kFull,      // all 30 entries
    kNoUninit,  // lacks TzCoUninitialize, a required entry
    kMinimal,   // lacks the optional entries in kMinimalLacks
  };
  enum class Fault {
    kNone = PX_FAULT_NONE,
    kThrow = PX_FAULT_THROW,
    kAccessViolation = PX_FAULT_ACCESS_VIOLATION,  // Windows only
  };
  struct Record {
    std::string format;  // the format the library passed, unrendered
    std::string text;    // the rendered text
  };
  struct DestroySinkCall {
    int32_t id;
    bool sink_matched;  // the sink was one CreateSink of that component returned
  };

  // The entry names the kMinimal variant does not export.
  static constexpr const char* kMinimalLacks[] = {"TzCoBuildVersion", "TzGetPropertyCLSID",
                                                  "TzSetCLSIDProperty", "TzCoLoadLibraryW"};

  // The file the variant is built into.
  static std::string PathOf(Variant variant);
  // Loads the variant (Linux: dlopen(RTLD_NOW | RTLD_LOCAL); Windows:
  // LoadLibraryW). Returns null, with the reason in *error if given, when
  // the module cannot be loaded or lacks a control function.
  static std::unique_ptr<StandIn> Load(Variant variant, std::string* error = nullptr);
  static std::unique_ptr<StandIn> LoadPath(const std::string& path, std::string* error = nullptr);

  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;
  // Unloads the module unless StayLoaded() was called.
  ~StandIn();

  // Leaves the module loaded past this object's life (for a library that
  // may still log until process exit).
  void StayLoaded() { stay_loaded_ = true; }
  // Unloads now. REQUIRES: no thread is inside the module and nothing will
  // call into it again. Later calls of the other methods are not allowed.
  void Unload();
  // The module handle (Linux: the dlopen handle; Windows: the HMODULE).
  void* handle() const { return handle_; }
  // The address of an exported symbol, or null.
  void* Symbol(const char* name) const;

  // Knobs (see px_control.h).
  void Reset() { api_.reset(); }
  void FailCreateInstance(int32_t result) { api_.fail_create_instance(result); }
  void FailCreateSink(int32_t result) { api_.fail_create_sink(result); }
  void SetNullSink(bool on) { api_.set_null_sink(on ? 1 : 0); }
  // False when the fault is not available on this platform.
  bool SetVPrintFault(Fault fault) {
    return api_.set_vprint_fault(static_cast<int32_t>(fault)) != 0;
  }
  enum class Call {
    kCreateInstance = PX_CALL_CREATE_INSTANCE,
    kCreateSink = PX_CALL_CREATE_SINK,
    kRelease = PX_CALL_RELEASE,
    kDestroySink = PX_CALL_DESTROY_SINK,
  };
  // False when the fault is not available on this platform.
  bool SetCallFault(Call call, Fault fault) {
    return api_.set_call_fault(static_cast<int32_t>(call), static_cast<int32_t>(fault)) != 0;
  }
  void SetEcho(bool on) { api_.set_echo(on ? 1 : 0); }
  void SetLineCallback(PxLineCallback callback, void* context) {
    api_.set_line_callback(callback, context);
  }
  void SetVPrintHook(PxVPrintHook hook, void* context) { api_.set_vprint_hook(hook, context); }

  // Observation.
  PxCounters Counters() const;
  std::vector<int32_t> CreateSinkIds() const;
  std::vector<DestroySinkCall> DestroySinkCalls() const;
  int32_t RecordCount() const { return api_.record_count(); }
  std::vector<Record> Records() const;
  void ClearRecords() { api_.clear_records(); }
  bool WaitForText(const std::string& text, int timeout_ms) const {
    return api_.wait_for_text(text.c_str(), timeout_ms) != 0;
  }
  int CountText(const std::string& text) const { return api_.count_text(text.c_str()); }

 private:
  // The module's control functions, typed from their declarations.
  struct Api {
    decltype(&PxControl_Reset) reset;
    decltype(&PxControl_FailCreateInstance) fail_create_instance;
    decltype(&PxControl_FailCreateSink) fail_create_sink;
    decltype(&PxControl_SetNullSink) set_null_sink;
    decltype(&PxControl_SetVPrintFault) set_vprint_fault;
    decltype(&PxControl_SetCallFault) set_call_fault;
    decltype(&PxControl_SetEcho) set_echo;
    decltype(&PxControl_SetLineCallback) set_line_callback;
    decltype(&PxControl_SetVPrintHook) set_vprint_hook;
    decltype(&PxControl_GetCounters) get_counters;
    decltype(&PxControl_GetCreateSinkId) get_create_sink_id;
    decltype(&PxControl_GetDestroySinkCall) get_destroy_sink_call;
    decltype(&PxControl_RecordCount) record_count;
    decltype(&PxControl_GetRecord) get_record;
    decltype(&PxControl_ClearRecords) clear_records;
    decltype(&PxControl_WaitForText) wait_for_text;
    decltype(&PxControl_CountText) count_text;
  };

  explicit StandIn(void* handle) : handle_(handle) {}
  // Fills api_; on failure names the missing function in *missing.
  bool Resolve(std::string* missing);

  void* handle_;
  bool stay_loaded_ = false;
  Api api_ = {};
};

}  // namespace pxcom

#endif  // QUORVEL_SIM_FRAMEWORK_STAND_IN_H_
