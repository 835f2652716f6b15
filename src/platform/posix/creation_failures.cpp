#include "platform/posix/creation_failures.h"

#include <mutex>

#include "platform/posix/device.h"

namespace qrv {
namespace posix {
namespace {

struct Hook {
  bool armed = false;
  unsigned skip = 0;
  DWORD error = ERROR_SUCCESS;
};

class CreationFailures {
 public:
  // Leaked on purpose, like every process-wide object of the seam.
  static CreationFailures& Instance() {
    static CreationFailures* hooks = new CreationFailures;
    return *hooks;
  }

  void Arm(CreationKind kind, unsigned skip, DWORD error) {
    std::lock_guard<std::mutex> lock(mutex_);
    hooks_[Index(kind)] = Hook{true, skip, error};
  }

  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    hooks_[0] = Hook{};
    hooks_[1] = Hook{};
  }

  bool MustFail(CreationKind kind, DWORD* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Hook& hook = hooks_[Index(kind)];
    if (!hook.armed) return false;
    if (hook.skip > 0) {
      --hook.skip;
      return false;
    }
    hook.armed = false;
    *error = hook.error;
    return true;
  }

 private:
  static int Index(CreationKind kind) { return kind == CreationKind::kEvent ? 0 : 1; }

  std::mutex mutex_;
  Hook hooks_[2];  // GUARDED_BY(mutex_)
};

}  // namespace

bool CreationMustFail(CreationKind kind, DWORD* error) {
  return CreationFailures::Instance().MustFail(kind, error);
}

void FailEventCreation(unsigned skip, DWORD error) {
  CreationFailures::Instance().Arm(CreationKind::kEvent, skip, error);
}

void FailThreadCreation(unsigned skip, DWORD error) {
  CreationFailures::Instance().Arm(CreationKind::kThread, skip, error);
}

void ClearCreationFailures() { CreationFailures::Instance().Clear(); }

}  // namespace posix
}  // namespace qrv
