// The worker's TCP handshake: SYN options, window scaling, custom windows, MSS, checksums, ISN.
#include <ostream>
#include <set>
#include <string>

#include "stack_harness.h"

namespace tamblo::test {
namespace {

constexpr uint32_t kDefaultWindow = 163840;
constexpr uint16_t kOurMss = 1398;

using HandshakeTest = StackTest;

// Windows announced after the SYN, whatever the segment.
std::vector<uint16_t> windowsAfterSyn(const std::vector<Segment>& out) {
    std::vector<uint16_t> windows;
    for (size_t i = 1; i < out.size(); ++i) {
        windows.push_back(out[i].window());
    }
    return windows;
}

TEST_F(HandshakeTest, SynOffersMssThenWindowScaleInA28ByteHeader) {
    connect();
    const std::vector<Segment> out = takeOutput();
    ASSERT_EQ(out.size(), 1u);
    const Segment& syn = out[0];
    EXPECT_TRUE(syn.is(kSyn));
    EXPECT_EQ(syn.headerLen(), 28u);
    EXPECT_EQ(syn.options(),
              (std::vector<uint8_t>{0x02, 0x04, 0x05, 0x76, 0x01, 0x03, 0x03, 0x04}));
    EXPECT_EQ(syn.dest, kRemoteAddress);
    EXPECT_EQ(syn.dstPort(), kRemotePort);
    EXPECT_GE(syn.srcPort(), 49152);
    // The SYN's own window is never scaled: the default window, capped at 16 bits.
    EXPECT_EQ(syn.window(), 65535);
}

TEST_F(HandshakeTest, PeerShiftSevenScalesItsWindowsAfterTheSynAck) {
    tcp_pcb* pcb = establish(mssAndWindowScale(1460, 7), 29200);
    EXPECT_EQ(pcb->snd_scale, 7);
    EXPECT_EQ(pcb->rcv_scale, 4);
    // The SYN+ACK's window is taken as it is.
    EXPECT_EQ(pcb->snd_wnd, 29200u);

    const std::vector<Segment> out = takeOutput();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out[1].is(kAck));
    EXPECT_EQ(out[1].window(), kDefaultWindow >> 4);

    deliverAck(ourIsn() + 1, 1000);
    EXPECT_EQ(pcb->snd_wnd, 128000u);
    EXPECT_EQ(pcb->snd_wnd_max, 128000u);
}

// The flag records the peer's agreement; set early it must not make the stack skip the
// SYN+ACK's option and announce unscaled windows to a peer that expects them shifted.
TEST_F(HandshakeTest, WindowScaleFlagSetBeforeConnectIsHarmless) {
    presetWindowScaleFlag_ = true;
    tcp_pcb* pcb = establish(mssAndWindowScale(1460, 7), 29200);
    EXPECT_EQ(pcb->snd_scale, 7);
    EXPECT_EQ(pcb->rcv_scale, 4);
    const std::vector<Segment> out = takeOutput();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].options(), (std::vector<uint8_t>{2, 4, 0x05, 0x76, 1, 3, 3, 4}));
    EXPECT_EQ(out[1].window(), kDefaultWindow >> 4);
}

TEST_F(HandshakeTest, PeerWithoutWindowScaleGetsUnscaledWindowsOfAtMost65535) {
    tcp_pcb* pcb = establish(mssOption(1460), 29200);
    EXPECT_EQ(pcb->snd_scale, 0);
    EXPECT_EQ(pcb->rcv_scale, 0);

    deliverData(std::string(1000, 'a'), ourIsn() + 1, 1000);
    EXPECT_EQ(pcb->snd_wnd, 1000u);  // the peer's windows stay unscaled too
    slowTick();                      // delayed ACK

    const std::vector<Segment> out = takeOutput();
    ASSERT_GE(out.size(), 3u);  // SYN, handshake ACK, ACK of the data
    for (uint16_t window : windowsAfterSyn(out)) {
        EXPECT_EQ(window, 65535);  // 163840 without a shift: capped, not shifted by 4
    }
}

struct CustomWindowCase {
    uint32_t custom;     // 0: default
    uint16_t synWindow;  // the SYN's field
    uint16_t scaled;     // later fields with scaling agreed
    uint16_t unscaled;   // later fields without
};

void PrintTo(const CustomWindowCase& c, std::ostream* os) {
    *os << "window " << c.custom;
}

class CustomWindowTest : public StackTest,
                         public ::testing::WithParamInterface<CustomWindowCase> {};

// Two full segments fill the smallest window; consumed at once, the window is whole again.
TEST_P(CustomWindowTest, AnnouncedInTheSynAndLaterAcksWithScaling) {
    const CustomWindowCase& c = GetParam();
    establish(mssAndWindowScale(1460, 7), 29200, c.custom);
    deliverData(std::string(kOurMss, 'x'), ourIsn() + 1, 1000);
    deliverData(std::string(kOurMss, 'y'), ourIsn() + 1, 1000);

    const std::vector<Segment> out = takeOutput();
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out[0].window(), c.synWindow);
    EXPECT_EQ(out[1].window(), c.scaled);      // handshake ACK
    EXPECT_EQ(out.back().window(), c.scaled);  // ACK of both segments, all consumed
    EXPECT_EQ(events_.received.size(), 2u * kOurMss);
}

TEST_P(CustomWindowTest, AnnouncedUnscaledWhenThePeerDoesNotScale) {
    const CustomWindowCase& c = GetParam();
    establish(mssOption(1460), 29200, c.custom);
    deliverData(std::string(kOurMss, 'x'), ourIsn() + 1, 29200);
    deliverData(std::string(kOurMss, 'y'), ourIsn() + 1, 29200);

    const std::vector<Segment> out = takeOutput();
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out[0].window(), c.synWindow);
    EXPECT_EQ(out[1].window(), c.unscaled);
    EXPECT_EQ(out.back().window(), c.unscaled);
}

