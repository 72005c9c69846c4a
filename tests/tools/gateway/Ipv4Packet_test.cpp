// Translation between tunnel datagrams and TUN packets: headers, refusals, the round trip, and
// the offload paths (large packets cut into segments, segments gathered into large packets).
#include "Ipv4Packet.h"
#include "TunOffload.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

using namespace gateway_ip;

namespace {

in_addr address(const char* text) {
    in_addr out{};
    inet_pton(AF_INET, text, &out);
    return out;
}

const in_addr kLocal = address("198.19.255.1");
const in_addr kDevice = address("198.18.0.10");
const in_addr kOtherDevice = address("198.18.0.11");

uint16_t read16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// Independent ones' complement sum, used to check what the code under test produced.
uint32_t addWords(uint32_t sum, const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; i += 2) {
        sum += static_cast<uint32_t>(data[i]) << 8;
        if (i + 1 < length) {
            sum += data[i + 1];
        }
    }
    return sum;
}
uint16_t fold(uint32_t sum) {
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

// The TCP checksum over the IPv4 pseudo-header (source, destination, 0, 6, TCP length).
uint16_t tcpChecksum(in_addr source, in_addr destination, const uint8_t* segment, size_t length) {
    uint8_t pseudo[12];
    std::memcpy(pseudo, &source, 4);
    std::memcpy(pseudo + 4, &destination, 4);
    pseudo[8] = 0;
    pseudo[9] = 6;
    pseudo[10] = static_cast<uint8_t>(length >> 8);
    pseudo[11] = static_cast<uint8_t>(length);
    return fold(addWords(addWords(0, pseudo, sizeof pseudo), segment, length));
}

// A TCP segment as the server's stack sends it: ports, flags, options, payload, and the
// checksum computed over the pseudo-header of our local ip and the device address.
std::vector<uint8_t> makeSegment(uint16_t sourcePort, uint16_t destinationPort, size_t payload,
                                 in_addr source, in_addr destination) {
    std::vector<uint8_t> segment(24 + payload);
    segment[0] = static_cast<uint8_t>(sourcePort >> 8);
    segment[1] = static_cast<uint8_t>(sourcePort);
    segment[2] = static_cast<uint8_t>(destinationPort >> 8);
    segment[3] = static_cast<uint8_t>(destinationPort);
    segment[4] = 0x12;  // sequence number
    segment[7] = 0x34;
    segment[12] = 6 << 4;  // 24-byte header: one MSS option
    segment[13] = 0x18;    // PSH ACK
    segment[14] = 0xff;    // window
    segment[20] = 2;       // MSS 1398
    segment[21] = 4;
    segment[22] = 0x05;
    segment[23] = 0x76;
    for (size_t i = 0; i < payload; ++i) {
        segment[24 + i] = static_cast<uint8_t>(i * 7 + 1);
    }
    const uint16_t sum = tcpChecksum(source, destination, segment.data(), segment.size());
    segment[16] = static_cast<uint8_t>(sum >> 8);
    segment[17] = static_cast<uint8_t>(sum);
    return segment;
}

// A buffer holding a TCPOVERUDP datagram with the headroom the translation needs in front.
struct DatagramBuffer {
    std::vector<uint8_t> bytes;
    size_t length = 0;
    uint8_t* datagram() { return bytes.data() + kPacketHeadroom; }
};

DatagramBuffer makeDatagram(in_addr device, const std::vector<uint8_t>& segment) {
    DatagramBuffer buffer;
    buffer.bytes.assign(kPacketHeadroom + 5 + segment.size(), 0xee);
    uint8_t* d = buffer.datagram();
    d[0] = 255;
    std::memcpy(d + 1, &device, 4);
    std::memcpy(d + 5, segment.data(), segment.size());
    buffer.length = 5 + segment.size();
    return buffer;
}

// An IPv4 packet as the kernel writes it into the TUN: from the device to our local ip.
std::vector<uint8_t> makePacket(in_addr source, in_addr destination,
                                const std::vector<uint8_t>& segment, size_t optionWords = 0) {
    const size_t headerLength = 20 + optionWords * 4;
    std::vector<uint8_t> packet(headerLength + segment.size(), 0);
    packet[0] = static_cast<uint8_t>(0x40 | (headerLength / 4));
    packet[2] = static_cast<uint8_t>(packet.size() >> 8);
    packet[3] = static_cast<uint8_t>(packet.size());
    packet[6] = 0x40;
    packet[8] = 64;
    packet[9] = 6;
    std::memcpy(packet.data() + 12, &source, 4);
    std::memcpy(packet.data() + 16, &destination, 4);
    for (size_t i = 20; i < headerLength; ++i) {
        packet[i] = 1;  // NOP options
    }
    const uint16_t sum = fold(addWords(0, packet.data(), headerLength));
    packet[10] = static_cast<uint8_t>(sum >> 8);
    packet[11] = static_cast<uint8_t>(sum);
    std::memcpy(packet.data() + headerLength, segment.data(), segment.size());
    return packet;
}

PacketFilter filter() {
    PacketFilter f;
    f.localIp = kLocal;
    f.portStart = 40000;
    f.portEnd = 41000;
    return f;
}

}  // namespace

