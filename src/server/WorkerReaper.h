// Ends worker processes whose tunnel is gone and makes sure they are reaped: a
// termination signal at once, a kill if the worker lingers. The parent never waits for a
// worker inside its loop; libev reaps every child when SIGCHLD arrives, and a pid is only
// signalled while it is known not to have been reaped (so a reused pid is never hit).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>

#include "common/EventLoop.h"
#include "protocol/RecordingRequest.h"

// Ends of worker processes: by exit status, or by the signal that ended them.
struct WorkerExits {
    std::map<int, uint64_t> byStatus;
    std::map<int, uint64_t> bySignal;
    void count(int waitStatus);
};

class WorkerReaper {
  public:
    static constexpr double kKillAfterSeconds = 2.0;
    // A recording worker completes its file first (kRecordingTeardownSeconds), with room.
    static constexpr double kRecordingKillAfterSeconds = kRecordingTeardownSeconds + 2.0;

    WorkerReaper() = default;
    ~WorkerReaper();
    WorkerReaper(const WorkerReaper&) = delete;
    WorkerReaper& operator=(const WorkerReaper&) = delete;

    // Takes over a worker that has not been reaped yet: SIGTERM now, SIGKILL killAfter
    // seconds later.
    void adopt(pid_t pid, double killAfter = kKillAfterSeconds);
    size_t pending() const { return workers.size(); }
    // Where the ends of the workers reaped here are counted (none when null).
    void countExitsIn(WorkerExits* exits) { exits_ = exits; }

    // At shutdown, outside the loop: waits up to the given time for every adopted worker
    // (and any other child), killing those that do not end.
    void reapAllBlocking(double graceSeconds);

  private:
    struct Entry {
        WorkerReaper* owner = nullptr;
        pid_t pid = -1;
        EvChild exited;
        EvTimer killTimer;
    };
    static void exitedCb(struct ev_loop*, ev_child* watcher, int);
    static void killTimerCb(struct ev_loop*, ev_timer* watcher, int);

    std::map<pid_t, std::unique_ptr<Entry>> workers;
    WorkerExits* exits_ = nullptr;
};
