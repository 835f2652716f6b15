// The log component and sink that the component framework creates. They are
// COM-style: every slot is stdcall and the tables hold no destructor.
#ifndef QUORVEL_DIAGNOSTICS_LOG_INTERFACES_H_
#define QUORVEL_DIAGNOSTICS_LOG_INTERFACES_H_

#include <cstdarg>

#include "platform/win32.h"

namespace qrv {

// The framework declares these interfaces itself: the modules share the
// table layout, not the C++ type, so calls through them are exempt from
// UBSan's vptr check.
#if defined(_WIN32)
#define QRV_CALLS_FOREIGN_INTERFACES
#else
#define QRV_CALLS_FOREIGN_INTERFACES __attribute__((no_sanitize("vptr")))
#endif

// {D7CF243E-7DD7-4432-A1D0-8CEA5CA7DE79}
constexpr GUID CLSID_LogComponent = {
    0xD7CF243E, 0x7DD7, 0x4432, {0xA1, 0xD0, 0x8C, 0xEA, 0x5C, 0xA7, 0xDE, 0x79}};
// {1A0FBAC3-FEBD-4FBC-8079-A0D559BCE348}
constexpr GUID IID_ILogComponent = {
    0x1A0FBAC3, 0xFEBD, 0x4FBC, {0x80, 0x79, 0xA0, 0xD5, 0x59, 0xBC, 0xE3, 0x48}};

class ILogSink {
 public:
  // Slot 0 is never called.
  virtual void WINAPI Reserved() = 0;
  // Renders the format with the caller's argument list. Must accept
  // concurrent calls.
  virtual LONG WINAPI VPrint(const char* format, va_list arguments) = 0;

 protected:
  ~ILogSink() = default;
};

class ILogComponent {
 public:
  virtual HRESULT WINAPI QueryInterface(const IID& iid, void** object) = 0;
  virtual ULONG WINAPI AddRef() = 0;
  virtual ULONG WINAPI Release() = 0;
  virtual HRESULT WINAPI CreateSink(LONG sinkId, ILogSink** sink) = 0;
  virtual HRESULT WINAPI DestroySink(LONG sinkId, ILogSink* sink) = 0;

 protected:
  ~ILogComponent() = default;
};

}  // namespace qrv

#endif  // QUORVEL_DIAGNOSTICS_LOG_INTERFACES_H_
