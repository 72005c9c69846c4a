// The authenticated gateway registration and transport of the server.
#include "server/AuthenticatedGateways.h"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "common/Clock.h"
#include "common/Logging.h"
#include "protocol/GatewayDatagram.h"
#include "protocol/GatewayDatagramV2.h"
#include "protocol/HandshakeCookie.h"
#include "protocol/NoiseTransport.h"
#include "server/AddressKey.h"
#include "server/CommandLine.h"
#include "server/GatewayClient.h"
#include "server/GatewayHandshake.h"
#include "server/GatewayPort.h"
#include "server/GatewayRegistry.h"
#include "server/TunnelHost.h"

namespace v2 = gateway_datagram_v2;
using gateway_v2::Instant;
using gateway_v2::OpenStatus;
using gateway_v2::TransportSession;

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kServer);
}  // namespace

// The receiver indices of every live session, and the last initiation timestamp of each id.
struct AuthenticatedGateways::Indices {
    std::unordered_map<uint32_t, Peer*> peers;
    std::unordered_map<std::string, v2::Tai64n> lastTimestamp;

    // A fresh index that no session uses; 0 when randomness fails.
    uint32_t fresh() {
        for (int attempt = 0; attempt < 8; ++attempt) {
            uint32_t index = 0;
            if (!noise::randomBytes(reinterpret_cast<uint8_t*>(&index), sizeof index)) {
                return 0;
            }
            if (index != 0 && peers.find(index) == peers.end()) {
                return index;
            }
        }
        return 0;
    }
};

struct AuthenticatedGateways::Checker {
    explicit Checker(const noise::PublicKey& own) : cookies(own) {}
    gateway_v2::CookieChecker cookies;
};

// One authenticated record's sessions (as WireGuard keeps them: the next one until the gateway
// confirms it with its first datagram, the current one, the previous one for datagrams still
// under way) and the address its datagrams go to.
class AuthenticatedGateways::Peer final : public SealedLink {
  public:
    Peer(std::shared_ptr<Indices> indices, GatewayPort& port, ServerCounters& counters,
         noise::PublicKey key, const sockaddr_in& endpoint)
        : indices(std::move(indices)),
          port(port),
          counters(counters),
          key(key),
          endpoint(endpoint) {}
    ~Peer() override {
        for (auto* slot : {&previous, &current, &next}) {
            forget(*slot);
        }
    }

    void send(const uint8_t* bytes, size_t length) override {
        const Instant now = std::chrono::steady_clock::now();
        TransportSession* session = nullptr;
        for (auto* slot : {&current, &previous}) {
            if (*slot && (*slot)->canSend(now)) {
                session = &**slot;
                break;
            }
        }
        if (session == nullptr || length > v2::kMaxInnerSize) {
            return;  // no confirmed session yet: the gateway's first datagram brings one
        }
        const DatagramKind kind = length > 0 && bytes[0] == TAMBLO_MT_TCPOVERUDP
                                      ? DatagramKind::Tunnel
                                      : DatagramKind::Channel;
        uint8_t* out = port.reserveDatagram(length + v2::kTransportOverhead);
        const std::optional<size_t> sealed = session->seal({bytes, length}, out, now);
        port.commitDatagram(sealed ? *sealed : 0, endpoint, kind);
    }

    // A session of a new handshake: used for sending once the gateway's first datagram under
    // it arrives.
    void offer(TransportSession session) {
        forget(next);
        next.emplace(std::move(session));
        indices->peers[next->localIndex()] = this;
    }

    bool hasSessions() const { return previous || current || next; }
    // The session a datagram to index belongs to.
    TransportSession* sessionFor(uint32_t index) {
        for (auto* slot : {&next, &current, &previous}) {
            if (*slot && (*slot)->localIndex() == index) {
                return &**slot;
            }
        }
        return nullptr;
    }
    // The next session proved itself: it becomes the current one.
    void confirmed(TransportSession* session) {
        if (!next || session != &*next) {
            return;
        }
        forget(previous);
        previous = std::move(current);
        current = std::move(next);
        next.reset();
    }

