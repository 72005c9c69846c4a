// The server object: listeners, watchers, timers, shutdown, and the calls its parts make back.
#include "server/TambloServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "common/Logging.h"
#include "server/ControlInterface.h"
#include "server/GatewayClient.h"
#include "server/GatewayDirectory.h"
#include "server/PeerServers.h"
#include "server/PendingClients.h"
#include "server/Tunnel.h"

TambloServer* serverObject = nullptr;

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kServer);

void processKeepaliveHandler(struct ev_loop*, ev_periodic*, int) {
    if (serverObject != nullptr) {
        serverObject->processKeepalive();
    }
}

void sessionCachePurgeTimerCb(struct ev_loop*, ev_periodic*, int) {
    if (serverObject != nullptr) {
        serverObject->purgeSessionCache();
    }
}

void signalWatcher_cb(struct ev_loop*, ev_signal*, int) {
    if (serverObject != nullptr) {
        serverObject->handleSignal();
    }
}
}  // namespace

TambloServer::TambloServer(const ServerSettings& settings, Clock& clock)
    : settings(settings),
      clock_(clock),
      gatewayPort_(loop, settings.gcPort, settings.interfaceName, *this, counters_) {
    workerReaper.countExitsIn(&counters_.workerExits);
    fdControl =
        bindListener(settings.ctrlPort, "bind failed for control connection", settings.ctrlAddress);
    control = std::make_unique<ControlInterface>(this);
    ev_io_init(ioControl.get(),
               (evMemberCallback<TambloServer, ev_io, &TambloServer::ioControl_cb>),
               fdControl.get(), EV_READ);
    ioControl.get()->data = this;
    ioControl.start(loop);

    fdProxy = bindListener(settings.proxyPort, "bind failed for proxy server connection");
    ev_io_init(ioProxy.get(), (evMemberCallback<TambloServer, ev_io, &TambloServer::ioProxy_cb>),
               fdProxy.get(), EV_READ);
    ioProxy.get()->data = this;
    ioProxy.start(loop);
    pendingClients = std::make_unique<PendingClients>(
        loop, settings.maxWaitingConnections, settings.requestHeadTimeout,
        [this](UniqueFd socket, const sockaddr_in& peer) {
            proxyClientReady(std::move(socket), peer);
        },
        [this](const sockaddr_in& peer, PendingClients::Drop reason) {
            proxyClientDropped(peer, reason);
        });

    ev_prepare_init(beforeWaitWatcher.get(),
                    (evMemberCallback<TambloServer, ev_prepare, &TambloServer::beforeWait>));
    beforeWaitWatcher.get()->data = this;
    beforeWaitWatcher.start(loop);

    if (!settings.directory.empty()) {
        try {
            directory_ = std::make_unique<GatewayDirectory>(loop, settings, gateways, clock_);
        } catch (const std::invalid_argument& error) {
            throw std::runtime_error(std::string("--directory: ") + error.what());
        }
        gateways.setListener(directory_.get());
        directory_->start();
        peers_ = std::make_unique<PeerServers>(
            loop, settings, *directory_, counters_, floodLogs_, clock_,
            [this](UniqueFd socket, const sockaddr_in& client, const sockaddr_in& local) {
                peerClientArrived(std::move(socket), client, local);
            });
    }

    serverObject = this;
    startTimers();
}

TambloServer::~TambloServer() {
    cleanup();
    workers.destroyAll();
    gateways.setListener(nullptr);
    gateways.clear();
    workerZygote_.stop();  // it ends when its socket does; reaped with the workers
    workerReaper.reapAllBlocking(WorkerReaper::kKillAfterSeconds);
}

UniqueFd TambloServer::bindListener(uint16_t port, const char* failureText,
                                    const std::string& addressText) {
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM, 0));
    const int on = 1;
    setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = anyAddress(port);
    if (!addressText.empty()) {
        inet_pton(AF_INET, addressText.c_str(), &address.sin_addr);  // checked on the command line
    }
    if (!listener.valid() ||
        ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        LOG4CPLUS_WARN(logger, "bind() call failed with error " << std::strerror(errno));
        throw std::runtime_error(failureText);
    }
    // A deep queue keeps the kernel from dropping clients' connection attempts while the loop
    // catches up with a burst; accepts run until the queue is empty, never waiting.
    ::listen(listener.get(), SOMAXCONN);
    fcntl(listener.get(), F_SETFL, fcntl(listener.get(), F_GETFL) | O_NONBLOCK);
    return listener;
}

