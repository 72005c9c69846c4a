// The metrics endpoint: the exposition text and its libmicrohttpd binding on the loop.
#include "server/Metrics.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <microhttpd.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "common/Logging.h"
#include "server/AddressKey.h"
#include "server/CommandLine.h"
#include "server/GatewayDirectory.h"
#include "server/TambloServer.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kServer);

constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* kDatagramKindNames[kDatagramKinds] = {"control", "tunnel", "channel",
                                                            "unknown"};
// In the order of WorkerRefusal.
constexpr const char* kWorkerRefusalNames[kWorkerRefusals] = {
    "forged_configuration", "not_allowed", "foreign_packet", "foreign_channel", "bad_query"};

// Writes metric families: "# HELP" and "# TYPE" once per family, then its samples.
class Exposition {
  public:
    void family(const char* name, const char* type, const char* help) {
        name_ = name;
        out_ << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
    }
    template <typename Value>
    void sample(Value value, const std::string& labels = {}) {
        out_ << name_;
        if (!labels.empty()) {
            out_ << '{' << labels << '}';
        }
        out_ << ' ' << value << '\n';
    }
    template <typename Value>
    void single(const char* name, const char* type, const char* help, Value value) {
        family(name, type, help);
        sample(value);
    }
    // A sample under a name of the family's own (a summary's _sum and _count).
    template <typename Value>
    void sampleNamed(const char* name, Value value) {
        out_ << name << ' ' << value << '\n';
    }
    std::string text() const { return out_.str(); }
    Exposition() { out_ << std::setprecision(15); }

  private:
    std::ostringstream out_;
    const char* name_ = "";
};

std::string label(const char* name, const std::string& value) {
    return std::string(name) + "=\"" + value + '"';
}

void writeGateway(Exposition& out, const ServerCounters& c, const ServerGauges& g) {
    out.family("tamblo_gateway_clients", "gauge", "Registered gateway clients.");
    out.sample(g.gatewayClientsPlain, label("kind", "plain"));
    out.sample(g.gatewayClientsKeyed, label("kind", "keyed"));
    out.sample(g.gatewayClientsAuthenticated, label("kind", "authenticated"));
    out.single("tamblo_gateway_registrations_accepted_total", "counter", "Registrations accepted.",
               c.registrationsAccepted);
    out.family("tamblo_gateway_registrations_refused_total", "counter",
               "Registrations refused, by reason.");
    out.sample(c.registrationsRefusedOtherIp, label("reason", "other_ip"));
    out.sample(c.registrationsRefusedKey, label("reason", "unusable_key"));
    out.sample(c.registrationsRefusedMalformed, label("reason", "malformed"));
    out.sample(c.registrationsRefusedLimit, label("reason", "limit"));
    out.sample(c.registrationsRefusedKeyRate, label("reason", "key_rate"));
    out.sample(c.registrationsRefusedPolicy, label("reason", "policy"));
    out.sample(c.registrationsRefusedV1Share, label("reason", "v1_share"));
    out.family("tamblo_gateway_registrations_total", "counter",
               "Registrations accepted, by version (version 2: handshakes answered).");
    out.sample(c.registrationsAccepted, label("version", "1"));
    out.sample(c.handshakesAnswered, label("version", "2"));
    out.single("tamblo_gateway_cookie_replies_total", "counter",
               "Handshakes answered with a cookie reply under load.", c.cookieRepliesSent);
    static const char* const handshakeReasons[kHandshakeFailures] = {
        "disabled", "malformed", "mac", "undecryptable", "unknown_key", "replayed", "failed"};
    out.family("tamblo_gateway_handshake_failures_total", "counter",
               "Handshake initiations not answered, by reason.");
    for (size_t i = 0; i < kHandshakeFailures; ++i) {
        out.sample(c.handshakeFailures[i], label("reason", handshakeReasons[i]));
    }
    static const char* const transportReasons[kTransportDrops] = {
        "malformed", "unknown_index", "replayed", "forged", "expired", "not_allowed"};
    out.family("tamblo_gateway_transport_dropped_total", "counter",
               "Authenticated transport datagrams dropped, by reason.");
    for (size_t i = 0; i < kTransportDrops; ++i) {
        out.sample(c.transportDropped[i], label("reason", transportReasons[i]));
    }
    out.single("tamblo_gateway_roams_total", "counter",
               "Authenticated gateways whose datagrams came from a new address.", c.gatewayRoams);
    out.single("tamblo_gateway_keepalives_answered_total", "counter", "Keepalives answered.",
               c.keepalivesAnswered);
    out.single("tamblo_gateway_expiries_total", "counter",
               "Gateway clients removed after 120 s without a keepalive.", c.expiries);

    const struct {
        const char* name;
        const char* help;
        const DatagramCounts& counts;
        bool bytes;
    } traffic[] = {
        {"tamblo_gateway_datagrams_received_total", "Datagrams received, by kind.", c.received,
         false},
        {"tamblo_gateway_bytes_received_total", "Bytes received in datagrams, by kind.", c.received,
         true},
        {"tamblo_gateway_datagrams_sent_total", "Datagrams sent, by kind.", c.sent, false},
        {"tamblo_gateway_bytes_sent_total", "Bytes sent in datagrams, by kind.", c.sent, true},
    };
    for (const auto& family : traffic) {
        out.family(family.name, "counter", family.help);
        for (size_t kind = 0; kind < kDatagramKinds; ++kind) {
            out.sample(family.bytes ? family.counts.bytes[kind] : family.counts.datagrams[kind],
                       label("kind", kDatagramKindNames[kind]));
        }
    }

    out.family("tamblo_gateway_datagrams_dropped_total", "counter",
               "Datagrams dropped (registrations not included), by reason.");
    const std::pair<const char*, uint64_t> drops[] = {
        {"too_short", c.tooShortDropped},
        {"malformed", c.malformedDropped},
        {"unknown_sender", c.unknownSenderDropped},
        {"unknown_gateway", c.unknownGatewayDropped},
        {"unknown_session", c.unknownSessionDropped},
        {"unknown_channel", c.unknownChannelDropped},
        {"undecryptable", c.undecryptableDropped},
        {"plaintext_on_keyed", c.plaintextOnKeyedDropped},
        {"other_address", c.keepalivesFromOtherAddress},
        {"worker_pipe_full", c.tunnelPacketsPipeFullDropped},
        {"worker_pipe_full_channel", c.channelDatagramsPipeFullDropped},
    };
    for (const auto& [reason, value] : drops) {
        out.sample(value, label("reason", reason));
    }
}

