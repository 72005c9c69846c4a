// The gateway datagram protocol of the server: dispatch, registration, keepalive, expiry.
#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "common/Logging.h"
#include "server/GatewayClient.h"
#include "server/TambloServer.h"
#include "server/Tunnel.h"

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

void TambloServer::io_cb_switch(const sockaddr_in& sender, uint8_t* datagram, size_t length) {
    lastRoute.valid = false;
    receivedDatagram(sender, datagram, length);
    lastRoute.valid = false;
    flushPipeFrames();
}

void TambloServer::receivedDatagram(const sockaddr_in& sender, uint8_t* datagram, size_t length) {
    if (datagram[0] != TAMBLO_MT_ENCRYPTED) {
        counters_.received.count(datagramKindOf(datagram[0]), length);
    }
    dispatch(sender, datagram, length, false);
}

void TambloServer::dispatch(const sockaddr_in& sender, uint8_t* datagram, size_t length,
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
        case TAMBLO_MT_TCPOVERUDP:
            routeTunnelSegment(sender, datagram, length, sealed);
            break;
        default:
            routeChannelDatagram(sender, datagram, length, sealed);
            break;
    }
}

void TambloServer::handleEncrypted(const sockaddr_in& sender, uint8_t* datagram, size_t length) {
    GatewayClient* const client = gateways.bySender(sender);
    if (client == nullptr) {
        counters_.received.count(DatagramKind::Unknown, length);
        ++counters_.unknownSenderDropped;
        tamblo::logging::logLimited(
            logger, log4cplus::WARN_LOG_LEVEL, floodLogs_.unknownSender, nowSeconds(),
            [](auto& line) { line << "Got encrypted message from not registered gc"; });
        return;
    }
    // The plaintext is written over the ciphertext, inside the receive buffer.
    uint32_t plainLength = 0;
    uint8_t* plain = client->decrypt(datagram + 1, static_cast<uint32_t>(length - 1), &plainLength);
    if (plain == nullptr || plainLength == 0) {
        counters_.received.count(DatagramKind::Unknown, length);
        ++counters_.undecryptableDropped;
        tamblo::logging::logLimited(
            logger, log4cplus::WARN_LOG_LEVEL, floodLogs_.undecryptable, nowSeconds(),
            [](auto& line) { line << "Cannot decrypt message from registereg gc"; });
        return;
    }
    counters_.received.count(datagramKindOf(plain[0]), length);
    dispatch(sender, plain, plainLength, true);
}

bool TambloServer::refusePlaintext(const GatewayClient* owner, const sockaddr_in& sender,
                                   bool sealed) {
    // A keyed association carries its segments and channel data only inside the envelope:
    // anything else from its address may be forged and never reaches a worker.
    if (sealed || owner == nullptr || !owner->isEncrypted()) {
        return false;
    }
    ++counters_.plaintextOnKeyedDropped;
    tamblo::logging::logLimited(
        logger, log4cplus::INFO_LOG_LEVEL, floodLogs_.plaintext, nowSeconds(), [&](auto& line) {
            line << "Dropping plain tunnel or channel datagram from " << addressKeyText(sender)
                 << ": GC " << owner->key() << " registered there with a key";
        });
    return true;
}

