// The worker's services for a recorder: watched descriptors, calls deferred to the next loop
// pass, the recording clean-up and the error exit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "protocol/PipeMessage.h"
#include "worker/videorecorder.h"
#include "worker/videorecorder_state.h"

namespace {

class ServicesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        worker::resetState();
        worker::state().localLoop = ev_loop_new(0);
        ASSERT_EQ(::pipe(toParent), 0);
        fcntl(toParent[0], F_SETFL, O_NONBLOCK);
        worker::state().fdUDPOutput = toParent[1];
        ASSERT_EQ(::pipe(watched), 0);
    }
    void TearDown() override {
        worker::state().watchers.clear();
        worker::state().writeWatchers.clear();
        worker::state().retiredWatchers.clear();
        worker::state().cleanupWatcher.stop();
        ev_loop_destroy(worker::state().localLoop);
        worker::state().localLoop = nullptr;
        for (int fd : {toParent[0], toParent[1], watched[0], watched[1]}) {
            ::close(fd);
        }
    }
    void pass() { ev_run(worker::state().localLoop, EVRUN_NOWAIT); }
    std::vector<uint8_t> fromWorker() {
        std::vector<uint8_t> bytes(64);
        const ssize_t n = ::read(toParent[0], bytes.data(), bytes.size());
        bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return bytes;
    }
    int toParent[2];
    int watched[2];
};

}  // namespace

TEST_F(ServicesTest, AWatchedDescriptorCallsItsCallbackUntilDeregistered) {
    int calls = 0;
    EXPECT_TRUE(videorecorder_register_watcher(static_cast<uint16_t>(watched[0]), [&] {
        char byte;
        ::read(watched[0], &byte, 1);
        ++calls;
    }));
    ASSERT_EQ(::write(watched[1], "x", 1), 1);
    pass();
    EXPECT_EQ(calls, 1);

    // Registering again replaces the record: one callback per readiness, the new one.
    int replaced = 0;
    videorecorder_register_watcher(static_cast<uint16_t>(watched[0]), [&] {
        char byte;
        ::read(watched[0], &byte, 1);
        ++replaced;
    });
    EXPECT_EQ(worker::state().watchers.size(), 1u);
    ASSERT_EQ(::write(watched[1], "y", 1), 1);
    pass();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(replaced, 1);

    videorecorder_deregister_watcher(static_cast<uint16_t>(watched[0]));
    videorecorder_deregister_watcher(999);  // never registered: nothing happens
    EXPECT_TRUE(worker::state().watchers.empty());
    ASSERT_EQ(::write(watched[1], "z", 1), 1);
    pass();
    EXPECT_EQ(replaced, 1);
}

TEST_F(ServicesTest, ACallbackMayDeregisterItsOwnDescriptorAndTheNumberBeReusedAtOnce) {
    // The decoder closes a connection from inside its callback: the watcher stops at once,
    // its record (holding the running callback) is freed only when the loop next waits, and
    // a descriptor that gets the same number keeps the watcher registered for it.
    int other[2] = {-1, -1};
    int newCalls = 0;
    videorecorder_register_watcher(static_cast<uint16_t>(watched[0]), [&] {
        videorecorder_deregister_watcher(static_cast<uint16_t>(watched[0]));
        ::close(watched[0]);
        ASSERT_EQ(::pipe(other), 0);  // the lowest free number: the one just closed
        videorecorder_register_watcher(static_cast<uint16_t>(other[0]), [&] {
            char byte;
            newCalls += static_cast<int>(::read(other[0], &byte, 1) == 1);
        });
    });
    ASSERT_EQ(::write(watched[1], "x", 1), 1);
    pass();
    ASSERT_EQ(other[0], watched[0]);
    EXPECT_EQ(worker::state().watchers.size(), 1u);
    ASSERT_EQ(::write(other[1], "y", 1), 1);
    pass();
    EXPECT_EQ(newCalls, 1);
    int writable = 0;
    EXPECT_TRUE(videorecorder_register_write_watcher(static_cast<uint16_t>(other[1]), [&] {
        ++writable;
        videorecorder_deregister_write_watcher(static_cast<uint16_t>(other[1]));
    }));
    pass();  // a pipe's write end is writable at once
    pass();
    EXPECT_EQ(writable, 1);
    EXPECT_TRUE(worker::state().writeWatchers.empty());
    videorecorder_deregister_watcher(static_cast<uint16_t>(other[0]));
    watched[0] = other[0];  // TearDown closes it
    ::close(other[1]);
}

TEST_F(ServicesTest, AScheduledCallRunsOnceOnTheNextPass) {
    int calls = 0;
    videorecorder_schedule_on_main_thread([&] { ++calls; });
    EXPECT_EQ(calls, 0);
    pass();
    EXPECT_EQ(calls, 1);
    pass();
    pass();
    EXPECT_EQ(calls, 1);
}

TEST_F(ServicesTest, ChannelMessagesAndTheCleanupReport) {
    videorecorder_channel_register(130);
    videorecorder_channel_deregister(131);
    const uint8_t rtcp[] = {0x80, 0xc8};
    videorecorder_channel_send(rtcp, 2);
    EXPECT_EQ(fromWorker(),
              (std::vector<uint8_t>{248, 1, 0, 130, 247, 1, 0, 131, 255, 2, 0, 0x80, 0xc8}));
    videorecorder_cleanup();
    EXPECT_EQ(fromWorker(), (std::vector<uint8_t>{246, 0, 0}));
    EXPECT_TRUE(worker::state().cleanupWatcher.active());  // the worker ends 5 s later
}

TEST_F(ServicesTest, AnErrorEndsTheLoopAtOnce) {
    bool ran = false;
    videorecorder_schedule_on_main_thread([&] {
        ran = true;
        videorecorder_error("camera went away");
    });
    // The loop would otherwise wait for ever: nothing else is watched.
    ev_run(worker::state().localLoop, 0);
    EXPECT_TRUE(ran);
}
