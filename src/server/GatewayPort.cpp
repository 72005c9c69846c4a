// The gateway port: binding, batched receives and sends, pipe frames per receive batch.
#include "server/GatewayPort.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "common/Logging.h"
#include "protocol/PipeMessage.h"
#include "server/AddressKey.h"
#include "server/Tunnel.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kServer);

// Bursts of tunnel segments from many gateways must not overflow the gateway socket: each
// loss costs a TCP recovery in some worker. Root may go beyond the system's maximum.
constexpr int kGatewaySocketBuffer = 8 << 20;

void enlargeBuffers(int socket) {
    for (const auto& [force, plain] :
         {std::pair{SO_RCVBUFFORCE, SO_RCVBUF}, std::pair{SO_SNDBUFFORCE, SO_SNDBUF}}) {
        if (setsockopt(socket, SOL_SOCKET, force, &kGatewaySocketBuffer,
                       sizeof kGatewaySocketBuffer) != 0) {
            setsockopt(socket, SOL_SOCKET, plain, &kGatewaySocketBuffer,
                       sizeof kGatewaySocketBuffer);
        }
    }
}

// The fate of one datagram, sent alone or in the batch: counted when it left, and traced.
void countSent(void* context, uint8_t kind, size_t length, int error) {
    auto* counters = static_cast<ServerCounters*>(context);
    if (error == 0) {
        counters->sent.count(static_cast<DatagramKind>(kind), length);
    }
    if (logger.isEnabledFor(log4cplus::TRACE_LOG_LEVEL)) {
        LOG4CPLUS_TRACE(
            logger, "send: sending bytes: " << length << ", return value: "
                                            << (error == 0 ? static_cast<ssize_t>(length) : -1));
        if (error != 0) {
            LOG4CPLUS_TRACE(logger, "send  got error: " << std::strerror(error));
        }
    }
}
}  // namespace

