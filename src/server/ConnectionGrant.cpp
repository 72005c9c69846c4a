// The connection a worker's tunnel packets must belong to.
#include "server/ConnectionGrant.h"

#include <arpa/inet.h>

#include <cstddef>
#include <cstring>

#include "protocol/GatewayDatagram.h"

namespace {
// A tunnel packet from a worker: the TAMBLO_MT_TCPOVERUDP byte, the device address and at
// least a whole TCP header, whose first four bytes are the ports.
constexpr size_t kTcpHeaderMinSize = 20;
constexpr size_t kTunnelPacketMinSize = gateway_datagram::kSegmentOffset + kTcpHeaderMinSize;
}  // namespace

bool ConnectionGrant::Connection::carries(const uint8_t* packet) const {
    return set && std::memcmp(packet + gateway_datagram::kDeviceAddressOffset, &device, 4) == 0 &&
           std::memcmp(packet + gateway_datagram::kSegmentOffset, &localPort, 2) == 0 &&
           std::memcmp(packet + gateway_datagram::kDestinationPortOffset, &devicePort, 2) == 0;
}

void ConnectionGrant::grant(uint32_t device, uint16_t localPort, uint16_t devicePort) {
    current.set = true;
    current.device = device;
    current.localPort = htons(localPort);
    current.devicePort = htons(devicePort);
}

void ConnectionGrant::suspend(bool keepPrevious) {
    previous = keepPrevious ? current : Connection();
    current.set = false;
}

bool ConnectionGrant::allows(const uint8_t* packet, uint16_t length) {
    if (length < kTunnelPacketMinSize) {
        return false;
    }
    if (current.carries(packet)) {
        previous.set = false;
        return true;
    }
    return previous.carries(packet);
}
