// Termination and reaping of workers that outlive their tunnel.
#include "server/WorkerReaper.h"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <cerrno>

#include "common/Logging.h"
#include "worker/WorkerSandbox.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kTunnel);
}

void WorkerExits::count(int waitStatus) {
    if (WIFSIGNALED(waitStatus)) {
        ++bySignal[WTERMSIG(waitStatus)];
    } else {
        ++byStatus[WEXITSTATUS(waitStatus)];
    }
}

WorkerReaper::~WorkerReaper() = default;

void WorkerReaper::adopt(pid_t pid, double killAfter) {
    if (pid <= 0 || workers.count(pid) != 0) {
        return;
    }
    ::kill(pid, SIGTERM);
    auto entry = std::make_unique<Entry>();
    entry->owner = this;
    entry->pid = pid;
    ev_child_init(entry->exited.get(), &WorkerReaper::exitedCb, pid, 0);
    entry->exited.get()->data = entry.get();
    ev_timer_init(entry->killTimer.get(), &WorkerReaper::killTimerCb, killAfter, 0.);
    entry->killTimer.get()->data = entry.get();
    if (loop != nullptr) {
        entry->exited.start(loop);
        entry->killTimer.start(loop);
    }
    workers.emplace(pid, std::move(entry));
}

void WorkerReaper::exitedCb(struct ev_loop*, ev_child* watcher, int) {
    Entry* entry = static_cast<Entry*>(watcher->data);
    LOG4CPLUS_DEBUG(logger, "process " << entry->pid << " exited with status "
                                       << ((watcher->rstatus >> 8) & 0xff));
    LOG4CPLUS_DEBUG(logger, "child process terminated");
    if (entry->owner->exits_ != nullptr) {
        entry->owner->exits_->count(watcher->rstatus);
    }
    WorkerSandbox::reportKilledByFilter(entry->pid, watcher->rstatus);
    entry->owner->workers.erase(entry->pid);  // destroys entry and its watchers
}

void WorkerReaper::killTimerCb(struct ev_loop*, ev_timer* watcher, int) {
    Entry* entry = static_cast<Entry*>(watcher->data);
    if (ev_is_pending(entry->exited.get()) || entry->exited.get()->rpid != 0) {
        return;  // already reaped; its exit callback is about to run
    }
    LOG4CPLUS_WARN(logger, "worker " << entry->pid << " did not end, killing it");
    ::kill(entry->pid, SIGKILL);
}

void WorkerReaper::reapAllBlocking(double graceSeconds) {
    for (auto& [pid, entry] : workers) {
        entry->exited.stop();
        entry->killTimer.stop();
        if (entry->exited.get()->rpid == 0) {
            ::kill(pid, SIGTERM);
        }
    }
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    bool killed = false;
    for (;;) {
        const pid_t pid = ::waitpid(-1, nullptr, WNOHANG);
        if (pid > 0) {
            workers.erase(pid);
            continue;
        }
        if (pid < 0 && errno == ECHILD) {
            break;  // no children left
        }
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double elapsed =
            static_cast<double>(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
        if (!killed && elapsed > graceSeconds) {
            for (auto& [stuck, entry] : workers) {
                ::kill(stuck, SIGKILL);
            }
            killed = true;
        }
        if (elapsed > graceSeconds + 5.0) {
            LOG4CPLUS_WARN(logger, "giving up waiting for " << workers.size() << " workers");
            break;
        }
        const timespec pause{0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    workers.clear();
}
