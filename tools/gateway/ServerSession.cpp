// The association with the servers: registration, keepalives, keys and the move to the next
// server.
#include "ServerSession.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstring>

#include "Log.h"
#include "server/GatewayKeys.h"

using namespace gateway_datagram;
namespace glog = gateway_log;
using gateway_log::dotted;

ServerSession::ServerSession(const GatewayOptions& options, GatewayCounters& counters)
    : options_(options),
      counters_(counters),
      servers_(options.servers),
      association_(Association::timingFor(options.keepaliveInterval), monotonicMillis()) {}

bool ServerSession::open(std::string* error) {
    if (!options_.keyFile.empty() && !openKeys(error)) {
        return false;
    }
    udp_ = servers_.openSocket(options_.sourcePort, error);
    return udp_.valid();
}

size_t ServerSession::sealedCapacity(size_t length) const {
    if (link_) {
        return length + gateway_datagram_v2::kTransportOverhead;
    }
    const size_t capacity = 1 + cryptoSizeWithPadding(static_cast<uint32_t>(length));
    // The server takes datagrams of up to kMaxDatagramSize bytes: a longer envelope would
    // arrive cut.
    return keyReady_ && capacity <= gateway_datagram::kMaxDatagramSize ? capacity : 0;
}

size_t ServerSession::seal(const uint8_t* datagram, size_t length, uint8_t* out) {
    if (link_) {
        return link_->seal(datagram, length, out, std::chrono::steady_clock::now());
    }
    if (!keyReady_) {
        return 0;
    }
    uint32_t sealedLength = 0;
    out[0] = TAMBLO_MT_ENCRYPTED;
    if (cryptoProcessBuf(crypto_.get(), CryptoEncrypt, datagram, static_cast<uint32_t>(length),
                         out + 1, &sealedLength) == nullptr) {
        return 0;
    }
    return 1 + sealedLength;
}

bool ServerSession::openKeys(std::string* error) {
    const std::optional<noise::KeyPair> keys = gateway_keys::loadServerKey(options_.keyFile, error);
    const std::optional<noise::PublicKey> server =
        keys ? loadServerPublicKey(options_.serverPublicKey, error) : std::nullopt;
    if (!server) {
        return false;
    }
    SealedLink::Identity identity;
    identity.id = options_.customId.empty() ? std::string(formatMacKey(options_.mac).view())
                                            : options_.customId;
    identity.localIP = options_.localIp.s_addr;
    identity.portStart = options_.portStart;
    identity.portEnd = options_.portEnd;
    identity.type = options_.type;
    link_ = std::make_unique<SealedLink>(*keys, *server, std::move(identity));
    return true;
}

namespace {
// The loop's clock and the handshake's are both CLOCK_MONOTONIC; round up, so that the loop
// never wakes just before a handshake is due.
Millis millisOf(gateway_v2::Instant instant) {
    if (instant == gateway_v2::Instant::max()) {
        return INT64_MAX;
    }
    return std::chrono::ceil<std::chrono::milliseconds>(instant.time_since_epoch()).count();
}
}  // namespace

Millis ServerSession::deadline() const {
    const Millis association = association_.deadline();
    return link_ ? std::min(association, millisOf(link_->initiationDue())) : association;
}

void ServerSession::runHandshakes() {
    const gateway_v2::Instant now = std::chrono::steady_clock::now();
    if (link_->initiationDue() > now) {
        return;
    }
    if (link_->established() && glog::enabled(glog::kInfo)) {
        glog::line("renewing the keys with %s:%u", dotted(&options_.server).text,
                   options_.serverPort);
    }
    sendInitiation();
}

void ServerSession::run(Millis now) {
    runAssociation(now);
    if (link_) {
        runHandshakes();
    }
}

void ServerSession::runAssociation(Millis now) {
    // poll moves a deadline on with every action, so a handful of rounds always suffices.
    for (int round = 0; round < 8; ++round) {
        switch (association_.poll(now)) {
            case Association::Action::None:
                return;
            case Association::Action::RegisterAfterLoss:
                ++counters_.associationsLost;
                if (glog::enabled(glog::kInfo)) {
                    glog::line("association lost: keepalives not answered; registering again");
                }
                if (link_) {
                    link_->forget();  // keys the server no longer answers to
                }
                moveToNextServer();
                beginRegistrationCycle();
                sendRegistration();
                break;
            case Association::Action::Register:
                beginRegistrationCycle();
                sendRegistration();
                break;
            case Association::Action::RetryRegistration:
                // An unanswered registration tries the next server, if there is one, unless
                // this one is alive and asked for a cookie.
                if (!serverAnswered_ && moveToNextServer()) {
                    beginRegistrationCycle();
                }
                sendRegistration();
                break;
            case Association::Action::Keepalive:
                sendKeepalive();
                break;
        }
    }
}

