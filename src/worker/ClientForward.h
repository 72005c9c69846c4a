// A proxy worker's client carried on to the server that holds the client's gateway. The parent
// connected to that server's peer port and wrote the PROXY header there; the worker writes
// what it has read of the client so far, then copies bytes both ways until both directions
// have ended. It reads none of them: the other server's worker parses the request.
//
// The worker's loop hands over to it once the parent's forward message came (runProxyWorker);
// it runs on a loop of its own and owns neither socket. Each direction holds at most one
// buffer of bytes: a side that does not read stops the other side's reading (the kernel's
// windows then hold the sender back).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/EventLoop.h"
#include "protocol/PipeMessage.h"

class ClientForward {
  public:
    enum class End { Done, Failed, Idle, Stopped };

    // fromParent: the worker's pipe from the parent (a stop or its end ends the forward).
    ClientForward(int client, int peer, int fromParent);
    ~ClientForward();
    ClientForward(const ClientForward&) = delete;
    ClientForward& operator=(const ClientForward&) = delete;

    // Sends held first, then relays until both directions ended (Done), a socket failed
    // (Failed), nothing moved for idleSeconds (Idle) or the parent asked to stop (Stopped).
    End run(const uint8_t* held, size_t heldLength, double idleSeconds);
    uint64_t bytesToPeer() const { return up.moved; }
    uint64_t bytesToClient() const { return down.moved; }

  private:
    static constexpr size_t kBufferSize = 128 * 1024;

    struct Direction {
        ClientForward* owner = nullptr;
        int from = -1;
        int to = -1;
        std::unique_ptr<uint8_t[]> buffer;
        size_t capacity = 0;
        size_t start = 0;
        size_t end = 0;
        bool ended = false;  // end of stream read and passed on
        uint64_t moved = 0;
        EvIo readable;
        EvIo writable;
    };

    void setUp(Direction& d, int from, int to, size_t capacity);
    // Moves what it can without waiting; false when a socket failed.
    bool pump(Direction& d);
    void finish(End end);
    static void onReadable(struct ev_loop*, ev_io* watcher, int);
    static void onWritable(struct ev_loop*, ev_io* watcher, int);
    static void onParent(struct ev_loop*, ev_io* watcher, int);
    static void onIdle(struct ev_loop*, ev_timer* watcher, int);
    void moved();

    int parent;
    struct ev_loop* loop = nullptr;
    Direction up;    // client -> peer
    Direction down;  // peer -> client
    pipe_message::Reader fromParent;
    EvIo parentReadable;
    EvTimer idleTimer;
    double idleSeconds = 0;
    double lastMove = 0;  // loop time of the last bytes moved
    End result = End::Done;
};
