// A service connection driven directly, with a callback whose behaviour each
// test chooses and a heap that counts.
#ifndef QUORVEL_TESTS_LIB_SERVICE_FIXTURE_H_
#define QUORVEL_TESTS_LIB_SERVICE_FIXTURE_H_

#include <functional>
#include <memory>

#include "connection/service_connection.h"
#include "counting_heap.h"
#include "library_fixture.h"

namespace qrv {

// What the callback sees of one call.
struct CallbackCall {
  NIMUC::IAllocator* allocator;
  const uint8_t* message;
  uint32_t length;
  void** answer;
  uint32_t* answerLength;
};

// The context handed to the connection: forwards every call to `onMessage`.
struct CallbackBehaviour {
  std::function<void(const CallbackCall&)> onMessage;
};

void WINAPI ForwardToBehaviour(NIMUC::IAllocator* allocator, void* message, uint32_t length,
                               void* context, void** answer, uint32_t* answerLength);

class ServiceTest : public LibraryTest {
 protected:
  static constexpr uint32_t kService = 4;

  void SetUp() override;
  void TearDown() override;

  // Creates and starts the connection with three workers, and waits until
  // all three have a receive pending.
  void StartService();
  // Stop and Close, as the owner does.
  void StopService();
  // Posts and waits for the final outcome; fails the test on timeout.
  std::shared_ptr<qrv::sim::Message> Exchange(uint32_t header, std::vector<uint8_t> payload);

  static std::vector<uint8_t> Bytes(size_t count, uint8_t seed);

  CountingHeap heap_;
  CallbackBehaviour behaviour_;
  std::unique_ptr<CNUcCommuniateConnection> connection_;
  HANDLE device_ = INVALID_HANDLE_VALUE;
};

}  // namespace qrv

#endif  // QUORVEL_TESTS_LIB_SERVICE_FIXTURE_H_
