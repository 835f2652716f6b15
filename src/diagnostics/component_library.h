// The process-wide table of the component framework's entry points.
#ifndef QUORVEL_DIAGNOSTICS_COMPONENT_LIBRARY_H_
#define QUORVEL_DIAGNOSTICS_COMPONENT_LIBRARY_H_

#include <cstddef>

#include "platform/process_lock.h"
#include "platform/static_object.h"
#include "platform/win32.h"

namespace qrv {

// Finds the framework module "PXCOM.dll" among the modules the host has
// already loaded when the table is created; never loads it. The table holds
// no reference on it; AcquireBinding hands one to its caller. A table that
// finds no module then is unbound for good.
// A table that was bound follows the module: the host may free the
// framework between UnInit and the next Init, and load it again.
class ComponentLibrary {
 public:
  typedef HRESULT(WINAPI* CoCreateInstanceEntry)(const CLSID* classId, const IID* interfaceId,
                                                 void** object);

  static constexpr size_t kEntryCount = 31;
  static constexpr size_t kCoCreateInstanceSlot = 0;

  ComponentLibrary(const ComponentLibrary&) = delete;
  ComponentLibrary& operator=(const ComponentLibrary&) = delete;

  // Returns the table, creating and binding it on the first call. Once the
  // table has been destroyed at unload ("Dead Reference Detected"), returns
  // null on every call and creates nothing: raising an exception inside the
  // module would terminate a host that has the toolchain's shared unwinder
  // loaded, so the caller treats null as an unbound framework.
  static ComponentLibrary* Instance() QRV_REQUIRES(ProcessLock());
  // Destroys the table for good; the process context calls it at unload.
  static void DestroyInstance() QRV_REQUIRES(ProcessLock());

  // Takes one reference on the module loaded now under the framework's name
  // and re-binds the table if its entries were not read from that module.
  // Returns the module, with a reference the caller frees, when the table is
  // bound to it; otherwise null, holding nothing. A table never bound returns
  // null.
  HMODULE AcquireBinding() QRV_REQUIRES(ProcessLock());

  CoCreateInstanceEntry CoCreateInstance() const;

 private:
  friend class StaticObject<ComponentLibrary>;
  ComponentLibrary();
  ~ComponentLibrary() = default;
  // Unbinds, then binds to `module` when it exports the required entries.
  void Bind(HMODULE module);
  void Unbind();

  bool followsModule_ = false;  // bound once: AcquireBinding may bind again
  HMODULE module_ = nullptr;
  FARPROC entries_[kEntryCount] = {};
};

}  // namespace qrv

#endif  // QUORVEL_DIAGNOSTICS_COMPONENT_LIBRARY_H_
