/* qrvctl post: a message to a registered service, and its outcome. */
#ifndef QUORVEL_TOOLS_QRVCTL_POST_COMMAND_H_
#define QUORVEL_TOOLS_QRVCTL_POST_COMMAND_H_

#include "command_line.h"

/* post <service> (<text> | --file <path>) [--no-reply] [--timeout <ms>]
 * [--reply-file <path>]: posts the text, or the bytes of the file (binary,
 * up to the driver's QRVCTL_MAX_PAYLOAD), waits for the outcome and prints
 * it on one line; an answer's bytes also go to the reply file. */
int QrvctlPost(const QrvctlCommand* command, int argc, char** argv);

#endif /* QUORVEL_TOOLS_QRVCTL_POST_COMMAND_H_ */
