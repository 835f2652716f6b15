/* qrvctl fault and clear: arm and disarm the driver's injectable faults. */
#ifndef QUORVEL_TOOLS_QRVCTL_FAULT_COMMAND_H_
#define QUORVEL_TOOLS_QRVCTL_FAULT_COMMAND_H_

#include <stdio.h>

#include "command_line.h"

/* fault <kind> <skip> <count> <value> [<flags> [<delay ms> [<code>]]], and
 * clear <kind> (a plan with a count of 0). A kind is its name or number. */
int QrvctlFault(const QrvctlCommand* command, int argc, char** argv);

/* Lists the fault kinds, number and name, for the usage text. */
void QrvctlPrintFaultKinds(FILE* stream);

#endif /* QUORVEL_TOOLS_QRVCTL_FAULT_COMMAND_H_ */