void TambloServer::startTimers() {
    ev_periodic_init(keepaliveTimer.get(), processKeepaliveHandler, 0., KeepaliveTimeout * 60.,
                     nullptr);
    keepaliveTimer.start(loop);
    ev_signal_init(signalWatcher.get(), signalWatcher_cb, SIGTERM);
    signalWatcher.start(loop);
    ev_periodic_init(sessionCachePurgeTimer.get(), sessionCachePurgeTimerCb, 0.,
                     SessionCachePurgeTimeout * 60., nullptr);
    sessionCachePurgeTimer.start(loop);
}

uint16_t TambloServer::boundProxyPort() const {
    return localPortOf(fdProxy.get());
}
uint16_t TambloServer::boundControlPort() const {
    return localPortOf(fdControl.get());
}

void TambloServer::ioProxy_cb(int) {
    // An accept costs no fork: connections wait in the parent until they have bytes to read,
    // so a burst is taken in batches and a flood of silent connections never reaches a worker.
    for (int accepted = 0; accepted < kAcceptBatch; ++accepted) {
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        UniqueFd client(::accept4(fdProxy.get(), reinterpret_cast<sockaddr*>(&peer), &peerLength,
                                  SOCK_CLOEXEC));
        if (!client.valid()) {
            const int error = errno;
            if (error != EAGAIN && error != EWOULDBLOCK) {
                acceptFailed("proxy", error, proxyAcceptPause);
            }
            return;
        }
        workers.proxyClientSeen();
        if (workerSlotFor(&peer)) {
            addProxyClient(peer.sin_addr.s_addr);  // a waiting connection counts for its address
            pendingClients->hold(std::move(client), peer);
        }
    }
}

void TambloServer::proxyClientReady(UniqueFd client, const sockaddr_in& peer) {
    // The place the connection held under its address's limit passes to its worker.
    removeProxyClient(peer.sin_addr.s_addr);
    if (!workerSlotFor(&peer, false)) {
        return;
    }
    startProxyWorker(std::move(client), peer, nullptr);
}

void TambloServer::peerClientArrived(UniqueFd client, const sockaddr_in& realClient,
                                     const sockaddr_in& local) {
    // The limits apply to the client, not to the server that forwarded it.
    if (workerSlotFor(&realClient)) {
        startProxyWorker(std::move(client), realClient, &local);
    }
}

void TambloServer::startProxyWorker(UniqueFd client, const sockaddr_in& peer,
                                    const sockaddr_in* forwardedTo) {
    // With a directory every worker keeps its hand-off pair for a forward; a client forwarded
    // here is never forwarded again.
    const bool mayForward = peers_ != nullptr && forwardedTo == nullptr;
    Tunnel* tunnel = workers.takeSpare(client.get(), mayForward);
    if (tunnel == nullptr) {
        tunnel = new Tunnel(this);
        const bool started = peers_ != nullptr
                                 ? tunnel->startSpareProxy() && tunnel->handOver(client.get(), mayForward)
                                 : tunnel->startTcpProxy(client.get());
        if (!started) {
            tunnel->destroy();
        }
    }
    tunnel->setClientAddress(peer.sin_addr.s_addr);
    if (peers_ != nullptr) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (forwardedTo != nullptr) {
            local = *forwardedTo;
        } else {
            ::getsockname(client.get(), reinterpret_cast<sockaddr*>(&local), &length);
        }
        tunnel->setClientEndpoints(peer, local, forwardedTo != nullptr);
    }
    // The parent's copy closes here; the worker has its own.
}

std::shared_ptr<void> TambloServer::locateGateway(const std::string& key, GatewayLocated done) {
    return peers_ != nullptr ? peers_->locate(key, std::move(done)) : nullptr;
}

void TambloServer::proxyClientDropped(const sockaddr_in& peer, PendingClients::Drop reason) {
    removeProxyClient(peer.sin_addr.s_addr);
    switch (reason) {
        case PendingClients::Drop::Timeout:
            ++counters_.proxyConnectionsTimedOut;  // closed without a word, as a worker would
            break;
        case PendingClients::Drop::Evicted:
            tamblo::logging::refuseOverLimit(
                &counters_.proxyConnectionsEvicted, logger, log4cplus::WARN_LOG_LEVEL,
                floodLogs_.waitingLimit, nowSeconds(), "--max-waiting-connections",
                settings.maxWaitingConnections, [&](auto& line) {
                    line << "Closing the longest silent proxy connection, from "
                         << addressToString(peer, nullptr, 0);
                });
            break;
        case PendingClients::Drop::Closed:
            break;
    }
}

