// The metrics endpoint: GET /metrics in the Prometheus text exposition format, served from
// the parent's own loop by libmicrohttpd in its external-event-loop mode.
//
// renderMetrics() turns the server's counters and gauges and the process's own figures into
// the exposition text; MetricsEndpoint serves it. The entry point owns the endpoint for the
// whole run. The parent stays single-threaded (it forks workers): libmicrohttpd runs no
// thread of its own here, its epoll descriptor is watched by an ev_io and its time-outs by
// an ev_timer, and a client that connects and sends nothing is dropped after a time-out
// without ever holding up the loop. The daemon's time-out only counts silence, so a client
// that trickles a header line now and then would keep its place for ever: each request also
// has an absolute deadline, counted from its connection's start or the end of the request
// before it on the same connection, past which the connection is cut. With a limit per client
// address as well, a few slow clients cannot keep the scrapes of others out. A forked worker
// closes the endpoint's descriptors at once.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "common/EventLoop.h"

struct MHD_Daemon;
struct MHD_Connection;
struct ServerCounters;
struct ServerGauges;
class TambloServer;

namespace metrics {

// The process's own figures, under their usual process_ names.
struct ProcessStats {
    double cpuSeconds = 0;
    uint64_t residentBytes = 0;
    uint64_t virtualBytes = 0;
    uint64_t openDescriptors = 0;
    uint64_t maxDescriptors = 0;
    double startTimeSeconds = 0;  // since the epoch
};
ProcessStats readProcessStats();

// The exposition text of one scrape.
std::string renderExposition(const ServerCounters& counters, const ServerGauges& gauges,
                             const ProcessStats& process);
std::string renderMetrics(const TambloServer& server);

// "ADDR:PORT" with a dotted IPv4 address and a port from 0 to 65535 (0: any free port).
std::optional<sockaddr_in> parseAddress(std::string_view text);

}  // namespace metrics

class MetricsEndpoint {
  public:
    static constexpr unsigned kConnectionTimeoutSeconds = 10;  // a silent client goes then
    static constexpr double kRequestDeadlineSeconds = 10;      // a slow request goes then
    static constexpr unsigned kConnectionLimit = 32;
    static constexpr unsigned kConnectionsPerAddress = 8;

    using Render = std::function<std::string()>;
    // Binds and starts serving on the loop; throws std::runtime_error when it cannot.
    MetricsEndpoint(const sockaddr_in& address, Render render, struct ev_loop* loop);
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    uint16_t port() const;

  private:
    friend struct MetricsEndpointCallbacks;  // libmicrohttpd's callbacks, in Metrics.cpp
    static void closeDescriptorsInWorker();
    bool isOurSocket(int descriptor) const;
    void forgetClosedConnections();
    void onReadable(int revents);
    void onTimeout(int revents);
    void onDeadline(int revents);
    void runDaemon();
    // Starts the deadline timer for the earliest request still running.
    void armDeadline();

    Render render_;
    MHD_Daemon* daemon_ = nullptr;
    int listenFd_ = -1;
    int epollFd_ = -1;
    uint16_t port_ = 0;
    std::set<int> connections_;  // client connections that may be open, closed in a worker
    // The connections the daemon serves now, with their current request's start on the loop's
    // clock; a connection past its deadline is shut down once (then false) and the daemon
    // closes it.
    struct Request {
        double started;
        bool running;
    };
    std::map<int, Request> requests_;
    EvIo readable_;
    EvTimer timeout_;
    EvTimer deadline_;
    struct ev_loop* loop_;
};
