// The once-only rewrites of a proxy worker's answers.
#include "videorecorder_relay.h"

#include <gtest/gtest.h>

#include <string>

#include "videorecorder_state.h"

namespace {
class RewriteAnswer : public ::testing::Test {
  protected:
    void SetUp() override { worker::resetState(); }
};

std::string rewritten(std::string answer) {
    rewriteAnswer(reinterpret_cast<uint8_t*>(answer.data()), answer.size());
    return answer;
}
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