    std::shared_ptr<Indices> indices;
    GatewayPort& port;
    ServerCounters& counters;
    noise::PublicKey key;
    sockaddr_in endpoint;
    GatewayClient* client = nullptr;  // the record that owns this link
    uint32_t localIP = 0;
    uint16_t portStart = 0;
    uint16_t portEnd = 0;
    uint8_t type = 0;

  private:
    void forget(std::optional<TransportSession>& slot) {
        if (slot) {
            const auto found = indices->peers.find(slot->localIndex());
            if (found != indices->peers.end() && found->second == this) {
                indices->peers.erase(found);
            }
            slot.reset();
        }
    }

    std::optional<TransportSession> previous;
    std::optional<TransportSession> current;
    std::optional<TransportSession> next;
};

AuthenticatedGateways::AuthenticatedGateways(const ServerSettings& settings, const Clock& clock,
                                             ServerCounters& counters, FloodLogs& floodLogs,
                                             GatewayRegistry& gateways, GatewayPort& port,
                                             GatewayClientHost& host)
    : settings(settings),
      clock(clock),
      counters(counters),
      floodLogs(floodLogs),
      gateways(gateways),
      port(port),
      host(host),
      indices_(std::make_shared<Indices>()) {}

AuthenticatedGateways::~AuthenticatedGateways() = default;

Instant AuthenticatedGateways::now() const {
    return std::chrono::steady_clock::now();
}

GatewayAuthSetup loadGatewayAuth(const ServerSettings& settings, bool withServerKey) {
    GatewayAuthSetup setup;
    std::string error;
    if (withServerKey && !settings.serverKeyFile.empty()) {
        setup.serverKeys = gateway_keys::loadServerKey(settings.serverKeyFile, &error);
        if (!setup.serverKeys) {
            throw std::runtime_error("--server-key: " + error);
        }
    }
    if (!settings.gatewayKeysFile.empty()) {
        std::optional<gateway_keys::GatewayKeyTable> table =
            gateway_keys::loadGatewayKeys(settings.gatewayKeysFile, &error);
        if (!table) {
            throw std::runtime_error("--gateway-keys: " + error);
        }
        setup.pinned = std::move(*table);
    }
    const std::string& auth = settings.gatewayAuth;
    setup.policy = auth == "required" ? GatewayAuth::Required
                   : auth == "pinned" || (auth.empty() && !settings.gatewayKeysFile.empty())
                       ? GatewayAuth::Pinned
                       : GatewayAuth::Off;
    if (withServerKey && setup.policy != GatewayAuth::Off &&
        (settings.serverKeyFile.empty() || settings.gatewayKeysFile.empty())) {
        throw std::runtime_error(
            "--gateway-auth=pinned and =required (the default with --gateway-keys) need both "
            "--server-key and --gateway-keys");
    }
    if (withServerKey && !settings.gatewayKeysFile.empty() && settings.serverKeyFile.empty()) {
        throw std::runtime_error("--gateway-keys needs --server-key");
    }
    return setup;
}

void AuthenticatedGateways::repin(gateway_keys::GatewayKeyTable pinned) {
    GatewayAuthSetup setup;
    setup.serverKeys = serverKeys_;
    setup.pinned = std::move(pinned);
    setup.policy = policy_;
    configure(std::move(setup));
}

