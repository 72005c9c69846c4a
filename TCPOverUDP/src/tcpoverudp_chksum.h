/* The Internet checksum's ones' complement sum, fast: the stack's checksum routine (lwIP's
 * LWIP_CHKSUM, for every segment it sends) and the gateway tool's, for the segments it cuts
 * out of the TUN device's large ones.
 *
 * Usable from C and C++. Plain C types, so that lwipopts.h can name it before lwIP's own
 * types exist.
 */
#ifndef TAMBLO_TCPOVERUDP_CHKSUM_H
#define TAMBLO_TCPOVERUDP_CHKSUM_H

#ifdef __cplusplus
extern "C" {
#endif

/* The ones' complement sum of the len bytes at data taken as 16-bit words in memory order
 * (an odd last byte is padded with a zero byte), folded to 16 bits and not complemented:
 * what lwIP's lwip_standard_chksum() returns, at any alignment of data. Reads 32 bits at a
 * time into a 64-bit accumulator, so no carry is lost before the final fold. */
unsigned short tcpoverudp_chksum(const void* data, int len);

#ifdef __cplusplus
}
#endif

#endif /* TAMBLO_TCPOVERUDP_CHKSUM_H */
