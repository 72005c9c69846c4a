// The one TCP connection a worker may send tunnel packets for: the device address, the local
// port (TCP source) and the device port (TCP destination) that the parent allowed, each kept
// as it stands in a packet (network order), so a check is three compares.
//
// A Tunnel holds one and checks every tunnel packet its worker sends against it. When the
// worker's connection moves to a new target on the same gateway, the old connection's reset
// may still go out, up to the first packet of the new one (the worker sends them in that
// order).
#pragma once

#include <cstdint>

class ConnectionGrant {
  public:
    // The worker's connection from now on.
    void grant(uint32_t device, uint16_t localPort, uint16_t devicePort);
    // No connection until the next grant(); with keepPrevious the one granted so far stays
    // allowed until a packet of the next one passes.
    void suspend(bool keepPrevious);
    // Whether a tunnel packet (its type byte first) of length bytes may pass.
    bool allows(const uint8_t* packet, uint16_t length);

  private:
    struct Connection {
        bool set = false;
        uint32_t device = 0;
        uint16_t localPort = 0;
        uint16_t devicePort = 0;
        bool carries(const uint8_t* packet) const;
    };
    Connection current;
    Connection previous;
};
