// Log lines of tamblo-gateway on stderr: errors always, more with each -v.
#pragma once

#include <netinet/in.h>

namespace gateway_log {

constexpr int kError = 0;   // always shown
constexpr int kInfo = 1;    // -v: registrations, losses, first failures of a kind
constexpr int kPacket = 2;  // -vv: every datagram and packet

void setVerbosity(int verbosity);
bool enabled(int level);
// One timestamped line; callers test enabled() first so that per-packet lines cost nothing.
void line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// An IPv4 address (network order, 4 bytes at address) as dotted text for a line.
struct Dotted {
    char text[INET_ADDRSTRLEN];
};
Dotted dotted(const void* address);

}  // namespace gateway_log
