// The gateway datagram protocol of the server: dispatch, registration, keepalive, expiry.
#include "server/GatewayService.h"

#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "common/Clock.h"
#include "common/Logging.h"
#include "protocol/GatewayDatagramV2.h"
#include "server/AddressKey.h"
#include "server/CommandLine.h"
#include "server/GatewayClient.h"
#include "server/GatewayPort.h"
#include "server/GatewayRegistry.h"
#include "server/Tunnel.h"
#include "server/TunnelHost.h"

using namespace gateway_datagram;

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kServer);

struct DottedAddress {
    char text[INET_ADDRSTRLEN];
};
DottedAddress dotted(in_addr address) {
    DottedAddress out;
    inet_ntop(AF_INET, &address, out.text, sizeof out.text);
    return out;
}

// A TAMBLO_MT_TCPOVERUDP datagram whose segment has payload beyond its header.
bool segmentCarriesData(const uint8_t* datagram, size_t length) {
    constexpr size_t kHeaderLengthOffset = kSegmentOffset + 12;
    return length > kHeaderLengthOffset &&
           length > kSegmentOffset + static_cast<size_t>(datagram[kHeaderLengthOffset] >> 4) * 4;
}
}  // namespace

DatagramKind datagramKindOf(uint8_t type) {
    // As the dispatcher sees a datagram from a gateway: the answer types of the server are
    // channel ids when a gateway sends them.
    using namespace gateway_datagram;
    switch (type) {
        case TAMBLO_MT_CONNECT:
        case TAMBLO_MT_KEEPALIVE:
        case TAMBLO_MT_CONNECTTLS:
            return DatagramKind::Control;
        case TAMBLO_MT_TCPOVERUDP:
            return DatagramKind::Tunnel;
        case TAMBLO_MT_HANDSHAKE_INITIATION:
            return DatagramKind::Control;
        case TAMBLO_MT_ENCRYPTED:
        case TAMBLO_MT_TRANSPORT:
            return DatagramKind::Unknown;  // what it carries is known once it is opened
        default:
            return DatagramKind::Channel;
    }
}

GatewayService::GatewayService(const ServerSettings& settings, const Clock& clock,
                               ServerCounters& counters, FloodLogs& floodLogs,
                               GatewayRegistry& gateways, GatewayPort& port,
                               GatewayClientHost& host, Sessions& sessions)
    : clock(clock),
      counters(counters),
      floodLogs(floodLogs),
      gateways(gateways),
      port(port),
      host(host),
      sessions(sessions),
      settings(settings),
      authenticated_(settings, clock, counters, floodLogs, gateways, port, host) {}

void GatewayService::receivedDatagram(const sockaddr_in& sender, uint8_t* datagram, size_t length) {
    if (datagram[0] != TAMBLO_MT_ENCRYPTED && datagram[0] != TAMBLO_MT_TRANSPORT) {
        counters.received.count(datagramKindOf(datagram[0]), length);
    }
    dispatch(sender, datagram, length, false);
}

void GatewayService::dispatch(const sockaddr_in& sender, uint8_t* datagram, size_t length,
                              bool sealed) {
    LOG4CPLUS_TRACE(logger, "Got UDP from GC, size=" << length);
    switch (datagram[0]) {
        case TAMBLO_MT_CONNECT:
            registerTamClient(false, sender, datagram, length);
            break;
        case TAMBLO_MT_CONNECTTLS:
            registerTamClient(true, sender, datagram, length);
            break;
        case TAMBLO_MT_KEEPALIVE:
            handleKeepalive(sender, datagram, length);
            break;
        case TAMBLO_MT_ENCRYPTED:
            handleEncrypted(sender, datagram, length);
            break;
        case TAMBLO_MT_HANDSHAKE_INITIATION:
            authenticated_.initiation(sender, datagram, length);
            break;
        case TAMBLO_MT_TRANSPORT:
            handleTransport(sender, datagram, length);
            break;
        case TAMBLO_MT_TCPOVERUDP:
            routeTunnelSegment(sender, datagram, length, sealed);
            break;
        default:
            routeChannelDatagram(sender, datagram, length, sealed);
            break;
    }
}

