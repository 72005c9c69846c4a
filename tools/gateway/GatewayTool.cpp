// The gateway's event loop: registration and keepalive with the server, and the two packet paths
// between the UDP association and the TUN device.
#include "GatewayTool.h"

#include <arpa/inet.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "Log.h"
#include "server/GatewayKeys.h"
#include "TunDevice.h"

using namespace gateway_datagram;
namespace glog = gateway_log;
using gateway_log::dotted;

namespace {

// epoll user data of the three descriptors.
constexpr uint64_t kUdpTag = 1;
constexpr uint64_t kTunTag = 2;
constexpr uint64_t kSignalTag = 3;

uint16_t port16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

}  // namespace

GatewayTool::GatewayTool(const GatewayOptions& options)
    : options_(options),
      servers_(options.servers),
      destinations_(options.allowedDestinations),
      association_(Association::timingFor(options.keepaliveInterval), monotonicMillis()),
      tunBuffer_(new uint8_t[kHeadroom + tun_offload::kVirtioHeaderSize + tun_offload::kMaxPacket]),
      out_(kSendBatchBytes, kSendBatchDatagrams, options.offload) {
    filter_.localIp = options.localIp;
    filter_.portStart = options.portStart;
    filter_.portEnd = options.portEnd;
    std::memset(inMessages_, 0, sizeof inMessages_);
}

bool GatewayTool::openLink(std::string* error) {
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

void GatewayTool::setUpReceiveBuffers() {
    // Coalesced buffers hold up to 64 datagrams each: fewer of them, each of the largest size.
    inSlots_ = receiveCoalesced_ ? kCoalescedBatch : kBatch;
    inSlotSize_ =
        kHeadroom + (receiveCoalesced_ ? udp_batch::kCoalescedBufferSize : kDatagramCapacity);
    inArea_.reset(new uint8_t[inSlots_ * inSlotSize_]);
    for (size_t i = 0; i < inSlots_; ++i) {
        inVectors_[i].iov_base = inArea_.get() + i * inSlotSize_ + kHeadroom;
        inVectors_[i].iov_len = inSlotSize_ - kHeadroom;
        inMessages_[i].msg_hdr.msg_iov = &inVectors_[i];
        inMessages_[i].msg_hdr.msg_iovlen = 1;
    }
}

bool GatewayTool::open(std::string* error) {
    tunName_ = options_.tunName;
    tun_ = openTun(&tunName_, options_.offload, &tunOffload_, error);
    if (!tun_.valid()) {
        return false;
    }
    if (tunOffload_) {
        tunWriter_ = std::make_unique<tun_offload::TunWriter>(tun_.get(), options_.localIp);
    }
    if (options_.configure && !configureTun(tunName_, options_.localIp, error)) {
        return false;
    }

    if (!options_.keyFile.empty() && !openLink(error)) {
        return false;
    }
    udp_ = servers_.openSocket(options_.sourcePort, error);
    if (!udp_.valid()) {
        return false;
    }
    receiveCoalesced_ = options_.offload && udp_batch::enableReceiveOffload(udp_.get());
    setUpReceiveBuffers();
    // Never deliver to ourselves: our LAN-side source address, the address we reach the
    // server from, or a broadcast address of one of our networks.
    sockaddr_in own{};
    socklen_t ownLength = sizeof own;
    if (::getsockname(udp_.get(), reinterpret_cast<sockaddr*>(&own), &ownLength) == 0) {
        destinations_.refuse(own.sin_addr.s_addr);
    }
    destinations_.refuse(options_.localIp.s_addr);
    destinations_.refuseInterfaceBroadcasts();

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGUSR1);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signals_.reset(::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
    epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!signals_.valid() || !epoll_.valid()) {
        *error = std::string("cannot set up the event loop: ") + std::strerror(errno);
        return false;
    }
    const struct {
        int fd;
        uint64_t tag;
    } watched[] = {{udp_.get(), kUdpTag}, {tun_.get(), kTunTag}, {signals_.get(), kSignalTag}};
    for (const auto& entry : watched) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = entry.tag;
        if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, entry.fd, &event) != 0) {
            *error = std::string("cannot watch a descriptor: ") + std::strerror(errno);
            return false;
        }
    }
    if (glog::enabled(glog::kInfo)) {
        glog::line("%s ready (local ip %s, ports %u-%u, %s); server %s:%u", tunName_.c_str(),
                   dotted(&options_.localIp).text, options_.portStart, options_.portEnd,
                   options_.configure ? "configured" : "not configured",
                   dotted(&options_.server).text, options_.serverPort);
        glog::line("offloads: TUN segmentation %s, UDP receive coalescing %s, UDP segmentation %s",
                   tunOffload_ ? "on" : "off", receiveCoalesced_ ? "on" : "off",
                   options_.offload ? "on" : "off");
    }
    return true;
}

