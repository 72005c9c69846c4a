/* Build options of the worker's lwIP: raw-API TCP over IPv4 only, no OS, memory from malloc. */
#ifndef TAMBLO_LWIPOPTS_H
#define TAMBLO_LWIPOPTS_H

/* ---- System: one event-loop thread per worker drives everything, tcp_tmr every 250 ms. ---- */
#define NO_SYS 1
#define NO_SYS_NO_TIMERS 1
#define SYS_LIGHTWEIGHT_PROT 0
#define LWIP_NETCONN 0
#define LWIP_SOCKET 0

/* ---- Memory: no fixed pools; element sizes follow the structures. ---- */
#define MEM_LIBC_MALLOC 1
#define MEMP_MEM_MALLOC 1
#define MEM_ALIGNMENT 8

/* ---- Protocols: segments reach TCP from the tunnel, never from a network interface. ---- */
#define LWIP_IPV4 1
#define LWIP_IPV6 0
#define LWIP_UDP 0
#define LWIP_RAW 0
#define LWIP_ICMP 0
#define LWIP_ARP 0
#define LWIP_ETHERNET 0
#define LWIP_IGMP 0
#define LWIP_DHCP 0
#define LWIP_AUTOIP 0
#define LWIP_DNS 0
#define IP_REASSEMBLY 0
#define IP_FRAG 0
#define LWIP_STATS 0
#define LWIP_NETIF_LOOPBACK 0
#define LWIP_HAVE_LOOPIF 0

/* ---- TCP of the worker's connections. ---- */
#define LWIP_TCP 1
#define TCP_MSS 1398
/* 32-bit windows with our shift 4 offered in every SYN. */
#define LWIP_WND_SCALE 1
#define TCP_RCV_SCALE 4
/* Default of each connection's custom_rcv_ann_wnd. */
#define TCP_WND 163840
#define TCP_SND_BUF 163840
#define TCP_SND_QUEUELEN 255
/* Only netconn reads it, but lwIP insists it stays 4 MSS below 64 KiB. */
#define TCP_SNDLOWAT (TCP_SND_BUF / 4)
#define TCP_MAXRTX 4
#define TCP_SYNMAXRTX 6
#define TCP_QUEUE_OOSEQ 1
#define TCP_OVERSIZE TCP_MSS
#define LWIP_TCP_TIMESTAMPS 0
#define LWIP_TCP_SACK_OUT 0
#define LWIP_TCP_KEEPALIVE 0
#define TCP_LISTEN_BACKLOG 0
/* One slot: the pcb handle that learns when lwIP frees a pcb (tcpoverudp_pcb.c). */
#define LWIP_TCP_PCB_NUM_EXT_ARGS 1

/* Outgoing checksums let the gateway client rebuild valid IPv4 packets. Incoming ones are
   not tested: the device computed them over the addresses it sees on its LAN, which need
   not be the tunnel's. */
#define CHECKSUM_GEN_TCP 1
#define CHECKSUM_CHECK_TCP 0
/* The sum itself reads 32 bits at a time (tcpoverudp_chksum.c): lwIP's own 16-bit loop was a
   fifth of an upload's worker time. Data written with a copy is summed as it is copied, so a
   segment's payload is not read again when it is sent (or sent again). */
#include "tcpoverudp_chksum.h"
#define LWIP_CHKSUM tcpoverudp_chksum
#define LWIP_CHECKSUM_ON_COPY 1

/* 14 + 20 + 20 = 54 bytes of headroom in a transport buffer, so the transport can prepend
   the tunnel packet's address without copying. */
#define PBUF_LINK_HLEN 14
#define PBUF_LINK_ENCAPSULATION_HLEN 0

/* Stray-ACK SYN re-send and unpredictable initial sequence numbers. */
#define LWIP_HOOK_FILENAME "tcpoverudp_hooks.h"
#define LWIP_HOOK_TCP_INPACKET_PCB tcpoverudp_inpacket_hook
#define LWIP_HOOK_TCP_ISN tcpoverudp_isn_hook

#endif /* TAMBLO_LWIPOPTS_H */