void AuthenticatedGateways::configure(GatewayAuthSetup setup) {
    const bool serverKeyChanged =
        serverKeys_.has_value() != setup.serverKeys.has_value() ||
        (setup.serverKeys && serverKeys_->publicKey != setup.serverKeys->publicKey);
    serverKeys_ = std::move(setup.serverKeys);
    pinned_ = std::move(setup.pinned);
    policy_ = setup.policy;
    if (serverKeyChanged) {
        checker_ = serverKeys_ ? std::make_unique<Checker>(serverKeys_->publicKey) : nullptr;
    }
    // A record stays only while its id is pinned to the key it proved (and the server is
    // still the one it authenticated).
    std::vector<GatewayClient*> stale;
    gateways.forEach([&](GatewayClient* client) {
        auto* peer = static_cast<Peer*>(client->sealedLink());
        if (peer == nullptr) {
            return;
        }
        const noise::PublicKey* key = pinned_.keyOf(client->key());
        if (serverKeyChanged || key == nullptr || *key != peer->key) {
            stale.push_back(client);
        }
    });
    for (GatewayClient* client : stale) {
        LOG4CPLUS_INFO(logger,
                       "Removed gateway client " << client->key() << ": its pinned key changed");
        indices_->lastTimestamp.erase(client->key());
        gateways.remove(client);
    }
}

bool AuthenticatedGateways::refusesVersion1(std::string_view id) const {
    switch (policy_) {
        case GatewayAuth::Off:
            return false;
        case GatewayAuth::Pinned:
            return pinned_.keyOf(id) != nullptr;
        case GatewayAuth::Required:
            return true;
    }
    return true;
}

bool AuthenticatedGateways::refusesVersion1Registration(std::string_view key,
                                                        std::string_view macKey,
                                                        bool authenticatedRecord, size_t replaced,
                                                        const sockaddr_in& sender) {
    // The same silence whatever the state of the id's record: the refusal tells nothing about
    // whether the gateway is online.
    if (refusesVersion1(key) || refusesVersion1(macKey) || authenticatedRecord) {
        ++counters.registrationsRefusedPolicy;
        tamblo::logging::logLimited(logger, log4cplus::INFO_LOG_LEVEL, floodLogs.policy,
                                    host.nowSeconds(), [&](auto& line) {
                                        line << "Refusing version 1 registration of GC " << key
                                             << " from " << addressKeyText(sender)
                                             << ": it registers through the authenticated "
                                             << "handshake only (--gateway-auth)";
                                    });
        return true;
    }
    if (!enabled()) {
        return false;
    }
    // Records this registration replaces make room under the share.
    const uint64_t share =
        static_cast<uint64_t>(settings.maxGateways) * settings.v1GatewayShare / 100;
    const size_t version1 = gateways.size() - gateways.authenticatedCount();
    if (version1 - replaced < share) {
        return false;
    }
    tamblo::logging::refuseOverLimit(&counters.registrationsRefusedV1Share, logger,
                                     log4cplus::INFO_LOG_LEVEL, floodLogs.registrationLimit,
                                     host.nowSeconds(), "--v1-gateway-share",
                                     settings.v1GatewayShare, [&](auto& line) {
                                         line << "Dropping version 1 registration of GC " << key
                                              << " from " << addressKeyText(sender);
                                     });
    return true;
}

bool AuthenticatedGateways::underLoad(double seconds) {
    const double second = static_cast<double>(static_cast<int64_t>(seconds));
    if (second != loadSecond_) {
        loadSecond_ = second;
        loadCount_ = 0;
    }
    return ++loadCount_ > settings.handshakesPerSecond;
}

