// The framework's exported entry points. Only TzCoCreateInstance does real
// work; the library stores the others without calling them, so each is a
// stub with no arguments and a zero result, which no caller may rely on.
//
// Variants (one source, a compile definition each):
//   PXCOM_WITHOUT_UNINITIALIZE  omits the required TzCoUninitialize;
//   PXCOM_WITHOUT_OPTIONAL      omits four optional entries (see below).
#include "log_component.h"
#include "log_interfaces.h"
#include "monitor.h"
#include "px_control.h"

using pxcom::Guid;
using pxcom::Result;

extern "C" PXCOM_EXPORT Result PX_STDCALL TzCoCreateInstance(const Guid* clsid, const Guid* iid,
                                                             void** out) {
  pxcom::Monitor& monitor = pxcom::Monitor::Instance();
  monitor.Count(&PxCounters::createInstanceCalls);
  monitor.InjectCallFault(PX_CALL_CREATE_INSTANCE);
  if (out == nullptr) return pxcom::kPointer;
  *out = nullptr;
  if (clsid == nullptr || iid == nullptr) return pxcom::kInvalidArg;
  if (!(*clsid == pxcom::kClsidLogComponent)) return pxcom::kClassNotReg;
  if (!(*iid == pxcom::kIidLogComponent || *iid == pxcom::kIidUnknown)) {
    return pxcom::kNoInterface;
  }
  const int32_t failure = monitor.GetKnobs().create_instance_failure;
  if (failure < 0) return failure;
  *out = static_cast<pxcom::ILogComponent*>(pxcom::LogComponent::Create());
  return pxcom::kOk;
}

#define PXCOM_STUB(name) \
  extern "C" PXCOM_EXPORT Result PX_STDCALL name() { return pxcom::kOk; }

PXCOM_STUB(TzCoInitialize)
#if !defined(PXCOM_WITHOUT_UNINITIALIZE)
PXCOM_STUB(TzCoUninitialize)
#endif
PXCOM_STUB(TzFreeLib)
PXCOM_STUB(TzFreeLibEx)
PXCOM_STUB(TzFreeUnusedLib)
PXCOM_STUB(TzCanUnLoadAllLibNow)
PXCOM_STUB(TzRegisterServer)
PXCOM_STUB(TzUnRegisterServer)
PXCOM_STUB(TzRegisterServerEx)
PXCOM_STUB(TzUnRegisterServerEx)
PXCOM_STUB(TzCoTaskMemAlloc)
PXCOM_STUB(TzCoTaskMemFree)
PXCOM_STUB(TzCoGetMalloc)
PXCOM_STUB(TzCoGetLibraryPath)
PXCOM_STUB(TzInitConfigData)
PXCOM_STUB(TzCoLoadLibrary)
PXCOM_STUB(TzCoProgIDFromCLSID)
PXCOM_STUB(TzCoCLSIDFromProgID)
PXCOM_STUB(TzFreeLibExW)
PXCOM_STUB(TzRegisterServerW)
PXCOM_STUB(TzRegisterServerExW)
PXCOM_STUB(TzUnRegisterServerExW)
PXCOM_STUB(TzCoGetLibraryPathW)
PXCOM_STUB(TzCoProgIDFromCLSIDW)
PXCOM_STUB(TzCoCLSIDFromProgIDW)
// The optional entries the minimal variant lacks; keep in step with
// pxcom::StandIn::kMinimalLacks.
#if !defined(PXCOM_WITHOUT_OPTIONAL)
PXCOM_STUB(TzCoBuildVersion)
PXCOM_STUB(TzGetPropertyCLSID)
PXCOM_STUB(TzSetCLSIDProperty)
PXCOM_STUB(TzCoLoadLibraryW)
#endif
