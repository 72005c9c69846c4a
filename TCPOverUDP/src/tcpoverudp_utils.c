/* Answers a stray ACK in SYN-SENT with a reset, then the pending SYN again at once. */
#include "tcpoverudp_utils.h"

#include <string.h>

#include "lwip/ip.h"
#include "lwip/priv/tcp_priv.h"
#include "lwip/prot/tcp.h"
#include "tcpoverudp_hooks.h"

/* Sent but not yet answered, the SYN is the one segment on the unacked queue. */
static const struct tcp_seg* sent_syn(const struct tcp_pcb* pcb) {
    const struct tcp_seg* seg = pcb->unacked;
    if (seg == NULL || (TCPH_FLAGS(seg->tcphdr) & TCP_SYN) == 0) {
        return NULL;
    }
    return seg;
}

void resendSynPacket(struct tcp_pcb* pcb) {
    const struct tcp_seg* syn = sent_syn(pcb);
    struct netif* netif;
    struct pbuf* p;
    u16_t header_len;
    if (syn == NULL) {
        return;
    }
    netif = ip_route(&pcb->local_ip, &pcb->remote_ip);
    if (netif == NULL) {
        return;
    }
    header_len = TCPH_HDRLEN_BYTES(syn->tcphdr);
    /* PBUF_IP: keeps the headroom the transport uses to prepend the tunnel address */
    p = pbuf_alloc(PBUF_IP, header_len, PBUF_RAM);
    if (p == NULL) {
        return;
    }
    memcpy(p->payload, syn->tcphdr, header_len);
    (void)ip_output_if(p, &pcb->local_ip, &pcb->remote_ip, pcb->ttl, 0, IP_PROTO_TCP, netif);
    pbuf_free(p);
}

/* In SYN-SENT, anything with ACK but no RST that is not our SYN+ACK (acknowledging
 * ISN + 1). The header fields are in host order by now. */
static int is_stray_ack(const struct tcp_pcb* pcb, const struct tcp_hdr* hdr) {
    const u16_t flags = TCPH_FLAGS(hdr);
    if (pcb->state != SYN_SENT || (flags & TCP_ACK) == 0 || (flags & TCP_RST) != 0) {
        return 0;
    }
    return !((flags & TCP_SYN) != 0 && hdr->ackno == pcb->lastack + 1);
}

/* Stock lwIP also resets the peer and sends the SYN again, but through the RTO path, which
 * spends one of the SYN's retransmissions, restarts its timer and stops once they run out.
 * Here the reset puts a half-open peer back in a state where it can answer our SYN, the SYN
 * goes out at once, and the connect keeps its full retransmission budget and timing. */
err_t tcpoverudp_inpacket_hook(struct tcp_pcb* pcb, struct tcp_hdr* hdr, u16_t optlen,
                               u16_t opt1len, u8_t* opt2, struct pbuf* p) {
    u32_t seg_len;
    LWIP_UNUSED_ARG(optlen);
    LWIP_UNUSED_ARG(opt1len);
    LWIP_UNUSED_ARG(opt2);
    if (!is_stray_ack(pcb, hdr)) {
        return ERR_OK;
    }
    /* p starts at the payload now; SYN and FIN take one sequence number each */
    seg_len = p->tot_len + ((TCPH_FLAGS(hdr) & (TCP_SYN | TCP_FIN)) != 0 ? 1U : 0U);
    tcp_rst(pcb, hdr->ackno, hdr->seqno + seg_len, ip_current_dest_addr(), ip_current_src_addr(),
            hdr->dest, hdr->src);
    resendSynPacket(pcb);
    /* consumed: tcp_input drops the segment without touching the pcb */
    return ERR_VAL;
}
