// Accepted proxy connections wait without a worker until they have bytes: what becomes of a
// connection for each thing its client does, and which one goes when the bound is reached.
#include "PendingClients.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <optional>
#include <string>
#include <vector>

namespace {

struct OwnLoop {
    struct ev_loop* loop = ev_loop_new(0);
    ~OwnLoop() { ev_loop_destroy(loop); }
};

// A loopback listener, the clients connected to it, and what the holder reported.
struct Bench {
    static constexpr double kTimeout = 0.2;
    static constexpr double kGuard = 10.0;  // no test waits longer than this for an event

    OwnLoop own;
    UniqueFd listener{::socket(AF_INET, SOCK_STREAM, 0)};
    sockaddr_in address{};
    std::vector<UniqueFd> clients;
    std::vector<uint16_t> ready;  // client ports, in the order reported
    std::vector<std::pair<uint16_t, PendingClients::Drop>> dropped;
    PendingClients pending;

    explicit Bench(size_t limit)
        : pending(
              own.loop, limit, kTimeout,
              [this](UniqueFd socket, const sockaddr_in& peer) {
                  EXPECT_TRUE(socket.valid());
                  ready.push_back(ntohs(peer.sin_port));
                  ev_break(own.loop, EVBREAK_ALL);
              },
              [this](const sockaddr_in& peer, PendingClients::Drop reason) {
                  dropped.emplace_back(ntohs(peer.sin_port), reason);
                  ev_break(own.loop, EVBREAK_ALL);
              }) {
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(::listen(listener.get(), 16), 0);
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
    }

    // Connects a client, accepts it and hands it to the holder; returns the client's port.
    uint16_t connectAndHold(const std::string& sentFirst = {}) {
        UniqueFd client(::socket(AF_INET, SOCK_STREAM, 0));
        EXPECT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address),
                  0);
        if (!sentFirst.empty()) {
            EXPECT_EQ(::send(client.get(), sentFirst.data(), sentFirst.size(), 0),
                      static_cast<ssize_t>(sentFirst.size()));
        }
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        UniqueFd accepted(::accept(listener.get(), reinterpret_cast<sockaddr*>(&peer), &length));
        EXPECT_TRUE(accepted.valid());
        clients.push_back(std::move(client));
        ev_now_update(own.loop);  // as for a connection accepted in a callback of the loop
        pending.hold(std::move(accepted), peer);
        return ntohs(peer.sin_port);
    }

    // Runs the loop until the holder reports something, or the guard time passes.
    void runUntilReport() {
        EvTimer guard;
        ev_timer_init(
            guard.get(), [](struct ev_loop* l, ev_timer*, int) { ev_break(l, EVBREAK_ALL); },
            kGuard, 0.);
        guard.start(own.loop);
        ev_run(own.loop, 0);
    }
};

enum class Client { SentBeforeAccept, SendsLater, ClosesSilently, StaysSilent };
enum class Outcome { ReadyAtOnce, ReadyLater, DroppedClosed, DroppedTimeout };

TEST(PendingClients, EachConnectionGoesToAWorkerOnlyOnceItHasBytes) {
    const struct {
        const char* name;
        Client client;
        Outcome outcome;
    } cases[] = {
        {"request with the handshake", Client::SentBeforeAccept, Outcome::ReadyAtOnce},
        {"request after a while", Client::SendsLater, Outcome::ReadyLater},
        {"closed before sending", Client::ClosesSilently, Outcome::DroppedClosed},
        {"silent", Client::StaysSilent, Outcome::DroppedTimeout},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench(8);
        const double start = ev_time();
        const uint16_t port =
            bench.connectAndHold(c.client == Client::SentBeforeAccept ? "GET" : "");
        if (c.outcome == Outcome::ReadyAtOnce) {
            EXPECT_EQ(bench.ready, std::vector<uint16_t>{port});
            EXPECT_EQ(bench.pending.size(), 0u);
            continue;
        }
        EXPECT_EQ(bench.pending.size(), 1u);
        EXPECT_TRUE(bench.ready.empty());
        if (c.client == Client::SendsLater) {
            ASSERT_EQ(::send(bench.clients.back().get(), "G", 1, 0), 1);
        } else if (c.client == Client::ClosesSilently) {
            bench.clients.back().reset();
        }
        bench.runUntilReport();
        EXPECT_EQ(bench.pending.size(), 0u);
        if (c.outcome == Outcome::ReadyLater) {
            EXPECT_EQ(bench.ready, std::vector<uint16_t>{port});
            continue;
        }
        const PendingClients::Drop reason = c.outcome == Outcome::DroppedClosed
                                                ? PendingClients::Drop::Closed
                                                : PendingClients::Drop::Timeout;
        ASSERT_EQ(bench.dropped.size(), 1u);
        EXPECT_EQ(bench.dropped[0], std::make_pair(port, reason));
        if (reason == PendingClients::Drop::Timeout) {
            EXPECT_GE(ev_time() - start, Bench::kTimeout);  // never before its deadline
        }
        // The server's end is closed: the client reads the end of the stream.
        if (bench.clients.back().valid()) {
            char byte;
            EXPECT_EQ(::recv(bench.clients.back().get(), &byte, 1, 0), 0);
        }
    }
}

TEST(PendingClients, TheLongestSilentGoesWhenTheBoundIsReached) {
    Bench bench(2);
    const uint16_t first = bench.connectAndHold();
    const uint16_t second = bench.connectAndHold();
    EXPECT_TRUE(bench.dropped.empty());
    const uint16_t third = bench.connectAndHold();
    ASSERT_EQ(bench.dropped.size(), 1u);
    EXPECT_EQ(bench.dropped[0], std::make_pair(first, PendingClients::Drop::Evicted));
    EXPECT_EQ(bench.pending.size(), 2u);
    // The ones that stay are served as usual.
    ASSERT_EQ(::send(bench.clients[2].get(), "G", 1, 0), 1);
    bench.runUntilReport();
    EXPECT_EQ(bench.ready, std::vector<uint16_t>{third});
    bench.runUntilReport();
    EXPECT_EQ(bench.dropped.back(), std::make_pair(second, PendingClients::Drop::Timeout));
}

}  // namespace