void GatewayService::handleEncrypted(const sockaddr_in& sender, uint8_t* datagram, size_t length) {
    GatewayClient* const client = gateways.bySender(sender);
    if (client == nullptr) {
        counters.received.count(DatagramKind::Unknown, length);
        ++counters.unknownSenderDropped;
        tamblo::logging::logLimited(
            logger, log4cplus::WARN_LOG_LEVEL, floodLogs.unknownSender, host.nowSeconds(),
            [](auto& line) { line << "Got encrypted message from not registered gc"; });
        return;
    }
    // The plaintext is written over the ciphertext, inside the receive buffer.
    uint32_t plainLength = 0;
    uint8_t* plain = client->decrypt(datagram + 1, static_cast<uint32_t>(length - 1), &plainLength);
    if (plain == nullptr || plainLength == 0) {
        counters.received.count(DatagramKind::Unknown, length);
        ++counters.undecryptableDropped;
        tamblo::logging::logLimited(
            logger, log4cplus::WARN_LOG_LEVEL, floodLogs.undecryptable, host.nowSeconds(),
            [](auto& line) { line << "Cannot decrypt message from registereg gc"; });
        return;
    }
    counters.received.count(datagramKindOf(plain[0]), length);
    dispatch(sender, plain, plainLength, true);
}

void GatewayService::handleTransport(const sockaddr_in& sender, uint8_t* datagram, size_t length) {
    const std::optional<AuthenticatedGateways::Opened> opened =
        authenticated_.open(sender, datagram, length);
    if (!opened) {
        counters.received.count(DatagramKind::Unknown, length);
        return;
    }
    counters.received.count(datagramKindOf(opened->inner[0]), length);
    dispatchAuthenticated(opened->client, opened->inner, opened->length);
}

void GatewayService::dispatchAuthenticated(GatewayClient* client, uint8_t* datagram,
                                           size_t length) {
    // Inside the transport a record is named by the session, not by an address or an id: its
    // segments are routed under the address the record is kept at, its keepalives keep it.
    switch (datagram[0]) {
        case TAMBLO_MT_TCPOVERUDP:
            routeTunnelSegment(client->getAddress(), datagram, length, true);
            return;
        case TAMBLO_MT_KEEPALIVE: {
            client->keepAlive(client->getAddress(), clock.now());
            ++counters.keepalivesAnswered;
            const uint8_t answer = TAMBLO_MT_KEEPALIVERESP;
            client->send(&answer, 1);
            return;
        }
        case TAMBLO_MT_CONNECT:
        case TAMBLO_MT_CONNECTTLS:
        case TAMBLO_MT_ENCRYPTED:
        case TAMBLO_MT_KEEPALIVERESP:
        case TAMBLO_MT_ACCEPT:
        case TAMBLO_MT_ACCEPTTLS:
            ++counters.transportDropped[static_cast<size_t>(TransportDrop::NotAllowed)];
            return;
        default:
            if (gateway_datagram_v2::isV2Type(datagram[0])) {
                ++counters.transportDropped[static_cast<size_t>(TransportDrop::NotAllowed)];
                return;
            }
            client->receivedData(datagram, length);
            return;
    }
}

bool GatewayService::refusePlaintext(const GatewayClient* owner, const sockaddr_in& sender,
                                     bool sealed) {
    // A keyed association carries its segments and channel data only inside the envelope:
    // anything else from its address may be forged and never reaches a worker.
    if (sealed || owner == nullptr || !owner->sealedOnly()) {
        return false;
    }
    ++counters.plaintextOnKeyedDropped;
    tamblo::logging::logLimited(
        logger, log4cplus::INFO_LOG_LEVEL, floodLogs.plaintext, host.nowSeconds(), [&](auto& line) {
            line << "Dropping plain tunnel or channel datagram from " << addressKeyText(sender)
                 << ": GC " << owner->key() << " registered there with a key";
        });
    return true;
}

