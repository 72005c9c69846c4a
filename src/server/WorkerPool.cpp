// The worker pool: live tunnels, spares, set-ups, deferred deletes and worker limits.
#include "server/WorkerPool.h"

#include <algorithm>

#include "common/Logging.h"
#include "server/AddressKey.h"
#include "server/CommandLine.h"
#include "server/Tunnel.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kServer);

// The timer only wakes the loop: its next pass replenishes the spares.
void wakeUp(struct ev_loop*, ev_timer*, int) {}
}  // namespace

WorkerPool::WorkerPool(TunnelHost& host, const ServerSettings& settings, ServerCounters& counters,
                       FloodLogs& floodLogs)
    : host(host), settings(settings), counters(counters), floodLogs(floodLogs) {
    ev_prepare_init(doomedWatcher.get(),
                    (evMemberCallback<WorkerPool, ev_prepare, &WorkerPool::deleteDoomed>));
    doomedWatcher.get()->data = this;
    ev_init(spareTimer.get(), wakeUp);
}

size_t WorkerPool::recordingsRunning() const {
    return static_cast<size_t>(std::count_if(tunnels_.begin(), tunnels_.end(), [](Tunnel* t) {
        return !t->isProxyTunnel() && !t->isRecordingResponseSent();
    }));
}

void WorkerPool::deferDelete(Tunnel* tunnel) {
    doomed.push_back(tunnel);
    if (!doomedWatcher.active() && loop != nullptr) {
        doomedWatcher.start(loop);
    }
}

void WorkerPool::deleteDoomed(int) {
    // Runs before the loop polls again, after every callback of the last iteration.
    std::vector<Tunnel*> now;
    now.swap(doomed);
    for (Tunnel* tunnel : now) {
        delete tunnel;
    }
    if (doomed.empty()) {
        doomedWatcher.stop();
    }
}

void WorkerPool::destroyAll() {
    for (Tunnel* tunnel : std::set<Tunnel*>(tunnels_)) {
        tunnel->destroy();
    }
    deleteDoomed(0);
}

Tunnel* WorkerPool::takeSpare(int client, bool mayForward) {
    while (!spares.empty()) {
        Tunnel* tunnel = spares.back();
        spares.pop_back();
        if (tunnel->handOver(client, mayForward)) {
            settingUp.push_back(tunnel);
            return tunnel;
        }
        tunnel->destroy();  // it died waiting: the next one, or a fork
    }
    return nullptr;
}

void WorkerPool::replenishSpares(double now) {
    if (!clientSeen || spares.size() >= settings.spareWorkers || loop == nullptr) {
        return;
    }
    // A fork takes the loop for a while: not while a client waits for its first answer
    // bytes, unless that has taken longer than kSetupGraceSeconds already.
    double oldest = now;
    settingUp.erase(std::remove_if(settingUp.begin(), settingUp.end(),
                                   [&](Tunnel* tunnel) {
                                       const double since = tunnel->setupStarted();
                                       if (since < 0 || now - since >= kSetupGraceSeconds) {
                                           tunnel->setupDone();
                                           return true;
                                       }
                                       oldest = std::min(oldest, since);
                                       return false;
                                   }),
                    settingUp.end());
    if (!settingUp.empty()) {
        if (!spareTimer.active()) {
            ev_timer_set(spareTimer.get(), kSetupGraceSeconds - (now - oldest), 0.);
            spareTimer.start(loop);
        }
        return;
    }
    while (spares.size() < settings.spareWorkers && tunnels_.size() < settings.maxWorkers) {
        Tunnel* tunnel = new Tunnel(&host);
        if (!tunnel->startSpareProxy()) {
            tunnel->destroy();
            return;  // tried again before the loop next waits
        }
        spares.push_back(tunnel);
    }
}

void WorkerPool::retireSpares() {
    for (Tunnel* tunnel : std::vector<Tunnel*>(spares)) {
        tunnel->destroy();  // its socket pair closes: the spare ends by itself
    }
}

void WorkerPool::setupDone(Tunnel* tunnel) {
    tunnel->setupDone();
    settingUp.erase(std::remove(settingUp.begin(), settingUp.end(), tunnel), settingUp.end());
}

void WorkerPool::tunnelEnding(Tunnel* tunnel) {
    spares.erase(std::remove(spares.begin(), spares.end(), tunnel), spares.end());
    settingUp.erase(std::remove(settingUp.begin(), settingUp.end(), tunnel), settingUp.end());
}

bool WorkerPool::slotFor(const sockaddr_in* peer, bool perAddress, double now) {
    // Over a limit the connection is closed before it costs a fork: a flood of connections
    // from one address can neither exhaust the machine nor crowd out others. Recordings (no
    // peer) count against the limit in all only.
    uint32_t atAddress = 0;
    if (peer != nullptr && perAddress) {
        const auto it = proxyWorkersPerAddress.find(peer->sin_addr.s_addr);
        atAddress = it != proxyWorkersPerAddress.end() ? it->second : 0;
    }
    const char* limit = nullptr;
    uint32_t value = 0;
    // A spare takes the connection: it counts once it has one.
    if (tunnels_.size() - spares.size() >= settings.maxWorkers) {
        limit = "--max-workers";
        value = settings.maxWorkers;
    } else if (atAddress >= settings.maxWorkersPerAddress) {
        limit = "--max-workers-per-address";
        value = settings.maxWorkersPerAddress;
    }
    if (limit == nullptr) {
        return true;
    }
    tamblo::logging::refuseOverLimit(&counters.workersRefused, logger, log4cplus::WARN_LOG_LEVEL,
                                     floodLogs.workerLimit, now, limit, value, [&](auto& line) {
                                         if (peer != nullptr) {
                                             line << "Refusing proxy connection from "
                                                  << addressKeyText(*peer);
                                         } else {
                                             line << "Refusing recording";
                                         }
                                     });
    return false;
}

void WorkerPool::removeProxyClient(uint32_t address) {
    const auto it = proxyWorkersPerAddress.find(address);
    if (it != proxyWorkersPerAddress.end() && --it->second == 0) {
        proxyWorkersPerAddress.erase(it);
    }
}
