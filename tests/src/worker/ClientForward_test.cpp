// Unit tests of the forwarding copy: what the worker held goes first, both directions arrive
// whole under back-pressure, an end of stream is passed on, and a stop, the parent's end or
// silence ends the copy.
#include "worker/ClientForward.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>

#include "common/FileDescriptor.h"
#include "protocol/PipeMessage.h"

namespace {

struct Ends {
    UniqueFd client, clientWorker;  // the client's socket: test end, worker end
    UniqueFd peer, peerWorker;      // the next server's connection
    UniqueFd parent, parentWorker;  // the pipe from the parent: write end, read end
    Ends() {
        int c[2], p[2], pipeEnds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, c), 0);
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, p), 0);
        EXPECT_EQ(::pipe(pipeEnds), 0);
        client.reset(c[0]);
        clientWorker.reset(c[1]);
        peer.reset(p[0]);
        peerWorker.reset(p[1]);
        parentWorker.reset(pipeEnds[0]);
        parent.reset(pipeEnds[1]);
    }
};

// Every byte until the end of stream.
std::string readAll(int fd) {
    std::string out;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

void writeAll(int fd, const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        ASSERT_GT(n, 0);
        at += static_cast<size_t>(n);
    }
}

std::string pattern(size_t size, char seed) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<char>(seed + static_cast<char>(i % 251));
    }
    return out;
}

TEST(ClientForward, HeldBytesGoFirstAndBothDirectionsArriveWhole) {
    const struct {
        std::string held, fromClient, fromPeer;
    } cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", "", "HTTP/1.1 200 OK\r\n\r\n"},
        {"", "request without a head held", ""},
        {pattern(200000, 'h'), pattern(4 << 20, 'c'), pattern(4 << 20, 'p')},  // back-pressure
    };
    for (const auto& c : cases) {
        Ends ends;
        ClientForward forward(ends.clientWorker.get(), ends.peerWorker.get(),
                              ends.parentWorker.get());
        auto run = std::async(std::launch::async, [&] {
            return forward.run(reinterpret_cast<const uint8_t*>(c.held.data()), c.held.size(), 30);
        });
        std::thread clientSide([&] {
            writeAll(ends.client.get(), c.fromClient);
            ::shutdown(ends.client.get(), SHUT_WR);
        });
        std::thread peerSide([&] {
            writeAll(ends.peer.get(), c.fromPeer);
            ::shutdown(ends.peer.get(), SHUT_WR);
        });
        const std::string atPeer = readAll(ends.peer.get());
        const std::string atClient = readAll(ends.client.get());
        clientSide.join();
        peerSide.join();
        ASSERT_EQ(run.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        EXPECT_EQ(run.get(), ClientForward::End::Done);
        EXPECT_TRUE(atPeer == c.held + c.fromClient) << atPeer.size();
        EXPECT_TRUE(atClient == c.fromPeer) << atClient.size();
        EXPECT_EQ(forward.bytesToPeer(), c.held.size() + c.fromClient.size());
        EXPECT_EQ(forward.bytesToClient(), c.fromPeer.size());
    }
}

TEST(ClientForward, AStopTheParentsEndOrSilenceEndsIt) {
    enum class Cause { Stop, ParentGone, Silence, OtherFrame };
    const struct {
        Cause cause;
        ClientForward::End end;
    } cases[] = {
        {Cause::Stop, ClientForward::End::Stopped},
        {Cause::ParentGone, ClientForward::End::Stopped},
        {Cause::Silence, ClientForward::End::Idle},
        {Cause::OtherFrame, ClientForward::End::Idle},  // only a stop is meant for it
    };
    for (const auto& c : cases) {
        Ends ends;
        ClientForward forward(ends.clientWorker.get(), ends.peerWorker.get(),
                              ends.parentWorker.get());
        switch (c.cause) {
            case Cause::Stop:
                pipe_message::writeFrame(ends.parent.get(), pipe_message::kStop, nullptr, 0);
                break;
            case Cause::ParentGone:
                ends.parent.reset();
                break;
            case Cause::OtherFrame:
                pipe_message::writeFrame(ends.parent.get(), pipe_message::kNotCached, nullptr, 0);
                break;
            case Cause::Silence:
                break;
        }
        EXPECT_EQ(forward.run(nullptr, 0, 0.2), c.end) << static_cast<int>(c.cause);
    }
}

}  // namespace