void GatewayService::routeTunnelSegment(const sockaddr_in& sender, uint8_t* datagram, size_t length,
                                        bool sealed) {
    LOG4CPLUS_TRACE(logger, "Got TCPoverUDP payload.");
    TunnelSegmentRoute route;
    if (!parseTunnelSegmentRoute(datagram, length, &route)) {
        ++counters.tooShortDropped;
        return;  // too short to name a session
    }
    if (logger.isEnabledFor(log4cplus::TRACE_LOG_LEVEL)) {
        LOG4CPLUS_TRACE(logger,
                        "received TCPOverUDP packet, ip:" << dotted(route.device).text
                                                          << ", port: " << route.rawPortField);
    }
    Tunnel* tunnel = nullptr;
    if (lastRoute.valid && lastRoute.route.localPort == route.localPort &&
        lastRoute.route.device.s_addr == route.device.s_addr &&
        lastRoute.sender.sin_addr.s_addr == sender.sin_addr.s_addr &&
        lastRoute.sender.sin_port == sender.sin_port) {
        tunnel = lastRoute.tunnel;  // the same session as the segment before
    } else {
        AddressKeyBuffer key;
        formatSessionKey(sender, route.device, route.localPort, &key);
        tunnel = sessions.session(key.view());
        if (tunnel == nullptr) {
            ++counters.unknownSessionDropped;
            tamblo::logging::logLimited(
                logger, log4cplus::INFO_LOG_LEVEL, floodLogs.unknownSession, host.nowSeconds(),
                [&](auto& line) { line << "Could not find session for key: " << key.view(); });
            return;
        }
        lastRoute = {true, sender, route, tunnel};
    }
    // The tunnel's client is the record at the sender's address; one that lost its record
    // falls back to whatever record holds the address now.
    const GatewayClient* owner = tunnel->getGatewayClient();
    if (owner == nullptr && !sealed) {
        owner = gateways.bySender(sender);
    }
    if (refusePlaintext(owner, sender, sealed)) {
        return;
    }
    counters.relayedFromDevices += length - 1;
    if (tunnel->inSetup() && segmentCarriesData(datagram, length)) {
        sessions.setupDone(tunnel);  // the client's first bytes are on their way
    }
    tunnel->queueFrame(TAMBLO_MT_TCPOVERUDP, datagram + 1, static_cast<uint16_t>(length - 1));
}

void GatewayService::routeChannelDatagram(const sockaddr_in& sender, uint8_t* datagram,
                                          size_t length, bool sealed) {
    LOG4CPLUS_TRACE(logger, "Received message with tag: " << static_cast<unsigned>(datagram[0]));
    AddressKeyBuffer key;
    formatAddressKey(sender, {}, 0, &key);
    GatewayClient* const client = gateways.byAddressText(key.view());
    if (client == nullptr) {
        ++counters.unknownSenderDropped;
        LOG4CPLUS_DEBUG(logger, "No gateway client at " << key.view() << " for channel "
                                                        << static_cast<unsigned>(datagram[0]));
        return;
    }
    if (refusePlaintext(client, sender, sealed)) {
        return;
    }
    client->receivedData(datagram, length);
}