void AuthenticatedGateways::initiation(const sockaddr_in& sender, const uint8_t* datagram,
                                       size_t length) {
    const auto fail = [&](HandshakeFailure reason, const char* text) {
        ++counters.handshakeFailures[static_cast<size_t>(reason)];
        tamblo::logging::logLimited(logger, log4cplus::INFO_LOG_LEVEL, floodLogs.handshake,
                                    host.nowSeconds(), [&](auto& line) {
                                        line << "Handshake from " << addressKeyText(sender)
                                             << " not answered: " << text;
                                    });
    };
    if (!serverKeys_) {
        fail(HandshakeFailure::Disabled, "no server key");
        return;
    }
    v2::HandshakeView view;
    if (v2::decodeInitiation(datagram, length, &view) != v2::DecodeStatus::Ok) {
        fail(HandshakeFailure::Malformed, "malformed");
        return;
    }
    // mac1 first: it costs a hash and proves the sender knows this server's public key.
    if (!checker_->cookies.checkMac1(datagram, length)) {
        fail(HandshakeFailure::Mac, "mac1 does not match this server's key");
        return;
    }
    const Instant instant = now();
    // Under load a source must prove it receives at its address before any key agreement.
    if (underLoad(host.nowSeconds()) &&
        !checker_->cookies.checkMac2(datagram, length, sender, instant)) {
        uint8_t reply[v2::kCookieReplySize];
        if (checker_->cookies.makeReply(datagram, length, view.senderIndex, sender, instant,
                                        reply)) {
            ++counters.cookieRepliesSent;
            port.send(sender, reply, sizeof reply);
        }
        return;
    }
    gateway_v2::ResponderHandshake handshake(*serverKeys_);
    if (handshake.readInitiation(view) != gateway_v2::ResponderHandshake::ReadStatus::Ok) {
        fail(HandshakeFailure::Undecryptable, "does not authenticate");
        return;
    }
    const std::string id(handshake.payload().id);
    const noise::PublicKey* pinnedKey = pinned_.keyOf(id);
    if (pinnedKey == nullptr || *pinnedKey != handshake.gatewayStatic()) {
        ++counters.handshakeFailures[static_cast<size_t>(HandshakeFailure::UnknownKey)];
        tamblo::logging::logLimited(logger, log4cplus::WARN_LOG_LEVEL, floodLogs.handshake,
                                    host.nowSeconds(), [&](auto& line) {
                                        line << "Handshake from " << addressKeyText(sender)
                                             << " for GC " << id << " not answered: "
                                             << (pinnedKey == nullptr
                                                     ? "no key is pinned for it"
                                                     : "another key is pinned for it");
                                    });
        return;
    }
    // An initiation seen before (or older than one seen) is a replay: it changes nothing.
    const auto last = indices_->lastTimestamp.find(id);
    if (last != indices_->lastTimestamp.end() &&
        !v2::tai64nAfter(handshake.payload().timestamp, last->second)) {
        fail(HandshakeFailure::Replayed, "its timestamp is not later than the last one");
        return;
    }
    GatewayClient* client = recordFor(sender, id, handshake.gatewayStatic(), &handshake.payload());
    if (client == nullptr) {
        return;  // over a limit: counted and logged there
    }
    const uint32_t index = indices_->fresh();
    uint8_t response[v2::kResponseMinSize];
    std::optional<gateway_v2::ResponderHandshake::Response> answer;
    if (index != 0) {
        answer = handshake.writeResponse(index, instant, response);
    }
    auto* peer = static_cast<Peer*>(client->sealedLink());
    if (!answer) {
        fail(HandshakeFailure::Failed, "the key agreement failed");
        if (!peer->hasSessions()) {
            gateways.remove(client);  // a record made for this handshake alone goes with it
        }
        return;
    }
    indices_->lastTimestamp[id] = handshake.payload().timestamp;
    peer->offer(std::move(answer->session));
    peer->endpoint = sender;
    ++counters.handshakesAnswered;
    port.send(sender, response, answer->length);
    tamblo::logging::logLimited(
        logger, log4cplus::INFO_LOG_LEVEL, floodLogs.accepted, host.nowSeconds(),
        [&](auto& line) { line << "Accepted authenticated UDP session from GC " << id; });
}

