// The library's one diagnostic output.
#ifndef QUORVEL_DIAGNOSTICS_LOG_CHANNEL_H_
#define QUORVEL_DIAGNOSTICS_LOG_CHANNEL_H_

#include <atomic>

#include "diagnostics/component_library.h"
#include "diagnostics/log_interfaces.h"
#include "platform/process_lock.h"
#include "platform/static_object.h"
#include "platform/win32.h"

namespace qrv {

// Lets the compiler check each Print's arguments against its format (the
// implicit `this` is argument 1). Windows' DWORD is unsigned long, so a
// DWORD printed with %x is cast to unsigned int at the call.
#if defined(__GNUC__) || defined(__clang__)
#define QRV_PRINTF_FORMAT(formatIndex, firstArgument) \
  __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define QRV_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

// Hands every message, as a format and its arguments, to the sink of a log
// component that the component framework creates. One message is one Print
// call; the channel adds nothing to it. Closed, it drops messages silently.
//
// Open and Shutdown run only under the process-wide lock, and Shutdown only
// once no other thread can still print. Print may be called from any thread
// at any time and takes no lock.
class LogChannel {
 public:
  static constexpr LONG kSinkId = 4;

  LogChannel(const LogChannel&) = delete;
  LogChannel& operator=(const LogChannel&) = delete;

  // The process-wide channel, valid from Create to Destroy; nothing it binds
  // is released at unload.
  static LogChannel& Instance();
  // Called only by the process context, which decides the channel's life:
  // at module attach and at module detach.
  static void Create();
  static void Destroy();

  // 0 when already open; -1 when the framework is not bound; otherwise the
  // framework's or CreateSink's negative result (E_FAIL when either raised,
  // or the framework gave no component), or CreateSink's result on success.
  // Holds one reference on the framework module from success to Shutdown.
  HRESULT Open() QRV_REQUIRES(ProcessLock());
  // Hands the message to the sink; dropped when the channel is closed, the
  // format null or the sink missing. Whatever the sink raises is swallowed.
  void Print(const char* format, ...) QRV_PRINTF_FORMAT(2, 3);
  // Gives the sink back, drops the channel's reference on the component and
  // then its reference on the framework module. Whatever the framework
  // raises meanwhile, the channel ends closed.
  void Shutdown();

 private:
  friend class StaticObject<LogChannel>;
  LogChannel() = default;
  HRESULT Bind() QRV_REQUIRES(ProcessLock());
  HRESULT CreateComponentAndSink(ComponentLibrary::CoCreateInstanceEntry createInstance);

  LONG sinkId_ = -1;
  std::atomic<bool> ready_{false};
  std::atomic<ILogSink*> sink_{nullptr};
  ILogComponent* component_ = nullptr;
  HMODULE framework_ = nullptr;  // one reference on the framework while open
};

}  // namespace qrv

#endif  // QUORVEL_DIAGNOSTICS_LOG_CHANNEL_H_