TEST(InternetChecksum, MatchesAKnownHeaderAndOddLengths) {
    // A textbook IPv4 header whose checksum field holds 0xb861.
    const uint8_t header[20] = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                                0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    EXPECT_EQ(internetChecksum(header, sizeof header), 0xb861);
    // An odd trailing byte counts as the high byte of a last word.
    const uint8_t odd[3] = {0x01, 0x02, 0x03};
    EXPECT_EQ(internetChecksum(odd, 3), static_cast<uint16_t>(~(0x0102 + 0x0300)));
    // 0xffff + 0xffff + 0x0001 = 0x1ffff: folding once leaves a carry that must be folded again.
    const uint8_t carries[6] = {0xff, 0xff, 0xff, 0xff, 0x00, 0x01};
    EXPECT_EQ(internetChecksum(carries, 6), 0xfffe);
}

TEST(DatagramToPacket, BuildsAValidHeaderAndLeavesTheSegmentAlone) {
    for (size_t payload : {size_t{0}, size_t{1}, size_t{1398}}) {
        SCOPED_TRACE(payload);
        const std::vector<uint8_t> segment = makeSegment(40000, 80, payload, kLocal, kDevice);
        DatagramBuffer buffer = makeDatagram(kDevice, segment);

        PacketView packet;
        ASSERT_EQ(datagramToPacket(buffer.datagram(), buffer.length, kLocal, &packet),
                  DatagramStatus::Ok);
        ASSERT_EQ(packet.data, buffer.bytes.data());
        ASSERT_EQ(packet.length, 20 + segment.size());

        const uint8_t* ip = packet.data;
        EXPECT_EQ(ip[0], 0x45);
        EXPECT_EQ(read16(ip + 2), packet.length);
        EXPECT_EQ(read16(ip + 6), 0x4000) << "DF set, no fragment offset";
        EXPECT_EQ(ip[8], 64);
        EXPECT_EQ(ip[9], 6);
        EXPECT_EQ(0, std::memcmp(ip + 12, &kLocal, 4));
        EXPECT_EQ(0, std::memcmp(ip + 16, &kDevice, 4));
        EXPECT_EQ(fold(addWords(0, ip, 20)), 0) << "header checksum";
        EXPECT_EQ(0, std::memcmp(ip + 20, segment.data(), segment.size()));
        // The server's checksum holds under the packet's own addresses: the kernel accepts it.
        EXPECT_EQ(tcpChecksum(kLocal, kDevice, ip + 20, segment.size()), 0);
    }
}

