// This server among the others that share the gateway directory: where a gateway registered
// at another server is (the directory's lookup, answered on the loop), and the peer port, where
// the other servers forward the clients of the gateways held here.
//
// The peer port takes connections only from --peer-networks. Each must start with a PROXY
// protocol version 2 header naming an IPv4 client; the parent reads exactly that header (it
// arrives whole in the first segment, our servers write it alone before any client byte) and
// hands the rest of the connection, the client's request, to a proxy worker as if the client
// had come to the proxy port itself: limits and logs see the real client. A connection that
// came this way is never forwarded again (one hop).
//
// The server object makes one when --directory is given and implements Arrived.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/CidrList.h"
#include "common/EventLoop.h"
#include "common/FileDescriptor.h"
#include "server/AcceptPause.h"
#include "server/PendingClients.h"
#include "server/TunnelHost.h"

class Clock;
class GatewayDirectory;
struct FloodLogs;
struct ServerCounters;
struct ServerSettings;

class PeerServers {
  public:
    using Location = TunnelHost::GatewayLocation;
    using Located = TunnelHost::GatewayLocated;
    // A forwarded client's connection, its header read: the client and where it connected.
    using Arrived =
        std::function<void(UniqueFd socket, const sockaddr_in& client, const sockaddr_in& local)>;

    // Binds the peer port (--peer-address); throws std::runtime_error when it cannot.
    PeerServers(struct ev_loop* loop, const ServerSettings& settings, GatewayDirectory& directory,
                ServerCounters& counters, FloodLogs& floodLogs, const Clock& clock,
                Arrived arrived);
    ~PeerServers();
    PeerServers(const PeerServers&) = delete;
    PeerServers& operator=(const PeerServers&) = delete;

    // Asks the directory where the gateway with this key is; done is called once, maybe at
    // once when the directory is away. The returned token dies with the asker: an answer that
    // comes after the asker is gone is dropped.
    std::shared_ptr<void> locate(const std::string& key, Located done);
    uint16_t boundPort() const;

  private:
    void acceptable(int revents);
    void headerReady(UniqueFd socket, const sockaddr_in& peer);
    void refused(const sockaddr_in& peer, const char* reason, uint64_t* counter);
    double nowSeconds() const;

    struct ev_loop* loop;
    const ServerSettings& settings;
    GatewayDirectory& directory;
    ServerCounters& counters;
    FloodLogs& floodLogs;
    const Clock& clock;
    Arrived arrived;
    CidrList networks;
    UniqueFd listener;
    EvIo acceptWatcher;
    AcceptPause acceptPause{loop, acceptWatcher};
    std::unique_ptr<PendingClients> waiting;  // accepted, header not there yet
};
