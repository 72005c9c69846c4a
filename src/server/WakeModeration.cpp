// Wake-up moderation: the hold of a worker's frames, the busy window, the hold's timer.
#include "server/WakeModeration.h"

#include <algorithm>

#include "server/Tunnel.h"

WakeModeration::WakeModeration(struct ev_loop* eventLoop, ServerCounters& serverCounters)
    : loop_(eventLoop), counters(serverCounters) {
    ev_init(timer.get(), (evMemberCallback<WakeModeration, ev_timer, &WakeModeration::holdEnded>));
    timer.get()->data = this;
}

double WakeModeration::holdFor(uint32_t busyWorkers) {
    if (busyWorkers < kBusyWorkers) {
        return 0;
    }
    return std::min(kMaxHoldSeconds, busyWorkers / kWakesPerSecond);
}

void WakeModeration::flush(Tunnel* tunnel) {
    const double now = ev_now(loop_);
    if (now >= windowStart + kWindowSeconds) {
        // The hold follows the workers written to in the window that just ended (a gap of
        // more than one window had none).
        hold_ = now < windowStart + 2 * kWindowSeconds ? holdFor(writesThisWindow) : 0;
        windowStart = now;
        writesThisWindow = 0;
        ++window_;
    }
    WorkerPipeWriter& pipe = tunnel->framesToWorker();
    WorkerWakes& wakes = pipe.wakes();
    if (wakes.holding) {
        // Listed already: what came now joins the held frames unless enough has gathered.
        if (pipe.pendingBytes() < kHoldBytes) {
            pipe.hold();
            ++counters.workerWakesHeld;
            return;
        }
        forget(tunnel);
    } else if (shouldHold(hold_, now, wakes.lastWrite, pipe.pendingBytes())) {
        pipe.hold();
        ++counters.workerWakesHeld;
        wakes.holding = true;
        const double end = wakes.lastWrite + hold_;
        held.emplace_back(end, tunnel);
        if (!timer.active() || end < armedFor - kTimerSlack) {
            armTimer(now);
        }
        return;
    }
    write(tunnel, now);
}

void WakeModeration::write(Tunnel* tunnel, double now) {
    WorkerPipeWriter& pipe = tunnel->framesToWorker();
    countWrite(pipe.wakes(), now);
    ++counters.workerWakeWrites;
    pipe.flush();
}

void WakeModeration::countWrite(WorkerWakes& wakes, double now) {
    wakes.lastWrite = now;
    if (wakes.window != window_) {
        wakes.window = window_;
        ++writesThisWindow;
    }
}

void WakeModeration::forget(Tunnel* tunnel) {
    const auto listed = std::find_if(
        held.begin(), held.end(), [tunnel](const auto& entry) { return entry.second == tunnel; });
    if (listed == held.end()) {
        return;
    }
    *listed = held.back();
    held.pop_back();
    tunnel->framesToWorker().wakes().holding = false;
    if (held.empty()) {
        timer.stop();
    }
}

void WakeModeration::holdEnded(int) {
    const double now = ev_now(loop_);
    // Entries whose hold ended are written, in no particular order (each is a worker of its
    // own); the others stay.
    for (size_t i = 0; i < held.size();) {
        if (held[i].first <= now + kTimerSlack / 2) {
            Tunnel* tunnel = held[i].second;
            held[i] = held.back();
            held.pop_back();
            tunnel->framesToWorker().wakes().holding = false;
            write(tunnel, now);
        } else {
            ++i;
        }
    }
    if (!held.empty()) {
        armTimer(now);
    }
}

void WakeModeration::armTimer(double now) {
    double next = held.front().first;
    for (const auto& entry : held) {
        next = std::min(next, entry.first);
    }
    // Holds that end within kTimerSlack of each other end together: one wake-up of the
    // parent for all of them.
    next = std::max(next, now + kTimerSlack);
    timer.stop();
    armedFor = next;
    ev_timer_set(timer.get(), next - now, 0.);
    timer.start(loop_);
}
