// The worker pool: every live tunnel (the parent's handle on one worker), the spare proxy
// workers forked ahead of need and the connections still in their set-up, the tunnels
// destroyed and deleted on the loop's next pass, and the worker limits (in all, and proxy
// workers per client address).
//
// The server object owns one and is the TunnelHost its tunnels are made with; it forwards
// the tunnels' calls about their lifetime here and asks the pool before it forks a worker.
#pragma once

#include <netinet/in.h>

#include <boost/unordered_map.hpp>
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "common/EventLoop.h"
#include "server/ServerCounters.h"

class Tunnel;
class TunnelHost;
struct ServerSettings;

class WorkerPool {
  public:
    // A connection's set-up defers the forks of spares for this long at most.
    static constexpr double kSetupGraceSeconds = 0.02;

    WorkerPool(TunnelHost& host, const ServerSettings& settings, ServerCounters& counters,
               FloodLogs& floodLogs);
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Live tunnels: a tunnel enters at its start and leaves in its destructor.
    void add(Tunnel* tunnel) { tunnels_.insert(tunnel); }
    void forget(Tunnel* tunnel) { tunnels_.erase(tunnel); }
    const std::set<Tunnel*>& tunnels() const { return tunnels_; }
    size_t size() const { return tunnels_.size(); }
    // Recordings that have not reported their end yet.
    size_t recordingsRunning() const;
    // The tunnel is deleted before the loop next waits.
    void deferDelete(Tunnel* tunnel);
    // Destroys every tunnel and deletes them at once (the server's end).
    void destroyAll();

    // Spares. The first client of the proxy port switches them on.
    void proxyClientSeen() { clientSeen = true; }
    // A spare that took the client socket (now in its set-up), or nullptr.
    Tunnel* takeSpare(int client, bool mayForward = false);
    // Forks spares up to the setting, while no client waits on its connection's set-up (a
    // fork would hold up its first byte) for less than kSetupGraceSeconds.
    void replenishSpares(double now);
    void retireSpares();
    size_t spareCount() const { return spares.size(); }
    // The device's first answer bytes reached a connection in set-up.
    void setupDone(Tunnel* tunnel);
    // A tunnel ends (destroy()): a spare leaves the pool, a connection its set-up.
    void tunnelEnding(Tunnel* tunnel);
    void stopSpareTimer() { spareTimer.stop(); }

    // True when a worker may be forked for the peer (a proxy client) or a recording (none);
    // perAddress false: the peer already holds its place under its address's limit. A refusal
    // is counted and logged at a bounded rate.
    bool slotFor(const sockaddr_in* peer, bool perAddress, double now);
    // A proxy worker, or a connection waiting for its first bytes, serves a client of this
    // address (network order) until it is forgotten.
    void addProxyClient(uint32_t address) { ++proxyWorkersPerAddress[address]; }
    void removeProxyClient(uint32_t address);

  private:
    void deleteDoomed(int revents);

    TunnelHost& host;
    const ServerSettings& settings;
    ServerCounters& counters;
    FloodLogs& floodLogs;

    std::set<Tunnel*> tunnels_;      // every live tunnel, for fork hygiene and shutdown
    std::vector<Tunnel*> spares;     // forked ahead of need, waiting for a client
    std::vector<Tunnel*> settingUp;  // handed a client, its first answer not seen yet
    bool clientSeen = false;         // spares are kept once the proxy port is in use
    EvTimer spareTimer;              // a set-up that takes long stops deferring spares
    std::vector<Tunnel*> doomed;     // destroyed, deleted on the next iteration
    EvWatcher<ev_prepare> doomedWatcher;
    boost::unordered_map<uint32_t, uint32_t> proxyWorkersPerAddress;
};
