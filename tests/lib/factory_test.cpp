// The connection factory and the failures of its allocations.
#include <atomic>
#include <cstdlib>
#include <new>

#include "api/connection_factory.h"
#include "connection/service_connection.h"
#include "library_fixture.h"

namespace {

// When set, the next nothrow allocation fails (and the flag clears).
std::atomic<bool> failNextNothrowNew{false};

void WINAPI NoAnswer(NIMUC::IAllocator*, void*, uint32_t, void*, void**, uint32_t*) {}

}  // namespace

// Replaces the nothrow form only, so that the library's "out of memory"
// paths can be reached; it defers to the ordinary operator new so that
// allocation and release stay matched under the sanitizers.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (failNextNothrowNew.exchange(false)) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

using Factory = LibraryTest;

TEST_F(Factory, InitReportsAFactoryThatCannotBeHad) {
  failNextNothrowNew = true;  // the factory is the first nothrow allocation of Init
  EXPECT_EQ(Init(0), E_FAIL);
  EXPECT_EQ(Texts(), std::vector<std::string>{"quorvel-Init:  get facotry instance failed."});
  EXPECT_EQ(Sink().Counters().liveComponents, 0);
  EXPECT_EQ(Init(0), S_OK);  // the next call tries again
  ExpectText("quorvel-Initialize successfully.");
}

TEST_F(Factory, InstanceIsOneObjectThatSurvivesUnInit) {
  ASSERT_EQ(Init(0), S_OK);
  ConnectionFactory* factory = ConnectionFactory::Instance();
  ASSERT_NE(factory, nullptr);
  UnInit();
  EXPECT_EQ(ConnectionFactory::Instance(), factory);
  EXPECT_EQ(factory->EchoConnection(), nullptr);
}

TEST_F(Factory, FindWithRemovalKeepsTheOthersInOrder) {
  ASSERT_EQ(Init(0), S_OK);
  EXPECT_EQ(ConnectionFactory::Instance()->FindServiceConnection(1, true), nullptr);
  for (uint32_t id : {1u, 2u, 3u}) ASSERT_EQ(Register(id, &NoAnswer, nullptr), S_OK);
  ConnectionFactory* factory = ConnectionFactory::Instance();
  const std::vector<uint32_t> expected = {*Driver().PortOf(1), *Driver().PortOf(3)};
  CNUcCommuniateConnection* two = factory->FindServiceConnection(2, true);
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(two->ServiceId(), 2u);
  EXPECT_EQ(factory->FindServiceConnection(2, true), nullptr);
  two->Stop();
  two->Close();
  delete two;
  Driver().ClearRequestLog();
  factory->DestroyServiceConnections();
  std::vector<uint32_t> freed;
  for (const auto& record : RequestsOf(qrv::sim::wire::kFreePort)) freed.push_back(*record.port);
  EXPECT_EQ(freed, expected);
  EXPECT_NE(factory->EchoConnection(), nullptr);  // untouched
}

TEST_F(Factory, FailedServiceCreateFilesNothing) {
  ASSERT_EQ(Init(0), S_OK);
  qrv::posix::FailThreadCreation(1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Register(7, &NoAnswer, nullptr), E_FAIL);
  ExpectText("quorvel: fail to create threads for service[7], error code[0x8]");
  ExpectText("quorvel-Register( 7 ): create commmunication connection unsuccessfully.");
  EXPECT_EQ(ConnectionFactory::Instance()->FindServiceConnection(7, false), nullptr);
}

TEST_F(Factory, MissingMemoryForTheEchoConnectionFailsInit) {
  failNextNothrowNew = false;
  ASSERT_NE(ConnectionFactory::Instance(), nullptr);  // created before the failure is armed
  failNextNothrowNew = true;
  EXPECT_EQ(Init(0), E_FAIL);
  ExpectText("quorvel-Init: create echo connnection failed.");
}
