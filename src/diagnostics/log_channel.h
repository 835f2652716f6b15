// The library's one diagnostic output.
#ifndef QUORVEL_DIAGNOSTICS_LOG_CHANNEL_H_
#define QUORVEL_DIAGNOSTICS_LOG_CHANNEL_H_

#include <atomic>

#include "diagnostics/component_library.h"
#include "diagnostics/log_interfaces.h"
#include "platform/process_lock.h"
#include "platform/win32.h"

namespace qrv {

// Hands each message, a format and its arguments as given, to the sink of a
// log component the framework creates; closed, it drops them. Open and
// Shutdown run under the process-wide lock, Shutdown once no thread can still
// print; Print runs on any thread at any time and takes no lock.
class LogChannel {
 public:
  LogChannel(const LogChannel&) = delete;
  LogChannel& operator=(const LogChannel&) = delete;

  // The process-wide channel, valid from module attach to detach; nothing it
  // binds is released at unload.
  static LogChannel& Instance();

  // 0 when already open; -1 when the framework is not bound; otherwise the
  // framework's or CreateSink's negative result (E_FAIL when either raised,
  // or no component came back), or CreateSink's result. From success until
  // Shutdown, never released at unload, holds a reference on the framework.
  HRESULT Open() QRV_REQUIRES(ProcessLock());
  // Dropped when the channel is closed, the format null or the sink missing;
  // whatever the sink raises is swallowed. Checked against the format:
  // Windows' DWORD is unsigned long, so one printed with %x is cast.
  [[gnu::format(printf, 2, 3)]] void Print(const char* format, ...);
  // Gives the sink back, then releases the component and the framework; the
  // channel ends closed whatever the framework raises.
  void Shutdown();

 private:
  friend class ProcessContext;  // the owner
  LogChannel() = default;
  HRESULT CreateComponentAndSink(ComponentLibrary::CoCreateInstanceEntry createInstance);

  std::atomic<bool> ready_{false};
  std::atomic<ILogSink*> sink_{nullptr};
  ILogComponent* component_ = nullptr;
  HMODULE framework_ = nullptr;  // one reference on the framework while open
};

}  // namespace qrv

#endif  // QUORVEL_DIAGNOSTICS_LOG_CHANNEL_H_
