// The TUN device's offloads, as tamblo-gateway uses them: the kernel hands over and takes
// large TCP packets (up to 64 KiB) instead of one packet per segment, each behind a
// virtio-net header that says how it is to be cut:
//
//    0       1          2            4            6              8               10
//   +-------+----------+------------+------------+--------------+---------------+
//   | flags | gso type | header len | gso size   | csum start   | csum offset   |  then the
//   | (u8)  | (u8)     | (u16)      | (u16)      | (u16)        | (u16)         |  IPv4 packet
//   +-------+----------+------------+------------+--------------+---------------+
//   u16 fields in host order. flags 1 (NEEDS_CSUM): the TCP checksum field holds only the
//   pseudo-header's sum; gso type 1 (TCPV4): a packet of several segments of gso size.
//
// Device -> server: splitPacket() cuts such a packet into the segments the device's stack
// would have sent (at its MSS, the gso size), each with its sequence number, flags and full
// checksum, as tunnel datagrams (255 | device address | segment). The server's stack gets
// segments of the size it negotiated, as from any other gateway.
//
// Server -> device: TunWriter gathers consecutive segments of one connection that continue
// each other (the server's data, all but the last of the full segment size) and writes them
// as one such packet; everything else is written as it came, behind an empty header.
#pragma once

#include <netinet/in.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "protocol/GatewayDatagram.h"
#include "Ipv4Packet.h"

namespace tun_offload {

// The virtio-net header as drawn above (the kernel's <linux/virtio_net.h> is not C++).
struct VirtioNetHeader {
    uint8_t flags;
    uint8_t gsoType;
    uint16_t headerLength;
    uint16_t gsoSize;
    uint16_t checksumStart;
    uint16_t checksumOffset;
};
constexpr size_t kVirtioHeaderSize = 10;
static_assert(sizeof(VirtioNetHeader) == kVirtioHeaderSize,
              "the TUN device's header without mergeable buffers");
constexpr uint8_t kNeedsChecksum = 1;
constexpr uint8_t kGsoNone = 0;
constexpr uint8_t kGsoTcpV4 = 1;
// The largest packet the TUN device hands over or takes, behind its header.
constexpr size_t kMaxPacket = 65535;
// The longest tunnel datagram splitPacket() makes: 255, address, a TCP header with options
// and a segment no larger than the server's receive buffer allows.
constexpr size_t kMaxDatagram = gateway_datagram::kMaxDatagramSize;

enum class SplitStatus {
    Ok,
    Refused,    // not a packet for the tunnel (see status)
    BadHeader,  // a virtio-net header we did not ask for (another gso type, sizes that do not fit)
};

// The sum of the TCP pseudo-header (source, destination, protocol 6, TCP length), folded and
// not complemented, in the checksum field's byte order.
uint16_t pseudoHeaderSum(in_addr source, in_addr destination, size_t tcpLength);
// Fills in the checksum of the segment (its field taken as 0) for the two addresses.
void setTcpChecksum(uint8_t* segment, size_t length, in_addr source, in_addr destination);

// Cuts the packet (IPv4 header first, length bytes, behind header) into tunnel datagrams and
// hands each one to emit(const uint8_t* datagram, size_t length), in order; emit returns false
// to drop the rest. A packet that needs no cutting makes one datagram. The packet's bytes are
// left as they were. *status says why a packet was refused.
template <typename Emit>
SplitStatus splitPacket(const VirtioNetHeader& header, const uint8_t* packet, size_t length,
                        const gateway_ip::PacketFilter& filter, gateway_ip::PacketStatus* status,
                        Emit&& emit);

// Writes the server's segments to the TUN device, gathering what continues a connection's
// previous segment into one large packet. The segments' bytes must stay where they are until
// flush(), which writes what is gathered.
class TunWriter {
  public:
    TunWriter(int fd, in_addr localIp);

    // One TCP segment for device, as the server sent it (checksum over localIp and device).
    void add(in_addr device, const uint8_t* segment, size_t length);
    void flush();

    uint64_t writes() const { return writes_; }      // packets written
    uint64_t segments() const { return segments_; }  // segments in them
    uint64_t errors() const { return errors_; }      // packets the device refused
    int lastError() const { return lastError_; }

  private:
    // Whether the segment continues the gathered ones.
    bool continues(in_addr device, const uint8_t* segment, size_t length,
                   size_t headerLength) const;
    void writeGathered();

