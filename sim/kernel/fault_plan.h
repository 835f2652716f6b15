/*
 * One injectable fault's plan: let some matching requests pass, then hit a
 * number of them. Portable C; the model's lock guards it.
 */
#ifndef QRV_SIM_KERNEL_FAULT_PLAN_H_
#define QRV_SIM_KERNEL_FAULT_PLAN_H_

#include <stdint.h>

#include "qrvctl.h"

typedef struct QrvFaultPlan {
  uint32_t skip;      /* matching requests still to let pass */
  uint32_t remaining; /* requests still to hit; QRVCTL_FAULT_FOREVER: all */
  uint32_t value;
  uint32_t flags;
  uint32_t delayMs;
  uint32_t code; /* the only protocol code it matches; 0: any */
} QrvFaultPlan;

/* Replaces the plan; a count of 0 disarms it. */
void QrvFaultArm(QrvFaultPlan* plan, const QrvCtlFault* fault);

/* Consumes one request of `code` if the plan matches it. Returns 1 when
 * the fault hits it. */
int QrvFaultHits(QrvFaultPlan* plan, uint32_t code);

#endif /* QRV_SIM_KERNEL_FAULT_PLAN_H_ */