void writeWorkers(Exposition& out, const ServerCounters& c, const ServerGauges& g) {
    out.family("tamblo_workers", "gauge", "Live worker processes, by kind.");
    out.sample(g.proxyWorkers, label("kind", "proxy"));
    out.sample(g.recordingWorkers, label("kind", "recording"));
    out.sample(g.spareWorkers, label("kind", "spare"));
    out.single("tamblo_worker_wake_hold_seconds", "gauge",
               "How long tunnel packets for a worker woken a moment ago wait now (0: not busy).",
               g.workerWakeHoldSeconds);
    out.family("tamblo_worker_wakes_total", "counter",
               "Tunnel packets for workers at the end of a receive batch: written, or held.");
    out.sample(c.workerWakeWrites, label("outcome", "written"));
    out.sample(c.workerWakesHeld, label("outcome", "held"));
    out.single("tamblo_workers_reaping", "gauge",
               "Workers of ended tunnels that have not been reaped yet.", g.workersBeingReaped);
    out.family("tamblo_workers_started_total", "counter", "Workers forked, by kind.");
    out.sample(c.proxyWorkersStarted, label("kind", "proxy"));
    out.sample(c.recordingWorkersStarted, label("kind", "recording"));
    out.single("tamblo_worker_fork_failures_total", "counter", "Forks that failed.",
               c.forkFailures);
    out.family("tamblo_worker_exits_total", "counter",
               "Workers reaped, by exit status or by the signal that ended them.");
    for (const auto& [status, count] : c.workerExits.byStatus) {
        out.sample(count, label("status", std::to_string(status)));
    }
    for (const auto& [signal, count] : c.workerExits.bySignal) {
        out.sample(count, label("signal", std::to_string(signal)));
    }
    out.single("tamblo_workers_refused_total", "counter",
               "Proxy connections closed before a fork, and recordings refused: over a worker "
               "limit.",
               c.workersRefused);
    out.single("tamblo_proxy_connections_waiting", "gauge",
               "Proxy connections held without a worker until they send their first bytes.",
               g.waitingConnections);
    out.family("tamblo_proxy_connections_dropped_total", "counter",
               "Proxy connections closed before they sent anything, by reason.");
    out.sample(c.proxyConnectionsTimedOut, label("reason", "timeout"));
    out.sample(c.proxyConnectionsEvicted, label("reason", "waiting_limit"));
    out.single("tamblo_control_connections", "gauge", "Open control connections.",
               g.controlConnections);
    out.family("tamblo_control_connections_closed_total", "counter",
               "Control connections closed by the server, by reason.");
    out.sample(c.controlConnectionsRefused, label("reason", "limit"));
    out.sample(c.controlConnectionsIdleClosed, label("reason", "idle"));
    out.single("tamblo_sessions", "gauge", "Authorised tunnels in the session table.", g.sessions);
    out.family("tamblo_session_cache_lookups_total", "counter",
               "Cached-session queries of workers, by result.");
    out.sample(c.sessionCacheHits, label("result", "hit"));
    out.sample(c.sessionCacheMisses, label("result", "miss"));
    out.family("tamblo_configuration_lookups_total", "counter",
               "The server's lookups at the configuration service: answered (authorised, its "
               "gateway connected), refused (by the answer, or no such gateway connected) or "
               "failed (the service could not be asked).");
    out.sample(c.configurationsAnswered, label("result", "answered"));
    out.sample(c.configurationsRefused, label("result", "refused"));
    out.sample(c.configurationsFailed, label("result", "failed"));
    out.family("tamblo_worker_messages_refused_total", "counter",
               "Messages from workers dropped unheeded, by reason.");
    for (size_t reason = 0; reason < kWorkerRefusals; ++reason) {
        out.sample(c.workerMessagesRefused[reason], label("reason", kWorkerRefusalNames[reason]));
    }
    out.family("tamblo_relayed_bytes_total", "counter",
               "Bytes of tunnel packets (TCP segments) through the server, by direction.");
    out.sample(c.relayedToDevices, label("direction", "to_devices"));
    out.sample(c.relayedFromDevices, label("direction", "from_devices"));
}

