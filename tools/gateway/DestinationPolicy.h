// Where tamblo-gateway may deliver the server's tunnel segments: never to loopback, multicast,
// broadcast (limited, or directed at one of the machine's networks), "this network" or the
// tool's own addresses (its --local-ip and the address it talks to the server from), so that
// a forged or misdirected segment cannot reach the gateway's own services or a whole LAN;
// and, when the operator names LAN prefixes with --allow-dest, only inside them. Built by
// GatewayTool::open, asked for every segment.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace gateway_ip {

// An IPv4 prefix in host byte order.
struct Prefix {
    uint32_t network = 0;
    uint32_t mask = 0;
    bool contains(uint32_t address) const { return (address & mask) == network; }
};

// "A.B.C.D/N" (N 0-32; host bits must be zero) or a single "A.B.C.D".
bool parsePrefix(const std::string& text, Prefix* out);

class DestinationPolicy {
  public:
    // allowed: the operator's prefixes (empty: any address that is not refused below).
    explicit DestinationPolicy(std::vector<Prefix> allowed = {});

    // An address refused as a destination (network byte order).
    void refuse(uint32_t address);
    // The broadcast address of every IPv4 network of the machine's interfaces.
    void refuseInterfaceBroadcasts();

    // destination in network byte order, as it stands in the packet.
    bool allows(uint32_t destination) const;

  private:
    std::vector<Prefix> allowed_;
    std::vector<uint32_t> own_;
};

}  // namespace gateway_ip