TEST(DatagramToPacket, RefusesDatagramsWithoutAWholeTcpHeader) {
    std::vector<uint8_t> segment = makeSegment(40000, 80, 0, kLocal, kDevice);

    DatagramBuffer shortOne = makeDatagram(kDevice, segment);
    PacketView packet;
    EXPECT_EQ(datagramToPacket(shortOne.datagram(), 5 + 19, kLocal, &packet),
              DatagramStatus::TooShort);
    EXPECT_EQ(datagramToPacket(shortOne.datagram(), 5, kLocal, &packet), DatagramStatus::TooShort);

    segment[12] = 4 << 4;  // a data offset below the 20-byte minimum
    DatagramBuffer tiny = makeDatagram(kDevice, segment);
    EXPECT_EQ(datagramToPacket(tiny.datagram(), tiny.length, kLocal, &packet),
              DatagramStatus::BadTcpHeader);

    segment[12] = 15 << 4;  // 60 header bytes claimed, 24 present
    DatagramBuffer overrun = makeDatagram(kDevice, segment);
    EXPECT_EQ(datagramToPacket(overrun.datagram(), overrun.length, kLocal, &packet),
              DatagramStatus::BadTcpHeader);
    // Nothing was written in front of a refused datagram.
    EXPECT_EQ(overrun.bytes[0], 0xee);
}

TEST(PacketToDatagram, CarriesTheSourceAddressAndTheSegment) {
    const std::vector<uint8_t> segment = makeSegment(80, 40000, 100, kDevice, kLocal);
    for (size_t optionWords : {size_t{0}, size_t{1}, size_t{10}}) {
        SCOPED_TRACE(optionWords);
        std::vector<uint8_t> packet = makePacket(kDevice, kLocal, segment, optionWords);
        const size_t total = packet.size();
        packet.resize(total + 6, 0);  // link padding after the total length is not ours

        PacketView datagram;
        ASSERT_EQ(packetToDatagram(packet.data(), packet.size(), filter(), &datagram),
                  PacketStatus::Ok);
        ASSERT_EQ(datagram.length, 5 + segment.size());
        EXPECT_EQ(datagram.data[0], 255);
        EXPECT_EQ(0, std::memcmp(datagram.data + 1, &kDevice, 4));
        EXPECT_EQ(0, std::memcmp(datagram.data + 5, segment.data(), segment.size()));
    }
}

TEST(PacketToDatagram, RefusesWhatIsNotATunnelSegment) {
    const std::vector<uint8_t> segment = makeSegment(80, 40000, 10, kDevice, kLocal);
    const std::vector<uint8_t> good = makePacket(kDevice, kLocal, segment);
    struct Case {
        const char* name;
        void (*mutate)(std::vector<uint8_t>&);
        PacketStatus expected;
    };
    const Case cases[] = {
        {"shorter than a header", [](std::vector<uint8_t>& p) { p.resize(19); },
         PacketStatus::TooShort},
        {"total length beyond the bytes read", [](std::vector<uint8_t>& p) { p.resize(50); },
         PacketStatus::TooShort},
        {"TCP header cut by the total length",
         [](std::vector<uint8_t>& p) {
             p[2] = 0;
             p[3] = 30;
         },
         PacketStatus::TooShort},
        {"total length inside the IP header",
         [](std::vector<uint8_t>& p) {
             p[2] = 0;
             p[3] = 16;
         },
         PacketStatus::TooShort},
        {"IPv6", [](std::vector<uint8_t>& p) { p[0] = 0x60; }, PacketStatus::NotIpv4},
        {"header length below 20", [](std::vector<uint8_t>& p) { p[0] = 0x44; },
         PacketStatus::NotIpv4},
        {"UDP", [](std::vector<uint8_t>& p) { p[9] = 17; }, PacketStatus::NotTcp},
        {"ICMP", [](std::vector<uint8_t>& p) { p[9] = 1; }, PacketStatus::NotTcp},
        {"first fragment", [](std::vector<uint8_t>& p) { p[6] = 0x20; }, PacketStatus::Fragment},
        {"later fragment",
         [](std::vector<uint8_t>& p) {
             p[6] = 0x00;
             p[7] = 0xb9;
         },
         PacketStatus::Fragment},
        {"another destination",
         [](std::vector<uint8_t>& p) { std::memcpy(p.data() + 16, &kOtherDevice, 4); },
         PacketStatus::OtherDestination},
        {"port below the range",
         [](std::vector<uint8_t>& p) {
             p[22] = 39999 >> 8;
             p[23] = 39999 & 0xff;
         },
         PacketStatus::PortOutOfRange},
        {"port at the exclusive end",
         [](std::vector<uint8_t>& p) {
             p[22] = 41000 >> 8;
             p[23] = 41000 & 0xff;
         },
         PacketStatus::PortOutOfRange},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> packet = good;
        c.mutate(packet);
        const std::vector<uint8_t> before = packet;
        PacketView datagram;
        EXPECT_EQ(packetToDatagram(packet.data(), packet.size(), filter(), &datagram), c.expected);
        EXPECT_EQ(packet, before) << "a refused packet is left as it was";
    }
    // The last port of the range is still ours.
    std::vector<uint8_t> last = good;
    last[22] = 40999 >> 8;
    last[23] = 40999 & 0xff;
    PacketView datagram;
    EXPECT_EQ(packetToDatagram(last.data(), last.size(), filter(), &datagram), PacketStatus::Ok);
}

