// The one server object of the parent process, a face over its parts: the gateway port
// (GatewayPort), the gateway protocol (GatewayService) and its records (GatewayRegistry), the
// workers (WorkerPool), the session table (SessionTable), the recordings (Recordings) and the
// control interface. It holds the control and proxy listeners, the keepalive and
// session-cache timers and the SIGTERM watcher, all on the default loop, and keeps the names
// the rest of the system calls (io_cb_switch, registerTamClient, processKeepalive,
// startVideoRecording, ...) as forwards to its parts.
//
// Lives on the entry point's stack for the whole run. Tunnels own themselves; the tables hold
// plain pointers that their destructors remove. Tunnels, gateway clients and the control
// interface see it only through TunnelHost, GatewayClientHost and ControlHost; its counters
// are in ServerCounters.h.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <boost/functional/hash.hpp>
#include <boost/unordered_map.hpp>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/Clock.h"
#include "common/EventLoop.h"
#include "common/FileDescriptor.h"
#include "common/RateLimit.h"
#include "protocol/GatewayDatagram.h"
#include "protocol/RecordingRequest.h"
#include "server/AcceptPause.h"
#include "server/AddressKey.h"
#include "server/CommandLine.h"
#include "server/ControlInterface.h"
#include "server/GatewayPort.h"
#include "server/GatewayRegistry.h"
#include "server/GatewayService.h"
#include "server/PendingClients.h"
#include "server/Recordings.h"
#include "server/ServerCounters.h"
#include "server/SessionTable.h"
#include "server/TunnelHost.h"
#include "server/UdpBatch.h"
#include "server/WorkerPool.h"
#include "server/WorkerReaper.h"
#include "worker/WorkerZygote.h"

class GatewayClient;
class GatewayDirectory;
class PeerServers;
class Tunnel;

