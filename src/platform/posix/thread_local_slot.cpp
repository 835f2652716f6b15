// Thread-local slots on pthread keys, whose values start null on every
// thread as Windows' slots do.
#include "platform/win32.h"

DWORD TlsAlloc() {
  pthread_key_t key;
  if (pthread_key_create(&key, nullptr) != 0) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return TLS_OUT_OF_INDEXES;
  }
  static_assert(sizeof(key) <= sizeof(DWORD), "a key must fit a slot index");
  return static_cast<DWORD>(key);
}

BOOL TlsFree(DWORD index) { return pthread_key_delete(index) == 0 ? TRUE : FALSE; }

// Windows clears the last error on success, so that a null value can be told
// from a failure.
LPVOID TlsGetValue(DWORD index) {
  SetLastError(ERROR_SUCCESS);
  return pthread_getspecific(index);
}

BOOL TlsSetValue(DWORD index, LPVOID value) {
  return pthread_setspecific(index, value) == 0 ? TRUE : FALSE;
}
