// The narrow faces of the server that its parts call back into: what a tunnel needs of the
// parent (its tables, the worker zygote, the reaper, the counters) and what a gateway client
// needs (the send batch of the gateway port, the counters and log limiters).
//
// TambloServer implements both; a Tunnel and a GatewayClient hold only the face they use, so
// neither sees the rest of the server and a test may stand in for it.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "server/ServerCounters.h"

class Clock;
class GatewayClient;
class Tunnel;
class WorkerReaper;
class WorkerZygotes;
struct ServerSettings;

class TunnelHost {
  public:
    // Where tunnels read their worker's messages: one buffer of this size plus one frame.
    static constexpr size_t kPipeReadBytes = 64 * 1024;

    // The tables of tunnels: a tunnel enters at its start and leaves in its destructor.
    virtual void addTunnel(Tunnel* tunnel) = 0;
    // What a deleted tunnel leaves to the server, reported once by its destructor.
    struct TunnelRemains {
        bool stopReportDue = false;  // a recording whose "STOPPED" line has not gone out
        bool framesQueued = false;   // frames gathered for its pipe that will not be written
        std::optional<uint32_t> proxyClient;  // the client address it counted (network order)
    };
    virtual void tunnelDeleted(Tunnel* tunnel, const TunnelRemains& remains) = 0;
    // A tunnel ends (destroy()): a spare leaves the pool, a connection its set-up.
    virtual void tunnelEnding(Tunnel* tunnel) = 0;
    // The tunnel is deleted on the loop's next pass.
    virtual void deferDelete(Tunnel* tunnel) = 0;
    virtual void registerSession(Tunnel* tunnel, const sockaddr_in& address,
                                 const std::string& deviceIp, uint16_t localPort) = 0;
    // A recording's worker has finished its file: its "STOPPED" line goes out.
    virtual void sendCtrlCloseMessage(Tunnel* tunnel) = 0;
    // A proxy worker serves a client of this address (network order) until it is forgotten.
    virtual void addProxyClient(uint32_t address) = 0;
    virtual void removeProxyClient(uint32_t address) = 0;

    // The gateway clients, as the parent's own lookups name them.
    virtual bool claimGatewayClientId(GatewayClient* client, uint32_t id, bool proven) = 0;
    virtual GatewayClient* gatewayClient(std::string_view key) const = 0;
    virtual GatewayClient* gatewayClient(uint32_t id) const = 0;

    // Where a gateway registered at none of this server's records is, when servers share a
    // gateway directory: done hears it once. The token keeps the question alive; an answer
    // after it died is dropped. Null when done was called already (the directory is away) or
    // when this server runs alone (done is never called).
    enum class GatewayLocation {
        Elsewhere,  // held by another server, at peerAddress
        Nowhere,    // no server holds it
        Unknown,    // the directory cannot say now
    };
    using GatewayLocated = std::function<void(GatewayLocation, const std::string& peerAddress)>;
    virtual std::shared_ptr<void> locateGateway(const std::string& key, GatewayLocated done) = 0;

    // Frames gathered for a worker's pipe are written once the datagrams they came from
    // have been dispatched.
    virtual void pipeFramesQueued(Tunnel* tunnel) = 0;
    virtual uint8_t* pipeReadBuffer() = 0;

    virtual WorkerZygotes& workerZygote() = 0;
    virtual WorkerReaper& reaper() = 0;
    virtual const ServerSettings& serverSettings() const = 0;
    virtual uint16_t getRestPort() const = 0;
    virtual const Clock& clock() const = 0;
    virtual ServerCounters& counters() = 0;
    virtual FloodLogs& floodLogs() = 0;
    // Seconds on the server's clock, for the rate limits.
    virtual double nowSeconds() const = 0;

  protected:
    ~TunnelHost() = default;
};

class GatewayClientHost {
  public:
    // A datagram for a gateway that leaves with the others of this pass of the loop: room
    // for up to capacity bytes, then the length written there. Never fails.
    virtual uint8_t* reserveDatagram(size_t capacity) = 0;
    virtual void commitDatagram(size_t length, const sockaddr_in& destination,
                                DatagramKind kind) = 0;
    virtual ServerCounters& counters() = 0;
    virtual FloodLogs& floodLogs() = 0;
    virtual double nowSeconds() const = 0;

  protected:
    ~GatewayClientHost() = default;
};
