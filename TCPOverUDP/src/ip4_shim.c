/* The worker stack's IP layer: no routing, no IP headers; segments come and go via the tunnel. */
#include <string.h>

#include "lwip/ip.h"
#include "lwip/ip4.h"
#include "lwip/netif.h"
#include "lwip/priv/tcp_priv.h"
#include "lwip/prot/ip4.h"
#include "lwip/tcp.h"
#include "tcpoverudp_stack.h"

/* The one pseudo interface every segment "uses". No link MTU of its own (0): TCP_MSS alone
 * sizes segments. No broadcast flag: nothing but the tunnel's unicast addresses exists. */
static struct netif tunnel_netif;

void netif_init(void) {
    memset(&tunnel_netif, 0, sizeof(tunnel_netif));
    tunnel_netif.flags = NETIF_FLAG_UP | NETIF_FLAG_LINK_UP;
}

struct netif* netif_get_by_index(u8_t idx) {
    return (idx == netif_get_index(&tunnel_netif)) ? &tunnel_netif : NULL;
}

/* Every destination is reached through the tunnel. */
struct netif* ip4_route(const ip4_addr_t* dest) {
    LWIP_UNUSED_ARG(dest);
    return &tunnel_netif;
}

/* TCP's segment leaves as it is, TCP header first; source, TTL, TOS and protocol are implied
 * by the tunnel. */
err_t ip4_output_if(struct pbuf* p, const ip4_addr_t* src, const ip4_addr_t* dest, u8_t ttl,
                    u8_t tos, u8_t proto, struct netif* netif) {
    LWIP_UNUSED_ARG(src);
    LWIP_UNUSED_ARG(ttl);
    LWIP_UNUSED_ARG(tos);
    LWIP_UNUSED_ARG(proto);
    LWIP_UNUSED_ARG(netif);
    return process_ip_output(dest, p);
}

/*
 * Input buffer of one tunnelled segment (payload of a PBUF_TRANSPORT RAM pbuf):
 *
 *   offset  0      1     2..3        4..8   9     10..11   12..15   16..19   20..
 *         +------+-----+-----------+------+-----+--------+--------+--------+------------+
 *         | 0x45 |  0  | total len |  0   |  6  |   0    | source | dest   | TCP segment|
 *         +------+-----+-----------+------+-----+--------+--------+--------+------------+
 *
 * Only the header-length nibble and the two addresses are read back.
 */
enum {
    kIp4HeaderLen = IP_HLEN,
    kMaxSegmentLen = 0xFFFF - IP_HLEN,
};

static void write_ip4_header(struct ip_hdr* hdr, const ip4_addr_t* dst, const ip4_addr_t* src,
                             u16_t total_len) {
    memset(hdr, 0, sizeof(*hdr));
    IPH_VHL_SET(hdr, 4, kIp4HeaderLen / 4);
    IPH_LEN_SET(hdr, lwip_htons(total_len));
    IPH_PROTO_SET(hdr, IP_PROTO_TCP);
    ip4_addr_copy(hdr->src, *src);
    ip4_addr_copy(hdr->dest, *dst);
}

struct pbuf* pbuf_with_iphdr_and_data(const ip4_addr_t* dst, const ip4_addr_t* src,
                                      const void* bytes, size_t len) {
    struct pbuf* p;
    u16_t total_len;
    if (len > (size_t)kMaxSegmentLen || (len > 0 && bytes == NULL)) {
        return NULL;
    }
    total_len = (u16_t)(len + kIp4HeaderLen);
    p = pbuf_alloc(PBUF_TRANSPORT, total_len, PBUF_RAM);
    if (p == NULL) {
        return NULL;
    }
    write_ip4_header((struct ip_hdr*)p->payload, dst, src, total_len);
    if (len > 0) {
        memcpy((u8_t*)p->payload + kIp4HeaderLen, bytes, len);
    }
    return p;
}

/* tcp_input() learns the packet's addresses and interface from ip_data, as if ip4_input()
 * had run; they are valid for this one call only. */
static void set_current_packet(const struct ip_hdr* hdr, u16_t header_len) {
    ip_data.current_netif = &tunnel_netif;
    ip_data.current_input_netif = &tunnel_netif;
    ip_data.current_ip4_header = hdr;
    ip_data.current_ip_header_tot_len = header_len;
    ip_addr_copy_from_ip4(ip_data.current_iphdr_src, hdr->src);
    ip_addr_copy_from_ip4(ip_data.current_iphdr_dest, hdr->dest);
}

static void clear_current_packet(void) {
    ip_data.current_netif = NULL;
    ip_data.current_input_netif = NULL;
    ip_data.current_ip4_header = NULL;
    ip_data.current_ip_header_tot_len = 0;
    ip_addr_set_zero_ip4(&ip_data.current_iphdr_src);
    ip_addr_set_zero_ip4(&ip_data.current_iphdr_dest);
}

void tcpoverudp_tcp_input(struct pbuf* p) {
    const struct ip_hdr* hdr;
    u16_t header_len;
    if (p == NULL) {
        return;
    }
    /* The header must be contiguous; pbuf_with_iphdr_and_data() makes one buffer. */
    if (p->len < kIp4HeaderLen) {
        pbuf_free(p);
        return;
    }
    hdr = (const struct ip_hdr*)p->payload;
    header_len = (u16_t)(IPH_HL_BYTES(hdr));
    if (header_len < kIp4HeaderLen || header_len > p->len) {
        pbuf_free(p);
        return;
    }
    set_current_packet(hdr, header_len);
    /* cannot fail: header_len <= p->len */
    (void)pbuf_remove_header(p, header_len);
    tcp_input(p, &tunnel_netif);
    clear_current_packet();
}
