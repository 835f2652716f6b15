// The library's records and codes against the simulated driver's own literal
// tables, and the bytes that actually reach the driver.
#include "connection/protocol.h"

#include <cstring>

#include "library_fixture.h"

namespace qrv {

namespace wire = qrv::sim::wire;

TEST(Protocol, ControlCodesMatchTheDriversTable) {
  EXPECT_EQ(IOCTL_UC_CREATE_ECHO_PORT, wire::kCreateEchoPort);
  EXPECT_EQ(IOCTL_UC_ECHO, wire::kEcho);
  EXPECT_EQ(IOCTL_UC_CLOSE_ECHO_PORT, wire::kCloseEchoPort);
  EXPECT_EQ(IOCTL_UC_ALLOCATE_PORT, wire::kAllocatePort);
  EXPECT_EQ(IOCTL_UC_FREE_PORT, wire::kFreePort);
  EXPECT_EQ(IOCTL_UC_BIND_THREAD, wire::kBindThread);
  EXPECT_EQ(IOCTL_UC_RECEIVE, wire::kReceive);
  EXPECT_EQ(IOCTL_UC_REPLY, wire::kReply);
}

TEST(Protocol, RecordLayoutsMatchTheDriversTable) {
  EXPECT_EQ(sizeof(PortRequest), wire::kPortRequestSize);
  EXPECT_EQ(offsetof(PortRequest, Kind), wire::kPortRequestKind);
  EXPECT_EQ(offsetof(PortRequest, ServiceId), wire::kPortRequestServiceId);
  EXPECT_EQ(offsetof(PortRequest, ThreadCount), wire::kPortRequestThreadCount);
  EXPECT_EQ(sizeof(EchoPacket), wire::kEchoPacketSize);
  EXPECT_EQ(offsetof(EchoPacket, Port), wire::kEchoPacketPort);
  EXPECT_EQ(offsetof(EchoPacket, Magic), wire::kEchoPacketMagic);
  EXPECT_EQ(sizeof(ReceiveRequest), wire::kReceiveRequestSize);
  EXPECT_EQ(offsetof(ReceiveRequest, Port), wire::kReceiveRequestPort);
  EXPECT_EQ(offsetof(ReceiveRequest, ThreadIndex), wire::kReceiveRequestThreadIndex);
  EXPECT_EQ(offsetof(ReceiveRequest, LargeBuffer), wire::kReceiveRequestLargeBuffer);
  EXPECT_EQ(sizeof(ReplyHeader), wire::kReplyHeaderSize);
  EXPECT_EQ(offsetof(ReplyHeader, Port), wire::kReplyHeaderPort);
  EXPECT_EQ(offsetof(ReplyHeader, ThreadIndex), wire::kReplyHeaderThreadIndex);
  EXPECT_EQ(offsetof(MessageBuffer, Header), wire::kMessageHeader);
  EXPECT_EQ(offsetof(MessageBuffer, Payload), wire::kMessagePayload);
  EXPECT_EQ(kReceiveBufferSize, wire::kOrdinaryReceiveSize);
  EXPECT_EQ(UC_MAX_PORTS, wire::kMaxPorts);
  EXPECT_EQ(kEchoServiceId, wire::kEchoServiceId);
}

TEST(Protocol, EchoMagicBytesInMemory) {
  const uint8_t expected[4] = {0x6F, 0x68, 0x63, 0x45};
  EXPECT_EQ(std::memcmp(&UC_ECHO_MAGIC, expected, 4), 0);
  EXPECT_EQ(UC_ECHO_MAGIC, wire::kEchoMagic);
}

TEST(Protocol, DevicePathIsTwoBackslashesDotBackslashName) {
  EXPECT_EQ(std::wstring(kControlDevicePath), std::wstring(L"\\\\.\\QRVDev"));
  EXPECT_EQ(std::wstring(kControlDevicePath), std::wstring(qrv::sim::SimDriver::kDevicePath));
}

using ProtocolOnTheWire = LibraryTest;

TEST_F(ProtocolOnTheWire, EchoPortRequestAndPingCarryTheExactBytes) {
  ASSERT_EQ(Init(0), S_OK);
  ASSERT_TRUE(Driver().WaitForRequests(wire::kEcho, 1, kWait));
  const auto create = RequestsOf(wire::kCreateEchoPort);
  ASSERT_EQ(create.size(), 1u);
  const std::vector<uint8_t> portRequest = {1, 0, 0, 0, 15, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(create[0].input, portRequest);
  EXPECT_EQ(create[0].outputLength, 4u);
  EXPECT_TRUE(create[0].overlapped) << "every request travels with its own OVERLAPPED";
  const auto ping = RequestsOf(wire::kEcho).at(0);
  const uint32_t port = 0;  // a fresh driver hands out its lowest port first
  const std::vector<uint8_t> packet = {static_cast<uint8_t>(port), 0, 0, 0, 0x6F, 0x68, 0x63, 0x45};
  EXPECT_EQ(ping.input, packet);
  EXPECT_EQ(ping.outputLength, 4u);
}

}  // namespace qrv
