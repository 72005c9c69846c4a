// The connection that carries one client on to the server holding its gateway: made without
// blocking from the parent (a worker may not open sockets), the PROXY header naming the client
// written first, then passed to the client's worker, which sends the client's bytes after it.
//
// A proxy Tunnel holds one while the connection is made; done is called once, on the loop,
// with the connected socket or with what failed. Destroying it first cancels everything.
#pragma once

#include <netinet/in.h>

#include <functional>
#include <string>

#include "common/EventLoop.h"
#include "common/FileDescriptor.h"

class PeerConnect {
  public:
    // A connection not made within this time fails: the next server is down or unreachable.
    static constexpr double kTimeoutSeconds = 5.0;

    // connected is valid on success; failure says what went wrong otherwise.
    using Done = std::function<void(UniqueFd connected, const std::string& failure)>;

    // client: the client's address and port; local: where the client reached this server.
    PeerConnect(struct ev_loop* loop, const sockaddr_in& peer, const sockaddr_in& client,
                const sockaddr_in& local, Done done);
    PeerConnect(const PeerConnect&) = delete;
    PeerConnect& operator=(const PeerConnect&) = delete;

    // Starts connecting; done follows on the loop (also for a failure found at once).
    void start();

  private:
    void writable(int revents);
    void timedOut(int revents);
    void failed(const std::string& failure);
    void fail(int revents);

    struct ev_loop* loop;
    sockaddr_in peer;
    sockaddr_in client;
    sockaddr_in local;
    Done done;
    UniqueFd socket;
    EvIo connecting;
    EvTimer deadline;
    std::string failure;  // a failure found in start(), reported from the loop
};