void GatewayService::registerTamClient(bool withKey, const sockaddr_in& sender,
                                       const uint8_t* datagram, size_t length) {
    Registration reg;
    const ParseStatus status = parseRegistration(datagram, length, withKey, &reg);
    if (status == ParseStatus::TooShort) {
        ++counters.registrationsRefusedMalformed;
        tamblo::logging::logLimited(
            logger, log4cplus::INFO_LOG_LEVEL, floodLogs.malformed, host.nowSeconds(),
            [&](auto& line) {
                line << "Received too short TAMBLO_MT_CONNECTTLS packet from Tam. Ignoring.\n";
            });
        return;
    }
    if (reg.hasCustomIdLength) {
        tamblo::logging::logLimited(logger, log4cplus::INFO_LOG_LEVEL, floodLogs.customId,
                                    host.nowSeconds(), [&](auto& line) {
                                        line << "device uses custom device id of length "
                                             << static_cast<unsigned>(reg.customIdLength);
                                    });
    }
    if (status == ParseStatus::CustomIdOverrun) {
        ++counters.registrationsRefusedMalformed;
        tamblo::logging::logLimited(
            logger, log4cplus::INFO_LOG_LEVEL, floodLogs.malformed, host.nowSeconds(),
            [&](auto& line) {
                line << "Dropping registration from " << addressKeyText(sender)
                     << ": custom device id of length " << static_cast<unsigned>(reg.customIdLength)
                     << " runs past the end of the " << length << "-byte datagram";
            });
        return;
    }
    const MacKey macKey = formatMacKey(reg.mac);
    const std::string_view key = reg.customId.empty() ? macKey.view() : reg.customId;

    // A client known under its MAC or under its custom id is the same client registering
    // again: from the same IP its old record goes, from another IP the registration fails.
    // Nothing changes before every check has passed.
    GatewayClient* const existing[] = {gateways.byKey(macKey.view()),
                                       key != macKey.view() ? gateways.byKey(key) : nullptr};
    // A version 1 registration never replaces an authenticated record.
    const bool authenticatedRecord = (existing[0] != nullptr && existing[0]->isAuthenticated()) ||
                                     (existing[1] != nullptr && existing[1]->isAuthenticated());
    const size_t replacing = (existing[0] != nullptr ? 1 : 0) + (existing[1] != nullptr ? 1 : 0);
    if (authenticated_.refusesVersion1Registration(key, macKey.view(), authenticatedRecord,
                                                   replacing, sender)) {
        return;
    }
    for (GatewayClient* previous : existing) {
        if (previous != nullptr &&
            previous->getAddress().sin_addr.s_addr != sender.sin_addr.s_addr) {
            ++counters.registrationsRefusedOtherIp;
            tamblo::logging::logLimited(
                logger, log4cplus::WARN_LOG_LEVEL, floodLogs.otherIp, host.nowSeconds(),
                [&](auto& line) {
                    line << "Received connection request from already connected GC ("
                         << previous->key() << "), but from different IP address. Ignoring.";
                });
            return;
        }
    }
    // A record has one key, so the two are never the same record.
    const size_t replaced = (existing[0] != nullptr ? 1 : 0) + (existing[1] != nullptr ? 1 : 0);
    if (!gateways.registrationWithinLimits(key, sender, replaced, host.nowSeconds())) {
        return;
    }

    // The key agreement comes before any change: a refused key changes nothing that is
    // registered. Its cost is why each source gets only so many a second.
    CryptoContextPtr crypto;
    if (withKey) {
        const GatewayRegistry::KeyAgreement grant =
            gateways.takeKeyAgreement(sender.sin_addr.s_addr, host.nowSeconds());
        if (grant != GatewayRegistry::KeyAgreement::Granted) {
            ++counters.registrationsRefusedKeyRate;
            tamblo::logging::logLimited(
                logger, log4cplus::INFO_LOG_LEVEL, floodLogs.keyRate, host.nowSeconds(),
                [&](auto& line) {
                    line << "Dropping keyed registration of GC " << key << " from "
                         << addressKeyText(sender)
                         << (grant == GatewayRegistry::KeyAgreement::SourceOverRate
                                 ? ": too many key agreements from this address"
                                 : ": too many key agreements from all addresses "
                                   "(--key-agreements-total)");
                });
            return;
        }
        crypto.reset(cryptoNew());
        if (!crypto || !cryptoSetRemoteKey(crypto.get(), reg.publicKey)) {
            ++counters.registrationsRefusedKey;
            tamblo::logging::logLimited(logger, log4cplus::WARN_LOG_LEVEL, floodLogs.unusableKey,
                                        host.nowSeconds(), [&](auto& line) {
                                            line
                                                << "Refusing registration of GC " << key << " from "
                                                << addressKeyText(sender)
                                                << ": its public key gives no usable shared secret";
                                        });
            return;
        }
    }
    for (GatewayClient* previous : existing) {
        if (previous != nullptr) {
            LOG4CPLUS_DEBUG(logger, "Received connection request from already connected GC ("
                                        << previous->key() << "). Allowing.");
            gateways.remove(previous);
        }
    }

    auto* client =
        new GatewayClient(&host, std::string(key), sender, reg.localIP, reg.localPortStart,
                          reg.localPortEnd, reg.type, std::move(crypto), clock.now());
    gateways.add(client, sender);
    ++counters.registrationsAccepted;
    tamblo::logging::logLimited(
        logger, log4cplus::INFO_LOG_LEVEL, floodLogs.accepted, host.nowSeconds(),
        [&](auto& line) { line << "Accepted UDP session from GC " << client->key(); });

    if (withKey) {
        uint8_t answer[kAcceptTlsSize];
        port.send(sender, answer, encodeAcceptTls(client->getPublicKey(), answer));
    } else {
        const uint8_t answer = TAMBLO_MT_ACCEPT;
        port.send(sender, &answer, 1);
    }
}

