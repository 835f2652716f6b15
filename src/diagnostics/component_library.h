// The process-wide table of the component framework's entry points.
#ifndef QUORVEL_DIAGNOSTICS_COMPONENT_LIBRARY_H_
#define QUORVEL_DIAGNOSTICS_COMPONENT_LIBRARY_H_

#include <cstddef>

#include "platform/win32.h"

// Finds the framework module "PXCOM.dll" among the modules the host has
// already loaded, once, when the table is created; never loads, frees or
// holds a reference on it. A table without a module is unbound for good.
class ComponentLibrary {
 public:
  typedef HRESULT(WINAPI* CoCreateInstanceEntry)(const CLSID* classId, const IID* interfaceId,
                                                 void** object);

  static constexpr size_t kEntryCount = 31;
  static constexpr size_t kCoCreateInstanceSlot = 0;

  ComponentLibrary(const ComponentLibrary&) = delete;
  ComponentLibrary& operator=(const ComponentLibrary&) = delete;

  // Returns the table, creating and binding it on the first call. Once the
  // table has been destroyed at unload, throws std::runtime_error("Dead
  // Reference Detected") on every call and creates nothing.
  static ComponentLibrary* Instance();
  // Destroys the table and marks it destroyed; registered to run at unload.
  static void DestroyInstance();

  // Stores the address of every entry the module exports; 0 when the three
  // required ones were found, -1 otherwise (entries found so far stay).
  int Resolve(HMODULE module);
  // Sets all entries to null; the module is not touched.
  void Clear();

  HMODULE Module() const { return module_; }
  FARPROC Entry(size_t slot) const { return entries_[slot]; }
  CoCreateInstanceEntry CoCreateInstance() const;

  // The exported name looked up for a slot; null for slot 17, which no name
  // fills.
  static const char* EntryName(size_t slot);

 private:
  ComponentLibrary();
  ~ComponentLibrary();

  bool ownsModule_;
  HMODULE module_;
  CRITICAL_SECTION lock_;  // taken only while the table is reset at destruction
  FARPROC entries_[kEntryCount];
};

#endif  // QUORVEL_DIAGNOSTICS_COMPONENT_LIBRARY_H_