void writeProcess(Exposition& out, const metrics::ProcessStats& p) {
    out.single("process_cpu_seconds_total", "counter", "User and system CPU time in seconds.",
               p.cpuSeconds);
    out.single("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
               p.residentBytes);
    out.single("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.",
               p.virtualBytes);
    out.single("process_open_fds", "gauge", "Open file descriptors.", p.openDescriptors);
    out.single("process_max_fds", "gauge", "Limit of open file descriptors.", p.maxDescriptors);
    out.single("process_start_time_seconds", "gauge",
               "Start time of the process since the epoch in seconds.", p.startTimeSeconds);
}

uint64_t countDescriptors() {
    DIR* directory = ::opendir("/proc/self/fd");
    if (directory == nullptr) {
        return 0;
    }
    uint64_t count = 0;
    while (const dirent* entry = ::readdir(directory)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    ::closedir(directory);
    return count > 0 ? count - 1 : 0;  // the directory's own descriptor
}

// The boot time from the clocks (the wall clock less the time since boot), not from
// /proc/stat, which a unit that shows processes only in /proc (ProcSubset=pid) hides.
double bootTimeSeconds() {
    timespec wall{};
    timespec sinceBoot{};
    if (::clock_gettime(CLOCK_REALTIME, &wall) != 0 ||
        ::clock_gettime(CLOCK_BOOTTIME, &sinceBoot) != 0) {
        return 0;
    }
    return static_cast<double>(wall.tv_sec - sinceBoot.tv_sec) +
           static_cast<double>(wall.tv_nsec - sinceBoot.tv_nsec) * 1e-9;
}
}  // namespace

