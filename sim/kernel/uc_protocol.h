/*
 * The port protocol as the driver side sees it: control codes of
 * \\.\QRVDev and the records that travel with them.
 *
 * Deliberately a literal table of its own rather than the client library's
 * headers, so that a layout mistake on either side shows up as a failing
 * test instead of being shared. Portable C: no kernel includes.
 */
#ifndef QRV_SIM_KERNEL_UC_PROTOCOL_H_
#define QRV_SIM_KERNEL_UC_PROTOCOL_H_

#include <stdint.h>

#define UC_DEVICE_NAME L"\\Device\\QRVDev"
#define UC_DEVICE_LINK L"\\DosDevices\\QRVDev"

#define UC_CREATE_ECHO_PORT 0x83002404u /* METHOD_BUFFERED */
#define UC_ECHO 0x83002408u             /* METHOD_BUFFERED */
#define UC_CLOSE_ECHO_PORT 0x8300240Cu  /* METHOD_BUFFERED */
#define UC_ALLOCATE_PORT 0x83002410u    /* METHOD_BUFFERED */
#define UC_FREE_PORT 0x83002414u        /* METHOD_BUFFERED */
#define UC_BIND_THREAD 0x83002418u      /* METHOD_BUFFERED */
#define UC_RECEIVE 0x8300241Eu          /* METHOD_OUT_DIRECT */
#define UC_REPLY 0x83002421u            /* METHOD_IN_DIRECT */

#define UC_ECHO_MAGIC 0x4563686Fu
#define UC_MAX_PORTS 16u
#define UC_MAX_SLOTS 16u

#define UC_KIND_SERVICE 0u
#define UC_KIND_ECHO 1u

/* Input of the two port-creating codes; the answer is a 4-byte port. */
#define UC_PORT_REQUEST_SIZE 12u
#define UC_PORT_REQUEST_KIND 0u /* byte; bytes 1 to 3 carry nothing */
#define UC_PORT_REQUEST_SERVICE_ID 4u
#define UC_PORT_REQUEST_THREAD_COUNT 8u

/* Input of UC_ECHO; the answer is the 4-byte magic. */
#define UC_ECHO_PACKET_SIZE 8u
#define UC_ECHO_PACKET_PORT 0u
#define UC_ECHO_PACKET_MAGIC 4u

/* Input of UC_CLOSE_ECHO_PORT, UC_FREE_PORT and UC_BIND_THREAD. */
#define UC_PORT_WORD_SIZE 4u
/* Output of the port codes, UC_ECHO and UC_BIND_THREAD. */
#define UC_ANSWER_SIZE 4u

/* Input of UC_RECEIVE. */
#define UC_RECEIVE_REQUEST_SIZE 12u
#define UC_RECEIVE_REQUEST_PORT 0u
#define UC_RECEIVE_REQUEST_THREAD_INDEX 4u
#define UC_RECEIVE_REQUEST_LARGE_BUFFER 8u /* byte */

/* Output of UC_RECEIVE: Header, then the payload. After a too-small report
 * Header holds the size the whole buffer needs, Header included. */
#define UC_MESSAGE_HEADER_SIZE 4u

/* Input of UC_REPLY; the reply bytes travel as its (read) output buffer. */
#define UC_REPLY_HEADER_SIZE 8u
#define UC_REPLY_HEADER_PORT 0u
#define UC_REPLY_HEADER_THREAD_INDEX 4u

#endif /* QRV_SIM_KERNEL_UC_PROTOCOL_H_ */
