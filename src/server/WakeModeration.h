// Wake-up moderation of the workers: with many tunnels busy at once, the tunnel packets that
// reach a worker soon after its last wake-up wait in the parent and go in one write, as a
// network card moderates its interrupts.
//
// Every write to a worker's pipe wakes a process of its own, and switching address spaces
// costs more than anything the worker then does with a segment or two. A single busy tunnel
// gathers a full write within a receive batch anyway; with hundreds of slow ones (each paced
// by its sender) each batch holds one segment of a tunnel, and the wake-ups are what costs.
// So the workers share a budget of kWakesPerSecond: once kBusyWorkers or more were written to
// within one kWindowSeconds, a worker written to less than a hold ago (busy workers divided
// by the budget, at most kMaxHoldSeconds: below the 200 ms that a sender's retransmission
// timer waits at least) gets its next packets only a hold after that write, or as soon as
// kHoldBytes have gathered. The first packets after a quiet spell always go at once: a
// request's answer starts without delay, and a lightly loaded server never holds.
//
// The gateway port owns one and asks it at the end of every receive batch, for each tunnel
// with frames; a tunnel that ends while holding frames is forgotten (they are dropped).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/EventLoop.h"
#include "server/ServerCounters.h"

class Tunnel;

class WakeModeration {
  public:
    static constexpr double kWakesPerSecond = 2000;
    static constexpr double kMaxHoldSeconds = 0.15;
    static constexpr size_t kHoldBytes = 64 * 1024;
    static constexpr double kWindowSeconds = 0.25;
    static constexpr uint32_t kBusyWorkers = 32;
    static constexpr double kTimerSlack = 0.005;

    // What the moderation keeps of one worker's pipe (the pipe writer holds it).
    struct WorkerWakes {
        double lastWrite = -1e9;  // loop time of the last write of gathered frames
        uint64_t window = 0;      // the counting window of that write
        bool holding = false;     // frames wait in the writer, the tunnel is listed here
    };

    WakeModeration(struct ev_loop* eventLoop, ServerCounters& counters);
    WakeModeration(const WakeModeration&) = delete;
    WakeModeration& operator=(const WakeModeration&) = delete;

    // At the end of a receive batch: writes the tunnel's gathered frames now, or keeps them
    // in its writer until the hold ends.
    void flush(Tunnel* tunnel);
    // The tunnel goes away; frames it held are dropped with it.
    void forget(Tunnel* tunnel);
    // How long a worker's frames wait now (0: they go at once).
    double holdSeconds() const { return hold_; }

    // The hold when busyWorkers were written to in the last window.
    static double holdFor(uint32_t busyWorkers);
    // The decision alone: frames of pending bytes for a worker last written to at lastWrite.
    static bool shouldHold(double hold, double now, double lastWrite, size_t pending) {
        return now - lastWrite < hold && pending < kHoldBytes;
    }

  private:
    void write(Tunnel* tunnel, double now);
    void countWrite(WorkerWakes& wakes, double now);
    void holdEnded(int revents);
    void armTimer(double now);

    struct ev_loop* loop_;
    ServerCounters& counters;
    EvTimer timer;
    double armedFor = 0;                           // the hold's end the timer waits for
    std::vector<std::pair<double, Tunnel*>> held;  // the hold's end, the tunnel
    uint64_t window_ = 1;
    double windowStart = 0;
    uint32_t writesThisWindow = 0;
    double hold_ = 0;
};
