// The worker's TCP stack while its SYN is unanswered: stray ACKs and SYN retransmissions.
#include "stack_harness.h"

namespace tamblo::test {
namespace {

using SynSentTest = StackTest;

constexpr int kMaxTicks = 100;

// A half-open peer answers our SYN with an ACK for something else: it gets a reset computed
// from its segment, then a byte-for-byte copy of our SYN, and the connect keeps its budget.
TEST_F(SynSentTest, StrayAckGetsResetThenSynCopyWithoutSpendingARetransmission) {
    tcp_pcb* pcb = connect();
    const Segment syn = takeOutput().at(0);
    for (int tick = 1; tick <= 3; ++tick) {
        slowTick();
    }
    ASSERT_TRUE(takeOutput().empty());

    PeerSegment stray;
    stray.flags = kAck;
    stray.seq = 7000;
    stray.ack = 123456;
    stray.payload = "0123456789";
    deliver(stray);

    std::vector<Segment> out = takeOutput();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out[0].is(kRst | kAck));
    EXPECT_EQ(out[0].seq(), 123456u);
    EXPECT_EQ(out[0].ack(), 7010u);
    EXPECT_EQ(out[0].dstPort(), kRemotePort);
    EXPECT_EQ(out[0].dest, kRemoteAddress);
    EXPECT_EQ(out[1].bytes, syn.bytes);
    EXPECT_EQ(out[1].headerLen(), 28u);
    EXPECT_EQ(out[1].dest, kRemoteAddress);
    EXPECT_EQ(pcb->state, SYN_SENT);
    EXPECT_EQ(pcb->nrtx, 0);

    // The SYN is still queued on its own timer: retransmitted 6 ticks after the connect.
    slowTick();
    slowTick();
    EXPECT_TRUE(takeOutput().empty());
    slowTick();
    out = takeOutput();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].is(kSyn));
    EXPECT_EQ(out[0].seq(), syn.seq());

    PeerSegment synAck;
    synAck.flags = kSyn | kAck;
    synAck.seq = kPeerIsn;
    synAck.ack = ourIsn() + 1;
    synAck.options = mssAndWindowScale(1460, 7);
    deliver(synAck);
    EXPECT_EQ(events_.connected, 1);
    EXPECT_TRUE(events_.errors.empty());
}

TEST_F(SynSentTest, SixSynRetransmissionsThreeSecondsApartThenError) {
    connect();
    const uint32_t isn = ourIsn();
    takeOutput();
    std::vector<int> synTicks;
    int errorTick = -1;
    for (int tick = 1; tick <= kMaxTicks && events_.errors.empty(); ++tick) {
        slowTick();
        for (const Segment& seg : takeOutput()) {
            EXPECT_TRUE(seg.is(kSyn) && seg.seq() == isn) << "unexpected segment at tick " << tick;
            synTicks.push_back(tick);
        }
        if (!events_.errors.empty()) {
            errorTick = tick;
        }
    }
    EXPECT_EQ(synTicks, (std::vector<int>{6, 12, 18, 24, 30, 36}));
    EXPECT_EQ(errorTick, 37);
    EXPECT_EQ(events_.errors, std::vector<err_t>{ERR_ABRT});
    EXPECT_EQ(handle_.pcb, nullptr);
}

}  // namespace
}  // namespace tamblo::test