int GatewayTool::run() {
    epoll_event events[8];
    while (!stop_) {
        const Millis now = monotonicMillis();
        runAssociation(now);
        Millis wait = association_.deadline() - monotonicMillis();
        wait = wait < 0 ? 0 : (wait > INT_MAX ? INT_MAX : wait);
        const int ready = epoll_wait(epoll_.get(), events, 8, static_cast<int>(wait));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            glog::line("epoll_wait failed: %s", std::strerror(errno));
            return 1;
        }
        for (int i = 0; i < ready; ++i) {
            switch (events[i].data.u64) {
                case kUdpTag:
                    if (events[i].events & EPOLLOUT) {
                        if (flushToServer()) {
                            setTunReading(true);
                        }
                    }
                    if (events[i].events & (EPOLLIN | EPOLLERR)) {
                        receiveDatagrams();
                    }
                    break;
                case kTunTag:
                    readTun();
                    break;
                case kSignalTag:
                    handleSignals();
                    break;
            }
        }
    }
    if (glog::enabled(glog::kInfo)) {
        logCounters(counters_);
    }
    return 0;
}

// --- association -------------------------------------------------------------------------------

void GatewayTool::runAssociation(Millis now) {
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
                moveToNextServer();
                beginRegistrationCycle();
                sendRegistration();
                break;
            case Association::Action::Register:
                beginRegistrationCycle();
                sendRegistration();
                break;
            case Association::Action::RetryRegistration:
                // An unanswered registration tries the next server, if there is one.
                if (moveToNextServer()) {
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

bool GatewayTool::moveToNextServer() {
    std::string error;
    if (!servers_.moveOn(udp_.get(), &error)) {
        if (!error.empty()) {
            glog::line("cannot address the next server: %s", error.c_str());
        }
        return false;
    }
    options_.server = servers_.current().sin_addr;
    options_.serverPort = ntohs(servers_.current().sin_port);
    sockaddr_in own{};
    socklen_t ownLength = sizeof own;
    if (::getsockname(udp_.get(), reinterpret_cast<sockaddr*>(&own), &ownLength) == 0) {
        destinations_.refuse(own.sin_addr.s_addr);
    }
    ++counters_.serverMoves;
    if (glog::enabled(glog::kInfo)) {
        glog::line("moved to server %s:%u", dotted(&options_.server).text, options_.serverPort);
    }
    return true;
}

void GatewayTool::beginRegistrationCycle() {
    RegistrationFields fields;
    std::memcpy(fields.mac, options_.mac, kMacSize);
    fields.localIP = options_.localIp.s_addr;
    fields.localPortStart = options_.portStart;
    fields.localPortEnd = options_.portEnd;
    fields.type = options_.type;
    fields.customId = options_.customId;
    keyReady_ = false;
    outstandingAnswers_ = 0;
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

void GatewayTool::sendRegistration() {
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

void GatewayTool::sendKeepalive() {
    uint8_t keepalive[kKeepaliveMaxSize];
    const size_t length = encodeKeepalive(options_.mac, options_.customId, keepalive);
    ++counters_.keepalives;
    if (glog::enabled(glog::kPacket)) {
        glog::line("keepalive");
    }
    sendControl(keepalive, length, options_.encrypt || link_);
    if (link_ && link_->wantsRekey(std::chrono::steady_clock::now())) {
        sendInitiation();  // new keys; the current ones serve until the answer
    }
}

void GatewayTool::sendInitiation() {
    uint8_t initiation[gateway_datagram_v2::kInitiationMaxSize];
    const size_t length = link_->writeInitiation(initiation, std::chrono::steady_clock::now());
    if (length == 0) {
        ++counters_.sendErrors;
        return;
    }
    ++counters_.registrations;
    ++outstandingAnswers_;
    lastRegistrationAt_ = monotonicMillis();
    if (glog::enabled(glog::kInfo)) {
        glog::line("registering with %s:%u (version 2 handshake)", dotted(&options_.server).text,
                   options_.serverPort);
    }
    sendControl(initiation, length, false);
}

void GatewayTool::sendControl(const uint8_t* data, size_t length, bool wrap) {
    uint8_t sealed[1 + cryptoSizeWithPadding(kKeepaliveMaxSize) +
                   gateway_datagram_v2::kTransportOverhead];
    if (wrap && link_) {
        length = link_->seal(data, length, sealed, std::chrono::steady_clock::now());
        if (length == 0) {
            return;  // no keys yet: the handshake is under way
        }
        data = sealed;
    } else if (wrap) {
        if (!keyReady_) {
            return;  // no key yet: the association is being set up again anyway
        }
        uint32_t sealedLength = 0;
        sealed[0] = TAMBLO_MT_ENCRYPTED;
        if (cryptoProcessBuf(crypto_.get(), CryptoEncrypt, data, static_cast<uint32_t>(length),
                             sealed + 1, &sealedLength) == nullptr) {
            ++counters_.sendErrors;
            return;
        }
        data = sealed;
        length = 1 + sealedLength;
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

// --- server -> TUN -----------------------------------------------------------------------------

void GatewayTool::receiveDatagrams() {
    for (int batch = 0; batch < kBatchesPerWakeup; ++batch) {
        for (size_t i = 0; i < inSlots_; ++i) {
            inMessages_[i].msg_hdr.msg_control = inControls_[i];
            inMessages_[i].msg_hdr.msg_controllen = sizeof inControls_[i];
        }
        const int received = recvmmsg(udp_.get(), inMessages_, static_cast<unsigned>(inSlots_),
                                      MSG_DONTWAIT, nullptr);
        if (received < 0) {
            if (errno == EINTR || errno == ECONNREFUSED) {
                // ECONNREFUSED: a pending ICMP error, now consumed; datagrams may follow.
                continue;
            }
            if (errno != EAGAIN && glog::enabled(glog::kInfo)) {
                glog::line("receive failed: %s", std::strerror(errno));
            }
            return;
        }
        for (int i = 0; i < received; ++i) {
            const msghdr& message = inMessages_[i].msg_hdr;
            const size_t length = inMessages_[i].msg_len;
            if ((message.msg_flags & MSG_TRUNC) != 0 || length == 0) {
                ++counters_.datagramsIn;
                ++counters_.malformedDatagrams;
                continue;
            }
            udp_batch::forEachDatagram(static_cast<uint8_t*>(inVectors_[i].iov_base), length,
                                       udp_batch::segmentSize(message),
                                       [this](uint8_t* datagram, size_t datagramLength) {
                                           ++counters_.datagramsIn;
                                           handleDatagram(datagram, datagramLength, false);
                                       });
        }
        // The gathered segments point into the receive buffers: out before they are reused.
        if (tunWriter_) {
            tunWriter_->flush();
            counters_.tunPacketsOut = tunWriter_->writes();
            counters_.tunWriteErrors = tunWriter_->errors();
            reportTunWriteError(tunWriter_->lastError());
        }
        if (received < static_cast<int>(inSlots_)) {
            return;
        }
    }
}

void GatewayTool::reportTunWriteError(int error) {
    if (error != 0 && error != lastTunWriteErrno_ && glog::enabled(glog::kInfo)) {
        glog::line("write to %s failed: %s", tunName_.c_str(), std::strerror(error));
    }
    lastTunWriteErrno_ = error;
}

void GatewayTool::handleDatagram(uint8_t* data, size_t length, bool fromEnvelope) {
    if (link_ && !fromEnvelope) {
        receiveSealed(data, length);
        return;
    }
    // With a key, tunnel segments and channel datagrams count only inside the envelope: a
    // plain one is forged or misrouted.
    if (options_.encrypt && !fromEnvelope && data[0] != TAMBLO_MT_ENCRYPTED &&
        data[0] != TAMBLO_MT_KEEPALIVERESP && data[0] != TAMBLO_MT_ACCEPT &&
        data[0] != TAMBLO_MT_ACCEPTTLS) {
        ++counters_.plaintextRefused;
        if (glog::enabled(glog::kPacket)) {
            glog::line("dropped a plain datagram of type %u, %zu bytes", data[0], length);
        }
        return;
    }
    switch (data[0]) {
        case TAMBLO_MT_TCPOVERUDP:
            deliverSegment(data, length);
            return;
        case TAMBLO_MT_ENCRYPTED: {
            // One level only: the server never nests envelopes.
            if (fromEnvelope || !keyReady_) {
                ++counters_.undecryptable;
                return;
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
                return;
            }
            handleDatagram(plain, plainLength, true);
            return;
        }
        case TAMBLO_MT_KEEPALIVERESP:
            ++counters_.keepaliveAnswers;
            association_.onKeepaliveAnswer();
            if (glog::enabled(glog::kPacket)) {
                glog::line("keepalive answered");
            }
            return;
        case TAMBLO_MT_ACCEPT:
        case TAMBLO_MT_ACCEPTTLS:
            // Registration answers travel plain; one inside an envelope is no answer of ours.
            if (!fromEnvelope) {
                handleAccept(data, length, data[0] == TAMBLO_MT_ACCEPTTLS);
                return;
            }
            break;
        default:
            break;
    }
    // Channel datagrams (the RTSP relay's RTP/RTCP) have no receiver in this gateway.
    ++counters_.channelOrUnknown;
    if (glog::enabled(glog::kPacket)) {
        glog::line("ignored a datagram of type %u, %zu bytes", data[0], length);
    }
}

void GatewayTool::receiveSealed(uint8_t* data, size_t length) {
    // Version 2: everything but the handshake travels sealed; a plain datagram is forged.
    if (!gateway_datagram_v2::isV2Type(data[0])) {
        ++counters_.plaintextRefused;
        return;
    }
    uint8_t* inner = nullptr;
    size_t innerLength = 0;
    switch (link_->receive(data, length, std::chrono::steady_clock::now(), &inner, &innerLength)) {
        case SealedLink::Received::Inner:
            handleDatagram(inner, innerLength, true);
            return;
        case SealedLink::Received::Established:
            if (outstandingAnswers_ > 0) {
                --outstandingAnswers_;
            }
            ++counters_.accepts;
            if (association_.onAccepted(monotonicMillis()) && glog::enabled(glog::kInfo)) {
                glog::line("%s with %s:%u (version 2, datagrams sealed)",
                           counters_.associationsLost > 0 ? "re-registered" : "registered",
                           dotted(&options_.server).text, options_.serverPort);
            }
            sendKeepalive();  // our first datagram on the new keys confirms them to the server
            return;
        case SealedLink::Received::CookieTaken:
            if (glog::enabled(glog::kInfo)) {
                glog::line("the server is under load: the next handshake carries its cookie");
            }
            return;
        case SealedLink::Received::Dropped:
            ++counters_.undecryptable;
            return;
    }
}

void GatewayTool::handleAccept(const uint8_t* data, size_t length, bool withKey) {
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

void GatewayTool::deliverSegment(uint8_t* data, size_t length) {
    uint32_t destination;
    const gateway_ip::DatagramStatus status = gateway_ip::checkDatagram(data, length, &destination);
    if (status != gateway_ip::DatagramStatus::Ok) {
        ++counters_.malformedDatagrams;
        if (glog::enabled(glog::kPacket)) {
            glog::line("dropped a tunnel datagram of %zu bytes: %s", length,
                       gateway_ip::describe(status));
        }
        return;
    }
    if (!destinations_.allows(destination)) {
        ++counters_.destinationsRefused;
        if (glog::enabled(glog::kPacket)) {
            glog::line("dropped a segment for %s: not a device address we deliver to",
                       dotted(&destination).text);
        }
        return;
    }
    const uint8_t* segment = data + kSegmentOffset;
    if (glog::enabled(glog::kPacket)) {
        glog::line("server -> %s:%u from port %u, %zu bytes", dotted(&destination).text,
                   port16(segment + 2), port16(segment), length - kSegmentOffset + 20);
    }
    ++counters_.segmentsToTun;
    if (tunWriter_) {
        in_addr device;
        device.s_addr = destination;
        tunWriter_->add(device, segment, length - kSegmentOffset);
        return;
    }
    gateway_ip::PacketView packet;
    gateway_ip::datagramToPacket(data, length, options_.localIp, &packet);
    if (::write(tun_.get(), packet.data, packet.length) < 0) {
        --counters_.segmentsToTun;
        ++counters_.tunWriteErrors;
        reportTunWriteError(errno);
        return;
    }
    ++counters_.tunPacketsOut;
    lastTunWriteErrno_ = 0;
}

// --- TUN -> server -----------------------------------------------------------------------------

void GatewayTool::readTun() {
    const size_t header = tunOffload_ ? tun_offload::kVirtioHeaderSize : 0;
    uint8_t* buffer = tunBuffer_.get() + kHeadroom;
    bool drained = false;
    for (int read = 0; read < kTunReadsPerWakeup && tunReading_ && !drained; ++read) {
        // Room for all a packet may make first: a packet read is a packet handled.
        if ((out_.freeBytes() < kRoomPerTunPacket ||
             out_.freeDatagrams() < kDatagramsPerTunPacket) &&
            !flushToServer()) {
            setTunReading(false);  // resumed once the socket takes datagrams again
            return;
        }
        const ssize_t got = ::read(tun_.get(), buffer, header + tun_offload::kMaxPacket);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && glog::enabled(glog::kInfo)) {
                glog::line("read from %s failed: %s", tunName_.c_str(), std::strerror(errno));
            }
            drained = true;
            break;
        }
        if (static_cast<size_t>(got) < header) {
            ++counters_.packetsRefused;
            continue;
        }
        ++counters_.packetsFromTun;
        tun_offload::VirtioNetHeader vnet{};
        if (header != 0) {
            std::memcpy(&vnet, buffer, sizeof vnet);
        }
        sendPacket(buffer + header, static_cast<size_t>(got) - header,
                   header != 0 ? &vnet : nullptr);
    }
    if (!flushToServer()) {
        setTunReading(false);
    }
}

void GatewayTool::sendPacket(uint8_t* packet, size_t length,
                             const tun_offload::VirtioNetHeader* header) {
    gateway_ip::PacketStatus status = gateway_ip::PacketStatus::Ok;
    if (header != nullptr) {
        // A large packet becomes the segments the device's stack would have sent.
        const tun_offload::SplitStatus split =
            tun_offload::splitPacket(*header, packet, length, filter_, &status,
                                     [this](const uint8_t* datagram, size_t datagramLength) {
                                         return queueForServer(datagram, datagramLength);
                                     });
        if (split == tun_offload::SplitStatus::Ok) {
            return;
        }
        ++counters_.packetsRefused;
        if (glog::enabled(glog::kPacket)) {
            glog::line("ignored a packet of %zu bytes from %s: %s", length, tunName_.c_str(),
                       split == tun_offload::SplitStatus::BadHeader
                           ? "offload header we cannot follow"
                           : gateway_ip::describe(status));
        }
        return;
    }
    gateway_ip::PacketView datagram;
    status = gateway_ip::packetToDatagram(packet, length, filter_, &datagram);
    if (status != gateway_ip::PacketStatus::Ok) {
        ++counters_.packetsRefused;
        if (glog::enabled(glog::kPacket)) {
            glog::line("ignored a packet of %zu bytes from %s: %s", length, tunName_.c_str(),
                       gateway_ip::describe(status));
        }
        return;
    }
    queueForServer(datagram.data, datagram.length);
}

bool GatewayTool::queueForServer(const uint8_t* datagram, size_t length) {
    if (glog::enabled(glog::kPacket)) {
        const uint8_t* segment = datagram + kSegmentOffset;
        glog::line("%s:%u -> server port %u, %zu bytes",
                   dotted(datagram + kDeviceAddressOffset).text, port16(segment),
                   port16(segment + 2), length);
    }
    if (link_) {
        uint8_t* sealed = out_.reserve(length + gateway_datagram_v2::kTransportOverhead);
        if (sealed == nullptr) {
            ++counters_.sendErrors;
            return false;  // no room: the rest of the packet goes the same way
        }
        const size_t sealedLength =
            link_->seal(datagram, length, sealed, std::chrono::steady_clock::now());
        if (sealedLength == 0) {
            ++counters_.sendErrors;
            return true;
        }
        out_.commit(sealedLength, nullptr);
        return true;
    }
    if (!options_.encrypt) {
        if (!out_.add(datagram, length, nullptr)) {
            ++counters_.sendErrors;
            return false;
        }
        return true;
    }
    const size_t sealedCapacity = 1 + cryptoSizeWithPadding(static_cast<uint32_t>(length));
    // The server takes datagrams of up to kDatagramCapacity bytes: a longer envelope would
    // arrive cut.
    if (!keyReady_ || sealedCapacity > kDatagramCapacity) {
        ++counters_.sendErrors;
        return true;
    }
    uint8_t* sealed = out_.reserve(sealedCapacity);
    uint32_t sealedLength = 0;
    if (sealed == nullptr) {
        ++counters_.sendErrors;
        return false;  // no room: the rest of the packet goes the same way
    }
    sealed[0] = TAMBLO_MT_ENCRYPTED;
    if (cryptoProcessBuf(crypto_.get(), CryptoEncrypt, datagram, static_cast<uint32_t>(length),
                         sealed + 1, &sealedLength) == nullptr) {
        ++counters_.sendErrors;
        return true;
    }
    out_.commit(1 + sealedLength, nullptr);
    return true;
}

void GatewayTool::reportSent(void* context, uint8_t, size_t, int error) {
    auto* tool = static_cast<GatewayTool*>(context);
    if (error == 0) {
        ++tool->counters_.datagramsOut;
        tool->lastSendErrno_ = 0;  // the next failure is news again
        return;
    }
    // An ICMP error of an earlier datagram, no buffer memory: this datagram is lost, and TCP
    // sends it again.
    ++tool->counters_.sendErrors;
    if (error != tool->lastSendErrno_ && glog::enabled(glog::kInfo)) {
        glog::line("send to the server failed: %s", std::strerror(error));
    }
    tool->lastSendErrno_ = error;
}

bool GatewayTool::flushToServer() {
    const bool done = out_.flush(udp_.get(), reportSent, this);
    counters_.udpMessagesOut = out_.messagesSent();
    setWaitingForWritable(!done);
    return done;
}

void GatewayTool::setTunReading(bool enabled) {
    if (tunReading_ == enabled) {
        return;
    }
    tunReading_ = enabled;
    epoll_event event{};
    event.events = enabled ? uint32_t{EPOLLIN} : 0u;
    event.data.u64 = kTunTag;
    epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, tun_.get(), &event);
}

void GatewayTool::setWaitingForWritable(bool enabled) {
    if (waitingForWritable_ == enabled) {
        return;
    }
    waitingForWritable_ = enabled;
    epoll_event event{};
    event.events = EPOLLIN | (enabled ? uint32_t{EPOLLOUT} : 0u);
    event.data.u64 = kUdpTag;
    epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, udp_.get(), &event);
}

// --- signals ----------------------------------------------------------------------------------

void GatewayTool::handleSignals() {
    signalfd_siginfo info;
    while (::read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGUSR1) {
            logCounters(counters_);
        } else {
            if (glog::enabled(glog::kInfo)) {
                glog::line("signal %u: stopping", info.ssi_signo);
            }
            stop_ = true;
        }
    }
}