void GatewayService::handleKeepalive(const sockaddr_in& sender, const uint8_t* datagram,
                                     size_t length) {
    Keepalive keepalive;
    const ParseStatus status = parseKeepalive(datagram, length, &keepalive);
    if (status == ParseStatus::TooShort) {
        ++counters.tooShortDropped;
        tamblo::logging::logLimited(logger, log4cplus::INFO_LOG_LEVEL, floodLogs.malformed,
                                    host.nowSeconds(), [&](auto& line) {
                                        line
                                            << "Received too short TAMBLO_MT_KEEPALIVE packet from "
                                            << addressKeyText(sender) << ". Ignoring.";
                                    });
        return;
    }
    if (status == ParseStatus::CustomIdOverrun) {
        ++counters.malformedDropped;
        tamblo::logging::logLimited(logger, log4cplus::INFO_LOG_LEVEL, floodLogs.malformed,
                                    host.nowSeconds(), [&](auto& line) {
                                        line << "Dropping keepalive from " << addressKeyText(sender)
                                             << ": custom device id of length "
                                             << static_cast<unsigned>(keepalive.customIdLength)
                                             << " runs past the end of the " << length
                                             << "-byte datagram";
                                    });
        return;
    }
    const MacKey macKey = formatMacKey(keepalive.mac);
    const std::string_view key = keepalive.customId.empty() ? macKey.view() : keepalive.customId;
    GatewayClient* client = gateways.byKey(key);
    if (client == nullptr) {
        ++counters.unknownGatewayDropped;
        return;
    }
    if (client->isAuthenticated()) {
        // An authenticated gateway keeps its record alive inside its transport only.
        ++counters.plaintextOnKeyedDropped;
        return;
    }
    if (!client->keepAlive(sender, clock.now())) {
        // Anybody can send a keepalive naming any client: one from another address moves
        // or deletes nothing. A client whose NAT port changed registers again (same IP);
        // one that moved to another IP registers once its old record has expired.
        ++counters.keepalivesFromOtherAddress;
        tamblo::logging::logLimited(logger, log4cplus::WARN_LOG_LEVEL, floodLogs.keepaliveAddress,
                                    host.nowSeconds(), [&](auto& line) {
                                        line << "Keepalive update failed for device: " << key
                                             << ": sent from " << addressKeyText(sender)
                                             << ", registered at "
                                             << addressKeyText(client->getAddress()) << ", ignored";
                                    });
        return;
    }
    ++counters.keepalivesAnswered;
    const uint8_t answer = TAMBLO_MT_KEEPALIVERESP;
    if (port.send(sender, &answer, 1) < 0) {
        const int error = errno;
        tamblo::logging::logLimited(logger, log4cplus::WARN_LOG_LEVEL, floodLogs.keepaliveAnswer,
                                    host.nowSeconds(), [&](auto& line) {
                                        line << "Could not send keepalive response to device: "
                                             << key << ". Error: " << std::strerror(error);
                                    });
    }
}

void GatewayService::processKeepalive() {
    const std::vector<GatewayClient*> silent =
        gateways.silentFor(kKeepaliveSilenceSeconds, clock.now().tv_sec);
    for (GatewayClient* client : silent) {
        ++counters.expiries;
        LOG4CPLUS_DEBUG(logger, "Keepalive: Removed gateway client " << client->key());
        gateways.remove(client);
    }
}

void GatewayService::purgeSessionCache() {
    const timeval now = clock.now();
    gateways.forEach([&](GatewayClient* client) {
        client->purgeSessionCache(now, kSessionCacheTimeoutSeconds);
    });
}