    int fd_;
    in_addr localIp_;
    // The gathered segments: the first one's header, then every payload.
    in_addr device_{};
    const uint8_t* first_ = nullptr;
    size_t headerLength_ = 0;
    size_t segmentSize_ = 0;  // payload of all but the last
    size_t payload_ = 0;      // bytes of all payloads
    uint32_t nextSequence_ = 0;
    bool closed_ = false;  // a shorter segment or one with PSH ends the packet
    uint8_t pushFlag_ = 0;
    std::vector<iovec> pieces_;

    uint64_t writes_ = 0;
    uint64_t segments_ = 0;
    uint64_t errors_ = 0;
    int lastError_ = 0;
};

// --- splitPacket ----------------------------------------------------------------------------

namespace detail {
constexpr uint8_t kFin = 0x01;
constexpr uint8_t kPsh = 0x08;
constexpr uint8_t kCwr = 0x80;
constexpr size_t kSequenceOffset = 4;
constexpr size_t kFlagsOffset = 13;
constexpr size_t kChecksumOffset = 16;

uint32_t readSequence(const uint8_t* segment);
void writeSequence(uint8_t* segment, uint32_t sequence);
}  // namespace detail

template <typename Emit>
SplitStatus splitPacket(const VirtioNetHeader& header, const uint8_t* packet, size_t length,
                        const gateway_ip::PacketFilter& filter, gateway_ip::PacketStatus* status,
                        Emit&& emit) {
    using namespace gateway_ip;
    TcpPacketParts parts;
    *status = inspectPacket(packet, length, filter, &parts);
    if (*status != PacketStatus::Ok) {
        return SplitStatus::Refused;
    }
    const uint8_t* segment = packet + parts.ipHeaderLength;
    const size_t payload = parts.segmentLength - parts.tcpHeaderLength;
    if ((header.gsoType != kGsoNone && header.gsoType != kGsoTcpV4) ||
        (header.gsoType == kGsoTcpV4 && header.gsoSize == 0)) {
        return SplitStatus::BadHeader;
    }
    const size_t cut =
        header.gsoType == kGsoTcpV4 && payload > header.gsoSize ? header.gsoSize : payload;
    const size_t prefix = gateway_datagram::kSegmentOffset;
    if (prefix + parts.tcpHeaderLength + cut > kMaxDatagram) {
        return SplitStatus::BadHeader;
    }
    in_addr source;
    in_addr destination;
    std::memcpy(&source, packet + kSourceOffset, 4);
    std::memcpy(&destination, packet + kDestinationOffset, 4);
    const bool needsChecksum = (header.flags & kNeedsChecksum) != 0 || cut < payload;
    const uint8_t flags = segment[detail::kFlagsOffset];
    const uint32_t sequence = detail::readSequence(segment);
    uint8_t datagram[kMaxDatagram];
    size_t offset = 0;
    do {
        const size_t n = payload - offset < cut ? payload - offset : cut;
        const bool last = offset + n == payload;
        datagram[0] = TAMBLO_MT_TCPOVERUDP;
        std::memcpy(datagram + gateway_datagram::kDeviceAddressOffset, &source, 4);
        uint8_t* out = datagram + prefix;
        std::memcpy(out, segment, parts.tcpHeaderLength);
        std::memcpy(out + parts.tcpHeaderLength, segment + parts.tcpHeaderLength + offset, n);
        if (cut < payload) {
            // As the device's stack would have sent it: FIN and PSH on the last segment only,
            // CWR on the first only.
            uint8_t own = flags;
            if (!last) {
                own &= static_cast<uint8_t>(~(detail::kFin | detail::kPsh));
            }
            if (offset != 0) {
                own &= static_cast<uint8_t>(~detail::kCwr);
            }
            out[detail::kFlagsOffset] = own;
            detail::writeSequence(out, sequence + static_cast<uint32_t>(offset));
        }
        const size_t segmentLength = parts.tcpHeaderLength + n;
        if (needsChecksum) {
            setTcpChecksum(out, segmentLength, source, destination);
        }
        if (!emit(static_cast<const uint8_t*>(datagram), prefix + segmentLength)) {
            break;
        }
        offset += n;
    } while (offset < payload);
    return SplitStatus::Ok;
}

}  // namespace tun_offload
