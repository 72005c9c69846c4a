// The gateway datagram protocol: what each datagram on the gateway port is (registration,
// keyed registration, keepalive, envelope, tunnel segment, channel datagram) and where it
// goes; the records registration makes and keepalives keep; their expiry and the purge of
// their session caches.
//
// The server object owns one, hands it every datagram its gateway port receives, and runs its
// keepalive sweep and cache purge on timers. It changes the gateway tables only through the
// registry, answers through the gateway port, and finds a tunnel segment's tunnel through
// Sessions (the server's session table).
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/GatewayDatagram.h"
#include "server/AuthenticatedGateways.h"
#include "server/ServerCounters.h"

class Clock;
class GatewayClient;
class GatewayClientHost;
class GatewayPort;
class GatewayRegistry;
class Tunnel;

class GatewayService {
  public:
    static constexpr int64_t kKeepaliveSilenceSeconds = 120;
    static constexpr int kSessionCacheTimeoutSeconds = 900;

    // What the dispatch of tunnel segments needs of the tunnel tables.
    class Sessions {
      public:
        virtual Tunnel* session(std::string_view key) const = 0;
        // The device's first answer bytes reached a connection in set-up.
        virtual void setupDone(Tunnel* tunnel) = 0;

      protected:
        ~Sessions() = default;
    };

    GatewayService(const ServerSettings& settings, const Clock& clock, ServerCounters& counters,
                   FloodLogs& floodLogs, GatewayRegistry& gateways, GatewayPort& port,
                   GatewayClientHost& host, Sessions& sessions);
    GatewayService(const GatewayService&) = delete;
    GatewayService& operator=(const GatewayService&) = delete;

    // One datagram from a gateway: counted, then dispatched.
    void receivedDatagram(const sockaddr_in& sender, uint8_t* datagram, size_t length);
    // Before the first and after the last datagram of a receive batch.
    void receiveBatchBoundary() { lastRoute.valid = false; }
    void registerTamClient(bool withKey, const sockaddr_in& sender, const uint8_t* datagram,
                           size_t length);
    void handleKeepalive(const sockaddr_in& sender, const uint8_t* datagram, size_t length);
    // Removes the records silent for longer than kKeepaliveSilenceSeconds.
    void processKeepalive();
    void purgeSessionCache();
    // The authenticated registration's keys and policy (at the start and on SIGHUP).
    AuthenticatedGateways& authenticated() { return authenticated_; }

  private:
    // sealed: the datagram came out of an envelope.
    void dispatch(const sockaddr_in& sender, uint8_t* datagram, size_t length, bool sealed);
    void routeTunnelSegment(const sockaddr_in& sender, uint8_t* datagram, size_t length,
                            bool sealed);
    void routeChannelDatagram(const sockaddr_in& sender, uint8_t* datagram, size_t length,
                              bool sealed);
    bool refusePlaintext(const GatewayClient* owner, const sockaddr_in& sender, bool sealed);
    void handleEncrypted(const sockaddr_in& sender, uint8_t* datagram, size_t length);
    // An authenticated transport datagram, and what it carried for its record.
    void handleTransport(const sockaddr_in& sender, uint8_t* datagram, size_t length);
    void dispatchAuthenticated(GatewayClient* client, uint8_t* datagram, size_t length);

    const Clock& clock;
    ServerCounters& counters;
    FloodLogs& floodLogs;
    GatewayRegistry& gateways;
    GatewayPort& port;
    GatewayClientHost& host;
    Sessions& sessions;
    const ServerSettings& settings;
    AuthenticatedGateways authenticated_;

    // The session of the last tunnel segment dispatched: a run of segments of one connection
    // formats and looks up its key once. Kept for one receive batch only: sessions change
    // and tunnels go away only in other callbacks.
    struct LastRoute {
        bool valid = false;
        sockaddr_in sender{};
        gateway_datagram::TunnelSegmentRoute route;
        Tunnel* tunnel = nullptr;
    } lastRoute;
};
