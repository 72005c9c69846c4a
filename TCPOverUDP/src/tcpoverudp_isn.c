/* Initial sequence numbers of the worker's TCP connections, drawn from the kernel's CSPRNG. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/random.h>

#include "tcpoverudp_hooks.h"

/* getrandom() of 4 bytes only fails while interrupted before the pool is ready. */
enum { kMaxAttempts = 8 };

/* Stock lwIP counts up from 6510 by the tick count, so anyone who can spoof a gateway
 * client's address could guess the sequence space of a relayed stream and inject data.
 * A fresh random ISN per connection needs no key and no state that fork() would share
 * between workers. */
u32_t tcpoverudp_isn_hook(const ip_addr_t* local_ip, u16_t local_port, const ip_addr_t* remote_ip,
                          u16_t remote_port) {
    u32_t isn;
    int attempt;
    (void)local_ip;
    (void)local_port;
    (void)remote_ip;
    (void)remote_port;
    for (attempt = 0; attempt < kMaxAttempts; ++attempt) {
        if (getrandom(&isn, sizeof(isn), 0) == (ssize_t)sizeof(isn)) {
            return isn;
        }
        if (errno != EINTR) {
            break;
        }
    }
    /* A guessable ISN is the very fault this replaces: stop rather than fall back. */
    (void)fprintf(stderr, "tcpoverudp: no random initial sequence number (errno %d)\n", errno);
    abort();
}
