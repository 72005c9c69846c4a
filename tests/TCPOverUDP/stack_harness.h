// Test bench for the worker's TCP stack: plays the tunnelled device with hand-made segments.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "lwip/init.h"
#include "lwip/priv/tcp_priv.h"
#include "lwip/tcp.h"
#include "tcpoverudp_stack.h"

namespace tamblo::test {

constexpr uint8_t kFin = 0x01;
constexpr uint8_t kSyn = 0x02;
constexpr uint8_t kRst = 0x04;
constexpr uint8_t kPsh = 0x08;
constexpr uint8_t kAck = 0x10;

// Addresses as the worker sees them: its tunnel address and the LAN device.
constexpr uint32_t kLocalAddress = 0xC6130002;   // 198.19.0.2
constexpr uint32_t kRemoteAddress = 0xC6120B32;  // 198.18.11.50
constexpr uint16_t kRemotePort = 554;
constexpr uint32_t kPeerIsn = 0x40000000;

ip4_addr_t ip4(uint32_t hostOrder);

// TCP header layout (RFC 793), offsets into a segment's bytes:
//
//    0     2     4       8       12  13    14    16    18   20
//   +-----+-----+-------+-------+---+-----+-----+-----+----+---------+
//   | src | dst | seq   | ack   |off|flags| wnd | sum | urg| options |
//   +-----+-----+-------+-------+---+-----+-----+-----+----+---------+
constexpr size_t kTcpHeaderLen = 20;
constexpr size_t kOffSrcPort = 0;
constexpr size_t kOffDstPort = 2;
constexpr size_t kOffSeq = 4;
constexpr size_t kOffAck = 8;
constexpr size_t kOffDataOffset = 12;
constexpr size_t kOffFlags = 13;
constexpr size_t kOffWindow = 14;
constexpr size_t kOffChecksum = 16;

// One segment as it travels in a tunnel packet: TCP header, options, payload.
struct Segment {
    std::vector<uint8_t> bytes;
    uint32_t dest = 0;  // host order; outgoing segments only

    uint16_t srcPort() const { return get16(kOffSrcPort); }
    uint16_t dstPort() const { return get16(kOffDstPort); }
    uint32_t seq() const { return get32(kOffSeq); }
    uint32_t ack() const { return get32(kOffAck); }
    uint8_t flags() const { return bytes.at(kOffFlags) & 0x3f; }
    uint16_t window() const { return get16(kOffWindow); }
    size_t headerLen() const { return static_cast<size_t>(bytes.at(kOffDataOffset) >> 4) * 4; }
    size_t payloadLen() const { return bytes.size() - headerLen(); }
    std::vector<uint8_t> options() const;
    bool is(uint8_t exactFlags) const { return flags() == exactFlags; }

    uint16_t get16(size_t off) const;
    uint32_t get32(size_t off) const;
};

// What the peer puts in a segment it sends to the worker.
struct PeerSegment {
    uint8_t flags = kAck;
    uint32_t seq = 0;
    uint32_t ack = 0;
    uint16_t window = 29200;
    std::vector<uint8_t> options;
    std::string payload;
    bool corruptChecksum = false;
};

// MSS and window-scale option bytes as a peer would send them.
std::vector<uint8_t> mssOption(uint16_t mss);
std::vector<uint8_t> mssAndWindowScale(uint16_t mss, uint8_t shift);

// The Internet checksum over the IPv4 pseudo-header and the segment; 0 when the segment's
// own checksum field is right.
uint16_t pseudoHeaderChecksum(uint32_t src, uint32_t dst, const std::vector<uint8_t>& segment);

// Segments the stack handed to process_ip_output, oldest first.
std::vector<Segment>& output();

// What the stack reported through one connection's callbacks.
struct Events {
    int connected = 0;
    std::vector<err_t> errors;
    std::string received;
    int fins = 0;
    uint32_t acked = 0;
    bool consume = true;  // tcp_recved() each chunk from inside the recv callback
};

// The stack in one process: initialised once, every pcb torn down after each test.
class StackTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // tcp_new + bind + tcp_connect to the device; the SYN is in output() afterwards.
    tcp_pcb* connect(uint32_t customWindow = 0, uint16_t localPort = 0);
    // connect(), then the device's SYN+ACK with these options and window.
    tcp_pcb* establish(const std::vector<uint8_t>& options, uint16_t window = 29200,
                       uint32_t customWindow = 0);

    // The device sends one segment to the connection's local port.
    void deliver(const PeerSegment& fields);
    // The device acknowledges everything up to ack with this window, sending no data.
    void deliverAck(uint32_t ack, uint16_t window);
    // The device sends data (with ACK of ack), advancing its sequence number.
    void deliverData(const std::string& data, uint32_t ack, uint16_t window,
                     uint8_t extraFlags = 0);
    // One 500 ms tick of the slow timer (tcp_tmr until tcp_ticks moves, fast timer included).
    void slowTick();
    // Segments sent since output() was last cleared, then clears it.
    std::vector<Segment> takeOutput();

    uint32_t ourIsn() const { return ourIsn_; }
    // The device's next sequence number once established.
    uint32_t peerNext() const { return peerNext_; }
    void advancePeer(uint32_t n) { peerNext_ += n; }

    Events events_;
    tcpoverudp_pcb_handle handle_{};
    bool presetWindowScaleFlag_ = false;  // as an application might before tcp_connect()

  private:
    uint32_t ourIsn_ = 0;
    uint16_t localPort_ = 0;
    uint32_t peerNext_ = kPeerIsn + 1;
};

}  // namespace tamblo::test
