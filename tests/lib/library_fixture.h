// Common ground for the library's tests: the simulated driver attached, the
// framework stand-in loaded, and helpers to read what reached the sink.
#ifndef QUORVEL_TESTS_LIB_LIBRARY_FIXTURE_H_
#define QUORVEL_TESTS_LIB_LIBRARY_FIXTURE_H_

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api/exports.h"
#include "framework/stand_in.h"
#include "sim/driver/sim_driver.h"

namespace qrv {

// Bounded waits of the tests.
constexpr int kWaitMs = 10000;
constexpr auto kWait = std::chrono::milliseconds(kWaitMs);

// A service callback that answers every message with its own bytes.
void WINAPI AnswerWithPayload(NIMUC::IAllocator* allocator, void* message, uint32_t length,
                              void* context, void** answer, uint32_t* answerLength);

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Every test that calls Init ends with UnInit.
  void TearDown() override;

  static qrv::sim::SimDriver& Driver() { return qrv::sim::SimDriver::Instance(); }
  pxcom::StandIn& Sink() { return *standIn_; }

  // Rendered texts that reached the sink, in order.
  std::vector<std::string> Texts() const;
  // Texts that begin with `prefix`, in order.
  std::vector<std::string> TextsStartingWith(const std::string& prefix) const;
  // Waits for a text; fails the test with the text when it never comes.
  void ExpectText(const std::string& text) const;
  // Polls the condition until it holds; false when kWaitMs pass first. For
  // states that no event announces.
  static bool WaitUntil(const std::function<bool()>& condition);
  // Requests of one code the driver saw, in order.
  std::vector<qrv::sim::RequestRecord> RequestsOf(DWORD code) const;

 private:
  std::unique_ptr<pxcom::StandIn> standIn_;
};

}  // namespace qrv

#endif  // QUORVEL_TESTS_LIB_LIBRARY_FIXTURE_H_
