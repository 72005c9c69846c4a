// The once-only rewrites of a proxy worker's answers, the bound of its queue of device data,
// and the ACKs of one pass of its loop.
#include "worker/videorecorder_relay.h"

#include <arpa/inet.h>
#include <ev.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tcpoverudp_stack.h"
#include "worker/videorecorder.h"
#include "worker/videorecorder_state.h"

namespace {
std::string rewritten(std::string answer) {
    rewriteAnswer(reinterpret_cast<uint8_t*>(answer.data()), answer.size());
    return answer;
}

// Each case is a fresh worker: the once-only markers start cleared.
class RewriteAnswer : public ::testing::Test {
  protected:
    void SetUp() override { worker::resetState(); }
};
}  // namespace

TEST_F(RewriteAnswer, StatusLineWith401BecomesOnce403) {
    EXPECT_EQ(rewritten("HTTP/1.1 401 Unauthorized\r\n"), "HTTP/1.1 403 Unauthorized\r\n");
    EXPECT_EQ(rewritten("HTTP/1.1 401 Unauthorized\r\n"), "HTTP/1.1 401 Unauthorized\r\n");
}

TEST_F(RewriteAnswer, A401ElsewhereChangesNothing) {
    EXPECT_EQ(rewritten("HTTP/1.1 200 OK\r\nX: 401\r\n"), "HTTP/1.1 200 OK\r\nX: 401\r\n");
    EXPECT_EQ(rewritten("401 HTTP/1 401\r\n"), "401 HTTP/1 401\r\n");
    EXPECT_FALSE(worker::state().relay.authHeaderReplaced);
    EXPECT_EQ(rewritten("HTTP/1.1 401 X"), "HTTP/1.1 403 X");
}

TEST_F(RewriteAnswer, SwitchOffLeavesTheStatus) {
    worker::state().relay.httpStatusSwitchDisabled = true;
    EXPECT_EQ(rewritten("HTTP/1.1 401 Unauthorized\r\n"), "HTTP/1.1 401 Unauthorized\r\n");
}

TEST_F(RewriteAnswer, MultipartContentTypeIsRenamedOnceWhenAsked) {
    const std::string answer =
        "HTTP/1.1 200 OK\r\ncontent-type: multipart/x-mixed-replace; boundary=x\r\n\r\n";
    EXPECT_EQ(rewritten(answer), answer);  // not asked for
    worker::state().relay.replaceContentTypeFlag = true;
    EXPECT_EQ(rewritten(answer),
              "HTTP/1.1 200 OK\r\ncontent_type: multipart/x-mixed-replace; boundary=x\r\n\r\n");
    EXPECT_EQ(rewritten(answer), answer);  // once per worker
}

// The queue's memory is bounded whatever the device sends: each buffer counts with its
// overhead, so a device of tiny segments is held back long before 4 MiB of payload. The
// local connection (a socket pair nobody reads) takes what its buffer holds, no more.
TEST(RelayQueue, RefusesDeviceDataOnceItHoldsItsLimit) {
    const struct {
        u16_t length;
        uint64_t minQueued, maxQueued;
    } cases[] = {
        {1398, worker::kClientQueueLimit * 8 / 10, worker::kClientQueueLimit},
        {1, 1, worker::kClientQueueLimit / 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        worker::resetState();
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        worker::state().relay.fdConnected = ends[0];
        bool refused = false;
        for (int offered = 0; offered < 100000 && !refused; ++offered) {
            pbuf* p = pbuf_alloc(PBUF_RAW, c.length, PBUF_RAM);
            std::memset(p->payload, 'q', c.length);
            refused = !tunnelReceivedData(p);
            if (refused) {
                pbuf_free(p);  // a refused buffer stays with the stack
            }
        }
        EXPECT_TRUE(refused);
        EXPECT_GE(worker::clientQueueBytes(), c.minQueued);
        EXPECT_LE(worker::clientQueueBytes(), c.maxQueued);
        worker::resetState();
        ::close(ends[0]);
        ::close(ends[1]);
    }
}

// The ACKs a worker makes in one pass of its loop: a pure ACK that acknowledges more replaces
// the connection's ACK just before it; duplicate ACKs (the device counts them), ACKs of other
// connections and segments with data all leave as they were made, in order.
TEST(OutputBatch, APassSendsOnlyTheLastOfAConnectionsAdvancingAcks) {
    worker::resetState();
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    worker::State& s = worker::state();
    s.fdUDPOutput = ends[1];
    struct ev_loop* loop = ev_loop_new(0);
    s.localLoop = loop;  // output waits for the end of the pass
    // device address, then a TCP header: ports, sequence, acknowledgement, offset, flags.
    auto segment = [](uint16_t devicePort, uint32_t ack, uint8_t flags, size_t payload) {
        std::vector<uint8_t> p(4 + 20 + payload, 0);
        p[0] = 198, p[1] = 18, p[2] = 0, p[3] = 10;
        p[4] = 0x9c, p[5] = 0x41;  // local port 40001
        p[6] = static_cast<uint8_t>(devicePort >> 8), p[7] = static_cast<uint8_t>(devicePort);
        const uint32_t a = htonl(ack);
        std::memcpy(p.data() + 4 + 8, &a, 4);
        p[4 + 12] = 5 << 4;
        p[4 + 13] = flags;
        return p;
    };
    const uint8_t ack = 0x10;
    const std::vector<std::vector<uint8_t>> made = {
        segment(80, 100, ack, 0),   segment(80, 200, ack, 0),  // 200 replaces 100
        segment(80, 200, ack, 0),   segment(80, 200, ack, 0),  // duplicates stay
        segment(81, 300, ack, 0),                              // another connection
        segment(80, 400, ack, 0),                              // not just before: stays
        segment(80, 400, 0x18, 10), segment(80, 500, ack, 0),  // data, then an ACK after it
        segment(80, 600, ack, 0),                              // replaces 500
    };
    for (const auto& p : made) {
        tunnelTransportOutput(p.data(), static_cast<uint16_t>(p.size()));
    }
    worker::flushOutput();
    std::vector<uint8_t> bytes(1 << 16);
    const ssize_t n = ::read(ends[0], bytes.data(), bytes.size());
    ASSERT_GT(n, 0);
    std::vector<std::vector<uint8_t>> sent;
    for (size_t offset = 0; offset + 4 <= static_cast<size_t>(n);) {
        uint16_t length;
        std::memcpy(&length, bytes.data() + offset + 1, sizeof length);
        sent.emplace_back(bytes.begin() + offset + 4, bytes.begin() + offset + 3 + length);
        offset += 3 + length;
    }
    const std::vector<std::vector<uint8_t>> expected = {made[1], made[2], made[3], made[4],
                                                        made[5], made[6], made[8]};
    EXPECT_EQ(sent, expected);
    s.localLoop = nullptr;
    ev_loop_destroy(loop);
    ::close(ends[0]);
    ::close(ends[1]);
    worker::resetState();
}
