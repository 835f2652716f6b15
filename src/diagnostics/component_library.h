// The process-wide table of the component framework's entry points.
#ifndef QUORVEL_DIAGNOSTICS_COMPONENT_LIBRARY_H_
#define QUORVEL_DIAGNOSTICS_COMPONENT_LIBRARY_H_

#include <cstddef>

#include "platform/process_lock.h"
#include "platform/win32.h"

namespace qrv {

// Binds to the framework module "PXCOM.dll" if the host has loaded it when
// the table is created; never loads it nor keeps a reference on it. A table
// that finds none stays unbound; one that was bound follows the module, which
// the host may free and load again between UnInit and Init.
class ComponentLibrary {
 public:
  typedef HRESULT(WINAPI* CoCreateInstanceEntry)(const CLSID* classId, const IID* interfaceId,
                                                 void** object);

  static constexpr size_t kEntryCount = 31;

  ComponentLibrary(const ComponentLibrary&) = delete;
  ComponentLibrary& operator=(const ComponentLibrary&) = delete;

  // The table, created and bound on the first call; null once destroyed, which
  // the caller treats as unbound (raising would terminate a host that has the
  // toolchain's shared unwinder loaded).
  static ComponentLibrary* Instance() QRV_REQUIRES(ProcessLock());
  // Destroys the table for good; the process context calls it at unload.
  static void DestroyInstance() QRV_REQUIRES(ProcessLock());

  // Re-binds the table to the module loaded now under the framework's name if
  // its entries came from another. Returns that module, with a reference the
  // caller frees, when the table is bound to it; otherwise null, holding none.
  HMODULE AcquireBinding() QRV_REQUIRES(ProcessLock());

  CoCreateInstanceEntry CoCreateInstance() const;

 private:
  ComponentLibrary();
  ~ComponentLibrary();
  // Under the lock: unbinds (all entries null), then binds to `module` if it
  // exports the required entries.
  void Bind(HMODULE module);
  void Unbind() QRV_REQUIRES(lock_);

  bool followsModule_ = false;  // bound once: AcquireBinding may bind again
  HMODULE module_ = nullptr;
  AwaitableLock lock_;  // taken only while the table is reset or re-bound
  FARPROC entries_[kEntryCount] = {};
};

}  // namespace qrv

#endif  // QUORVEL_DIAGNOSTICS_COMPONENT_LIBRARY_H_
