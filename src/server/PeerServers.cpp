// The directory's answer to "where is this gateway", and the peer port's listener.
#include "server/PeerServers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/Clock.h"
#include "common/Logging.h"
#include "protocol/ProxyHeader.h"
#include "server/AddressKey.h"
#include "server/CommandLine.h"
#include "server/GatewayDirectory.h"
#include "server/ServerCounters.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kServer);
}  // namespace

PeerServers::PeerServers(struct ev_loop* loop, const ServerSettings& settings,
                         GatewayDirectory& directory, ServerCounters& counters,
                         FloodLogs& floodLogs, const Clock& clock, Arrived arrived)
    : loop(loop),
      settings(settings),
      directory(directory),
      counters(counters),
      floodLogs(floodLogs),
      clock(clock),
      arrived(std::move(arrived)) {
    if (const std::optional<CidrList> parsed = CidrList::parse(settings.peerNetworks)) {
        networks = *parsed;  // checked on the command line
    }
    sockaddr_in address{};
    if (!parseAddressPort(settings.peerAddress, &address)) {
        throw std::runtime_error("--peer-address is not ADDR:PORT");
    }
    listener.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int on = 1;
    if (listener.valid()) {
        ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (!listener.valid() ||
        ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.get(), SOMAXCONN) != 0) {
        throw std::runtime_error("cannot listen on the peer port " + settings.peerAddress + ": " +
                                 std::strerror(errno));
    }
    ev_io_init(acceptWatcher.get(),
               (evMemberCallback<PeerServers, ev_io, &PeerServers::acceptable>), listener.get(),
               EV_READ);
    acceptWatcher.get()->data = this;
    acceptWatcher.start(loop);
    waiting = std::make_unique<PendingClients>(
        loop, settings.maxWaitingConnections, settings.requestHeadTimeout,
        [this](UniqueFd socket, const sockaddr_in& peer) { headerReady(std::move(socket), peer); },
        [this](const sockaddr_in& peer, PendingClients::Drop reason) {
            if (reason != PendingClients::Drop::Closed) {
                refused(peer, "no PROXY header in time", &this->counters.peerRefusedHeader);
            }
        });
}

PeerServers::~PeerServers() = default;

uint16_t PeerServers::boundPort() const {
    return localPortOf(listener.get());
}

double PeerServers::nowSeconds() const {
    const timeval now = clock.now();
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) * 1e-6;
}

std::shared_ptr<void> PeerServers::locate(const std::string& key, Located done) {
    auto token = std::make_shared<bool>(true);
    std::weak_ptr<bool> alive = token;
    const std::string self = settings.serverId;
    const PgClient::Submit submitted = directory.directory().lookup(
        key, [alive, done, self](Directory::LookupStatus status, const Directory::Location& at) {
            if (alive.expired()) {
                return;
            }
            switch (status) {
                case Directory::LookupStatus::Found:
                    // The directory may still name this server for a gateway that just left.
                    if (at.serverId == self) {
                        done(Location::Nowhere, std::string());
                    } else {
                        done(Location::Elsewhere, at.peerAddress);
                    }
                    return;
                case Directory::LookupStatus::NotFound:
                    done(Location::Nowhere, std::string());
                    return;
                case Directory::LookupStatus::Failed:
                    done(Location::Unknown, std::string());
                    return;
            }
        });
    if (submitted != PgClient::Submit::Queued) {
        done(Location::Unknown, std::string());
        return nullptr;  // answered already
    }
    return token;
}

void PeerServers::acceptable(int) {
    for (int accepted = 0; accepted < 64; ++accepted) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        UniqueFd socket(::accept4(listener.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                                  SOCK_CLOEXEC));
        if (!socket.valid()) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && !acceptPause.pauseOn(errno)) {
                LOG4CPLUS_WARN(logger, "peer port: accept failed: " << std::strerror(errno));
            }
            return;
        }
        if (!networks.contains(peer.sin_addr)) {
            refused(peer, "not in --peer-networks", &counters.peerRefusedNetwork);
            continue;  // closed here, before any byte is read
        }
        waiting->hold(std::move(socket), peer);
    }
}

void PeerServers::headerReady(UniqueFd socket, const sockaddr_in& peer) {
    // Peeked, then exactly the header is read: the client's bytes stay for its worker.
    uint8_t bytes[proxy_header::kMaxHeaderSize];
    const ssize_t n = ::recv(socket.get(), bytes, sizeof bytes, MSG_PEEK | MSG_DONTWAIT);
    proxy_header::Header header;
    size_t consumed = 0;
    const proxy_header::Status status =
        n > 0 ? proxy_header::decode(bytes, static_cast<size_t>(n), &header, &consumed)
              : proxy_header::Status::NeedMore;
    if (status != proxy_header::Status::Ok || header.local) {
        refused(peer,
                status != proxy_header::Status::Ok ? proxy_header::statusText(status)
                                                   : "a LOCAL header names no client",
                &counters.peerRefusedHeader);
        return;
    }
    if (::recv(socket.get(), bytes, consumed, MSG_DONTWAIT) != static_cast<ssize_t>(consumed)) {
        refused(peer, "the header could not be read", &counters.peerRefusedHeader);
        return;
    }
    ++counters.forwardsIn;
    LOG4CPLUS_DEBUG(logger, "peer " << addressKeyText(peer) << " forwards client "
                                    << addressKeyText(header.source));
    arrived(std::move(socket), header.source, header.destination);
}

void PeerServers::refused(const sockaddr_in& peer, const char* reason, uint64_t* counter) {
    ++*counter;
    tamblo::logging::logLimited(logger, log4cplus::WARN_LOG_LEVEL, floodLogs.peerRefused,
                                nowSeconds(), [&](auto& line) {
                                    line << "Refusing a connection to the peer port from "
                                         << addressKeyText(peer) << ": " << reason;
                                });
}
