#include "service_fixture.h"

#include "diagnostics/log_channel.h"

namespace qrv {

void WINAPI ForwardToBehaviour(NIMUC::IAllocator* allocator, void* message, uint32_t length,
                               void* context, void** answer, uint32_t* answerLength) {
  auto* behaviour = static_cast<CallbackBehaviour*>(context);
  if (behaviour->onMessage) {
    behaviour->onMessage(
        {allocator, static_cast<const uint8_t*>(message), length, answer, answerLength});
  }
}

void ServiceTest::SetUp() {
  LibraryTest::SetUp();
  ASSERT_GE(LogChannel::Instance().Open(), 0);
  device_ = CreateFileW(kControlDevicePath, kControlDeviceAccess, 0, nullptr,
                        kControlDeviceDisposition, kControlDeviceFlags, nullptr);
  ASSERT_NE(device_, INVALID_HANDLE_VALUE);
  connection_ = std::make_unique<CNUcCommuniateConnection>(heap_);
}

void ServiceTest::TearDown() {
  StopService();
  connection_.reset();
  CloseHandle(device_);
  LogChannel::Instance().Shutdown();
  EXPECT_EQ(heap_.live, 0) << "blocks leaked";
}

void ServiceTest::StartService() {
  ASSERT_EQ(connection_->Create(kService, 3, device_, &ForwardToBehaviour, &behaviour_), 1);
  ASSERT_EQ(connection_->Start(), 1);
  ASSERT_TRUE(Driver().WaitForPendingReceives(kService, 3, kWait)) << "workers never received";
}

void ServiceTest::StopService() {
  connection_->Stop();
  connection_->Close();
}

std::shared_ptr<qrv::sim::Message> ServiceTest::Exchange(uint32_t header,
                                                         std::vector<uint8_t> payload) {
  auto message = Driver().Post(kService, header, std::move(payload));
  EXPECT_TRUE(message->WaitFinal(kWait)) << "message " << message->id() << " never finished";
  return message;
}

std::vector<uint8_t> ServiceTest::Bytes(size_t count, uint8_t seed) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

}  // namespace qrv
