/* quorvel.h seen from C: the allocator table, the callback type and the
 * declared entry points must compile without a warning. */
#include <quorvel/quorvel.h>
#include <quorvel/quorvel.h> /* include guard */

static void QUORVEL_STDCALL Callback(QuorvelAllocator* allocator, void* message, uint32_t length,
                                     void* context, void** answer, uint32_t* answerLength) {
  (void)message;
  (void)context;
  *answer = QuorvelAllocate(allocator, length);
  *answerLength = length;
}

int QuorvelHeaderCheck(void);
int QuorvelHeaderCheck(void) {
  const UcServiceCallback callback = Callback;
  const QuorvelRegisterFn registerFn = Register;
  const QuorvelUnInitFn unInitFn = UnInit;
  (void)registerFn;
  (void)unInitFn;
  return (QUORVEL_VERSION_MAJOR + kQuorvelOrdinalUnregister) * (QUORVEL_E_FAIL < 0) +
         (callback != 0) + (int)QUORVEL_MAX_SERVICES + (int)QUORVEL_MAX_RUNNING_SERVICES;
}
