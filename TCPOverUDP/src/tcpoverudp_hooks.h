/* lwIP hook declarations of the worker's stack (LWIP_HOOK_FILENAME): stray-ACK SYN re-send, ISN. */
#ifndef TAMBLO_TCPOVERUDP_HOOKS_H
#define TAMBLO_TCPOVERUDP_HOOKS_H

#include "lwip/err.h"
#include "lwip/ip_addr.h"

#ifdef __cplusplus
extern "C" {
#endif

struct pbuf;
struct tcp_hdr;
struct tcp_pcb;

/* LWIP_HOOK_TCP_INPACKET_PCB: answers a stray ACK in SYN-SENT (tcpoverudp_utils.c). */
err_t tcpoverudp_inpacket_hook(struct tcp_pcb* pcb, struct tcp_hdr* hdr, u16_t optlen,
                               u16_t opt1len, u8_t* opt2, struct pbuf* p);

/* LWIP_HOOK_TCP_ISN: an unpredictable initial sequence number (tcpoverudp_isn.c). */
u32_t tcpoverudp_isn_hook(const ip_addr_t* local_ip, u16_t local_port, const ip_addr_t* remote_ip,
                          u16_t remote_port);

#ifdef __cplusplus
}
#endif

#endif /* TAMBLO_TCPOVERUDP_HOOKS_H */
