// An object in static storage whose life its owner decides.
#ifndef QUORVEL_PLATFORM_STATIC_OBJECT_H_
#define QUORVEL_PLATFORM_STATIC_OBJECT_H_

#include <new>
#include <utility>

namespace qrv {

// Constant-initialised and trivially destroyed: the object exists exactly
// from Create to Destroy, constructing it cannot fail or throw, and no guard
// variable or exit-time destructor is involved. Whoever owns the object calls
// both; everyone else reaches it through Get.
template <typename T>
class StaticObject {
 public:
  constexpr StaticObject() = default;
  StaticObject(const StaticObject&) = delete;
  StaticObject& operator=(const StaticObject&) = delete;

  template <typename... Arguments>
  T& Create(Arguments&&... arguments) {
    object_ = new (storage_) T(std::forward<Arguments>(arguments)...);
    return *object_;
  }
  void Destroy() {
    if (object_ != nullptr) object_->~T();
    object_ = nullptr;
  }
  // Null outside Create to Destroy.
  T* Get() const { return object_; }

 private:
  alignas(T) unsigned char storage_[sizeof(T)] = {};
  T* object_ = nullptr;
};

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_STATIC_OBJECT_H_