void TambloServer::acceptFailed(const char* listener, int error, AcceptPause& pause) {
    // A shortage of descriptors or memory pauses the listener; either way a flood of failing
    // accepts writes a bounded number of lines.
    const bool paused = pause.pauseOn(error);
    tamblo::logging::logLimited(
        logger, log4cplus::WARN_LOG_LEVEL, floodLogs_.acceptFailure, nowSeconds(), [&](auto& line) {
            line << "Could not accept incoming " << listener
                 << " connection: " << std::strerror(error);
            if (paused) {
                line << "; pausing for " << AcceptPause::kPauseSeconds << " s";
            }
        });
}

void TambloServer::renewWorkers() {
    workerZygote_.restart();
    retireSpares();
}

void TambloServer::configureGateways(GatewayAuthSetup setup) {
    const char* const policies[] = {"off", "pinned", "required"};
    LOG4CPLUS_INFO(logger,
                   "Gateway authentication: " << policies[static_cast<size_t>(setup.policy)] << ", "
                                              << setup.pinned.size() << " pinned key(s)"
                                              << (setup.serverKeys ? "" : ", no server key"));
    gatewayService.authenticated().configure(std::move(setup));
}

void TambloServer::reloadGatewayKeys() {
    if (settings.gatewayKeysFile.empty()) {
        return;
    }
    try {
        GatewayAuthSetup setup = loadGatewayAuth(settings, false);
        LOG4CPLUS_INFO(logger, "Read " << setup.pinned.size() << " pinned gateway key(s) again");
        gatewayService.authenticated().repin(std::move(setup.pinned));
    } catch (const std::runtime_error& error) {
        LOG4CPLUS_ERROR(logger, "Keeping the pinned gateway keys as they were: " << error.what());
    }
}

double TambloServer::nowSeconds() const {
    const timeval now = clock_.now();
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) * 1e-6;
}

void TambloServer::ioControl_cb(int) {
    const int error = control->acceptConnection(fdControl.get());
    if (error != 0 && error != EAGAIN && error != EWOULDBLOCK) {
        acceptFailed("control", error, controlAcceptPause);
    }
}

void TambloServer::beforeWait(int) {
    flushPipeFrames();
    flushDatagrams();
    if (serverObject == this) {
        workers.replenishSpares(nowSeconds());
    }
}

std::string TambloServer::addressToString(const sockaddr_in& address, const char* deviceIp,
                                          uint16_t port) {
    std::string text = addressKeyText(
        address, deviceIp != nullptr ? std::string_view(deviceIp) : std::string_view(), port);
    LOG4CPLUS_TRACE(logger, "addressToString returning " << text);
    return text;
}

void TambloServer::handleSignal() {
    if (shutdownStarted) {
        LOG4CPLUS_WARN(logger, "SIGTERM received again, not waiting for " << recordingsRunning()
                                                                          << " recording(s)");
        ev_break(loop, EVBREAK_ALL);
        return;
    }
    shutdownStarted = true;
    LOG4CPLUS_WARN(logger, "SIGTERM received, stopping main loop");
    // Nothing new is taken on; the gateways are still served, so that the recordings'
    // sessions with their cameras close properly.
    ioControl.stop();
    ioProxy.stop();
    workers.stopSpareTimer();
    retireSpares();
    for (Tunnel* tunnel : std::set<Tunnel*>(workers.tunnels())) {
        tunnel->stopVideoRecording(false);
    }
    if (recordingsRunning() == 0) {
        ev_break(loop, EVBREAK_ALL);
        return;
    }
    LOG4CPLUS_INFO(logger, "waiting up to " << kShutdownWaitSeconds << " s for "
                                            << recordingsRunning()
                                            << " recording(s) to complete their files");
    ev_timer_init(shutdownTimer.get(),
                  (evMemberCallback<TambloServer, ev_timer, &TambloServer::shutdownTimer_cb>),
                  kShutdownWaitSeconds, 0.);
    shutdownTimer.get()->data = this;
    shutdownTimer.start(loop);
}

