// Everything that crosses to the driver: the control device, the control
// codes and the byte layout of every request and answer. All records are
// little-endian with exact sizes; the sizes are the lengths passed with each
// request.
#ifndef QUORVEL_CONNECTION_PROTOCOL_H_
#define QUORVEL_CONNECTION_PROTOCOL_H_

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace qrv {

// Wide-character path and open mode of the driver's control device.
constexpr const wchar_t* kControlDevicePath = L"\\\\.\\QRVDev";
constexpr DWORD kControlDeviceAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kControlDeviceShareMode = 0;
constexpr DWORD kControlDeviceDisposition = OPEN_EXISTING;
constexpr DWORD kControlDeviceFlags = FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL;
static_assert(kControlDeviceAccess == 0xC0000000u, "open mode");
static_assert(kControlDeviceDisposition == 3u, "open mode");
static_assert(kControlDeviceFlags == 0x40000080u, "open mode");

constexpr uint32_t UC_MAX_PORTS = 16;  // ports are 0..15; 16 means no port
// The letters E, c, h, o with the first in the most significant byte, so
// that its bytes in memory read 6F 68 63 45.
constexpr uint32_t UC_ECHO_MAGIC =
    (uint32_t{'E'} << 24) | (uint32_t{'c'} << 16) | (uint32_t{'h'} << 8) | uint32_t{'o'};
constexpr uint32_t kEchoServiceId = 15;        // ServiceId of the echo port request
constexpr uint32_t kReceiveBufferSize = 1024;  // output of every ordinary receive
static_assert(UC_ECHO_MAGIC == 0x4563686Fu, "echo magic");

constexpr DWORD kUcDeviceType = 0x8300;
constexpr DWORD IOCTL_UC_CREATE_ECHO_PORT =
    CTL_CODE(kUcDeviceType, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD IOCTL_UC_ECHO = CTL_CODE(kUcDeviceType, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD IOCTL_UC_CLOSE_ECHO_PORT =
    CTL_CODE(kUcDeviceType, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD IOCTL_UC_ALLOCATE_PORT =
    CTL_CODE(kUcDeviceType, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD IOCTL_UC_FREE_PORT =
    CTL_CODE(kUcDeviceType, 0x905, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD IOCTL_UC_BIND_THREAD =
    CTL_CODE(kUcDeviceType, 0x906, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD IOCTL_UC_RECEIVE =
    CTL_CODE(kUcDeviceType, 0x907, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr DWORD IOCTL_UC_REPLY = CTL_CODE(kUcDeviceType, 0x908, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
static_assert(IOCTL_UC_CREATE_ECHO_PORT == 0x83002404u, "control code");
static_assert(IOCTL_UC_ECHO == 0x83002408u, "control code");
static_assert(IOCTL_UC_CLOSE_ECHO_PORT == 0x8300240Cu, "control code");
static_assert(IOCTL_UC_ALLOCATE_PORT == 0x83002410u, "control code");
static_assert(IOCTL_UC_FREE_PORT == 0x83002414u, "control code");
static_assert(IOCTL_UC_BIND_THREAD == 0x83002418u, "control code");
static_assert(IOCTL_UC_RECEIVE == 0x8300241Eu, "control code");
static_assert(IOCTL_UC_REPLY == 0x83002421u, "control code");

// Whether the driver writes each code's output (it only reads the reply's
// answer, which is the host's memory), and the code that gives back a port
// its success grants, also when the success comes after the library gave up.
struct ControlCode {
  DWORD code;
  bool driverWritesOutput;
  DWORD giveBack;  // the code that returns what a success grants; 0 for nothing
};
constexpr ControlCode kControlCodes[] = {
    {IOCTL_UC_CREATE_ECHO_PORT, true, IOCTL_UC_CLOSE_ECHO_PORT},
    {IOCTL_UC_ECHO, true, 0},
    {IOCTL_UC_CLOSE_ECHO_PORT, true, 0},
    {IOCTL_UC_ALLOCATE_PORT, true, IOCTL_UC_FREE_PORT},
    {IOCTL_UC_FREE_PORT, true, 0},
    {IOCTL_UC_BIND_THREAD, true, 0},  // the thread's slot goes with its port
    {IOCTL_UC_RECEIVE, true, 0},
    {IOCTL_UC_REPLY, false, 0},
};

// The row of `code`; null for a code the protocol does not have.
constexpr const ControlCode* DescribeCode(DWORD code) {
  for (const ControlCode& row : kControlCodes) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

// Each row's direction is its transfer method's.
constexpr bool DirectionsFollowMethods() {
  for (const ControlCode& row : kControlCodes) {
    if (row.driverWritesOutput != ((row.code & 3) != METHOD_IN_DIRECT)) return false;
  }
  return true;
}
static_assert(DirectionsFollowMethods(), "buffer direction");
static_assert(!DescribeCode(IOCTL_UC_REPLY)->driverWritesOutput, "the answer is only read");

enum PortKind : uint8_t { kServicePort = 0, kEchoPort = 1 };

// Input of IOCTL_UC_CREATE_ECHO_PORT and IOCTL_UC_ALLOCATE_PORT. The three
// bytes after Kind mean nothing; they are always sent as zero.
struct PortRequest {
  uint8_t Kind;
  uint8_t Reserved[3];
  uint32_t ServiceId;
  uint32_t ThreadCount;
};
static_assert(sizeof(PortRequest) == 12, "PortRequest layout");
static_assert(offsetof(PortRequest, Kind) == 0, "PortRequest layout");
static_assert(offsetof(PortRequest, ServiceId) == 4, "PortRequest layout");
static_assert(offsetof(PortRequest, ThreadCount) == 8, "PortRequest layout");

// Input of IOCTL_UC_ECHO; the driver answers with UC_ECHO_MAGIC.
struct EchoPacket {
  uint32_t Port;
  uint32_t Magic;
};
static_assert(sizeof(EchoPacket) == 8, "EchoPacket layout");
static_assert(offsetof(EchoPacket, Port) == 0, "EchoPacket layout");
static_assert(offsetof(EchoPacket, Magic) == 4, "EchoPacket layout");

// Input of IOCTL_UC_RECEIVE. LargeBuffer is 1 only on a receive re-issued
// into a block of the size the driver reported.
struct ReceiveRequest {
  uint32_t Port;
  uint32_t ThreadIndex;
  uint8_t LargeBuffer;
  uint8_t Reserved[3];
};
static_assert(sizeof(ReceiveRequest) == 12, "ReceiveRequest layout");
static_assert(offsetof(ReceiveRequest, Port) == 0, "ReceiveRequest layout");
static_assert(offsetof(ReceiveRequest, ThreadIndex) == 4, "ReceiveRequest layout");
static_assert(offsetof(ReceiveRequest, LargeBuffer) == 8, "ReceiveRequest layout");

// Input of IOCTL_UC_REPLY; the answer travels as its output buffer.
struct ReplyHeader {
  uint32_t Port;
  uint32_t ThreadIndex;
};
static_assert(sizeof(ReplyHeader) == 8, "ReplyHeader layout");
static_assert(offsetof(ReplyHeader, Port) == 0, "ReplyHeader layout");
static_assert(offsetof(ReplyHeader, ThreadIndex) == 4, "ReplyHeader layout");

// Output of IOCTL_UC_RECEIVE. After a completed receive, Header is 0 when no
// reply is wanted; after a too-small report it is the size the whole message
// needs, Header included.
struct MessageBuffer {
  uint32_t Header;
  uint8_t Payload[1];
};
constexpr DWORD kMessageHeaderSize = 4;
static_assert(offsetof(MessageBuffer, Header) == 0, "MessageBuffer layout");
static_assert(offsetof(MessageBuffer, Payload) == kMessageHeaderSize, "MessageBuffer layout");

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_PROTOCOL_H_