namespace metrics {

ProcessStats readProcessStats() {
    ProcessStats stats;
    std::ifstream file("/proc/self/stat");
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    // Fields after the command name in parentheses (which may hold blanks), from field 3.
    const size_t close = text.rfind(')');
    if (close != std::string::npos) {
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
        double utime = 0, stime = 0, start = 0, vsize = 0, rss = 0;
        for (int index = 3; fields >> field && index <= 24; ++index) {
            const double value = std::atof(field.c_str());
            utime = index == 14 ? value : utime;
            stime = index == 15 ? value : stime;
            start = index == 22 ? value : start;
            vsize = index == 23 ? value : vsize;
            rss = index == 24 ? value : rss;
        }
        stats.cpuSeconds = (utime + stime) / ticks;
        stats.startTimeSeconds = bootTimeSeconds() + start / ticks;
        stats.virtualBytes = static_cast<uint64_t>(vsize);
        stats.residentBytes = static_cast<uint64_t>(rss) * static_cast<uint64_t>(::getpagesize());
    }
    stats.openDescriptors = countDescriptors();
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        stats.maxDescriptors = limit.rlim_cur;
    }
    return stats;
}

std::string renderExposition(const ServerCounters& counters, const ServerGauges& gauges,
                             const ProcessStats& process) {
    Exposition out;
    out.family("tamblo_build_info", "gauge", "Version of the running server.");
    out.sample(1, label("version", serverVersion()));
    writeGateway(out, counters, gauges);
    writeWorkers(out, counters, gauges);
    writeProcess(out, process);
    return out.text();
}

namespace {
// Clients carried between the servers sharing the directory.
void writeForwards(Exposition& out, const ServerCounters& c) {
    out.family("tamblo_forwarded_connections_total", "counter",
               "Client connections carried between servers, by direction and outcome.");
    out.sample(c.forwardsOut, label("direction", "out") + "," + label("outcome", "forwarded"));
    out.sample(c.forwardFailures, label("direction", "out") + "," + label("outcome", "failed"));
    out.sample(c.forwardsUnlocated,
               label("direction", "out") + "," + label("outcome", "directory_unavailable"));
    out.sample(c.forwardsIn, label("direction", "in") + "," + label("outcome", "accepted"));
    out.sample(c.peerRefusedNetwork,
               label("direction", "in") + "," + label("outcome", "refused_network"));
    out.sample(c.peerRefusedHeader,
               label("direction", "in") + "," + label("outcome", "refused_header"));
}

void writeDirectory(Exposition& out, const Directory& directory) {
    const DirectoryStats& d = directory.stats();
    const PgClientStats& pg = directory.client().stats();
    out.single("tamblo_directory_ready", "gauge",
               "1 while the gateway directory's schema and this server's row are in place.",
               directory.ready() ? 1 : 0);
    out.family("tamblo_directory_statements_total", "counter", "Directory statements, by outcome.");
    out.sample(pg.completed, label("outcome", "ok"));
    out.sample(pg.failed, label("outcome", "failed"));
    out.sample(pg.timedOut, label("outcome", "timed_out"));
    out.sample(pg.unavailable, label("outcome", "unavailable"));
    out.family("tamblo_directory_statement_seconds", "summary",
               "Time from submit to answer of the directory statements answered Ok.");
    out.sampleNamed("tamblo_directory_statement_seconds_sum", pg.latencySeconds);
    out.sampleNamed("tamblo_directory_statement_seconds_count", pg.completed);
    out.single("tamblo_directory_connects_total", "counter",
               "Connections made to the directory's database.", pg.connects);
    out.single("tamblo_directory_connect_failures_total", "counter",
               "Connection attempts to the directory's database that failed.", pg.connectFailures);
    out.family("tamblo_directory_gateways_total", "counter",
               "Gateways written to the directory, by change.");
    out.sample(d.claimed, label("change", "claimed"));
    out.sample(d.refreshed, label("change", "refreshed"));
    out.sample(d.released, label("change", "released"));
    out.sample(d.taken, label("change", "taken_by_another_server"));
    out.family("tamblo_directory_lookups_total", "counter", "Directory lookups, by outcome.");
    out.sample(d.lookups, label("outcome", "answered"));
    out.sample(d.lookupFailures, label("outcome", "failed"));
    out.single("tamblo_directory_changes_waiting", "gauge",
               "Changes of this server's gateways waiting to be written.", directory.pending());
}
}  // namespace

std::string renderMetrics(const TambloServer& server) {
    std::string text = renderExposition(server.counters(), server.gauges(), readProcessStats());
    if (const GatewayDirectory* directory = server.gatewayDirectory()) {
        Exposition out;
        writeDirectory(out, directory->directory());
        writeForwards(out, server.counters());
        text += out.text();
    }
    return text;
}

