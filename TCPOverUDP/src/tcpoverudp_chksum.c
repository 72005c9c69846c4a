/* The ones' complement sum behind every TCP checksum of the worker's stack. */
#include "tcpoverudp_chksum.h"

#include <stdint.h>
#include <string.h>

static uint32_t load32(const unsigned char* p) {
    uint32_t word;
    memcpy(&word, p, sizeof word);
    return word;
}

unsigned short tcpoverudp_chksum(const void* data, int len) {
    /* 32-bit words in memory order add up to the same folded sum as their 16-bit halves
     * (2^16 is 1 modulo 2^16 - 1), whatever the host's byte order. */
    const unsigned char* p = (const unsigned char*)data;
    uint64_t sum = 0;
    size_t left = len > 0 ? (size_t)len : 0;
    while (left >= 32) {
        sum += (uint64_t)load32(p) + load32(p + 4) + load32(p + 8) + load32(p + 12);
        sum += (uint64_t)load32(p + 16) + load32(p + 20) + load32(p + 24) + load32(p + 28);
        p += 32;
        left -= 32;
    }
    while (left >= 4) {
        sum += load32(p);
        p += 4;
        left -= 4;
    }
    if (left > 0) {
        unsigned char tail[4] = {0, 0, 0, 0};
        memcpy(tail, p, left);
        sum += load32(tail);
    }
    sum = (sum & 0xffffffffu) + (sum >> 32);
    sum = (sum & 0xffffffffu) + (sum >> 32);
    sum = (sum & 0xffffu) + (sum >> 16);
    sum = (sum & 0xffffu) + (sum >> 16);
    return (unsigned short)sum;
}