TEST(Translation, DatagramToPacketAndBackThroughADeviceThatEchoes) {
    // The server sends a segment; the device answers with the same segment, ports and
    // addresses swapped (which keeps the TCP checksum); the answer comes back as a datagram that
    // names the device and carries a segment valid under the server's pseudo-header.
    const std::vector<uint8_t> segment = makeSegment(40123, 554, 333, kLocal, kDevice);
    DatagramBuffer buffer = makeDatagram(kDevice, segment);
    const std::vector<uint8_t> sent(buffer.datagram(), buffer.datagram() + buffer.length);

    PacketView packet;
    ASSERT_EQ(datagramToPacket(buffer.datagram(), buffer.length, kLocal, &packet),
              DatagramStatus::Ok);
    std::vector<uint8_t> answer(packet.data, packet.data + packet.length);
    std::swap_ranges(answer.begin() + 12, answer.begin() + 16, answer.begin() + 16);
    std::swap_ranges(answer.begin() + 20, answer.begin() + 22, answer.begin() + 22);

    PacketView back;
    ASSERT_EQ(packetToDatagram(answer.data(), answer.size(), filter(), &back), PacketStatus::Ok);
    ASSERT_EQ(back.length, sent.size());
    EXPECT_EQ(0, std::memcmp(back.data, sent.data(), 5)) << "type and device address";
    EXPECT_EQ(read16(back.data + 5), 554);
    EXPECT_EQ(read16(back.data + 7), 40123);
    EXPECT_EQ(0, std::memcmp(back.data + 9, sent.data() + 9, sent.size() - 9));
    EXPECT_EQ(tcpChecksum(kDevice, kLocal, back.data + 5, back.length - 5), 0);
}

