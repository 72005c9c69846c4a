// Building and checking the IPv4 packets that carry tunnelled TCP segments on the TUN device.
#include "Ipv4Packet.h"

#include <cstring>

#include "common/ByteOrder.h"

namespace gateway_ip {

using gateway_datagram::kDeviceAddressOffset;
using gateway_datagram::kSegmentOffset;

namespace {

// Checks the TCP header length field against the bytes the segment really has.
bool tcpHeaderFits(const uint8_t* segment, size_t length) {
    if (length < kTcpHeaderMinSize) {
        return false;
    }
    const size_t headerLength = static_cast<size_t>(segment[kTcpDataOffsetOffset] >> 4) * 4;
    return headerLength >= kTcpHeaderMinSize && headerLength <= length;
}

}  // namespace

uint16_t internetChecksum(const uint8_t* data, size_t length) {
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 1 < length; i += 2) {
        sum += readBigEndian16(data + i);
    }
    if (i < length) {
        sum += static_cast<uint32_t>(data[i]) << 8;
    }
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

void writeIpv4Header(uint8_t* out, in_addr source, in_addr destination, size_t segmentLength) {
    out[kVersionIhlOffset] = 0x45;
    out[1] = 0;  // DSCP/ECN
    writeBigEndian16(out + kTotalLengthOffset,
                     static_cast<uint16_t>(kIpv4HeaderSize + segmentLength));
    writeBigEndian16(out + 4, 0);  // identification: unused with DF set (RFC 6864)
    writeBigEndian16(out + kFlagsFragmentOffset, kFlagDontFragment);
    out[kTtlOffset] = kTtl;
    out[kProtocolOffset] = kProtocolTcp;
    writeBigEndian16(out + kChecksumOffset, 0);
    std::memcpy(out + kSourceOffset, &source, 4);
    std::memcpy(out + kDestinationOffset, &destination, 4);
    writeBigEndian16(out + kChecksumOffset, internetChecksum(out, kIpv4HeaderSize));
}

DatagramStatus checkDatagram(const uint8_t* datagram, size_t length, uint32_t* device) {
    if (length < kSegmentOffset + kTcpHeaderMinSize) {
        return DatagramStatus::TooShort;
    }
    const size_t segmentLength = length - kSegmentOffset;
    // Datagrams are at most 4096 bytes, so the total length always fits 16 bits; checked anyway
    // because the function does not know where its input came from.
    if (segmentLength > 0xffff - kIpv4HeaderSize) {
        return DatagramStatus::TooShort;
    }
    if (!tcpHeaderFits(datagram + kSegmentOffset, segmentLength)) {
        return DatagramStatus::BadTcpHeader;
    }
    std::memcpy(device, datagram + kDeviceAddressOffset, sizeof *device);
    return DatagramStatus::Ok;
}

DatagramStatus datagramToPacket(uint8_t* datagram, size_t length, in_addr localIp,
                                PacketView* packet) {
    in_addr device;
    const DatagramStatus status = checkDatagram(datagram, length, &device.s_addr);
    if (status != DatagramStatus::Ok) {
        return status;
    }
    const size_t segmentLength = length - kSegmentOffset;
    uint8_t* header = datagram - kPacketHeadroom;
    writeIpv4Header(header, localIp, device, segmentLength);
    packet->data = header;
    packet->length = kIpv4HeaderSize + segmentLength;
    return DatagramStatus::Ok;
}

PacketStatus inspectPacket(const uint8_t* packet, size_t length, const PacketFilter& filter,
                           TcpPacketParts* parts) {
    if (length < kIpv4HeaderSize) {
        return PacketStatus::TooShort;
    }
    const size_t headerLength = static_cast<size_t>(packet[kVersionIhlOffset] & 0x0f) * 4;
    if ((packet[kVersionIhlOffset] >> 4) != 4 || headerLength < kIpv4HeaderSize) {
        return PacketStatus::NotIpv4;
    }
    const size_t totalLength = readBigEndian16(packet + kTotalLengthOffset);
    if (totalLength > length || totalLength < headerLength) {
        return PacketStatus::TooShort;
    }
    if (packet[kProtocolOffset] != kProtocolTcp) {
        return PacketStatus::NotTcp;
    }
    const uint16_t fragment = readBigEndian16(packet + kFlagsFragmentOffset);
    if ((fragment & kFlagMoreFragments) != 0 || (fragment & kFragmentOffsetMask) != 0) {
        return PacketStatus::Fragment;
    }
    if (std::memcmp(packet + kDestinationOffset, &filter.localIp, 4) != 0) {
        return PacketStatus::OtherDestination;
    }
    const uint8_t* segment = packet + headerLength;
    const size_t segmentLength = totalLength - headerLength;
    if (!tcpHeaderFits(segment, segmentLength)) {
        return PacketStatus::TooShort;
    }
    const uint16_t port = readBigEndian16(segment + kTcpDestinationPortOffset);
    if (port < filter.portStart || port >= filter.portEnd) {
        return PacketStatus::PortOutOfRange;
    }
    parts->ipHeaderLength = headerLength;
    parts->segmentLength = segmentLength;
    parts->tcpHeaderLength = static_cast<size_t>(segment[kTcpDataOffsetOffset] >> 4) * 4;
    return PacketStatus::Ok;
}

PacketStatus packetToDatagram(uint8_t* packet, size_t length, const PacketFilter& filter,
                              PacketView* datagram) {
    TcpPacketParts parts;
    const PacketStatus status = inspectPacket(packet, length, filter, &parts);
    if (status != PacketStatus::Ok) {
        return status;
    }
    // Copy the source address before writing the type byte: with a 20-byte header the type
    // byte lands on the last byte of the source field.
    uint8_t* segment = packet + parts.ipHeaderLength;
    uint8_t* out = segment - kSegmentOffset;
    std::memmove(out + kDeviceAddressOffset, packet + kSourceOffset, 4);
    out[0] = TAMBLO_MT_TCPOVERUDP;
    datagram->data = out;
    datagram->length = kSegmentOffset + parts.segmentLength;
    return PacketStatus::Ok;
}

const char* describe(PacketStatus status) {
    switch (status) {
        case PacketStatus::Ok:
            return "ok";
        case PacketStatus::TooShort:
            return "truncated";
        case PacketStatus::NotIpv4:
            return "not IPv4";
        case PacketStatus::NotTcp:
            return "not TCP";
        case PacketStatus::Fragment:
            return "fragment";
        case PacketStatus::OtherDestination:
            return "other destination";
        case PacketStatus::PortOutOfRange:
            return "port outside the offered range";
    }
    return "?";
}

const char* describe(DatagramStatus status) {
    switch (status) {
        case DatagramStatus::Ok:
            return "ok";
        case DatagramStatus::TooShort:
            return "too short";
        case DatagramStatus::BadTcpHeader:
            return "bad TCP header length";
    }
    return "?";
}

}  // namespace gateway_ip