bool ServerSession::moveToNextServer() {
    std::string error;
    if (!servers_.moveOn(udp_.get(), &error)) {
        if (!error.empty()) {
            glog::line("cannot address the next server: %s", error.c_str());
        }
        return false;
    }
    options_.server = servers_.current().sin_addr;
    options_.serverPort = ntohs(servers_.current().sin_port);
    if (link_) {
        link_->forget();  // the keys of the previous server mean nothing here
    }
    ++counters_.serverMoves;
    if (glog::enabled(glog::kInfo)) {
        glog::line("moved to server %s:%u", dotted(&options_.server).text, options_.serverPort);
    }
    return true;
}

void ServerSession::beginRegistrationCycle() {
    RegistrationFields fields;
    std::memcpy(fields.mac, options_.mac, kMacSize);
    fields.localIP = options_.localIp.s_addr;
    fields.localPortStart = options_.portStart;
    fields.localPortEnd = options_.portEnd;
    fields.type = options_.type;
    fields.customId = options_.customId;
    keyReady_ = false;
    outstandingAnswers_ = 0;
    serverAnswered_ = false;
    if (options_.encrypt) {
        // A fresh key pair per cycle: the server makes a fresh one per registration as well.
        crypto_.reset(cryptoNew());
        if (!crypto_) {
            glog::line("cannot create a key pair; the registration waits for the next attempt");
            registrationLength_ = 0;
            return;
        }
        fields.publicKey = cryptoGetPublicKey(crypto_.get());
    }
    registrationLength_ = encodeRegistration(fields, registration_);
}

void ServerSession::sendRegistration() {
    if (link_) {
        sendInitiation();
        return;
    }
    if (registrationLength_ == 0) {
        beginRegistrationCycle();
        if (registrationLength_ == 0) {
            return;
        }
    }
    ++counters_.registrations;
    ++outstandingAnswers_;
    lastRegistrationAt_ = monotonicMillis();
    if (glog::enabled(glog::kInfo)) {
        const MacKey mac = formatMacKey(options_.mac);
        const std::string key =
            options_.customId.empty() ? std::string(mac.view()) : options_.customId;
        glog::line(
            "registering with %s:%u as %s (%s); next attempt in %lld s unless accepted",
            dotted(&options_.server).text, options_.serverPort, key.c_str(),
            options_.encrypt ? "with key" : "plain",
            static_cast<long long>(association_.deadline() - monotonicMillis() + 500) / 1000);
    }
    sendControl(registration_, registrationLength_, false);
}

void ServerSession::sendKeepalive() {
    uint8_t keepalive[kKeepaliveMaxSize];
    const size_t length = encodeKeepalive(options_.mac, options_.customId, keepalive);
    ++counters_.keepalives;
    if (glog::enabled(glog::kPacket)) {
        glog::line("keepalive");
    }
    sendControl(keepalive, length, seals());
}

void ServerSession::sendInitiation() {
    const bool renewal = link_->established();
    uint8_t initiation[gateway_datagram_v2::kInitiationMaxSize];
    const size_t length = link_->writeInitiation(initiation, std::chrono::steady_clock::now());
    if (length == 0) {
        ++counters_.sendErrors;
        return;
    }
    if (!renewal) {
        ++counters_.registrations;
        if (glog::enabled(glog::kInfo)) {
            glog::line("registering with %s:%u (version 2 handshake)",
                       dotted(&options_.server).text, options_.serverPort);
        }
    }
    sendControl(initiation, length, false);
}

void ServerSession::sendControl(const uint8_t* data, size_t length, bool wrap) {
    uint8_t sealed[1 + cryptoSizeWithPadding(kKeepaliveMaxSize) +
                   gateway_datagram_v2::kTransportOverhead];
    if (wrap) {
        if (sealedCapacity(length) > sizeof sealed || (length = seal(data, length, sealed)) == 0) {
            return;  // no keys yet: the association is being set up (again) anyway
        }
        data = sealed;
    }
    if (::send(udp_.get(), data, length, MSG_DONTWAIT) < 0) {
        // ECONNREFUSED reports an ICMP error for an earlier datagram (the server is not
        // listening); the keepalive timers notice a dead server without this hint.
        ++counters_.sendErrors;
        if (glog::enabled(glog::kInfo) && errno != lastSendErrno_) {
            glog::line("send to the server failed: %s", std::strerror(errno));
        }
        lastSendErrno_ = errno;
        return;
    }
    lastSendErrno_ = 0;  // the next failure is news again
}