void TambloServer::routeTunnelSegment(const sockaddr_in& sender, uint8_t* datagram, size_t length,
                                      bool sealed) {
    LOG4CPLUS_TRACE(logger, "Got TCPoverUDP payload.");
    TunnelSegmentRoute route;
    if (!parseTunnelSegmentRoute(datagram, length, &route)) {
        ++counters_.tooShortDropped;
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
        tunnel = session(key.view());
        if (tunnel == nullptr) {
            ++counters_.unknownSessionDropped;
            tamblo::logging::logLimited(
                logger, log4cplus::INFO_LOG_LEVEL, floodLogs_.unknownSession, nowSeconds(),
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
    counters_.relayedFromDevices += length - 1;
    if (tunnel->inSetup() && segmentCarriesData(datagram, length)) {
        setupDone(tunnel);  // the client's first bytes are on their way
    }
    tunnel->queueFrame(TAMBLO_MT_TCPOVERUDP, datagram + 1, static_cast<uint16_t>(length - 1));
}

void TambloServer::routeChannelDatagram(const sockaddr_in& sender, uint8_t* datagram, size_t length,
                                        bool sealed) {
    LOG4CPLUS_TRACE(logger, "Received message with tag: " << static_cast<unsigned>(datagram[0]));
    AddressKeyBuffer key;
    formatAddressKey(sender, {}, 0, &key);
    GatewayClient* const client = gateways.byAddressText(key.view());
    if (client == nullptr) {
        ++counters_.unknownSenderDropped;
        LOG4CPLUS_DEBUG(logger, "No gateway client at " << key.view() << " for channel "
                                                        << static_cast<unsigned>(datagram[0]));
        return;
    }
    if (refusePlaintext(client, sender, sealed)) {
        return;
    }
    client->receivedData(datagram, length);
}

void TambloServer::registerTamClient(bool withKey, const sockaddr_in& sender,
                                     const uint8_t* datagram, size_t length) {
    Registration reg;
    const ParseStatus status = parseRegistration(datagram, length, withKey, &reg);
    if (status == ParseStatus::TooShort) {
        ++counters_.registrationsRefusedMalformed;
        tamblo::logging::logLimited(
            logger, log4cplus::INFO_LOG_LEVEL, floodLogs_.malformed, nowSeconds(), [&](auto& line) {
                line << "Received too short TAMBLO_MT_CONNECTTLS packet from Tam. Ignoring.\n";
            });
        return;
    }
    if (reg.hasCustomIdLength) {
        tamblo::logging::logLimited(logger, log4cplus::INFO_LOG_LEVEL, floodLogs_.customId,
                                    nowSeconds(), [&](auto& line) {
                                        line << "device uses custom device id of length "
                                             << static_cast<unsigned>(reg.customIdLength);
                                    });
    }
    if (status == ParseStatus::CustomIdOverrun) {
        ++counters_.registrationsRefusedMalformed;
        tamblo::logging::logLimited(
            logger, log4cplus::INFO_LOG_LEVEL, floodLogs_.malformed, nowSeconds(), [&](auto& line) {
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
    GatewayClient* const existing[] = {gatewayClient(macKey.view()),
                                       key != macKey.view() ? gatewayClient(key) : nullptr};
    for (GatewayClient* previous : existing) {
        if (previous != nullptr &&
            previous->getAddress().sin_addr.s_addr != sender.sin_addr.s_addr) {
            ++counters_.registrationsRefusedOtherIp;
            tamblo::logging::logLimited(
                logger, log4cplus::WARN_LOG_LEVEL, floodLogs_.otherIp, nowSeconds(),
                [&](auto& line) {
                    line << "Received connection request from already connected GC ("
                         << previous->key() << "), but from different IP address. Ignoring.";
                });
            return;
        }
    }
    // A record has one key, so the two are never the same record.
    const size_t replaced = (existing[0] != nullptr ? 1 : 0) + (existing[1] != nullptr ? 1 : 0);
    if (!gateways.registrationWithinLimits(key, sender, replaced, nowSeconds())) {
        return;
    }

    // The key agreement comes before any change: a refused key changes nothing that is
    // registered. Its cost is why each source gets only so many a second.
    CryptoContextPtr crypto;
    if (withKey) {
        if (!gateways.takeKeyAgreement(sender.sin_addr.s_addr, nowSeconds())) {
            ++counters_.registrationsRefusedKeyRate;
            tamblo::logging::logLimited(logger, log4cplus::INFO_LOG_LEVEL, floodLogs_.keyRate,
                                        nowSeconds(), [&](auto& line) {
                                            line << "Dropping keyed registration of GC " << key
                                                 << " from " << addressKeyText(sender)
                                                 << ": too many key agreements from this address";
                                        });
            return;
        }
        crypto.reset(cryptoNew());
        if (!crypto || !cryptoSetRemoteKey(crypto.get(), reg.publicKey)) {
            ++counters_.registrationsRefusedKey;
            tamblo::logging::logLimited(logger, log4cplus::WARN_LOG_LEVEL, floodLogs_.unusableKey,
                                        nowSeconds(), [&](auto& line) {
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
            deleteGatewayClient(previous);
        }
    }

    auto* client =
        new GatewayClient(this, std::string(key), sender, reg.localIP, reg.localPortStart,
                          reg.localPortEnd, reg.type, std::move(crypto), clock_.now());
    gateways.add(client, sender);
    ++counters_.registrationsAccepted;
    tamblo::logging::logLimited(
        logger, log4cplus::INFO_LOG_LEVEL, floodLogs_.accepted, nowSeconds(),
        [&](auto& line) { line << "Accepted UDP session from GC " << client->key(); });

    if (withKey) {
        uint8_t answer[kAcceptTlsSize];
        send(sender, answer, encodeAcceptTls(client->getPublicKey(), answer));
    } else {
        const uint8_t answer = TAMBLO_MT_ACCEPT;
        send(sender, &answer, 1);
    }
}

void TambloServer::handleKeepalive(const sockaddr_in& sender, const uint8_t* datagram,
                                   size_t length) {
    Keepalive keepalive;
    const ParseStatus status = parseKeepalive(datagram, length, &keepalive);
    if (status == ParseStatus::TooShort) {
        ++counters_.tooShortDropped;
        tamblo::logging::logLimited(
            logger, log4cplus::INFO_LOG_LEVEL, floodLogs_.malformed, nowSeconds(), [&](auto& line) {
                line << "Received too short TAMBLO_MT_KEEPALIVE packet from "
                     << addressKeyText(sender) << ". Ignoring.";
            });
        return;
    }
    if (status == ParseStatus::CustomIdOverrun) {
        ++counters_.malformedDropped;
        tamblo::logging::logLimited(
            logger, log4cplus::INFO_LOG_LEVEL, floodLogs_.malformed, nowSeconds(), [&](auto& line) {
                line << "Dropping keepalive from " << addressKeyText(sender)
                     << ": custom device id of length "
                     << static_cast<unsigned>(keepalive.customIdLength)
                     << " runs past the end of the " << length << "-byte datagram";
            });
        return;
    }
    const MacKey macKey = formatMacKey(keepalive.mac);
    const std::string_view key = keepalive.customId.empty() ? macKey.view() : keepalive.customId;
    GatewayClient* client = gatewayClient(key);
    if (client == nullptr) {
        ++counters_.unknownGatewayDropped;
        return;
    }
    if (!client->keepAlive(sender, clock_.now())) {
        // Anybody can send a keepalive naming any client: one from another address moves
        // or deletes nothing. A client whose NAT port changed registers again (same IP);
        // one that moved to another IP registers once its old record has expired.
        ++counters_.keepalivesFromOtherAddress;
        tamblo::logging::logLimited(logger, log4cplus::WARN_LOG_LEVEL, floodLogs_.keepaliveAddress,
                                    nowSeconds(), [&](auto& line) {
                                        line << "Keepalive update failed for device: " << key
                                             << ": sent from " << addressKeyText(sender)
                                             << ", registered at "
                                             << addressKeyText(client->getAddress()) << ", ignored";
                                    });
        return;
    }
    ++counters_.keepalivesAnswered;
    const uint8_t answer = TAMBLO_MT_KEEPALIVERESP;
    if (send(sender, &answer, 1) < 0) {
        const int error = errno;
        tamblo::logging::logLimited(logger, log4cplus::WARN_LOG_LEVEL, floodLogs_.keepaliveAnswer,
                                    nowSeconds(), [&](auto& line) {
                                        line << "Could not send keepalive response to device: "
                                             << key << ". Error: " << std::strerror(error);
                                    });
    }
}

void TambloServer::processKeepalive() {
    const std::vector<GatewayClient*> silent =
        gateways.silentFor(kKeepaliveSilenceSeconds, clock_.now().tv_sec);
    for (GatewayClient* client : silent) {
        ++counters_.expiries;
        LOG4CPLUS_DEBUG(logger, "Keepalive: Removed gateway client " << client->key());
        deleteGatewayClient(client);
    }
}

void TambloServer::deleteGatewayClient(GatewayClient* client) {
    gateways.remove(client);
}

void TambloServer::updateGatewayClient(GatewayClient* client, uint32_t id) {
    gateways.setId(client, id);
}

bool TambloServer::claimGatewayClientId(GatewayClient* client, uint32_t id, bool proven) {
    const GatewayClient* holder = gatewayClient(id);
    if (!proven && holder != nullptr && holder != client) {
        LOG4CPLUS_DEBUG(logger, "GC id " << id << " is held by GC " << holder->key()
                                         << ", not recording it for GC " << client->key());
        return false;
    }
    updateGatewayClient(client, id);
    return true;
}

GatewayClient* TambloServer::gatewayClient(std::string_view key) const {
    return gateways.byKey(key);
}

GatewayClient* TambloServer::gatewayClient(uint32_t id) const {
    return gateways.byId(id);
}

void TambloServer::purgeSessionCache() {
    const timeval now = clock_.now();
    gateways.forEach([&](GatewayClient* client) {
        client->purgeSessionCache(now, kSessionCacheTimeoutSeconds);
    });
}