std::optional<sockaddr_in> parseAddress(std::string_view text) {
    return parseIpv4Endpoint(text);
}

}  // namespace metrics

// ---------------------------------------------------------------------------------------------

namespace {
// The one endpoint of the process, for the fork handler.
MetricsEndpoint* currentEndpoint = nullptr;
}  // namespace

struct MetricsEndpointCallbacks {
    static MHD_Result answer(void* self, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char*, size_t*, void**) {
        auto* endpoint = static_cast<MetricsEndpoint*>(self);
        unsigned status = MHD_HTTP_OK;
        std::string body;
        if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
            std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
            status = MHD_HTTP_METHOD_NOT_ALLOWED;
            body = "only GET\n";
        } else if (std::strcmp(url, "/metrics") != 0) {
            status = MHD_HTTP_NOT_FOUND;
            body = "metrics are at /metrics\n";
        } else {
            body = endpoint->render_();
        }
        MHD_Response* response = MHD_create_response_from_buffer(
            body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
        if (response == nullptr) {
            return MHD_NO;
        }
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                                status == MHD_HTTP_OK ? kContentType : "text/plain");
        if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
            MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
        }
        const MHD_Result result = MHD_queue_response(connection, status, response);
        MHD_destroy_response(response);
        return result;
    }

    // A connection's descriptor is remembered when it starts. The daemon may close it only
    // after it reports the end, so it is forgotten once it no longer is one of ours.
    static void connectionChanged(void* self, MHD_Connection* connection, void**,
                                  MHD_ConnectionNotificationCode event) {
        auto* endpoint = static_cast<MetricsEndpoint*>(self);
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info == nullptr) {
            return;
        }
        if (event == MHD_CONNECTION_NOTIFY_STARTED) {
            endpoint->connections_.insert(info->connect_fd);
            endpoint->requests_[info->connect_fd] = {ev_now(endpoint->loop_), true};
        } else {
            endpoint->requests_.erase(info->connect_fd);
        }
    }

    // A request was answered (or failed): the next one on the connection starts its own time.
    static void requestCompleted(void* self, MHD_Connection* connection, void**,
                                 MHD_RequestTerminationCode) {
        auto* endpoint = static_cast<MetricsEndpoint*>(self);
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        const auto it = info != nullptr ? endpoint->requests_.find(info->connect_fd)
                                        : endpoint->requests_.end();
        if (it != endpoint->requests_.end() && it->second.running) {
            it->second.started = ev_now(endpoint->loop_);
        }
    }

    static void log(void*, const char* format, va_list arguments) {
        if (logger.isEnabledFor(log4cplus::DEBUG_LOG_LEVEL)) {
            char text[512];
            std::vsnprintf(text, sizeof text, format, arguments);
            LOG4CPLUS_DEBUG(logger, "metrics endpoint: " << text);
        }
    }
};

MetricsEndpoint::MetricsEndpoint(const sockaddr_in& address, Render render, struct ev_loop* loop)
    : render_(std::move(render)), loop_(loop) {
    static bool forkHandlerInstalled = false;
    if (!forkHandlerInstalled) {
        pthread_atfork(nullptr, nullptr, &MetricsEndpoint::closeDescriptorsInWorker);
        forkHandlerInstalled = true;
    }
    // No thread of its own: MHD_USE_EPOLL without an internal polling thread leaves the
    // polling to us. Time-outs drop clients that stall; the connection limit bounds them.
    daemon_ = MHD_start_daemon(
        MHD_USE_EPOLL | MHD_USE_ERROR_LOG, 0, nullptr, nullptr, &MetricsEndpointCallbacks::answer,
        this, MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u,
        MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds, MHD_OPTION_CONNECTION_LIMIT,
        kConnectionLimit, MHD_OPTION_PER_IP_CONNECTION_LIMIT, kConnectionsPerAddress,
        MHD_OPTION_NOTIFY_CONNECTION, &MetricsEndpointCallbacks::connectionChanged, this,
        MHD_OPTION_NOTIFY_COMPLETED, &MetricsEndpointCallbacks::requestCompleted, this,
        MHD_OPTION_EXTERNAL_LOGGER, &MetricsEndpointCallbacks::log, nullptr, MHD_OPTION_END);
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    if (daemon_ == nullptr) {
        LOG4CPLUS_WARN(logger, "bind() call failed for the metrics endpoint on "
                                   << host << ":" << ntohs(address.sin_port));
        throw std::runtime_error("bind failed for metrics endpoint");
    }
    listenFd_ = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_LISTEN_FD)->listen_fd;
    epollFd_ = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD)->epoll_fd;
    port_ = port();
    currentEndpoint = this;

    ev_io_init(readable_.get(),
               (evMemberCallback<MetricsEndpoint, ev_io, &MetricsEndpoint::onReadable>), epollFd_,
               EV_READ);
    readable_.get()->data = this;
    readable_.start(loop_);
    ev_init(timeout_.get(),
            (evMemberCallback<MetricsEndpoint, ev_timer, &MetricsEndpoint::onTimeout>));
    timeout_.get()->data = this;
    ev_init(deadline_.get(),
            (evMemberCallback<MetricsEndpoint, ev_timer, &MetricsEndpoint::onDeadline>));
    deadline_.get()->data = this;
    LOG4CPLUS_INFO(logger, "Serving metrics on http://" << host << ":" << port_ << "/metrics");
    runDaemon();
}

