// The simulated driver's own tables of the control protocol: control codes,
// record sizes and field offsets, written out as literals.
//
// They are deliberately not derived from the library's definitions, so that a
// layout mistake on either side shows up as a failed comparison in a test
// instead of being shared. All records are little-endian and are read and
// written with memcpy at these offsets.
#ifndef QUORVEL_SIM_DRIVER_WIRE_TABLES_H_
#define QUORVEL_SIM_DRIVER_WIRE_TABLES_H_

#include <cstddef>
#include <cstdint>

namespace qrv {
namespace sim {
namespace wire {

// Control codes: device type 0x8300, FILE_ANY_ACCESS, functions 0x901..0x908.
constexpr uint32_t kCreateEchoPort = 0x83002404u;  // METHOD_BUFFERED
constexpr uint32_t kEcho = 0x83002408u;            // METHOD_BUFFERED
constexpr uint32_t kCloseEchoPort = 0x8300240Cu;   // METHOD_BUFFERED
constexpr uint32_t kAllocatePort = 0x83002410u;    // METHOD_BUFFERED
constexpr uint32_t kFreePort = 0x83002414u;        // METHOD_BUFFERED
constexpr uint32_t kBindThread = 0x83002418u;      // METHOD_BUFFERED
constexpr uint32_t kReceive = 0x8300241Eu;         // METHOD_OUT_DIRECT
constexpr uint32_t kReply = 0x83002421u;           // METHOD_IN_DIRECT

constexpr uint32_t kMaxPorts = 16;  // ports 0..15; 16 is "no port"
constexpr uint32_t kEchoMagic = 0x4563686Fu;
constexpr uint32_t kEchoServiceId = 15;

// PortRequest: input of kCreateEchoPort (Kind 1) and kAllocatePort (Kind 0).
constexpr size_t kPortRequestSize = 12;
constexpr size_t kPortRequestKind = 0;  // u8; bytes 1..3 carry nothing
constexpr size_t kPortRequestServiceId = 4;
constexpr size_t kPortRequestThreadCount = 8;
constexpr uint8_t kKindService = 0;
constexpr uint8_t kKindEcho = 1;

// EchoPacket: input of kEcho.
constexpr size_t kEchoPacketSize = 8;
constexpr size_t kEchoPacketPort = 0;
constexpr size_t kEchoPacketMagic = 4;

// Port word: input of kCloseEchoPort, kFreePort and kBindThread. The port,
// echo and thread index answers are words of the same size.
constexpr size_t kPortWordSize = 4;
constexpr size_t kAnswerSize = 4;

// ReceiveRequest: input of kReceive.
constexpr size_t kReceiveRequestSize = 12;
constexpr size_t kReceiveRequestPort = 0;
constexpr size_t kReceiveRequestThreadIndex = 4;
constexpr size_t kReceiveRequestLargeBuffer = 8;  // u8; bytes 9..11 are zero

// ReplyHeader: input of kReply; the answer travels as its output buffer.
constexpr size_t kReplyHeaderSize = 8;
constexpr size_t kReplyHeaderPort = 0;
constexpr size_t kReplyHeaderThreadIndex = 4;

// MessageBuffer: output of kReceive. After a too-small report the Header
// word holds the size the whole buffer needs, itself included.
constexpr size_t kMessageHeader = 0;
constexpr size_t kMessagePayload = 4;

constexpr size_t kOrdinaryReceiveSize = 1024;

}  // namespace wire
}  // namespace sim
}  // namespace qrv

#endif  // QUORVEL_SIM_DRIVER_WIRE_TABLES_H_
