// The library's one diagnostic output.
#ifndef QUORVEL_DIAGNOSTICS_LOG_CHANNEL_H_
#define QUORVEL_DIAGNOSTICS_LOG_CHANNEL_H_

#include <atomic>

#include "diagnostics/log_interfaces.h"
#include "platform/win32.h"

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

  // The process-wide channel; never destroyed, and nothing is released at
  // unload.
  static LogChannel& Instance();

  // 0 when already open; -1 when the framework is not bound; otherwise the
  // framework's or CreateSink's negative result, or CreateSink's result on
  // success.
  HRESULT Open();
  // E_FAIL when the channel is closed, the format null, the sink missing, or
  // the sink raised an exception; otherwise the sink's result.
  HRESULT Print(const char* format, ...);
  // Gives the sink back and drops the channel's reference on the component.
  void Shutdown();

 private:
  LogChannel() = default;
  HRESULT Bind();

  LONG sinkId_ = -1;
  std::atomic<bool> ready_{false};
  std::atomic<ILogSink*> sink_{nullptr};
  ILogComponent* component_ = nullptr;
};

#endif  // QUORVEL_DIAGNOSTICS_LOG_CHANNEL_H_