GatewayPort::GatewayPort(struct ev_loop* eventLoop, uint16_t port, const std::string& interfaceName,
                         Receiver& receiver, ServerCounters& counters)
    : receiver(receiver),
      counters(counters),
      receiveSlots(new ReceiveSlots),
      moderation(eventLoop, counters),
      pipeReadBuffer_(new uint8_t[TunnelHost::kPipeReadBytes + pipe_message::kMaxFrame]) {
    fd.reset(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in address = anyAddress(port);
    if (!interfaceName.empty()) {
        bindToInterface(interfaceName, &address);
    }
    if (!fd.valid() ||
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        LOG4CPLUS_WARN(logger, "bind() call failed with error " << std::strerror(errno));
        throw std::runtime_error("bind failed for gateway socket");
    }
    enlargeBuffers(fd.get());
    // Runs of equal datagrams from one gateway then arrive in one buffer each.
    setUpReceiveSlots(udp_batch::enableReceiveOffload(fd.get()));
    ev_io_init(io.get(), (evMemberCallback<GatewayPort, ev_io, &GatewayPort::readable>), fd.get(),
               EV_READ);
    io.get()->data = this;
    io.start(eventLoop);
}

void GatewayPort::bindToInterface(const std::string& name, sockaddr_in* address) {
    // The interface's IPv4 address through an ioctl on an IPv4 socket: no netlink socket,
    // which the unit does not allow.
    ifreq request{};
    UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (name.size() >= sizeof request.ifr_name) {
        errno = ENODEV;
    } else if (probe.valid()) {
        std::memcpy(request.ifr_name, name.data(), name.size());
        if (::ioctl(probe.get(), SIOCGIFADDR, &request) == 0 &&
            request.ifr_addr.sa_family == AF_INET) {
            address->sin_addr = reinterpret_cast<const sockaddr_in*>(&request.ifr_addr)->sin_addr;
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
            LOG4CPLUS_INFO(logger, "Bound to address: " << text);
            return;
        }
    }
    // An interface without an IPv4 address leaves the socket on every address, as before.
    if (errno != EADDRNOTAVAIL) {
        LOG4CPLUS_WARN(
            logger, "Could not set socket's interface to " << name << ": " << std::strerror(errno));
    }
}

uint16_t GatewayPort::boundPort() const {
    return localPortOf(fd.get());
}

void GatewayPort::setUpReceiveSlots(bool coalesced) {
    ReceiveSlots& slots = *receiveSlots;
    slots.size = coalesced ? udp_batch::kCoalescedBufferSize : gateway_datagram::kMaxDatagramSize;
    slots.buffers.reset(new uint8_t[slots.size * kReceiveBatch]);
    for (int i = 0; i < kReceiveBatch; ++i) {
        slots.vectors[i] = {slots.buffers.get() + slots.size * i, slots.size};
        msghdr& header = slots.messages[i].msg_hdr;
        std::memset(&header, 0, sizeof header);
        header.msg_name = &slots.senders[i];
        header.msg_iov = &slots.vectors[i];
        header.msg_iovlen = 1;
    }
}

void GatewayPort::readable(int) {
    // Drain the socket: a burst of datagrams is handled in one callback, read in batches.
    // The budget keeps a flood from starving the pipes and timers; the watcher fires again.
    ReceiveSlots& slots = *receiveSlots;
    for (int handled = 0; handled < kDrainBudget;) {
        for (int i = 0; i < kReceiveBatch; ++i) {
            msghdr& header = slots.messages[i].msg_hdr;
            header.msg_namelen = sizeof slots.senders[i];
            header.msg_control = slots.controls[i];
            header.msg_controllen = sizeof slots.controls[i];
        }
        const int count =
            ::recvmmsg(fd.get(), slots.messages, kReceiveBatch, MSG_DONTWAIT, nullptr);
        if (count <= 0) {
            return;  // nothing waiting, or an error
        }
        dispatchReceived(count);
        handled += count;
        if (count < kReceiveBatch) {
            return;  // drained
        }
    }
}

void GatewayPort::dispatchReceived(int count) {
    ReceiveSlots& slots = *receiveSlots;
    receiver.receiveBatchBoundary();
    for (int i = 0; i < count; ++i) {
        const size_t length = slots.messages[i].msg_len;
        // Table keys compare whole structures: keep only family, port and address.
        sockaddr_in sender;
        std::memset(&sender, 0, sizeof sender);
        sender.sin_family = AF_INET;
        sender.sin_port = slots.senders[i].sin_port;
        sender.sin_addr = slots.senders[i].sin_addr;
        udp_batch::forEachDatagram(
            static_cast<uint8_t*>(slots.vectors[i].iov_base), length,
            udp_batch::segmentSize(slots.messages[i].msg_hdr),
            [&](uint8_t* datagram, size_t datagramLength) {
                if (datagramLength == 0) {
                    return;  // an empty datagram carries nothing to dispatch
                }
                receiver.receivedDatagram(
                    sender, datagram, std::min(datagramLength, gateway_datagram::kMaxDatagramSize));
            });
    }
    receiver.receiveBatchBoundary();
    // The frames point into the receive buffers: out before these are filled again.
    flushPipeFrames();
}

ssize_t GatewayPort::send(const sockaddr_in& destination, const void* payload, size_t length,
                          DatagramKind kind) {
    const ssize_t result =
        ::sendto(fd.get(), payload, length, MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    const int error = result < 0 ? errno : 0;
    countSent(&counters, static_cast<uint8_t>(kind), length, error);
    if (result < 0) {
        errno = error;  // as the send left it, for the caller's message
    }
    return result;
}

uint8_t* GatewayPort::reserveDatagram(size_t capacity) {
    uint8_t* room = sendBatch.reserve(capacity);
    if (room == nullptr) {
        flushDatagrams();
        room = sendBatch.reserve(capacity);
    }
    return room;
}

void GatewayPort::commitDatagram(size_t length, const sockaddr_in& destination, DatagramKind kind) {
    sendBatch.commit(length, &destination, static_cast<uint8_t>(kind));
}

void GatewayPort::flushDatagrams() {
    if (sendBatch.empty()) {
        return;
    }
    if (!fd.valid()) {
        sendBatch.dropAll(EBADF, countSent, &counters);
        return;
    }
    if (!sendBatch.flush(fd.get(), countSent, &counters)) {
        sendBatch.dropAll(EAGAIN, countSent, &counters);
    }
}

void GatewayPort::pipeFramesDropped(Tunnel* tunnel) {
    tunnelsWithFrames.erase(std::remove(tunnelsWithFrames.begin(), tunnelsWithFrames.end(), tunnel),
                            tunnelsWithFrames.end());
    moderation.forget(tunnel);
}

void GatewayPort::flushPipeFrames() {
    // A tunnel is listed once per batch (it lists itself when its first frame comes), and
    // stays allocated until the loop's next iteration even when it ended meanwhile.
    for (Tunnel* tunnel : tunnelsWithFrames) {
        moderation.flush(tunnel);
    }
    tunnelsWithFrames.clear();
}

void GatewayPort::close() {
    io.stop();
    flushPipeFrames();
    flushDatagrams();
    fd.reset();
}