GatewayClient* AuthenticatedGateways::recordFor(const sockaddr_in& sender, std::string_view id,
                                                const noise::PublicKey& key,
                                                const void* payloadPointer) {
    const auto& payload = *static_cast<const v2::InitiationPayload*>(payloadPointer);
    GatewayClient* existing = gateways.byKey(id);
    if (existing != nullptr) {
        auto* peer = static_cast<Peer*>(existing->sealedLink());
        if (peer != nullptr && peer->key == key && peer->localIP == payload.localIP &&
            peer->portStart == payload.localPortStart && peer->portEnd == payload.localPortEnd &&
            peer->type == payload.gatewayType) {
            return existing;  // the same gateway with a new session: its tunnels go on
        }
    }
    // Whatever held the id is replaced: the handshake proved the key pinned for it.
    const size_t replaced =
        existing != nullptr && existing->getAddress().sin_addr.s_addr == sender.sin_addr.s_addr ? 1
                                                                                                : 0;
    if (!gateways.registrationWithinLimits(id, sender, replaced, host.nowSeconds())) {
        return nullptr;
    }
    if (existing != nullptr) {
        LOG4CPLUS_DEBUG(logger, "Handshake of GC " << id << " replaces its record");
        gateways.remove(existing);
    }
    // Another record at this very address (a version 1 gateway that was there) would share
    // its table entries: it goes.
    if (GatewayClient* atAddress = gateways.bySender(sender); atAddress != nullptr) {
        gateways.remove(atAddress);
    }
    auto* client =
        new GatewayClient(&host, std::string(id), sender, payload.localIP, payload.localPortStart,
                          payload.localPortEnd, payload.gatewayType, nullptr, clock.now());
    auto peer = std::make_unique<Peer>(indices_, port, counters, key, sender);
    peer->localIP = payload.localIP;
    peer->portStart = payload.localPortStart;
    peer->portEnd = payload.localPortEnd;
    peer->type = payload.gatewayType;
    peer->client = client;
    client->attachLink(std::move(peer));
    gateways.add(client, sender);
    return client;
}

std::optional<AuthenticatedGateways::Opened> AuthenticatedGateways::open(const sockaddr_in& sender,
                                                                         uint8_t* datagram,
                                                                         size_t length) {
    const auto drop = [&](TransportDrop reason) -> std::optional<Opened> {
        ++counters.transportDropped[static_cast<size_t>(reason)];
        return std::nullopt;
    };
    v2::TransportView view;
    if (v2::decodeTransport(datagram, length, &view) != v2::DecodeStatus::Ok) {
        return drop(TransportDrop::Malformed);
    }
    const auto found = indices_->peers.find(view.receiverIndex);
    if (found == indices_->peers.end()) {
        return drop(TransportDrop::UnknownIndex);
    }
    Peer* peer = found->second;
    TransportSession* session = peer->sessionFor(view.receiverIndex);
    if (session == nullptr) {
        return drop(TransportDrop::UnknownIndex);
    }
    size_t innerLength = 0;
    uint8_t* inner = datagram + v2::kTransportSealedOffset;
    switch (session->open(view, inner, &innerLength, now())) {
        case OpenStatus::Ok:
            break;
        case OpenStatus::Expired:
            return drop(TransportDrop::Expired);
        case OpenStatus::Replayed:
            return drop(TransportDrop::Replayed);
        case OpenStatus::Forged:
            return drop(TransportDrop::Forged);
    }
    peer->confirmed(session);
    // The record follows its last authenticated datagram: a spoofed one never gets here.
    if (peer->endpoint.sin_addr.s_addr != sender.sin_addr.s_addr ||
        peer->endpoint.sin_port != sender.sin_port) {
        ++counters.gatewayRoams;
        LOG4CPLUS_DEBUG(logger, "Authenticated gateway moved from "
                                    << addressKeyText(peer->endpoint) << " to "
                                    << addressKeyText(sender));
        peer->endpoint = sender;
    }
    if (innerLength == 0) {
        return std::nullopt;  // the transport's own keepalive: it only confirms and moves
    }
    return Opened{peer->client, inner, innerLength};
}
