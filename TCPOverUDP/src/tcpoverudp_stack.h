/* The worker's TCP stack as the tunnel transport sees it: IP layer, settings, pcb liveness.
 *
 * IP output and input, per-connection settings, and a handle that learns when lwIP frees a pcb.
 *
 * Besides these, the transport uses lwIP's raw API as usual: lwip_init, tcp_new, tcp_bind,
 * tcp_connect, tcp_recv/sent/err, tcp_recved, tcp_write, tcp_output, tcp_close, tcp_abort,
 * tcp_nagle_disable and the pbuf functions. Every active SYN offers window scaling (shift 4)
 * on its own: the application need not set TF_WND_SCALE, and a flag set before the connect
 * is harmless (tcp_connect clears it; it records the peer's agreement only).
 *
 * Usable from C and from C++17, before or after <arpa/inet.h>: lwIP defines no htons/ntohs
 * macros of its own in this build.
 */
#ifndef TAMBLO_TCPOVERUDP_STACK_H
#define TAMBLO_TCPOVERUDP_STACK_H

#include <stddef.h>

#include "lwip/err.h"
#include "lwip/init.h"
#include "lwip/ip4_addr.h"
#include "lwip/pbuf.h"
#include "lwip/tcp.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- IP layer ---------------------------------------------------------------------- */

/* Implemented by the transport, not by this library: the stack's IP output. Called for
 * every outgoing segment, retransmission, empty ACK and reset. p's payload starts at the
 * TCP header (checksum filled in over the pseudo-header local, dest, 6, TCP length) and
 * has at least 34 bytes of headroom. The stack keeps ownership of p: copy what is needed
 * or prepend with pbuf_add_header(), never free it, and return ERR_OK. */
err_t process_ip_output(const ip4_addr_t* dest, struct pbuf* p);

/* Builds the stack's input buffer for one TCP segment of len bytes received from src for
 * the local address dst: a 20-byte IPv4 header (0x45, protocol 6, the two addresses)
 * followed by a copy of the segment, in a transport-layer RAM buffer. Returns NULL when
 * memory is exhausted or the result would not fit a pbuf (len > 65515). */
struct pbuf* pbuf_with_iphdr_and_data(const ip4_addr_t* dst, const ip4_addr_t* src,
                                      const void* bytes, size_t len);

/* Hands a buffer built by pbuf_with_iphdr_and_data() to TCP. Takes ownership of p in every
 * case. The current packet's addresses are taken from p's IPv4 header for this call only.
 * All stack callbacks of the segment run inside this call. */
void tcpoverudp_tcp_input(struct pbuf* p);

/* Runs lwIP's TCP timer: fast timer on every call, slow timer on every second call. Call it
 * every 250 ms. (lwIP declares it only in its private header.) */
void tcp_tmr(void);

/* ---- Per-connection settings ------------------------------------------------------- */

/* Sets the largest receive window the connection offers (its custom_rcv_ann_wnd). Call
 * before tcp_connect(). 0 restores the default TCP_WND (163840); values above what shift 4
 * can announce (65535 << 4) are clamped. */
void tcpoverudp_set_rcv_window(struct tcp_pcb* pcb, u32_t window);

/* Receive after close. With the flag set, tcp_close() ends only the sending direction: in
 * SYN-RCVD, ESTABLISHED and CLOSE-WAIT it queues the FIN without marking the receive side
 * closed and without resetting for unread data, so later data and the peer's FIN still
 * reach the recv callback; an unconnected pcb is freed as usual. The flag lives on the pcb
 * (rx_after_close) and tcp_close() itself honours it, so the application keeps calling the
 * plain tcp_close(). tcp_connect() clears it: set it after connecting.
 *
 * Such a connection is not timed out in FIN-WAIT-2; it stays until the peer closes or is
 * aborted. The pcb is then freed by the stack without any callback (end of TIME-WAIT), or
 * with the error callback (ERR_CLSD when our FIN of LAST-ACK is acknowledged, ERR_ABRT on
 * time-outs, ERR_RST on a reset). Track it with a tcpoverudp_pcb_handle. */
static inline void tcpoverudp_set_rx_after_close(struct tcp_pcb* pcb, int on) {
    pcb->rx_after_close = (u8_t)(on != 0);
}

/* tcp_recved() with a 32-bit count (lwIP's takes 16 bits): the window grows by all of it
 * at once, so at most one window update leaves for the whole count. */
void tcpoverudp_recved(struct tcp_pcb* pcb, u32_t len);

/* ---- Refused data ------------------------------------------------------------------ */

/* A recv callback that returns ERR_MEM leaves its chain with the stack (pcb->refused_data),
 * already acknowledged; further data segments are dropped until the chain is taken. The
 * stack offers it again on each incoming segment and on each fast timer; this offers it now
 * (the application has just made room). Returns ERR_OK when everything was taken,
 * ERR_INPROGRESS when it is still refused, ERR_ABRT when the callback aborted the pcb. Never
 * call it from inside a stack callback. */
err_t tcpoverudp_offer_refused(struct tcp_pcb* pcb);

/* ---- Pcb liveness ------------------------------------------------------------------ */

/* A pointer to a pcb that the stack clears (sets to NULL) at the moment it frees the pcb,
 * whatever the path: abort, reset, retransmission or persist time-out, close of an
 * unconnected pcb, end of LAST-ACK or TIME-WAIT, reuse of a TIME-WAIT pcb for a new one.
 * Outside the error callback a non-NULL pcb is therefore always safe to pass to tcp_abort(),
 * tcp_close() and friends. Inside the error callback the pcb is gone or about to be freed
 * (after a reset or ERR_CLSD the stack frees it when the callback returns): never use it
 * there, whatever the handle says; releasing the handle there is safe.
 *
 * Only tcpoverudp_handle_set() may write it (zero-initialise the struct; read .pcb freely).
 * A pcb is watched by at most one handle: watching it with another moves the watch and
 * clears the first handle. A handle must be released (set to NULL) before its own storage
 * goes away while it still holds a pcb. */
struct tcpoverudp_pcb_handle {
    struct tcp_pcb* pcb;
};

/* Points the handle at pcb (or at nothing when pcb is NULL), releasing the pcb it held
 * before, if that one is still alive. */
void tcpoverudp_handle_set(struct tcpoverudp_pcb_handle* handle, struct tcp_pcb* pcb);

#ifdef __cplusplus
}
#endif

#endif /* TAMBLO_TCPOVERUDP_STACK_H */
