// The library's one diagnostic output.
#ifndef QUORVEL_DIAGNOSTICS_LOG_CHANNEL_H_
#define QUORVEL_DIAGNOSTICS_LOG_CHANNEL_H_

#include <atomic>

#include "diagnostics/component_library.h"
#include "diagnostics/log_interfaces.h"
#include "platform/process_lock.h"
#include "platform/win32.h"

namespace qrv {

// Checks each Print against its format (`this` is argument 1). Windows'
// DWORD is unsigned long: one printed with %x is cast to unsigned int.
#if defined(__GNUC__) || defined(__clang__)
#define QRV_PRINTF_FORMAT(formatIndex, firstArgument) \
  __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define QRV_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

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
  // whatever the sink raises is swallowed.
  void Print(const char* format, ...) QRV_PRINTF_FORMAT(2, 3);
  // Gives the sink back, then releases the component and the framework; the
  // channel ends closed whatever the framework raises.
  void Shutdown();

 private:
  friend class ProcessContext;  // the owner
  LogChannel() = default;
  HRESULT Bind() QRV_REQUIRES(ProcessLock());
  HRESULT CreateComponentAndSink(ComponentLibrary::CoCreateInstanceEntry createInstance);

  std::atomic<bool> ready_{false};
  std::atomic<ILogSink*> sink_{nullptr};
  ILogComponent* component_ = nullptr;
  HMODULE framework_ = nullptr;  // one reference on the framework while open
};

}  // namespace qrv

#endif  // QUORVEL_DIAGNOSTICS_LOG_CHANNEL_H_