TEST(Translation, ArbitraryBytesStayInsideTheirBuffers) {
    // Exactly sized heap buffers, so that the sanitizer build catches any read or write past
    // the bytes received. Inputs: random bytes, and valid packets with random bytes changed.
    std::mt19937 random(20240601);
    const std::vector<uint8_t> segment = makeSegment(80, 40000, 40, kDevice, kLocal);
    const std::vector<uint8_t> valid = makePacket(kDevice, kLocal, segment);
    for (int round = 0; round < 20000; ++round) {
        std::vector<uint8_t> input;
        if (round % 2 == 0) {
            input.resize(random() % 96);
            for (uint8_t& byte : input) {
                byte = static_cast<uint8_t>(random());
            }
            if (!input.empty() && round % 4 == 0) {
                input[0] = static_cast<uint8_t>(0x45 + random() % 11);  // mostly IPv4 headers
            }
        } else {
            input = valid;
            for (int flips = 1 + random() % 4; flips > 0; --flips) {
                input[random() % input.size()] = static_cast<uint8_t>(random());
            }
            input.resize(random() % (input.size() + 1));
        }

        std::vector<uint8_t> packet(input);
        PacketView datagram;
        if (packetToDatagram(packet.data(), packet.size(), filter(), &datagram) ==
            PacketStatus::Ok) {
            ASSERT_GE(datagram.data, packet.data());
            ASSERT_LE(datagram.data + datagram.length, packet.data() + packet.size());
            ASSERT_GE(datagram.length, 5u + 20u);
        }

        std::vector<uint8_t> framed(kPacketHeadroom + input.size());
        std::copy(input.begin(), input.end(), framed.begin() + kPacketHeadroom);
        PacketView rebuilt;
        if (!input.empty() && datagramToPacket(framed.data() + kPacketHeadroom, input.size(),
                                               kLocal, &rebuilt) == DatagramStatus::Ok) {
            ASSERT_EQ(rebuilt.data, framed.data());
            ASSERT_EQ(rebuilt.length, framed.size());
        }
    }
}

// --- offloads ------------------------------------------------------------------------------

namespace {

using tun_offload::VirtioNetHeader;

// A segment of `payload` pattern bytes at `sequence` with the given flags (24-byte header with
// an MSS option) and its checksum for the two addresses.
std::vector<uint8_t> flowSegment(uint32_t sequence, size_t payload, uint8_t flags, in_addr source,
                                 in_addr destination, uint16_t sourcePort = 80,
                                 uint16_t destinationPort = 40001) {
    std::vector<uint8_t> segment = makeSegment(sourcePort, destinationPort, payload, source,
                                               destination);
    for (int i = 0; i < 4; ++i) {
        segment[4 + i] = static_cast<uint8_t>(sequence >> (24 - 8 * i));
    }
    segment[13] = flags;
    for (size_t i = 0; i < payload; ++i) {
        segment[24 + i] = static_cast<uint8_t>((sequence + i) * 13);
    }
    segment[16] = segment[17] = 0;
    const uint16_t sum = tcpChecksum(source, destination, segment.data(), segment.size());
    segment[16] = static_cast<uint8_t>(sum >> 8);
    segment[17] = static_cast<uint8_t>(sum);
    return segment;
}

uint32_t read32(const uint8_t* p) {
    return (uint32_t{read16(p)} << 16) | read16(p + 2);
}

}  // namespace