MetricsEndpoint::~MetricsEndpoint() {
    readable_.stop();
    timeout_.stop();
    deadline_.stop();
    if (currentEndpoint == this) {
        currentEndpoint = nullptr;
    }
    MHD_stop_daemon(daemon_);
}

uint16_t MetricsEndpoint::port() const {
    sockaddr_in address;
    socklen_t length = sizeof address;
    if (getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

bool MetricsEndpoint::isOurSocket(int descriptor) const {
    // Only the endpoint's sockets have its port as their local port.
    sockaddr_in address;
    socklen_t length = sizeof address;
    return getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
           address.sin_family == AF_INET && ntohs(address.sin_port) == port_;
}

void MetricsEndpoint::forgetClosedConnections() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        it = isOurSocket(*it) ? std::next(it) : connections_.erase(it);
    }
}

void MetricsEndpoint::closeDescriptorsInWorker() {
    // Runs in every new child: a worker must hold none of the endpoint's sockets, or a
    // scraper's connection would stay open as long as the worker lives.
    MetricsEndpoint* endpoint = currentEndpoint;
    if (endpoint == nullptr) {
        return;
    }
    for (const int descriptor : endpoint->connections_) {
        if (endpoint->isOurSocket(descriptor)) {
            ::close(descriptor);
        }
    }
    ::close(endpoint->listenFd_);
    ::close(endpoint->epollFd_);
}

void MetricsEndpoint::onReadable(int) {
    runDaemon();
}

void MetricsEndpoint::onTimeout(int) {
    runDaemon();
}

void MetricsEndpoint::onDeadline(int) {
    const double now = ev_now(loop_);
    for (auto& [descriptor, request] : requests_) {
        if (request.running && now - request.started >= kRequestDeadlineSeconds) {
            // The daemon reads the end of the stream and closes the connection itself.
            request.running = false;
            ::shutdown(descriptor, SHUT_RDWR);
            LOG4CPLUS_DEBUG(logger, "metrics endpoint: request on connection "
                                        << descriptor << " passed its deadline of "
                                        << kRequestDeadlineSeconds << " s, closing it");
        }
    }
    runDaemon();
}

void MetricsEndpoint::armDeadline() {
    deadline_.stop();
    double earliest = -1;
    for (const auto& [descriptor, request] : requests_) {
        if (request.running && (earliest < 0 || request.started < earliest)) {
            earliest = request.started;
        }
    }
    if (earliest >= 0) {
        const double due = earliest + kRequestDeadlineSeconds - ev_now(loop_);
        ev_timer_set(deadline_.get(), due > 0 ? due : 0., 0.);
        deadline_.start(loop_);
    }
}

void MetricsEndpoint::runDaemon() {
    MHD_run(daemon_);
    forgetClosedConnections();
    armDeadline();
    // The daemon says when it must run next even without activity: time-outs of idle
    // connections, or work left over from this run (then 0).
    MHD_UNSIGNED_LONG_LONG milliseconds = 0;
    timeout_.stop();
    if (MHD_get_timeout(daemon_, &milliseconds) == MHD_YES) {
        ev_timer_set(timeout_.get(), static_cast<double>(milliseconds) / 1000.0, 0.);
        timeout_.start(loop_);
    }
}
