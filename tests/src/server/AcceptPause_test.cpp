// A listener that runs out of descriptors pauses instead of spinning the loop.
#include "server/AcceptPause.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/FileDescriptor.h"

namespace {

// Destroyed after every watcher that was started on it.
struct OwnLoop {
    struct ev_loop* loop = ev_loop_new(0);
    ~OwnLoop() { ev_loop_destroy(loop); }
};

struct Listener {
    OwnLoop own;
    struct ev_loop* loop = own.loop;
    UniqueFd socket{::socket(AF_INET, SOCK_STREAM, 0)};
    UniqueFd client{::socket(AF_INET, SOCK_STREAM, 0)};
    EvIo watcher;
    EvTimer window;
    AcceptPause pause{loop, watcher};
    int calls = 0;
    int accepted = -1;
    int lastError = 0;

    Listener() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(::listen(socket.get(), 4), 0);
        ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length);
        EXPECT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
        ev_io_init(
            watcher.get(),
            [](struct ev_loop*, ev_io* w, int) {
                auto* self = static_cast<Listener*>(w->data);
                ++self->calls;
                self->accepted = ::accept(self->socket.get(), nullptr, nullptr);
                if (self->accepted >= 0) {
                    ev_break(self->loop, EVBREAK_ALL);
                } else {
                    self->lastError = errno;
                    self->pause.pauseOn(self->lastError);
                }
            },
            socket.get(), EV_READ);
        watcher.get()->data = this;
        watcher.start(loop);
        ev_timer_init(
            window.get(), [](struct ev_loop* l, ev_timer*, int) { ev_break(l, EVBREAK_ALL); }, 0.35,
            0.);
    }
    ~Listener() {
        if (accepted >= 0) {
            ::close(accepted);
        }
    }
};

}  // namespace

TEST(AcceptPause, OutOfDescriptorsPausesTheListenerAndResumesLater) {
    Listener listener;
    rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    // The lowest free descriptor becomes the limit: the next accept fails with EMFILE.
    const int next = ::dup(0);
    ::close(next);
    const rlimit tight{static_cast<rlim_t>(next), saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    listener.window.start(listener.loop);
    ev_run(listener.loop, 0);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    // A spinning loop would have called back thousands of times in the window.
    EXPECT_GE(listener.calls, 1);
    EXPECT_LE(listener.calls, 8) << std::strerror(listener.lastError);
    EXPECT_GE(listener.pause.pauses(), 1u);
    EXPECT_LT(listener.accepted, 0);

    // Descriptors are back: the paused listener resumes by itself and accepts.
    ev_run(listener.loop, 0);
    EXPECT_GE(listener.accepted, 0);
}

TEST(AcceptPause, OtherErrorsDoNotPause) {
    Listener listener;
    EXPECT_FALSE(listener.pause.pauseOn(EAGAIN));
    EXPECT_FALSE(listener.pause.pauseOn(ECONNABORTED));
    EXPECT_FALSE(listener.pause.paused());
    EXPECT_TRUE(listener.pause.pauseOn(ENFILE));
    EXPECT_TRUE(listener.pause.paused());
    EXPECT_TRUE(listener.pause.pauseOn(EMFILE));  // one pause at a time
    EXPECT_EQ(listener.pause.pauses(), 1u);
}