// A large packet from a device is cut at the gso size into the segments its stack would have
// sent: consecutive sequence numbers, FIN and PSH on the last only, CWR on the first only, a
// full checksum on each, and the bytes in order.
TEST(TunOffloadSplit, CutsALargePacketIntoTheDevicesSegments) {
    struct Case {
        const char* name;
        VirtioNetHeader header;
        size_t payload;
        std::vector<size_t> sizes;  // payload of each datagram
    };
    const VirtioNetHeader none{0, tun_offload::kGsoNone, 0, 0, 0, 0};
    const VirtioNetHeader gso{tun_offload::kNeedsChecksum, tun_offload::kGsoTcpV4, 44, 1398, 20,
                              16};
    const Case cases[] = {
        {"one plain segment", none, 700, {700}},
        {"gso, shorter last", gso, 4000, {1398, 1398, 1204}},
        {"gso, exact multiple", gso, 2796, {1398, 1398}},
        {"gso, fits one segment", gso, 1000, {1000}},
        {"gso, one byte over", gso, 1399, {1398, 1}},
    };
    const uint8_t allFlags = 0x10 | 0x08 | 0x01 | 0x80;  // ACK PSH FIN CWR
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t sequence = 0xfffffa00;  // wraps within the packet
        std::vector<uint8_t> segment = flowSegment(sequence, c.payload, allFlags, kDevice, kLocal);
        if (c.header.flags & tun_offload::kNeedsChecksum) {
            segment[16] = segment[17] = 0;  // the kernel leaves the checksum to be done
        }
        const std::vector<uint8_t> packet = makePacket(kDevice, kLocal, segment);
        std::vector<std::vector<uint8_t>> out;
        PacketStatus status;
        ASSERT_EQ(tun_offload::splitPacket(c.header, packet.data(), packet.size(), filter(),
                                           &status,
                                           [&](const uint8_t* d, size_t n) {
                                               out.emplace_back(d, d + n);
                                               return true;
                                           }),
                  tun_offload::SplitStatus::Ok);
        ASSERT_EQ(out.size(), c.sizes.size());
        std::vector<uint8_t> joined;
        uint32_t expectedSequence = sequence;
        for (size_t i = 0; i < out.size(); ++i) {
            const std::vector<uint8_t>& d = out[i];
            ASSERT_EQ(d.size(), 5 + 24 + c.sizes[i]);
            EXPECT_EQ(d[0], 255);
            EXPECT_EQ(std::memcmp(d.data() + 1, &kDevice, 4), 0);
            const uint8_t* seg = d.data() + 5;
            EXPECT_EQ(read32(seg + 4), expectedSequence);
            const bool first = i == 0;
            const bool last = i + 1 == out.size();
            EXPECT_EQ(seg[13], 0x10 | (last ? 0x09 : 0) | (first ? 0x80 : 0)) << i;
            EXPECT_EQ(std::memcmp(seg + 20, segment.data() + 20, 4), 0);  // the options
            EXPECT_EQ(tcpChecksum(kDevice, kLocal, seg, d.size() - 5), 0) << i;
            joined.insert(joined.end(), seg + 24, seg + 24 + c.sizes[i]);
            expectedSequence += static_cast<uint32_t>(c.sizes[i]);
        }
        EXPECT_EQ(joined, std::vector<uint8_t>(segment.begin() + 24, segment.end()));
    }
}

TEST(TunOffloadSplit, RefusesHeadersItDidNotAskForAndStopsWhenTold) {
    const std::vector<uint8_t> packet =
        makePacket(kDevice, kLocal, flowSegment(1, 6000, 0x10, kDevice, kLocal));
    PacketStatus status;
    int emitted = 0;
    auto count = [&](const uint8_t*, size_t) { return ++emitted < 2; };
    for (const VirtioNetHeader& bad : {VirtioNetHeader{0, 3, 0, 1398, 0, 0},      // UDP
                                       VirtioNetHeader{0, 4, 0, 1398, 0, 0},      // TCPv6
                                       VirtioNetHeader{0, tun_offload::kGsoTcpV4, 0, 0, 0, 0},
                                       // segments longer than a tunnel datagram
                                       VirtioNetHeader{0, tun_offload::kGsoTcpV4, 0, 5000, 0, 0}}) {
        EXPECT_EQ(tun_offload::splitPacket(bad, packet.data(), packet.size(), filter(), &status,
                                           count),
                  tun_offload::SplitStatus::BadHeader);
    }
    EXPECT_EQ(emitted, 0);
    const VirtioNetHeader gso{0, tun_offload::kGsoTcpV4, 0, 1000, 0, 0};
    EXPECT_EQ(tun_offload::splitPacket(gso, packet.data(), packet.size(), filter(), &status, count),
              tun_offload::SplitStatus::Ok);
    EXPECT_EQ(emitted, 2);  // the first datagram, and the one whose emit said stop
}

