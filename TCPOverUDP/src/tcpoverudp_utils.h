/* Stack-side helpers of the worker's TCP: the SYN re-send that answers a stray ACK in SYN-SENT. */
#ifndef TAMBLO_TCPOVERUDP_UTILS_H
#define TAMBLO_TCPOVERUDP_UTILS_H

#include "lwip/tcp.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sends a copy of pcb's queued SYN (TCP header with its options and the checksum computed
 * when it first left) at once, from the connection's local to its remote address. The SYN
 * stays queued: its retransmission timer and count are untouched. Nothing is sent when the
 * SYN has not left yet (tcp_output will send it) or memory is exhausted. */
void resendSynPacket(struct tcp_pcb* pcb);

#ifdef __cplusplus
}
#endif

#endif /* TAMBLO_TCPOVERUDP_UTILS_H */