class TambloServer final : public TunnelHost,
                           public GatewayClientHost,
                           private GatewayPort::Receiver,
                           public ControlHost,
                           private GatewayService::Sessions {
  public:
    static constexpr uint32_t KeepaliveTimeout = 1;           // minutes between keepalive checks
    static constexpr uint32_t SessionCachePurgeTimeout = 15;  // minutes between purges
    static constexpr int64_t kKeepaliveSilenceSeconds = GatewayService::kKeepaliveSilenceSeconds;
    static constexpr int kSessionCacheTimeoutSeconds = GatewayService::kSessionCacheTimeoutSeconds;
    static constexpr int kAcceptBatch = 64;  // proxy connections accepted per readiness event

    // Binds all three sockets and starts the watchers on the default loop; throws
    // std::runtime_error when a socket cannot be bound.
    TambloServer(const ServerSettings& settings, Clock& clock = systemClock());
    virtual ~TambloServer();
    TambloServer(const TambloServer&) = delete;
    TambloServer& operator=(const TambloServer&) = delete;

    // The gateway port's sends (a datagram for a gateway in the send batch leaves with the
    // others of this pass of the loop, before the loop waits again) and pipe frames.
    ssize_t send(const sockaddr_in& destination, const void* payload, size_t length,
                 DatagramKind kind = DatagramKind::Control) {
        return gatewayPort_.send(destination, payload, length, kind);
    }
    uint8_t* reserveDatagram(size_t capacity) override {
        return gatewayPort_.reserveDatagram(capacity);
    }
    void commitDatagram(size_t length, const sockaddr_in& destination, DatagramKind kind) override {
        gatewayPort_.commitDatagram(length, destination, kind);
    }
    void flushDatagrams() { gatewayPort_.flushDatagrams(); }
    void pipeFramesQueued(Tunnel* tunnel) override { gatewayPort_.pipeFramesQueued(tunnel); }
    void flushPipeFrames() { gatewayPort_.flushPipeFrames(); }
    uint8_t* pipeReadBuffer() override { return gatewayPort_.pipeReadBuffer(); }
    static std::string addressToString(const sockaddr_in& address, const char* deviceIp,
                                       uint16_t port);
    static void formatAddressKey(const sockaddr_in& address, std::string_view deviceIp,
                                 uint16_t port, AddressKeyBuffer* out) {
        ::formatAddressKey(address, deviceIp, port, out);
    }
    // The session key of a device address (network order) behind the gateway at address.
    static void formatSessionKey(const sockaddr_in& address, in_addr device, uint16_t port,
                                 AddressKeyBuffer* out) {
        ::formatSessionKey(address, device, port, out);
    }
    uint16_t getRestPort() const override { return settings.restPort; }
    const ServerSettings& serverSettings() const override { return settings; }
    bool streamsDisabled() const { return settings.disableStreams; }
    const Clock& clock() const override { return clock_; }
    void cleanup();
    // SIGTERM: no new work; every worker is told to stop, and the loop runs on until each
    // recording has reported its end (its file complete), kShutdownWaitSeconds at most. A
    // second SIGTERM ends the wait.
    void handleSignal();
    bool shuttingDown() const { return shutdownStarted; }
    // The longest a recording worker takes from a stop request to its report: the MJPEG
    // path's buffering time and exit delay, then the teardown, with room.
    static constexpr double kShutdownWaitSeconds = 5.0 + 0.5 + kRecordingTeardownSeconds + 2.0;
    uint16_t boundGatewayPort() const { return gatewayPort_.boundPort(); }  // settings may say 0
    uint16_t boundProxyPort() const;
    uint16_t boundControlPort() const override;

    // Gateway protocol (GatewayService). io_cb_switch dispatches one datagram and hands what
    // it carries for workers to their pipes at once; the receive loop hands them over per
    // batch instead.
    void io_cb_switch(const sockaddr_in& sender, uint8_t* datagram, size_t length);
    void receivedDatagram(const sockaddr_in& sender, uint8_t* datagram, size_t length) override {
        gatewayService.receivedDatagram(sender, datagram, length);
    }
    void registerTamClient(bool withKey, const sockaddr_in& sender, const uint8_t* datagram,
                           size_t length) {
        gatewayService.registerTamClient(withKey, sender, datagram, length);
    }
    void handleKeepalive(const sockaddr_in& sender, const uint8_t* datagram, size_t length) {
        gatewayService.handleKeepalive(sender, datagram, length);
    }
    void processKeepalive() { gatewayService.processKeepalive(); }
    void purgeSessionCache() { gatewayService.purgeSessionCache(); }
    // The gateway records (GatewayRegistry).
    void deleteGatewayClient(GatewayClient* client) { gateways.remove(client); }
    void updateGatewayClient(GatewayClient* client, uint32_t id) { gateways.setId(client, id); }
    bool claimGatewayClientId(GatewayClient* client, uint32_t id, bool proven) override {
        return gateways.claimId(client, id, proven);
    }
    GatewayClient* gatewayClient(std::string_view key) const override {
        return gateways.byKey(key);
    }
    GatewayClient* gatewayClient(uint32_t id) const override { return gateways.byId(id); }
    size_t gatewayClientCount() const { return gateways.size(); }

    // Tunnels.
    void registerSession(Tunnel* tunnel, const sockaddr_in& address, const std::string& deviceIp,
                         uint16_t localPort) override;
    void sendCtrlCloseMessage(Tunnel* tunnel) override;
    Tunnel* session(std::string_view key) const override { return sessions.find(key); }
    // The worker pool's tables, spares and limits (WorkerPool).
    void addTunnel(Tunnel* tunnel) override { workers.add(tunnel); }
    void tunnelDeleted(Tunnel* tunnel, const TunnelRemains& remains) override;
    void tunnelEnding(Tunnel* tunnel) override { workers.tunnelEnding(tunnel); }
    void setupDone(Tunnel* tunnel) override { workers.setupDone(tunnel); }
    size_t spareCount() const { return workers.spareCount(); }
    // Ends the spare workers; new ones are forked on the loop's next pass.
    void retireSpares() { workers.retireSpares(); }
    // After SIGHUP: another zygote (whose workers log with the new configuration), and new
    // spares from it.
    void renewWorkers();
    // The authenticated registration's keys and policy, at the start; the pinned keys again on
    // SIGHUP (a file that does not load leaves the keys as they were).
    void configureGateways(GatewayAuthSetup setup);
    void reloadGatewayKeys();
    // The shared gateway directory and the peer port, or nullptr when this server runs alone.
    const GatewayDirectory* gatewayDirectory() const { return directory_.get(); }
    const PeerServers* peerServers() const { return peers_.get(); }
    std::shared_ptr<void> locateGateway(const std::string& key, GatewayLocated done) override;
    void deferDelete(Tunnel* tunnel) override { workers.deferDelete(tunnel); }
    size_t tunnelCount() const { return workers.size(); }
    WorkerReaper& reaper() override { return workerReaper; }
    WorkerZygotes& workerZygote() override { return workerZygote_; }
    // A proxy worker serves a client of this address (network order) until it is forgotten.
    void addProxyClient(uint32_t address) override { workers.addProxyClient(address); }
    void removeProxyClient(uint32_t address) override { workers.removeProxyClient(address); }

    ServerGauges gauges() const;
    ServerCounters& counters() override { return counters_; }
    FloodLogs& floodLogs() override { return floodLogs_; }
    const ServerCounters& counters() const { return counters_; }
    // Seconds on the server's clock, for the rate limits.
    double nowSeconds() const override;

    // Recordings (Recordings), driven by the control interface.
    bool startVideoRecording(const std::string& mac, RecordingRequest request,
                             int ctrlSocket) override {
        return recordings.start(mac, std::move(request), ctrlSocket);
    }
    void stopVideoRecording(const std::string& mac, const std::string& cameraIp,
                            uint16_t) override {
        recordings.stop(mac, cameraIp);
    }
    static std::string convertMacForVideoRecording(const std::string& mac) {
        return Recordings::convertMacForVideoRecording(mac);
    }
    static std::string convertMacToVideoRecordingResponse(const std::string& mac) {
        return Recordings::convertMacToVideoRecordingResponse(mac);
    }
    static std::string toRecordingSessionKey(const std::string& key) {
        return SessionTable::recordingKeyOf(key);
    }
    void forgetControlConnection(int socket) override {
        recordings.forgetControlConnection(socket);
    }
    bool recordingReportsTo(int socket) const override { return recordings.reportTo(socket); }

  private:
    void receiveBatchBoundary() override { gatewayService.receiveBatchBoundary(); }
    UniqueFd bindListener(uint16_t port, const char* failureText,
                          const std::string& address = std::string());
    void startTimers();
    void ioProxy_cb(int revents);
    void ioControl_cb(int revents);
    // A waiting proxy connection has bytes: a spare or a new worker takes it.
    void proxyClientReady(UniqueFd client, const sockaddr_in& peer);
    void proxyClientDropped(const sockaddr_in& peer, PendingClients::Drop reason);
    // A client another server forwarded, its PROXY header read.
    void peerClientArrived(UniqueFd client, const sockaddr_in& realClient,
                           const sockaddr_in& local);
    // forwardedTo: where the client connected, for a client forwarded here (else nullptr).
    void startProxyWorker(UniqueFd client, const sockaddr_in& peer,
                          const sockaddr_in* forwardedTo);
    void acceptFailed(const char* listener, int error, AcceptPause& pause);
    void beforeWait(int revents);
    void shutdownTimer_cb(int revents);
    size_t recordingsRunning() const { return workers.recordingsRunning(); }
    // During the shutdown wait: ends the loop once no recording is left running.
    void endShutdownWhenDone();
    // True when a worker may be forked for the peer (a proxy client) or a recording (none);
    // perAddress false: the peer already holds its place under its address's limit.
    bool workerSlotFor(const sockaddr_in* peer, bool perAddress = true) {
        return workers.slotFor(peer, perAddress, nowSeconds());
    }

    ServerSettings settings;
    Clock& clock_;

    GatewayRegistry gateways{settings, counters_, floodLogs_};
    SessionTable sessions;

    GatewayPort gatewayPort_;
    UniqueFd fdControl;
    UniqueFd fdProxy;
    EvIo ioControl;
    EvIo ioProxy;
    std::unique_ptr<ControlInterface> control;
    AcceptPause proxyAcceptPause{loop, ioProxy};  // no busy loop when descriptors run out
    AcceptPause controlAcceptPause{loop, ioControl};
    std::unique_ptr<PendingClients> pendingClients;  // accepted, no bytes yet: no worker
    EvPeriodic keepaliveTimer;
    EvSignal signalWatcher;
    EvPeriodic sessionCachePurgeTimer;

    WorkerPool workers{*this, settings, counters_, floodLogs_};
    bool shutdownStarted = false;
    EvTimer shutdownTimer;  // the end of the wait for recordings at SIGTERM
    WorkerReaper workerReaper;
    // Started before any gateway registers: it never holds a key, a session or a client's data.
    WorkerZygotes workerZygote_{settings};

    // The log limiters of refusals and floods, the registry's and the pool's included.
    ServerCounters counters_;
    FloodLogs floodLogs_;

    EvWatcher<ev_prepare> beforeWaitWatcher;  // sends the gathered datagrams and frames
    Recordings recordings{settings, *this, gateways, sessions, workers};
    // The shared gateway directory, with --directory only.
    std::unique_ptr<GatewayDirectory> directory_;
    std::unique_ptr<PeerServers> peers_;
    GatewayService gatewayService{settings, clock_,       counters_, floodLogs_,
                                  gateways, gatewayPort_, *this,     *this};
};

// The server of this process, for the plain timer and signal callbacks.
extern TambloServer* serverObject;
