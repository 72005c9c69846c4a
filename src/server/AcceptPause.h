// Keeps a listener from spinning the loop when accept fails for want of descriptors or
// memory (EMFILE, ENFILE, ENOBUFS, ENOMEM): the connection stays in the kernel's queue, so
// the listener would be readable again at once. The listener's watcher is stopped for a
// short pause instead and started again by a timer. The proxy and control listeners of
// TambloServer each own one.
#pragma once

#include <cstdint>

#include "common/EventLoop.h"

class AcceptPause {
  public:
    static constexpr double kPauseSeconds = 0.1;

    // listener: the read watcher of the listening socket, started on loop.
    AcceptPause(struct ev_loop* loop, EvIo& listener, double seconds = kPauseSeconds);
    AcceptPause(const AcceptPause&) = delete;
    AcceptPause& operator=(const AcceptPause&) = delete;

    // After a failed accept with this error: true when it was a shortage, and the listener
    // is now paused (a pause already under way goes on).
    bool pauseOn(int error);
    bool paused() const { return resume_.active(); }
    // Failed accepts that paused the listener, for the logs.
    uint64_t pauses() const { return pauses_; }

  private:
    void resume(int revents);

    struct ev_loop* loop_;
    EvIo& listener_;
    double seconds_;
    EvTimer resume_;
    uint64_t pauses_ = 0;
};
