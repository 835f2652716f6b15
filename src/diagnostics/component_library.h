// The process-wide table of the component framework's entry points.
#ifndef QUORVEL_DIAGNOSTICS_COMPONENT_LIBRARY_H_
#define QUORVEL_DIAGNOSTICS_COMPONENT_LIBRARY_H_

#include <cstddef>

#include "platform/process_lock.h"
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

  // Stores the address of every entry the module exports; 0 when the three
  // required ones were found, -1 otherwise (entries found so far stay).
  int Resolve(HMODULE module);
  // Sets all entries to null; the module is not touched.
  void Clear();

  // Takes one reference on the module loaded now under the framework's
  // name, then confirms that the table's entries were read from it; if not,
  // the table is unbound while no such module is loaded and re-bound to one
  // loaded again. Returns the module, with the reference that keeps it
  // loaded until the caller's FreeLibrary, when the table is bound to it
  // afterwards; otherwise null, holding nothing. Only a table that was bound
  // once follows the module; one that never found it returns null.
  // REQUIRES: no thread calls through the table meanwhile (the log channel
  // calls this only from Open, under the process-wide lock).
  HMODULE AcquireBinding();

  HMODULE Module() const { return module_; }
  FARPROC Entry(size_t slot) const { return entries_[slot]; }
  CoCreateInstanceEntry CoCreateInstance() const;

  // The exported name looked up for a slot; null for slot 17, which no name
  // fills.
  static const char* EntryName(size_t slot);

 private:
  ComponentLibrary();
  ~ComponentLibrary();
  // Binds to the module when it offers the required entries.
  void Bind(HMODULE module);
  // Unbinds, then binds to `module` (null: stays unbound).
  void Rebind(HMODULE module);

  bool followsModule_ = false;  // bound once: ConfirmBinding may bind again
  HMODULE module_;
  AwaitableLock lock_;  // taken only while the table is reset or re-bound
  FARPROC entries_[kEntryCount];
};

}  // namespace qrv

#endif  // QUORVEL_DIAGNOSTICS_COMPONENT_LIBRARY_H_
