#include "library_fixture.h"

#include <cstring>

namespace qrv {

void WINAPI AnswerWithPayload(NIMUC::IAllocator* allocator, void* message, uint32_t length, void*,
                              void** answer, uint32_t* answerLength) {
  void* block = allocator->Allocate(length);
  if (block == nullptr) return;
  std::memcpy(block, message, length);
  *answer = block;
  *answerLength = length;
}

void LibraryTest::SetUp() {
  Driver().Attach();
  std::string error;
  standIn_ = pxcom::StandIn::Load(pxcom::StandIn::Variant::kFull, &error);
  ASSERT_NE(standIn_, nullptr) << error;
  // Library threads may log until the process ends.
  standIn_->StayLoaded();
}

void LibraryTest::TearDown() { UnInit(); }

std::vector<std::string> LibraryTest::Texts() const {
  std::vector<std::string> texts;
  for (const auto& record : standIn_->Records()) texts.push_back(record.text);
  return texts;
}

std::vector<std::string> LibraryTest::TextsStartingWith(const std::string& prefix) const {
  std::vector<std::string> texts;
  for (const auto& text : Texts()) {
    if (text.compare(0, prefix.size(), prefix) == 0) texts.push_back(text);
  }
  return texts;
}

void LibraryTest::ExpectText(const std::string& text) const {
  if (standIn_->WaitForText(text, kWaitMs)) return;
  std::string seen;
  for (const std::string& line : Texts()) seen += "\n  " + line;
  ADD_FAILURE() << "never logged: \"" << text << "\"; logged:" << seen;
}

bool LibraryTest::WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    Sleep(1);
  }
  return true;
}

std::vector<qrv::sim::RequestRecord> LibraryTest::RequestsOf(DWORD code) const {
  std::vector<qrv::sim::RequestRecord> found;
  for (const auto& record : Driver().requests()) {
    if (record.code == code) found.push_back(record);
  }
  return found;
}

}  // namespace qrv