namespace {

// What a TunWriter wrote: each packet with its virtio-net header taken apart.
struct Written {
    VirtioNetHeader header;
    std::vector<uint8_t> packet;  // IPv4 header and segment
};

std::vector<Written> readWritten(int fd) {
    std::vector<Written> out;
    std::vector<uint8_t> buffer(70000);
    ssize_t n;
    while ((n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0) {
        Written w;
        std::memcpy(&w.header, buffer.data(), sizeof w.header);
        w.packet.assign(buffer.begin() + sizeof w.header, buffer.begin() + n);
        out.push_back(std::move(w));
    }
    return out;
}

}  // namespace

// The server's segments of one connection that continue each other leave as one large packet
// (gso size the first's payload); anything that breaks the run starts a new one, and what
// cannot be gathered leaves whole. Every payload byte arrives once, in order.
TEST(TunOffloadGather, ConsecutiveSegmentsOfOneConnectionBecomeOnePacket) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    struct Step {
        uint32_t sequence;
        size_t payload;
        uint8_t flags;
        in_addr device;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<size_t> segmentsPerPacket;
    };
    const uint8_t ack = 0x10, push = 0x18;
    std::vector<Step> longRun;
    for (uint32_t i = 0; i < 70; ++i) {
        longRun.push_back({1000 + i * 1398, 1398, ack, kDevice});
    }
    const Case cases[] = {
        {"a run closed by a shorter one", {{1000, 1398, ack, kDevice}, {2398, 1398, ack, kDevice},
                                           {3796, 500, ack, kDevice}, {4296, 1398, ack, kDevice}},
         {3, 1}},
        {"PSH ends a run", {{1000, 1398, push, kDevice}, {2398, 1398, ack, kDevice}}, {1, 1}},
        {"a gap in the sequence", {{1000, 1398, ack, kDevice}, {3796, 1398, ack, kDevice}}, {1, 1}},
        {"another device", {{1000, 1398, ack, kDevice}, {2398, 1398, ack, kOtherDevice}}, {1, 1}},
        {"a pure ACK between", {{1000, 1398, ack, kDevice}, {2398, 0, ack, kDevice},
                                {2398, 1398, ack, kDevice}}, {1, 1, 1}},
        {"no more than a packet holds", longRun, {46, 24}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::vector<uint8_t>> segments;  // stay put until flush()
        for (const Step& step : c.steps) {
            segments.push_back(
                flowSegment(step.sequence, step.payload, step.flags, kLocal, step.device, 40001, 80));
        }
        tun_offload::TunWriter writer(pair[0], kLocal);
        for (size_t i = 0; i < segments.size(); ++i) {
            writer.add(c.steps[i].device, segments[i].data(), segments[i].size());
        }
        writer.flush();
        const std::vector<Written> written = readWritten(pair[1]);
        ASSERT_EQ(written.size(), c.segmentsPerPacket.size());
        size_t next = 0;
        for (size_t p = 0; p < written.size(); ++p) {
            const Written& w = written[p];
            const size_t n = c.segmentsPerPacket[p];
            std::vector<uint8_t> expected;
            for (size_t i = next; i < next + n; ++i) {
                expected.insert(expected.end(), segments[i].begin() + 24, segments[i].end());
            }
            const uint8_t* ip = w.packet.data();
            ASSERT_GE(w.packet.size(), 44u);
            EXPECT_EQ(read16(ip + 2), w.packet.size());
            EXPECT_EQ(std::memcmp(ip + 16, &c.steps[next].device, 4), 0);
            const uint8_t* tcp = ip + 20;
            EXPECT_EQ(read32(tcp + 4), c.steps[next].sequence);
            EXPECT_EQ(std::vector<uint8_t>(tcp + 24, w.packet.data() + w.packet.size()), expected);
            if (n > 1) {
                EXPECT_EQ(w.header.gsoType, tun_offload::kGsoTcpV4);
                EXPECT_EQ(w.header.gsoSize, 1398);
                EXPECT_EQ(w.header.flags, tun_offload::kNeedsChecksum);
            } else {
                EXPECT_EQ(w.header.gsoType, tun_offload::kGsoNone);
                // A segment written alone keeps the server's own checksum.
                EXPECT_EQ(tcpChecksum(kLocal, c.steps[next].device, tcp, w.packet.size() - 20), 0);
            }
            next += n;
        }
        EXPECT_EQ(next, segments.size());
    }
    ::close(pair[0]);
    ::close(pair[1]);
}