uint8_t* ServerSession::receiveSealed(uint8_t* data, size_t* length) {
    // Version 2: everything but the handshake travels sealed; a plain datagram is forged.
    if (!gateway_datagram_v2::isV2Type(data[0])) {
        ++counters_.plaintextRefused;
        return nullptr;
    }
    uint8_t* inner = nullptr;
    size_t innerLength = 0;
    switch (link_->receive(data, *length, std::chrono::steady_clock::now(), &inner, &innerLength)) {
        case SealedLink::Received::Inner:
            *length = innerLength;
            return receive(inner, length, true);
        case SealedLink::Received::Established:
            ++counters_.accepts;
            if (association_.onAccepted(monotonicMillis())) {
                if (glog::enabled(glog::kInfo)) {
                    glog::line("%s with %s:%u (version 2, datagrams sealed)",
                               counters_.associationsLost > 0 ? "re-registered" : "registered",
                               dotted(&options_.server).text, options_.serverPort);
                }
            } else {
                ++counters_.rekeys;
                if (glog::enabled(glog::kInfo)) {
                    glog::line("keys renewed with %s:%u", dotted(&options_.server).text,
                               options_.serverPort);
                }
            }
            sendKeepalive();  // our first datagram on the new keys confirms them to the server
            return nullptr;
        case SealedLink::Received::CookieTaken:
            ++counters_.cookieReplies;
            serverAnswered_ = true;
            if (glog::enabled(glog::kInfo)) {
                glog::line("the server is under load: the next handshake carries its cookie");
            }
            return nullptr;
        case SealedLink::Received::Dropped:
            ++counters_.undecryptable;
            return nullptr;
    }
    return nullptr;
}

void ServerSession::handleAccept(const uint8_t* data, size_t length, bool withKey) {
    if (outstandingAnswers_ == 0 || monotonicMillis() - lastRegistrationAt_ > kAnswerWindowMs) {
        ++counters_.acceptsRefused;
        if (glog::enabled(glog::kInfo)) {
            glog::line("ignored a registration answer of type %u: no registration is pending",
                       data[0]);
        }
        return;
    }
    if (withKey != options_.encrypt || (withKey && length < kAcceptTlsSize)) {
        ++counters_.channelOrUnknown;
        if (glog::enabled(glog::kInfo)) {
            glog::line("ignored a registration answer of type %u and %zu bytes", data[0], length);
        }
        return;
    }
    if (withKey) {
        // Every ACCEPTTLS carries the key of the latest registration the server saw, so a
        // duplicate answer to a repeated registration replaces the key as well.
        if (!crypto_ || !cryptoSetRemoteKey(crypto_.get(), data + 1)) {
            glog::line("the server's public key gives no usable shared secret; ignored");
            return;
        }
        keyReady_ = true;
    }
    --outstandingAnswers_;
    ++counters_.accepts;
    const bool lost = counters_.associationsLost > 0;
    if (association_.onAccepted(monotonicMillis()) && glog::enabled(glog::kInfo)) {
        glog::line("%s with %s:%u%s", lost ? "re-registered" : "registered",
                   dotted(&options_.server).text, options_.serverPort,
                   withKey ? " (datagrams encrypted)" : "");
    }
}

uint8_t* ServerSession::receive(uint8_t* data, size_t* size, bool fromEnvelope) {
    if (link_ && !fromEnvelope) {
        return receiveSealed(data, size);
    }
    const size_t length = *size;
    // With a key, tunnel segments and channel datagrams count only inside the envelope: a
    // plain one is forged or misrouted.
    if (options_.encrypt && !fromEnvelope && data[0] != TAMBLO_MT_ENCRYPTED &&
        data[0] != TAMBLO_MT_KEEPALIVERESP && data[0] != TAMBLO_MT_ACCEPT &&
        data[0] != TAMBLO_MT_ACCEPTTLS) {
        ++counters_.plaintextRefused;
        if (glog::enabled(glog::kPacket)) {
            glog::line("dropped a plain datagram of type %u, %zu bytes", data[0], length);
        }
        return nullptr;
    }
    switch (data[0]) {
        case TAMBLO_MT_ENCRYPTED: {
            // One level only: the server never nests envelopes.
            if (fromEnvelope || !keyReady_) {
                ++counters_.undecryptable;
                return nullptr;
            }
            // In place: the plaintext starts where the vector was read, 16 bytes further on,
            // which leaves room for the IPv4 header in front of a tunnel segment.
            uint32_t plainLength = 0;
            uint8_t* plain = data + 1 + kCryptoIvSize;
            if (cryptoProcessBuf(crypto_.get(), CryptoDecrypt, data + 1,
                                 static_cast<uint32_t>(length - 1), plain,
                                 &plainLength) == nullptr ||
                plainLength == 0) {
                ++counters_.undecryptable;
                if (glog::enabled(glog::kPacket)) {
                    glog::line("dropped an envelope of %zu bytes that does not decrypt", length);
                }
                return nullptr;
            }
            *size = plainLength;
            return receive(plain, size, true);
        }
        case TAMBLO_MT_KEEPALIVERESP:
            ++counters_.keepaliveAnswers;
            association_.onKeepaliveAnswer();
            if (glog::enabled(glog::kPacket)) {
                glog::line("keepalive answered");
            }
            return nullptr;
        case TAMBLO_MT_ACCEPT:
        case TAMBLO_MT_ACCEPTTLS:
            // Registration answers travel plain; one inside an envelope is no answer of ours.
            if (!fromEnvelope) {
                handleAccept(data, length, data[0] == TAMBLO_MT_ACCEPTTLS);
                return nullptr;
            }
            break;
        default:
            break;
    }
    return data;  // a tunnel segment or a channel datagram: the packet path's
}
