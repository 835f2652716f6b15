// Port allocation, echo, binding, request validation and the request log.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/driver/wire_tables.h"
#include "tests/sim/driver_fixture.h"

namespace qrv {
namespace sim {
namespace test {
namespace {

using PortTest = DriverTest;

TEST_F(PortTest, ControlCodesFollowTheStandardLayout) {
  const DWORD methods[] = {METHOD_BUFFERED, METHOD_BUFFERED, METHOD_BUFFERED,   METHOD_BUFFERED,
                           METHOD_BUFFERED, METHOD_BUFFERED, METHOD_OUT_DIRECT, METHOD_IN_DIRECT};
  const uint32_t codes[] = {wire::kCreateEchoPort, wire::kEcho,     wire::kCloseEchoPort,
                            wire::kAllocatePort,   wire::kFreePort, wire::kBindThread,
                            wire::kReceive,        wire::kReply};
  for (DWORD i = 0; i < 8; ++i)
    EXPECT_EQ(codes[i], CTL_CODE(0x8300u, 0x901u + i, methods[i], FILE_ANY_ACCESS)) << i;
  // The magic reads "Echo" with E in the most significant byte.
  const uint8_t expected[] = {0x6F, 0x68, 0x63, 0x45};
  EXPECT_EQ(0, std::memcmp(Words({wire::kEchoMagic}).data(), expected, 4));
}

TEST_F(PortTest, AllocatesLowestFreePortUntilSixteenAreTaken) {
  Answer echo = client_->CreateEchoPort();
  ASSERT_TRUE(echo.ok);
  EXPECT_EQ(echo.word, 0u);
  for (uint32_t service = 0; service < 15; ++service) {
    Answer port = client_->AllocatePort(service, 3);
    ASSERT_TRUE(port.ok) << service;
    EXPECT_EQ(port.word, service + 1);
  }
  Answer full = client_->AllocatePort(15, 3);
  EXPECT_FALSE(full.ok);
  EXPECT_EQ(full.error, ERROR_NO_SYSTEM_RESOURCES);
  EXPECT_EQ(full.word, kSentinel) << "a failed buffered request must not copy an answer back";
  EXPECT_FALSE(client_->CreateEchoPort().ok);

  ASSERT_TRUE(client_->FreePort(7).ok);
  EXPECT_EQ(client_->AllocatePort(15, 3).word, 7u);
  EXPECT_EQ(Delta().portsAllocated, 17u);
  EXPECT_EQ(Delta().portsFreed, 1u);
}

TEST_F(PortTest, RefusesMalformedRequests) {
  std::vector<uint8_t> request = PortRequest(wire::kKindService, 1, 3);
  request.push_back(0);
  EXPECT_EQ(client_->Call(wire::kAllocatePort, request).error, ERROR_INVALID_PARAMETER);
  request.resize(11);
  EXPECT_EQ(client_->Call(wire::kAllocatePort, request).error, ERROR_INVALID_PARAMETER);
  // The kind must match the code, and the service id must name a port.
  EXPECT_EQ(client_->Call(wire::kAllocatePort, PortRequest(wire::kKindEcho, 1, 3)).error,
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(client_->Call(wire::kCreateEchoPort, PortRequest(wire::kKindService, 15, 1)).error,
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(client_->AllocatePort(16, 3).error, ERROR_INVALID_PARAMETER);
  // The answer needs its 4 bytes.
  EXPECT_EQ(client_->Call(wire::kAllocatePort, PortRequest(wire::kKindService, 1, 3), false).error,
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(client_->Call(0x83002428u, Words({0})).error, ERROR_INVALID_FUNCTION);
  EXPECT_EQ(Delta().portsAllocated, 0u);
}

TEST_F(PortTest, EchoAnswersTheMagicOnlyOnAnOpenEchoPort) {
  const uint32_t echo = client_->CreateEchoPort().word;
  const uint32_t service = client_->AllocatePort(15, 1).word;
  Answer good = client_->Echo(echo, wire::kEchoMagic);
  EXPECT_TRUE(good.ok);
  EXPECT_EQ(good.word, wire::kEchoMagic);
  EXPECT_FALSE(client_->Echo(echo, 0x6F636845u).ok) << "byte-swapped magic";
  EXPECT_FALSE(client_->Echo(service, wire::kEchoMagic).ok);
  EXPECT_FALSE(client_->Call(wire::kEcho, Words({echo, wire::kEchoMagic, 0})).ok);

  // Each close code closes only its own kind of port.
  EXPECT_FALSE(client_->FreePort(echo).ok);
  EXPECT_FALSE(client_->CloseEchoPort(service).ok);
  ASSERT_TRUE(client_->CloseEchoPort(echo).ok);
  EXPECT_FALSE(client_->Echo(echo, wire::kEchoMagic).ok);
  EXPECT_EQ(Delta().pings, 1u) << "only well-formed pings on an echo port count";
  EXPECT_EQ(Delta().pingFailures, 4u);
}

TEST_F(PortTest, BindHandsOutEverySlotOnceInOrder) {
  const uint32_t port = client_->AllocatePort(4, 3).word;
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(client_->Bind(port).word, i);
  Answer exhausted = client_->Bind(port);
  EXPECT_FALSE(exhausted.ok);
  EXPECT_EQ(exhausted.word, kSentinel);

  const uint32_t echo = client_->CreateEchoPort().word;
  EXPECT_FALSE(client_->Bind(echo).ok);
  EXPECT_FALSE(client_->Bind(wire::kMaxPorts).ok);
  ASSERT_TRUE(client_->FreePort(port).ok);
  EXPECT_EQ(client_->Bind(port).error, ERROR_BAD_COMMAND);
  EXPECT_EQ(Delta().binds, 3u);
}

TEST_F(PortTest, LogsEveryRequestWithItsDecodedFieldsAndStatus) {
  const uint32_t port = client_->AllocatePort(3, 1).word;
  ASSERT_EQ(client_->Bind(port).word, 0u);
  driver().ClearRequestLog();
  PendingReceive receive(client_->handle(), port, 0, 64, 1);
  ASSERT_FALSE(receive.Issue());
  ASSERT_EQ(receive.error(), ERROR_IO_PENDING);

  std::vector<RequestRecord> log = driver().requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].code, wire::kReceive);
  EXPECT_EQ(log[0].input, ReceiveRequest(port, 0, 1));
  EXPECT_EQ(log[0].port, port);
  EXPECT_EQ(log[0].threadIndex, 0u);
  EXPECT_EQ(log[0].largeBuffer, 1u);
  EXPECT_EQ(log[0].outputLength, 64u);
  EXPECT_FALSE(log[0].outputNull);
  EXPECT_TRUE(log[0].overlapped);
  EXPECT_TRUE(log[0].pended);
  EXPECT_FALSE(log[0].status.has_value());

  driver().Post(3, 1, {1, 2});
  ASSERT_TRUE(receive.Wait());
  log = driver().requests();
  EXPECT_EQ(log[0].status, posix::kStatusSuccess);
  EXPECT_EQ(log[0].bytes, 6u);

  ASSERT_TRUE(client_->FreePort(port).ok);
  log = driver().requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(log[1].outputNull);
  EXPECT_EQ(log[1].port, port);
  EXPECT_GT(log[1].sequence, log[0].sequence);
  EXPECT_GE(driver().RequestCount(wire::kAllocatePort), 1u) << "totals survive ClearRequestLog";
}

TEST_F(PortTest, DetachedDeviceCannotBeOpenedButOpenHandlesWork) {
  driver().Detach();
  DeviceClient late;
  EXPECT_FALSE(late.valid());
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(client_->CreateEchoPort().ok);
  driver().Attach();
  DeviceClient again;
  EXPECT_TRUE(again.valid());
  again.Close();
}

}  // namespace
}  // namespace test
}  // namespace sim
}  // namespace qrv
