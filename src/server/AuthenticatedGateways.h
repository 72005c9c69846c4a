// The authenticated (version 2) side of the gateway port: the server's static key, the keys
// pinned for gateway ids, the answer to handshake initiations (a cookie reply first when
// initiations come faster than --handshakes-per-second), the records those handshakes make,
// and the transport sessions of each record by receiver index.
//
// A record registered here carries a SealedLink (the record's Peer): its datagrams leave
// sealed under its current session, to the address its last authenticated datagram came from
// (roaming). In the server's tables the record keeps the address of the handshake that made
// it, so its tunnels' session keys never change while it moves; nothing that arrives in the
// clear from that address reaches it. The latest authenticated handshake of an id wins: a
// gateway whose local side is unchanged keeps its record and tunnels and gets a new session,
// any other record of the id is replaced.
//
// GatewayService owns one: it hands over handshake initiations, and transport datagrams, which
// come back opened, with their record, for the service's own dispatch. Keys are the parent's
// only; no worker ever sees one.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/GatewayProtocolV2.h"
#include "protocol/NoiseCrypto.h"
#include "server/GatewayKeys.h"
#include "server/ServerCounters.h"

class Clock;
class GatewayClient;
class GatewayClientHost;
class GatewayPort;
class GatewayRegistry;
struct ServerSettings;

enum class GatewayAuth : uint8_t {
    Off,       // version 1 registrations as they always were; no handshakes
    Pinned,    // an id with a pinned key registers only through version 2
    Required,  // no version 1 registration at all
};

// What the key options give: the server's key pair, the pinned keys and the policy.
struct GatewayAuthSetup {
    std::optional<noise::KeyPair> serverKeys;
    gateway_keys::GatewayKeyTable pinned;
    GatewayAuth policy = GatewayAuth::Off;
};
// Reads the files the settings name (withServerKey false: the gateway keys only, as SIGHUP
// does); throws std::runtime_error naming the file, line and reason, or the options that do not
// go together.
GatewayAuthSetup loadGatewayAuth(const ServerSettings& settings, bool withServerKey = true);

class AuthenticatedGateways {
  public:
    AuthenticatedGateways(const ServerSettings& settings, const Clock& clock,
                          ServerCounters& counters, FloodLogs& floodLogs, GatewayRegistry& gateways,
                          GatewayPort& port, GatewayClientHost& host);
    ~AuthenticatedGateways();
    AuthenticatedGateways(const AuthenticatedGateways&) = delete;
    AuthenticatedGateways& operator=(const AuthenticatedGateways&) = delete;

    // The server's key (none: handshakes are refused), the pinned keys and the policy.
    // Records whose id lost its key, or has another one now, are removed.
    void configure(GatewayAuthSetup setup);
    // The pinned keys again (SIGHUP); the server key and the policy stay.
    void repin(gateway_keys::GatewayKeyTable pinned);
    GatewayAuth policy() const { return policy_; }
    bool enabled() const { return serverKeys_.has_value(); }
    // Whether a version 1 registration naming this id is refused by the policy.
    bool refusesVersion1(std::string_view id) const;
    // Whether a version 1 registration of key (macKey: its MAC text) is refused: by the policy,
    // because it would replace an authenticated record, or (with a server key) over the share
    // of --max-gateways that version 1 may take; counted and logged at a bounded rate.
    bool refusesVersion1Registration(std::string_view key, std::string_view macKey,
                                     bool authenticatedRecord, size_t replaced,
                                     const sockaddr_in& sender);

    // A handshake initiation: answered with a response (the gateway registered), a cookie
    // reply, or nothing (counted by reason).
    void initiation(const sockaddr_in& sender, const uint8_t* datagram, size_t length);

    // A transport datagram, opened in place: its record and inner datagram, or nothing when it
    // was dropped (counted by reason). The record's address follows the sender.
    struct Opened {
        GatewayClient* client;
        uint8_t* inner;
        size_t length;
    };
    std::optional<Opened> open(const sockaddr_in& sender, uint8_t* datagram, size_t length);

    class Peer;
    struct Indices;

  private:
    bool underLoad(double seconds);
    // The record for a completed handshake: the same one when the gateway's local side is
    // unchanged, else a new one; nullptr when the limits refuse it.
    GatewayClient* recordFor(const sockaddr_in& sender, std::string_view id,
                             const noise::PublicKey& key, const void* payload);
    gateway_v2::Instant now() const;

    const ServerSettings& settings;
    const Clock& clock;
    ServerCounters& counters;
    FloodLogs& floodLogs;
    GatewayRegistry& gateways;
    GatewayPort& port;
    GatewayClientHost& host;

    std::optional<noise::KeyPair> serverKeys_;
    gateway_keys::GatewayKeyTable pinned_;
    GatewayAuth policy_ = GatewayAuth::Off;
    struct Checker;
    std::unique_ptr<Checker> checker_;
    // Shared with every Peer, so that a record deleted after this object still leaves safely.
    std::shared_ptr<Indices> indices_;
    // Initiations in the current second, for the cookie threshold.
    double loadSecond_ = -1;
    uint32_t loadCount_ = 0;
};
