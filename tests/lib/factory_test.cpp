// The connection factory and the failures of its allocations.
#include "api/connection_factory.h"
#include "connection/service_connection.h"
#include "counting_heap.h"
#include "library_fixture.h"

namespace qrv {

namespace {

void WINAPI NoAnswer(NIMUC::IAllocator*, void*, uint32_t, void*, void**, uint32_t*) {}

}  // namespace

using Factory = LibraryTest;

// The factory is part of the process context, created at attach: Init can no
// longer find it missing, so "quorvel-Init:  get facotry instance failed."
// never appears.
TEST_F(Factory, ExistsFromAttachSoInitNeverReportsItMissing) {
  ASSERT_NE(ConnectionFactory::Instance(), nullptr);
  EXPECT_EQ(Init(0), S_OK);
  EXPECT_EQ(Texts(), std::vector<std::string>{"quorvel-Initialize successfully."});
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
  factory->End(two);  // its memory came from the factory's heap
  Driver().ClearRequestLog();
  factory->EndServices();
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

TEST_F(Factory, MissingMemoryForAConnectionFailsItsEntryPoint) {
  CountingHeap heap;
  {
    LockGuard lock(ProcessLock());
    ConnectionFactory::Instance()->UseHeap(heap);
  }
  heap.refuseFrom = 1;
  EXPECT_EQ(Init(0), E_FAIL);
  ExpectText("quorvel-Init: create echo connnection failed.");
  heap.refuseFrom = ~size_t{0};
  ASSERT_EQ(Init(0), S_OK);
  heap.refuseFrom = 1;
  EXPECT_EQ(Register(4, &NoAnswer, nullptr), E_FAIL);
  ExpectText("quorvel-Register( 4 ): create commmunication connection unsuccessfully.");
  heap.refuseFrom = ~size_t{0};
  UnInit();
  EXPECT_EQ(heap.live, 0);  // every connection went back to the heap it came from
  LockGuard lock(ProcessLock());
  ConnectionFactory::Instance()->UseHeap(BlockHeap::Process());
}

}  // namespace qrv
