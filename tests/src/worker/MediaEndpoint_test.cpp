// The MJPEG path's piece that a recording through the binary cannot show: the local server
// listens on loopback only.
#include "worker/MediaEndpoint.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "worker/videorecorder_state.h"

namespace {

TEST(RecordingLocalServer, ListensOnLoopbackOnly) {
    worker::State& s = worker::state();
    const uint16_t port = worker::MediaEndpoint().openLocalServer();
    ASSERT_NE(port, 0);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(s.recording.fdListen, reinterpret_cast<sockaddr*>(&address), &length), 0);
    EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(address.sin_port), port);
    ::close(s.recording.fdListen);
    s.recording.fdListen = -1;
}

}  // namespace
