#include "fault_plan.h"

void QrvFaultArm(QrvFaultPlan* plan, const QrvCtlFault* fault) {
  plan->skip = fault->skip;
  plan->remaining = fault->count;
  plan->value = fault->value;
  plan->flags = fault->flags;
  plan->code = fault->code;
  plan->delayMs = fault->delayMs;
}

int QrvFaultHits(QrvFaultPlan* plan, uint32_t code) {
  if (plan->remaining == 0 || (plan->code != 0 && plan->code != code)) return 0;
  if (plan->skip > 0) {
    plan->skip--;
    return 0;
  }
  if (plan->remaining != QRVCTL_FAULT_FOREVER) plan->remaining--;
  return 1;
}