void TambloServer::shutdownTimer_cb(int) {
    LOG4CPLUS_WARN(logger, recordingsRunning() << " recording(s) did not end within "
                                               << kShutdownWaitSeconds << " s, stopping");
    ev_break(loop, EVBREAK_ALL);
}

void TambloServer::endShutdownWhenDone() {
    if (shutdownStarted && shutdownTimer.active() && recordingsRunning() == 0) {
        LOG4CPLUS_INFO(logger, "every recording has ended");
        shutdownTimer.stop();
        ev_break(loop, EVBREAK_ALL);
    }
}

void TambloServer::cleanup() {
    if (serverObject != this && !gatewayPort_.receiving()) {
        return;  // already cleaned up
    }
    LOG4CPLUS_DEBUG(logger, "TambloServer::cleanup()");
    // Tell every worker to stop, the authorised and the not yet authorised alike.
    const std::set<Tunnel*> tunnels = workers.tunnels();
    for (Tunnel* tunnel : tunnels) {
        tunnel->stopVideoRecording(false);
    }
    sessions.clear();
    keepaliveTimer.stop();
    signalWatcher.stop();
    shutdownTimer.stop();
    sessionCachePurgeTimer.stop();
    if (serverObject == this) {
        serverObject = nullptr;
    }
    ioControl.stop();
    gatewayPort_.close();
    beforeWaitWatcher.stop();
    workers.stopSpareTimer();
    pendingClients->clear();
    // Spares have no client to finish: they end when their socket pair closes.
    retireSpares();
}

void TambloServer::io_cb_switch(const sockaddr_in& sender, uint8_t* datagram, size_t length) {
    gatewayService.receiveBatchBoundary();
    gatewayService.receivedDatagram(sender, datagram, length);
    gatewayService.receiveBatchBoundary();
    flushPipeFrames();
}

void TambloServer::registerSession(Tunnel* tunnel, const sockaddr_in& address,
                                   const std::string& deviceIp, uint16_t localPort) {
    sessions.registerSession(tunnel, addressToString(address, deviceIp.c_str(), localPort));
}

void TambloServer::tunnelDeleted(Tunnel* tunnel, const TunnelRemains& remains) {
    if (remains.stopReportDue) {
        sendCtrlCloseMessage(tunnel);
    }
    // The tables of the server only: the tunnel's own client record forgets it in the
    // tunnel's destructor, so this costs the same whatever the number of records.
    sessions.remove(tunnel);
    if (remains.framesQueued) {
        gatewayPort_.pipeFramesDropped(tunnel);
    }
    if (remains.proxyClient) {
        removeProxyClient(*remains.proxyClient);
    }
    workers.forget(tunnel);
    endShutdownWhenDone();
}

void TambloServer::sendCtrlCloseMessage(Tunnel* tunnel) {
    LOG4CPLUS_DEBUG(logger, "sendCtrlCloseMessage");
    const int socket = tunnel->getCtrlConnectionSocket();
    if (socket == -1) {
        endShutdownWhenDone();
        return;
    }
    // START made sure that every status line of this recording fits.
    const std::string line =
        control::statusLine(convertMacToVideoRecordingResponse(tunnel->getMac()), tunnel->getIP(),
                            tunnel->getPort(), "STOPPED")
            .value_or("");
    const ssize_t written = ::send(socket, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    LOG4CPLUS_DEBUG(logger, "sendCtrlCloseMessage: " << line << " " << written << " bytes written");
    endShutdownWhenDone();
}

ServerGauges TambloServer::gauges() const {
    ServerGauges gauges;
    gauges.gatewayClientsKeyed = gateways.keyedCount();
    gauges.gatewayClientsAuthenticated = gateways.authenticatedCount();
    gauges.gatewayClientsPlain =
        gateways.size() - gateways.keyedCount() - gateways.authenticatedCount();
    for (const Tunnel* tunnel : workers.tunnels()) {
        ++(tunnel->isSpare()         ? gauges.spareWorkers
           : tunnel->isProxyTunnel() ? gauges.proxyWorkers
                                     : gauges.recordingWorkers);
    }
    gauges.workersBeingReaped = workerReaper.pending();
    gauges.waitingConnections = pendingClients->size();
    gauges.controlConnections = control->connectionCount();
    gauges.sessions = sessions.size();
    gauges.workerWakeHoldSeconds = gatewayPort_.wakeModeration().holdSeconds();
    return gauges;
}
