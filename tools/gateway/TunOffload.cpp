// Cutting the TUN device's large TCP packets into segments, and gathering segments into them.
#include "TunOffload.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/ByteOrder.h"
#include "tcpoverudp_chksum.h"

namespace tun_offload {

namespace {

constexpr uint8_t kAck = 0x10;
constexpr uint8_t kPsh = detail::kPsh;
constexpr size_t kAckOffset = 8;
constexpr size_t kWindowOffset = 14;
// Gathered segments per packet: the kernel's own limit for one large packet.
constexpr size_t kMaxSegments = 64;

size_t headerLengthOf(const uint8_t* segment) {
    return static_cast<size_t>(segment[12] >> 4) * 4;
}

// Data that may be gathered: ACK (and PSH) only, a payload, a header that fits.
bool gatherable(const uint8_t* segment, size_t length, size_t headerLength) {
    const uint8_t flags = segment[detail::kFlagsOffset];
    return headerLength >= gateway_ip::kTcpHeaderMinSize && headerLength < length &&
           (flags & ~kPsh) == kAck;
}

uint16_t fold(uint32_t sum) {
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<uint16_t>(sum);
}

}  // namespace

namespace detail {
uint32_t readSequence(const uint8_t* segment) {
    return readBigEndian32(segment + kSequenceOffset);
}
void writeSequence(uint8_t* segment, uint32_t sequence) {
    writeBigEndian32(segment + kSequenceOffset, sequence);
}
}  // namespace detail

uint16_t pseudoHeaderSum(in_addr source, in_addr destination, size_t tcpLength) {
    uint8_t pseudo[12];
    std::memcpy(pseudo, &source, 4);
    std::memcpy(pseudo + 4, &destination, 4);
    pseudo[8] = 0;
    pseudo[9] = gateway_ip::kProtocolTcp;
    writeBigEndian16(pseudo + 10, static_cast<uint16_t>(tcpLength));
    return tcpoverudp_chksum(pseudo, sizeof pseudo);
}

void setTcpChecksum(uint8_t* segment, size_t length, in_addr source, in_addr destination) {
    std::memset(segment + detail::kChecksumOffset, 0, 2);
    const uint16_t sum = fold(uint32_t{pseudoHeaderSum(source, destination, length)} +
                              tcpoverudp_chksum(segment, static_cast<int>(length)));
    const uint16_t checksum = static_cast<uint16_t>(~sum);
    std::memcpy(segment + detail::kChecksumOffset, &checksum, 2);
}

TunWriter::TunWriter(int fd, in_addr localIp) : fd_(fd), localIp_(localIp) {
    pieces_.reserve(kMaxSegments + 2);
}

bool TunWriter::continues(in_addr device, const uint8_t* segment, size_t length,
                          size_t headerLength) const {
    return first_ != nullptr && !closed_ && device.s_addr == device_.s_addr &&
           pieces_.size() - 1 < kMaxSegments && headerLength == headerLength_ &&
           length - headerLength <= segmentSize_ &&
           gateway_ip::kIpv4HeaderSize + headerLength_ + payload_ + (length - headerLength) <=
               kMaxPacket &&
           detail::readSequence(segment) == nextSequence_ &&
           // Same ports, acknowledgement, window and options: one header speaks for all.
           std::memcmp(segment, first_, 4) == 0 &&
           std::memcmp(segment + kAckOffset, first_ + kAckOffset, 4) == 0 &&
           std::memcmp(segment + kWindowOffset, first_ + kWindowOffset, 2) == 0 &&
           std::memcmp(segment + gateway_ip::kTcpHeaderMinSize,
                       first_ + gateway_ip::kTcpHeaderMinSize,
                       headerLength - gateway_ip::kTcpHeaderMinSize) == 0;
}

void TunWriter::add(in_addr device, const uint8_t* segment, size_t length) {
    const size_t headerLength = headerLengthOf(segment);
    const bool data = gatherable(segment, length, headerLength);
    if (data && continues(device, segment, length, headerLength)) {
        const size_t payload = length - headerLength;
        pieces_.push_back({const_cast<uint8_t*>(segment + headerLength), payload});
        payload_ += payload;
        nextSequence_ += static_cast<uint32_t>(payload);
        const uint8_t flags = segment[detail::kFlagsOffset];
        pushFlag_ = flags & kPsh;
        closed_ = payload < segmentSize_ || pushFlag_ != 0;
        return;
    }
    flush();
    device_ = device;
    first_ = segment;
    headerLength_ = headerLength;
    // pieces_[0] is the headers' place; pieces_[1] the first payload (or the whole segment).
    pieces_.push_back({nullptr, 0});
    if (!data) {
        pieces_.push_back({const_cast<uint8_t*>(segment), length});
        closed_ = true;
        writeGathered();
        return;
    }
    const size_t payload = length - headerLength;
    pieces_.push_back({const_cast<uint8_t*>(segment + headerLength), payload});
    segmentSize_ = payload;
    payload_ = payload;
    nextSequence_ = detail::readSequence(segment) + static_cast<uint32_t>(payload);
    pushFlag_ = segment[detail::kFlagsOffset] & kPsh;
    closed_ = pushFlag_ != 0;
}

void TunWriter::flush() {
    if (first_ != nullptr) {
        writeGathered();
    }
}

void TunWriter::writeGathered() {
    // Header room: virtio-net header, IPv4 header, and for a gathered packet the TCP header.
    uint8_t headers[kVirtioHeaderSize + gateway_ip::kIpv4HeaderSize + 60];
    VirtioNetHeader vnet{};
    const size_t segments = pieces_.size() - 1;
    const bool gathered = segments > 1;
    size_t tcpLength = 0;
    size_t used = kVirtioHeaderSize + gateway_ip::kIpv4HeaderSize;
    if (gathered) {
        tcpLength = headerLength_ + payload_;
        uint8_t* tcp = headers + used;
        std::memcpy(tcp, first_, headerLength_);
        tcp[detail::kFlagsOffset] |= pushFlag_;
        // The kernel completes the checksum from the pseudo-header's sum.
        const uint16_t partial = pseudoHeaderSum(localIp_, device_, tcpLength);
        std::memcpy(tcp + detail::kChecksumOffset, &partial, 2);
        used += headerLength_;
        vnet.flags = kNeedsChecksum;
        vnet.gsoType = kGsoTcpV4;
        vnet.headerLength = static_cast<uint16_t>(gateway_ip::kIpv4HeaderSize + headerLength_);
        vnet.gsoSize = static_cast<uint16_t>(segmentSize_);
        vnet.checksumStart = static_cast<uint16_t>(gateway_ip::kIpv4HeaderSize);
        vnet.checksumOffset = static_cast<uint16_t>(detail::kChecksumOffset);
    } else {
        tcpLength = pieces_[1].iov_len;  // the whole segment, checksum as the server made it
        if (first_ != pieces_[1].iov_base) {
            tcpLength += headerLength_;
            pieces_[1] = {const_cast<uint8_t*>(first_), tcpLength};
        }
    }
    std::memcpy(headers, &vnet, sizeof vnet);
    gateway_ip::writeIpv4Header(headers + kVirtioHeaderSize, localIp_, device_, tcpLength);
    pieces_[0] = {headers, used};
    ssize_t result;
    do {
        result = ::writev(fd_, pieces_.data(), static_cast<int>(pieces_.size()));
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        ++errors_;
        lastError_ = errno;
    } else {
        ++writes_;
        segments_ += segments;
        lastError_ = 0;
    }
    pieces_.clear();
    first_ = nullptr;
    payload_ = 0;
}

}  // namespace tun_offload
