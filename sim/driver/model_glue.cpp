#include "sim/driver/model_glue.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

#include "qrvctl.h"

namespace qrv {
namespace sim {
namespace {

void* Allocate(uint32_t size) { return std::malloc(size); }
void Release(void* block) { std::free(block); }
// Nothing in process cancels a pending request behind the model's back, so
// the model may always finish what it holds.
int Claim(QrvRequest*) { return 1; }
uint32_t NowMs() {
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

QrvModel* NewModel() {
  const QrvModelOps ops = {Allocate, Release, Claim, NowMs};
  QrvModel* model = QrvModelCreate(&ops);
  if (model == nullptr) std::abort();
  return model;
}

// The record the model keeps of a request it may hold pending; owned by the
// glue until the model hands it back.
std::unique_ptr<QrvRequest> RecordOf(posix::IoRequest* request) {
  auto record = std::make_unique<QrvRequest>();
  record->code = request->Code();
  record->input = request->Input();
  record->inputLength = request->InputLength();
  record->output = request->Output();
  record->outputLength = request->OutputLength();
  record->owner = request->File();
  record->context = request;
  record->overlapped = request->Overlapped() ? 1 : 0;
  return record;
}

QrvRequest ControlRecord(uint32_t code, const void* in, uint32_t inLength, void* out,
                         uint32_t outLength) {
  QrvRequest record{};
  record.code = code;
  record.input = in;
  record.inputLength = inLength;
  record.output = out;
  record.outputLength = outLength;
  return record;
}

}  // namespace

ModelGlue::ModelGlue() : model_(NewModel()) {}

void ModelGlue::CompleteDone(QrvRequest* done) {
  while (done != nullptr) {
    std::unique_ptr<QrvRequest> record(done);
    done = done->doneNext;
    static_cast<posix::IoRequest*>(record->context)
        ->Complete(static_cast<posix::NTSTATUS>(record->status), record->information);
  }
}

void ModelGlue::Changed(QrvRequest* done, std::unique_lock<std::mutex>* lock) {
  for (const QrvRequest* record = done; record != nullptr; record = record->doneNext) {
    pending_.erase(static_cast<const posix::IoRequest*>(record->context));
  }
  QrvCtlCounters counters{};
  Read(QRVCTL_IOCTL_COUNTERS, nullptr, 0, &counters, sizeof(counters));
  const uint64_t finals = uint64_t{counters.answered} + counters.notWanted + counters.failedBack;
  if (finals != finals_) {
    finals_ = finals;
    settled_.notify_all();
  }
  changed_.notify_all();
  lock->unlock();
  CompleteDone(done);
}

posix::NTSTATUS ModelGlue::Dispatch(posix::IoRequest* request, DWORD* bytes) {
  std::unique_ptr<QrvRequest> record = RecordOf(request);
  QrvRequest* done = nullptr;
  std::unique_lock<std::mutex> lock(mu_);
  const uint32_t status = QrvModelDispatchProtocol(model_, record.get(), &done);
  const bool delayed = status == QRV_STATUS_PENDING && record->place == QRV_PENDING_DELAYED;
  const uint32_t ticket = record->ticket;
  const uint32_t delayMs = record->delayMs;
  // A pending record is the model's from here on: another thread may
  // complete and free it as soon as the lock is released.
  if (status == QRV_STATUS_PENDING) pending_.emplace(request, record.release());
  Changed(done, &lock);
  if (delayed) RunLater(ticket, delayMs);
  if (status == QRV_STATUS_PENDING) return posix::kStatusPending;
  *bytes = record->information;
  return static_cast<posix::NTSTATUS>(status);
}

// The thread ends early once the request is no longer held back (run now,
// cancelled or its handle closed), so a long delay finished by hand leaves
// no thread behind; the run then finds no ticket and does nothing. The glue
// lives as long as the process, so the thread may outlive every test.
void ModelGlue::RunLater(uint32_t ticket, uint32_t delayMs) {
  std::thread([this, ticket, delayMs] {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait_for(lock, std::chrono::milliseconds(delayMs), [&] {
      for (const auto& entry : pending_) {
        if (entry.second->place == QRV_PENDING_DELAYED && entry.second->ticket == ticket) {
          return false;
        }
      }
      return true;
    });
    QrvRequest* done = nullptr;
    QrvModelRunDelayed(model_, ticket, &done);
    Changed(done, &lock);
  }).detach();
}

// The delay's own thread then finds the ticket gone and does nothing.
size_t ModelGlue::RunDelayedNow(uint32_t code) {
  std::unique_lock<std::mutex> lock(mu_);
  std::vector<uint32_t> tickets;
  for (const auto& entry : pending_) {
    const QrvRequest* record = entry.second;
    if (record->place == QRV_PENDING_DELAYED && record->code == code) {
      tickets.push_back(record->ticket);
    }
  }
  QrvRequest* done = nullptr;
  for (uint32_t ticket : tickets) QrvModelRunDelayed(model_, ticket, &done);
  Changed(done, &lock);
  return tickets.size();
}

void ModelGlue::HandleClosed(const void* file) {
  QrvRequest* done = nullptr;
  std::unique_lock<std::mutex> lock(mu_);
  QrvModelCloseOwner(model_, file, &done);
  Changed(done, &lock);
}

// As the kernel glue's cancel routine: the model lets go of the record
// under the lock, and the request completes as cancelled outside it. A
// request that ignores cancellation has no such routine: it stays pending.
void ModelGlue::Cancel(posix::IoRequest* request) {
  std::unique_lock<std::mutex> lock(mu_);
  const auto found = pending_.find(request);
  if (found == pending_.end() || found->second->ignoresCancel) return;
  const std::unique_ptr<QrvRequest> record(found->second);
  pending_.erase(found);
  QrvRequest* done = nullptr;
  QrvModelForget(model_, record.get(), &done);
  Changed(done, &lock);
  request->Complete(posix::kStatusCancelled, 0);
}

uint32_t ModelGlue::Control(uint32_t code, const void* in, uint32_t inLength, void* out,
                            uint32_t outLength, uint32_t* bytes) {
  QrvRequest record = ControlRecord(code, in, inLength, out, outLength);
  QrvRequest* done = nullptr;
  std::unique_lock<std::mutex> lock(mu_);
  const uint32_t status = QrvModelDispatchControl(model_, &record, &done);
  Changed(done, &lock);
  if (bytes != nullptr) *bytes = record.information;
  return status;
}

bool ModelGlue::WaitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, timeout, ready);
}

void ModelGlue::Locked(const std::function<void()>& body) {
  std::lock_guard<std::mutex> lock(mu_);
  body();
}

bool ModelGlue::WaitUntilSettled(const std::function<bool()>& ready,
                                 std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  return settled_.wait_for(lock, timeout, ready);
}

uint32_t ModelGlue::Read(uint32_t code, const void* in, uint32_t inLength, void* out,
                         uint32_t outLength) {
  QrvRequest record = ControlRecord(code, in, inLength, out, outLength);
  QrvRequest* done = nullptr;
  return QrvModelDispatchControl(model_, &record, &done);
}

}  // namespace sim
}  // namespace qrv
