// Accepted proxy connections wait without a worker until they have bytes: what becomes of a
// connection for each thing its client does, and which one goes when the bound is reached.
#include "server/PendingClients.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <vector>

namespace {

using Drop = PendingClients::Drop;
using Event = std::pair<uint16_t, int>;  // client port, -1 for ready or the Drop
constexpr double kTimeout = 0.2;

struct Bench {
    struct ev_loop* loop = ev_loop_new(0);
    UniqueFd listener{::socket(AF_INET, SOCK_STREAM, 0)};
    sockaddr_in address{};
    std::vector<UniqueFd> clients;
    std::vector<Event> events;
    PendingClients pending;

    explicit Bench(size_t limit)
        : pending(
              loop, limit, kTimeout,
              [this](UniqueFd, const sockaddr_in& peer) { report(peer, -1); },
              [this](const sockaddr_in& peer, Drop reason) {
                  report(peer, static_cast<int>(reason));
              }) {
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener.get(), 16);
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
    }
    ~Bench() {
        pending.clear();
        ev_loop_destroy(loop);
    }
    void report(const sockaddr_in& peer, int what) {
        events.emplace_back(ntohs(peer.sin_port), what);
        ev_break(loop, EVBREAK_ALL);
    }

    // Connects a client (that may send first), accepts it and holds it; the client's port.
    uint16_t connectAndHold(const char* sentFirst = "") {
        clients.emplace_back(::socket(AF_INET, SOCK_STREAM, 0));
        const int client = clients.back().get();
        EXPECT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::send(client, sentFirst, std::char_traits<char>::length(sentFirst), 0);
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        UniqueFd accepted(::accept(listener.get(), reinterpret_cast<sockaddr*>(&peer), &length));
        ev_now_update(loop);  // as for a connection accepted in a callback of the loop
        pending.hold(std::move(accepted), peer);
        return ntohs(peer.sin_port);
    }

    // Runs the loop until something is reported, 10 s at most.
    void runUntilReport() {
        EvTimer guard;
        ev_timer_init(
            guard.get(), [](struct ev_loop* l, ev_timer*, int) { ev_break(l, 0); }, 10., 0.);
        guard.start(loop);
        ev_run(loop, 0);
    }
};

TEST(PendingClients, EachConnectionGoesToAWorkerOnlyOnceItHasBytes) {
    enum Later { kNothing, kSend, kClose };
    const struct {
        const char* name;
        const char* sentFirst;
        Later later;
        int outcome;  // -1: ready, else the Drop
    } cases[] = {
        {"request with the handshake", "GET", kNothing, -1},
        {"request after a while", "", kSend, -1},
        {"closed before sending", "", kClose, static_cast<int>(Drop::Closed)},
        {"silent", "", kNothing, static_cast<int>(Drop::Timeout)},
    };
    for (const auto& c : cases) {
        Bench bench(8);
        const double start = ev_time();
        const uint16_t port = bench.connectAndHold(c.sentFirst);
        if (c.later == kSend) {
            ::send(bench.clients.back().get(), "G", 1, 0);
        } else if (c.later == kClose) {
            bench.clients.back().reset();
        }
        if (bench.events.empty()) {
            bench.runUntilReport();
        }
        EXPECT_EQ(bench.events, std::vector<Event>{Event(port, c.outcome)}) << c.name;
        EXPECT_EQ(bench.pending.size(), 0u) << c.name;
        if (c.outcome == static_cast<int>(Drop::Timeout)) {
            EXPECT_GE(ev_time() - start, kTimeout) << c.name;  // never before its deadline
            char byte;
            EXPECT_EQ(::recv(bench.clients.back().get(), &byte, 1, 0), 0) << c.name;  // closed
        }
    }
}

TEST(PendingClients, TheLongestSilentGoesWhenTheBoundIsReached) {
    Bench bench(2);
    const uint16_t first = bench.connectAndHold();
    const uint16_t second = bench.connectAndHold();
    const uint16_t third = bench.connectAndHold();
    EXPECT_EQ(bench.events, std::vector<Event>{Event(first, static_cast<int>(Drop::Evicted))});
    ::send(bench.clients[2].get(), "G", 1, 0);  // the ones that stay are served as usual
    bench.runUntilReport();
    bench.runUntilReport();
    EXPECT_EQ(bench.events, (std::vector<Event>{{first, static_cast<int>(Drop::Evicted)},
                                                {third, -1},
                                                {second, static_cast<int>(Drop::Timeout)}}));
}

}  // namespace
