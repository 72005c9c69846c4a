// The once-only rewrites of a proxy worker's answers, and the bound of its queue of device
// data.
#include "videorecorder_relay.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "tcpoverudp_stack.h"
#include "videorecorder.h"
#include "videorecorder_state.h"

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
    EXPECT_FALSE(worker::state().authHeaderReplaced);
    EXPECT_EQ(rewritten("HTTP/1.1 401 X"), "HTTP/1.1 403 X");
}

TEST_F(RewriteAnswer, SwitchOffLeavesTheStatus) {
    worker::state().httpStatusSwitchDisabled = true;
    EXPECT_EQ(rewritten("HTTP/1.1 401 Unauthorized\r\n"), "HTTP/1.1 401 Unauthorized\r\n");
}

TEST_F(RewriteAnswer, MultipartContentTypeIsRenamedOnceWhenAsked) {
    const std::string answer =
        "HTTP/1.1 200 OK\r\ncontent-type: multipart/x-mixed-replace; boundary=x\r\n\r\n";
    EXPECT_EQ(rewritten(answer), answer);  // not asked for
    worker::state().replaceContentTypeFlag = true;
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
        worker::state().fdConnected = ends[0];
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
