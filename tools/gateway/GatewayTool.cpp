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
      session_(options, counters_),
      destinations_(options.allowedDestinations),
      tunBuffer_(new uint8_t[kHeadroom + tun_offload::kVirtioHeaderSize + tun_offload::kMaxPacket]),
      out_(kSendBatchBytes, kSendBatchDatagrams, options.offload) {
    filter_.localIp = options.localIp;
    filter_.portStart = options.portStart;
    filter_.portEnd = options.portEnd;
    std::memset(inMessages_, 0, sizeof inMessages_);
}


void GatewayTool::refuseOwnAddress() {
    sockaddr_in own{};
    socklen_t ownLength = sizeof own;
    if (::getsockname(session_.socket(), reinterpret_cast<sockaddr*>(&own), &ownLength) == 0) {
        destinations_.refuse(own.sin_addr.s_addr);
    }
}

void GatewayTool::handleDatagram(uint8_t* data, size_t length) {
    uint8_t* plain = session_.receive(data, &length);
    if (plain == nullptr) {
        return;
    }
    if (plain[0] == TAMBLO_MT_TCPOVERUDP) {
        deliverSegment(plain, length);
        return;
    }
    // Channel datagrams (the RTSP relay's RTP/RTCP) have no receiver in this gateway.
    ++counters_.channelOrUnknown;
    if (glog::enabled(glog::kPacket)) {
        glog::line("ignored a datagram of type %u, %zu bytes", plain[0], length);
    }
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
    // The keys first: a key file that does not do stops us before the TUN device exists.
    if (!session_.open(error)) {
        return false;
    }
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

    receiveCoalesced_ = options_.offload && udp_batch::enableReceiveOffload(session_.socket());
    setUpReceiveBuffers();
    // Never deliver to ourselves: our LAN-side source address, the address we reach the
    // server from, or a broadcast address of one of our networks.
    refuseOwnAddress();
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
    } watched[] = {{session_.socket(), kUdpTag}, {tun_.get(), kTunTag}, {signals_.get(), kSignalTag}};
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
        const uint64_t moves = counters_.serverMoves;
        session_.run(now);
        if (counters_.serverMoves != moves) {
            refuseOwnAddress();  // the next server may be reached from another address
        }
        Millis wait = session_.deadline() - monotonicMillis();
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








// --- server -> TUN -----------------------------------------------------------------------------

void GatewayTool::receiveDatagrams() {
    for (int batch = 0; batch < kBatchesPerWakeup; ++batch) {
        for (size_t i = 0; i < inSlots_; ++i) {
            inMessages_[i].msg_hdr.msg_control = inControls_[i];
            inMessages_[i].msg_hdr.msg_controllen = sizeof inControls_[i];
        }
        const int received = recvmmsg(session_.socket(), inMessages_, static_cast<unsigned>(inSlots_),
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
                                           handleDatagram(datagram, datagramLength);
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
    if (!session_.seals()) {
        if (!out_.add(datagram, length, nullptr)) {
            ++counters_.sendErrors;
            return false;
        }
        return true;
    }
    const size_t capacity = session_.sealedCapacity(length);
    if (capacity == 0) {
        ++counters_.sendErrors;  // no keys yet, or too long for the server
        return true;
    }
    uint8_t* sealed = out_.reserve(capacity);
    if (sealed == nullptr) {
        ++counters_.sendErrors;
        return false;  // no room: the rest of the packet goes the same way
    }
    const size_t sealedLength = session_.seal(datagram, length, sealed);
    if (sealedLength == 0) {
        ++counters_.sendErrors;
        return true;
    }
    out_.commit(sealedLength, nullptr);
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
    const bool done = out_.flush(session_.socket(), reportSent, this);
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
    epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, session_.socket(), &event);
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
