// Translation between tunnel datagrams (type 255) and the IPv4 packets of the gateway's TUN device.
//
// Server -> device. A TAMBLO_MT_TCPOVERUDP datagram becomes an IPv4 packet in place: the
// 20-byte header is written over the type byte, the device address and the 15 bytes in front
// of the datagram, which the caller keeps free (kPacketHeadroom):
//
//      15 bytes headroom    1      4          n
//   +--------------------+------+--------+--------------------+
//   | (free)             | 255  | device | TCP segment        |   datagram
//   +--------------------+------+--------+--------------------+
//   | IPv4 header (20): local ip -> dev  | TCP segment        |   packet (same bytes after)
//   +------------------------------------+--------------------+
//
// Device -> server. An IPv4 packet read from the TUN becomes a datagram in place: the type
// byte and the packet's source address are written into the last 5 bytes of its header.
//
//   +------------------------------------+--------------------+
//   | IPv4 header (4 * IHL bytes)        | TCP segment        |   packet
//   +---------------------+------+-------+--------------------+
//   | (dropped)           | 255  | source| TCP segment        |   datagram
//   +---------------------+------+-------+--------------------+
//
// The segment is never touched: the server's stack computed its checksum over the pseudo-header
// made of our local ip and the device address, which are exactly the packet's two addresses.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "protocol/GatewayDatagram.h"

namespace gateway_ip {

constexpr size_t kIpv4HeaderSize = 20;  // we write no options
constexpr size_t kTcpHeaderMinSize = 20;
constexpr uint8_t kProtocolTcp = 6;
constexpr uint8_t kTtl = 64;
constexpr uint16_t kFlagDontFragment = 0x4000;
constexpr uint16_t kFlagMoreFragments = 0x2000;
constexpr uint16_t kFragmentOffsetMask = 0x1fff;

// Offsets inside an IPv4 header.
constexpr size_t kVersionIhlOffset = 0;
constexpr size_t kTotalLengthOffset = 2;
constexpr size_t kFlagsFragmentOffset = 6;
constexpr size_t kTtlOffset = 8;
constexpr size_t kProtocolOffset = 9;
constexpr size_t kChecksumOffset = 10;
constexpr size_t kSourceOffset = 12;
constexpr size_t kDestinationOffset = 16;

// Offsets inside a TCP header.
constexpr size_t kTcpDestinationPortOffset = 2;
constexpr size_t kTcpDataOffsetOffset = 12;

// Bytes the caller keeps writable in front of a 255 datagram: header size minus type and address.
constexpr size_t kPacketHeadroom = kIpv4HeaderSize - gateway_datagram::kSegmentOffset;

// The Internet checksum (ones' complement of the ones' complement sum) of the bytes.
uint16_t internetChecksum(const uint8_t* data, size_t length);

// Writes a 20-byte IPv4 header for a TCP segment of segmentLength bytes (at most 65515).
// Addresses in network order. DF set, identification 0, TTL 64, checksum filled in.
void writeIpv4Header(uint8_t* out, in_addr source, in_addr destination, size_t segmentLength);

enum class DatagramStatus {
    Ok,
    TooShort,      // no room for a device address and a minimal TCP header
    BadTcpHeader,  // the TCP data offset is below 5 words or runs past the segment
};

struct PacketView {
    uint8_t* data = nullptr;
    size_t length = 0;
};

// Checks a TAMBLO_MT_TCPOVERUDP datagram as datagramToPacket() does, without changing it;
// *device: the device address it names (network order).
DatagramStatus checkDatagram(const uint8_t* datagram, size_t length, uint32_t* device);

// Turns the TAMBLO_MT_TCPOVERUDP datagram at datagram[0 .. length) into an IPv4 packet from
// localIp to the device address it names. Needs kPacketHeadroom writable bytes before datagram.
// On Ok, *packet points at the header (datagram - kPacketHeadroom).
DatagramStatus datagramToPacket(uint8_t* datagram, size_t length, in_addr localIp,
                                PacketView* packet);

enum class PacketStatus {
    Ok,
    TooShort,          // fewer bytes than the headers need, or than the total length says
    NotIpv4,           // version is not 4 or the header length is below 20 bytes
    NotTcp,            // another protocol
    Fragment,          // a fragment (more-fragments set or an offset): never for the tunnel
    OtherDestination,  // not addressed to our local ip
    PortOutOfRange,    // addressed to a local port that we did not offer to the server
};

const char* describe(PacketStatus status);
const char* describe(DatagramStatus status);

struct PacketFilter {
    in_addr localIp{};
    uint16_t portStart = 0;  // host order
    uint16_t portEnd = 0;    // host order, exclusive
};

// Where the parts of a TCP packet read from the TUN lie.
struct TcpPacketParts {
    size_t ipHeaderLength = 0;
    size_t segmentLength = 0;  // TCP header and payload, up to the IPv4 total length
    size_t tcpHeaderLength = 0;
};

// The checks of packetToDatagram() without changing the packet: a whole, unfragmented IPv4
// TCP packet for one of our tunnel ports.
PacketStatus inspectPacket(const uint8_t* packet, size_t length, const PacketFilter& filter,
                           TcpPacketParts* parts);

// Checks that the packet read from the TUN at packet[0 .. length) is a whole, unfragmented IPv4
// TCP packet for one of our tunnel ports and turns it into a TAMBLO_MT_TCPOVERUDP datagram in
// place (bytes after the IPv4 total length, such as padding, are dropped).
PacketStatus packetToDatagram(uint8_t* packet, size_t length, const PacketFilter& filter,
                              PacketView* datagram);

}  // namespace gateway_ip
