// The stack's TCP option parser against options whose last byte is a kind.
#include "stack_harness.h"

namespace tamblo::test {
namespace {

// The kind in the last option byte: MSS, window scale, or one the stack does not know.
class OptionParserTest : public StackTest, public ::testing::WithParamInterface<uint8_t> {};

// Each of these kinds is followed by a length byte, here beyond the options. With 8 option
// bytes the input buffer is 20 + 28 = 48 bytes, a multiple of the allocator's alignment, so
// reading that length leaves the buffer: the sanitizer build reports it.
TEST_P(OptionParserTest, AKindInTheLastOptionByteEndsTheOptionsThere) {
    tcp_pcb* pcb = connect();
    PeerSegment synAck;
    synAck.flags = kSyn | kAck;
    synAck.seq = kPeerIsn;
    synAck.ack = ourIsn() + 1;
    synAck.options = {2, 4, 0x03, 0xE8, 1, 1, 1, GetParam()};  // MSS 1000, NOPs, the kind
    deliver(synAck);
    EXPECT_EQ(events_.connected, 1);
    EXPECT_EQ(pcb->state, ESTABLISHED);
    EXPECT_EQ(pcb->mss, 1000);  // the options before it still count
    EXPECT_EQ(pcb->flags & TF_WND_SCALE, 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, OptionParserTest, ::testing::Values(2, 3, 30));

}  // namespace
}  // namespace tamblo::test
