#include "host/msvc_throw.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>

namespace qrv {
namespace wintest {
namespace {

std::atomic<int> destroyed{0};
std::atomic<int> misdestroyed{0};

struct Thrown {
  const Thrown* self;  // `this`, while the object lives
  uint32_t canary;
};
constexpr uint32_t kAlive = 0xA11BE;

void __thiscall DestroyThrown(Thrown* object) {
  if (object->self != object || object->canary != kAlive) {
    misdestroyed.fetch_add(1);
    return;
  }
  object->canary = 0;
  destroyed.fetch_add(1);
}

// The x86 throw info record's layout.
struct ThrowInfo {
  uint32_t attributes;
  void(__thiscall* destructor)(Thrown*);
  const void* forwardCompat;
  const void* catchableTypes;
};
static_assert(sizeof(ThrowInfo) == 16 && offsetof(ThrowInfo, destructor) == 4,
              "the x86 throw info record");

const ThrowInfo kWithDestructor{0, &DestroyThrown, nullptr, nullptr};
const ThrowInfo kWithoutDestructor{0, nullptr, nullptr, nullptr};

}  // namespace

void RaiseMsvcCppException(const MsvcThrow& how) {
  Thrown object{&object, kAlive};
  const ThrowInfo* info = how.destructor ? &kWithDestructor : &kWithoutDestructor;
  const ULONG_PTR arguments[3] = {how.magic,
                                  reinterpret_cast<ULONG_PTR>(how.object ? &object : nullptr),
                                  reinterpret_cast<ULONG_PTR>(how.info ? info : nullptr)};
  RaiseException(kMsvcCppException, EXCEPTION_NONCONTINUABLE, how.parameters, arguments);
  // Unreachable: continuing a noncontinuable exception raises another.
  std::abort();
}

int ObjectsDestroyed() { return destroyed.load(); }
int ObjectsMisdestroyed() { return misdestroyed.load(); }

}  // namespace wintest
}  // namespace qrv