INSTANTIATE_TEST_SUITE_P(Windows, CustomWindowTest,
                         ::testing::Values(CustomWindowCase{0, 65535, 10240, 65535},
                                           CustomWindowCase{2796, 2796, 174, 2796},
                                           CustomWindowCase{196607, 65535, 12287, 65535}),
                         [](const auto& info) {
                             return "Window" + std::to_string(info.param.custom);
                         });

// With a small window the connection's own half decides when to update, and a close after
// everything was consumed is orderly: lwIP's compile-time window must not leak in.
TEST_F(HandshakeTest, SmallCustomWindowUpdatesAtItsHalfAndClosesWithFin) {
    events_.consume = false;
    tcp_pcb* pcb = establish(mssAndWindowScale(1460, 7), 29200, 2796);
    deliverData(std::string(kOurMss, 'x'), ourIsn() + 1, 1000);
    slowTick();  // delayed ACK
    std::vector<Segment> out = takeOutput();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back().window(), (2796 - kOurMss) >> 4);

    // The application catches up later: 1398 >= 2796 / 2, so the update leaves at once.
    tcp_recved(pcb, kOurMss);
    out = takeOutput();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].is(kAck));
    EXPECT_EQ(out[0].window(), 2796 >> 4);

    ASSERT_EQ(tcp_close(pcb), ERR_OK);
    out = takeOutput();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].is(kFin | kAck));
}

struct MssCase {
    uint16_t peerMss;
    uint16_t expected;
};

void PrintTo(const MssCase& c, std::ostream* os) {
    *os << "peer MSS " << c.peerMss;
}

class MssTest : public StackTest, public ::testing::WithParamInterface<MssCase> {};

TEST_P(MssTest, PeerMssAboveOursOrZeroGivesOurs) {
    tcp_pcb* pcb = establish(mssAndWindowScale(GetParam().peerMss, 7), 29200);
    EXPECT_EQ(pcb->mss, GetParam().expected);
    takeOutput();
    const std::string data(3000, 'd');
    ASSERT_EQ(tcp_write(pcb, data.data(), static_cast<u16_t>(data.size()), TCP_WRITE_FLAG_COPY),
              ERR_OK);
    ASSERT_EQ(tcp_output(pcb), ERR_OK);
    const std::vector<Segment> out = takeOutput();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0].payloadLen(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Mss, MssTest, ::testing::Values(MssCase{1460, 1398}, MssCase{0, 1398}, MssCase{536, 536}),
    [](const auto& info) { return "PeerMss" + std::to_string(info.param.peerMss); });

TEST_F(HandshakeTest, OutgoingChecksumsAreValidIncomingOnesAreNotTested) {
    tcp_pcb* pcb = connect();
    PeerSegment synAck;
    synAck.flags = kSyn | kAck;
    synAck.seq = kPeerIsn;
    synAck.ack = ourIsn() + 1;
    synAck.options = mssAndWindowScale(1460, 7);
    synAck.corruptChecksum = true;
    deliver(synAck);
    ASSERT_EQ(events_.connected, 1);

    PeerSegment data;
    data.flags = kAck | kPsh;
    data.seq = kPeerIsn + 1;
    data.ack = ourIsn() + 1;
    data.payload = "hello";
    data.corruptChecksum = true;
    deliver(data);
    EXPECT_EQ(events_.received, data.payload);

    ASSERT_EQ(tcp_write(pcb, "abc", 3, TCP_WRITE_FLAG_COPY), ERR_OK);  // odd length on purpose
    ASSERT_EQ(tcp_output(pcb), ERR_OK);
    tcp_err(pcb, nullptr);
    tcp_abort(pcb);  // a reset too

    const std::vector<Segment> out = takeOutput();
    std::set<uint8_t> kinds;
    for (const Segment& seg : out) {
        kinds.insert(seg.flags() & (kSyn | kRst | kPsh));
        EXPECT_EQ(pseudoHeaderChecksum(kLocalAddress, kRemoteAddress, seg.bytes), 0)
            << "flags " << int(seg.flags()) << " length " << seg.bytes.size();
    }
    EXPECT_EQ(kinds.size(), 4u);  // SYN, ACK, data, RST all checked
}

// Stock lwIP's ISN is the previous one plus the tick count: anyone seeing one SYN could
// predict the next. Several connections on the very same four-tuple must look unrelated.
TEST_F(HandshakeTest, InitialSequenceNumbersAreUnrelated) {
    constexpr int kConnections = 4;
    constexpr uint32_t kNear = 1u << 20;
    std::vector<uint32_t> isns;
    for (int i = 0; i < kConnections; ++i) {
        tcp_pcb* pcb = connect(0, 50000);
        isns.push_back(ourIsn());
        tcp_err(pcb, nullptr);
        tcp_abort(pcb);
        slowTick();
    }
    EXPECT_EQ(std::set<uint32_t>(isns.begin(), isns.end()).size(), isns.size());
    int near = 0;
    for (size_t i = 1; i < isns.size(); ++i) {
        const uint32_t forward = isns[i] - isns[i - 1];
        const uint32_t backward = isns[i - 1] - isns[i];
        near += (forward < kNear || backward < kNear) ? 1 : 0;
    }
    // Random ISNs land this close with odds of 2^-11 per pair.
    EXPECT_LE(near, 1);
}

}  // namespace
}  // namespace tamblo::test
