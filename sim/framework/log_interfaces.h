// The log component's binary interface, as the framework defines it.
//
// This is the framework's own copy of the layout; it deliberately shares no
// header with the library, so that a slot-order or calling-convention mistake
// on either side shows up as a test failure instead of being agreed upon.
//
// Layout rules: every slot is __stdcall on Windows (COM-style; GCC would
// otherwise use thiscall); the interfaces have no virtual destructor, because
// GCC's takes two vtable slots; results are signed 32-bit, negative = failure.
#ifndef QUORVEL_SIM_FRAMEWORK_LOG_INTERFACES_H_
#define QUORVEL_SIM_FRAMEWORK_LOG_INTERFACES_H_

#include <cstdarg>
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#define PX_STDCALL __stdcall
#else
#define PX_STDCALL
#endif

namespace pxcom {

using Result = int32_t;  // HRESULT

constexpr Result kOk = 0;                                         // S_OK
constexpr Result kNoInterface = static_cast<Result>(0x80004002);  // E_NOINTERFACE
constexpr Result kPointer = static_cast<Result>(0x80004003);      // E_POINTER
constexpr Result kFail = static_cast<Result>(0x80004005);         // E_FAIL
constexpr Result kInvalidArg = static_cast<Result>(0x80070057);   // E_INVALIDARG
constexpr Result kClassNotReg = static_cast<Result>(0x80040154);  // REGDB_E_CLASSNOTREG

// The platform's standard 16-byte GUID layout.
struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16, "GUID layout");

inline bool operator==(const Guid& a, const Guid& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// {D7CF243E-7DD7-4432-A1D0-8CEA5CA7DE79}
constexpr Guid kClsidLogComponent = {
    0xD7CF243E, 0x7DD7, 0x4432, {0xA1, 0xD0, 0x8C, 0xEA, 0x5C, 0xA7, 0xDE, 0x79}};
// {1A0FBAC3-FEBD-4FBC-8079-A0D559BCE348}
constexpr Guid kIidLogComponent = {
    0x1A0FBAC3, 0xFEBD, 0x4FBC, {0x80, 0x79, 0xA0, 0xD5, 0x59, 0xBC, 0xE3, 0x48}};
// {00000000-0000-0000-C000-000000000046}
constexpr Guid kIidUnknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// A sink renders and delivers messages. It is owned by the component that
// created it and lives until DestroySink; VPrint may be called from any
// number of threads at once.
class ILogSink {
 public:
  // Slot 0: reserved; callers never use it.
  virtual Result PX_STDCALL Reserved() = 0;
  // Slot 1: renders `format` with `args` (standard formatted-output
  // conventions) and returns the rendered length, or a negative failure.
  virtual Result PX_STDCALL VPrint(const char* format, va_list args) = 0;

 protected:
  ~ILogSink() = default;
};

// The reference-counted log component. Slots 0-2 are the usual
// QueryInterface/AddRef/Release.
class ILogComponent {
 public:
  virtual Result PX_STDCALL QueryInterface(const Guid& iid, void** out) = 0;
  virtual uint32_t PX_STDCALL AddRef() = 0;
  virtual uint32_t PX_STDCALL Release() = 0;
  // Slot 3: creates a sink for selector `id` and stores it in *sink.
  virtual Result PX_STDCALL CreateSink(int32_t id, ILogSink** sink) = 0;
  // Slot 4: destroys a sink that CreateSink of this component returned.
  virtual Result PX_STDCALL DestroySink(int32_t id, ILogSink* sink) = 0;

 protected:
  ~ILogComponent() = default;
};

}  // namespace pxcom

#endif  // QUORVEL_SIM_FRAMEWORK_LOG_INTERFACES_H_
