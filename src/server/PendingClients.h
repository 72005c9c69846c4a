// Proxy connections that the parent has accepted and that have sent nothing yet. A worker is
// forked (or a spare handed the connection) only once a connection has bytes to read, so a
// flood of connections that stay silent costs descriptors and a watcher each, never a fork.
// The parent only waits for readiness and peeks at one byte: it reads nothing of the request,
// so the worker reads it from the start and nothing a client sends is parsed outside a
// confined worker.
//
// Owned by the server (one per process), which accepts, checks the per-address limit and holds
// the connection here; its callbacks learn when a connection is ready for a worker or is
// closed while waiting. Waiting is bounded twice: each connection is closed silently once it
// has waited the request-head time-out, and when the bound on waiting connections is reached
// the oldest is closed to make room for the newest. A client that means it sends its request
// within a round trip of connecting, so the connections that have waited longest are the ones
// least likely to be anybody's request; refusing the newest instead would lock every new
// client out for as long as a flood keeps the bound full.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <utility>

#include "common/EventLoop.h"
#include "common/FileDescriptor.h"

class PendingClients {
  public:
    enum class Drop : uint8_t {
        Timeout,  // nothing within the request-head time-out
        Evicted,  // the oldest, when the bound on waiting connections was reached
        Closed,   // the client closed (or the connection failed) before sending anything
    };

    // The connection has bytes to read: the callee takes the socket.
    using Ready = std::function<void(UniqueFd socket, const sockaddr_in& peer)>;
    // The connection was closed while it waited (called once it is closed).
    using Dropped = std::function<void(const sockaddr_in& peer, Drop reason)>;

    // limit: connections that may wait at once (at least 1); timeout: seconds each may wait.
    PendingClients(struct ev_loop* loop, size_t limit, double timeoutSeconds, Ready ready,
                   Dropped dropped);
    ~PendingClients();
    PendingClients(const PendingClients&) = delete;
    PendingClients& operator=(const PendingClients&) = delete;

    // Takes an accepted connection. One whose bytes are already there goes to `ready` at
    // once; otherwise it waits, first closing the oldest when the bound is reached.
    void hold(UniqueFd socket, const sockaddr_in& peer);
    size_t size() const { return waiting_.size(); }
    // Closes every waiting connection without calling `dropped` (shutdown).
    void clear();

  private:
    struct Waiting {
        Waiting(PendingClients* owner, UniqueFd socket, const sockaddr_in& peer, double deadline)
            : owner(owner), socket(std::move(socket)), peer(peer), deadline(deadline) {}
        PendingClients* owner;
        std::list<Waiting>::iterator self;
        UniqueFd socket;
        sockaddr_in peer;
        double deadline;  // on the loop's clock
        EvIo readable;
    };
    enum class Readiness : uint8_t { Bytes, Nothing, Gone };
    static Readiness probe(int socket);
    static void readableCb(struct ev_loop*, ev_io* watcher, int);
    void onReadable(Waiting& waiting);
    // Removes the entry (closing its socket) and calls `dropped`.
    void release(std::list<Waiting>::iterator it, Drop reason);
    void expire(int revents);
    void armTimer();

    struct ev_loop* loop_;
    Ready ready_;
    Dropped dropped_;
    size_t limit_;
    double timeout_;
    std::list<Waiting> waiting_;  // oldest first: also the order of the deadlines
    EvTimer timer_;
};
