// The parent's side of one worker's pipe protocol: what the worker may send and where it goes
// (tunnel packets of its granted connection and channel datagrams of its own pair to its
// gateway client), the proxy session's authorisation (SessionLookup), the connect parameters,
// the recording's stop report. The process itself (pipes, start by the worker zygote, hand-off,
// exit) is its WorkerProcess.
//
// Made with new by the proxy listener (proxy tunnel) or the recording start (recording
// tunnel). It ends itself when its worker ends, reports that it has finished, or cannot be
// written to; the deletion is deferred to the next loop iteration (destroy()), so no
// callback ever runs on a deleted tunnel. The server's tables, a client's tunnel set and
// channel map hold plain pointers to it; the destructor leaves the client's and reports once
// to the server (TunnelHost::tunnelDeleted), which leaves its own. It reaches the server only
// through TunnelHost.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/EventLoop.h"
#include "protocol/LanDeviceAuthData.h"
#include "protocol/PipeMessage.h"
#include "protocol/RecordingRequest.h"
#include "protocol/ZygoteRequest.h"
#include "server/ConnectionGrant.h"
#include "server/GatewayClient.h"
#include "server/PeerConnect.h"
#include "server/SessionLookup.h"
#include "server/WorkerPipeWriter.h"
#include "server/WorkerProcess.h"

class TunnelHost;
enum class WorkerRefusal : uint8_t;  // ServerCounters.h

class Tunnel : public GatewayTunnel,
               private WorkerPipeWriter::Owner,
               private WorkerProcess::Owner,
               private SessionLookup::Owner {
  public:
    // Proxy tunnel: learns its gateway client from the worker.
    explicit Tunnel(TunnelHost* server);
    // Recording tunnel for a known client; registers itself with the client.
    Tunnel(GatewayClient* gatewayClient, TunnelHost* server, const std::string& sessionKey);
    virtual ~Tunnel();
    Tunnel(const Tunnel&) = delete;
    Tunnel& operator=(const Tunnel&) = delete;

    // Forks the relay worker for an accepted client socket. False when the fork failed;
    // the caller then destroys the tunnel.
    bool startTcpProxy(int socket);
    // Forks a spare relay worker: it sets itself up and waits for a client socket, which
    // handOver() passes to it. False when the fork failed.
    bool startSpareProxy();
    // Gives the spare worker its client (the parent closes its own copy afterwards). False
    // when the worker is gone; the caller then destroys the tunnel. mayForward: the hand-off
    // pair stays open for the connection to another server, should the client's gateway be
    // held there.
    bool handOver(int socket, bool mayForward = false);
    bool isSpare() const { return spare; }
    // Between the hand-over and the device's first answer bytes the client waits on this
    // connection's set-up; no spare is forked meanwhile (see WorkerPool::replenishSpares).
    bool inSetup() const { return setupSince >= 0; }
    void setupDone() { setupSince = -1; }
    double setupStarted() const { return setupSince; }
    // Forks a recording worker. False when no channel pair is free or the fork failed. The
    // worker inherits request.outputFd (the caller closes its own copy afterwards).
    bool startVideoRecording(RecordingRequest request, const std::string& mac, int ctrlSocket);
    // Asks the worker to stop; with the flag set the client record is going away.
    void stopVideoRecording(bool gatewayClientDeleted) override;

    // Parent -> worker, after what queueFrame() gathered. send() carries what the gateway
    // sent (tunnel packets, channel datagrams): a message that finds the pipe full is dropped
    // and counted, as a congested link would drop it. sendToChildProcess() carries the
    // parent's own messages (stop, not cached, connect): they never get lost; a full pipe
    // keeps them, in order, until the worker reads (up to kMaxPendingBytes).
    void send(uint8_t type, const uint8_t* bytes, uint16_t length) override;
    void sendToChildProcess(uint8_t type, const uint8_t* bytes, uint16_t length) {
        pipeWriter.send(type, bytes, length, false);
    }
    // What may wait in the parent for a worker that does not read: its control messages and
    // the rest of one cut frame. A worker that lets more pile up reads nothing at all, and
    // its tunnel is ended.
    static constexpr size_t kMaxPendingBytes = WorkerPipeWriter::kMaxPendingBytes;
    static constexpr uint32_t kMaxLookups = SessionLookup::kMaxLookups;
    // A tunnel packet for the worker, written with the others of the same receive batch in
    // one call by flushFrames(). The payload must stay where it is until then. A packet that
    // finds the pipe full is dropped and counted, as a congested link would drop it.
    void queueFrame(uint8_t type, const uint8_t* bytes, uint16_t length) {
        pipeWriter.queue(type, bytes, length);
    }
    void flushFrames() { pipeWriter.flush(); }
    WorkerPipeWriter& framesToWorker() { return pipeWriter; }
    // One message from the worker; false when it ended the tunnel.
    bool processData(uint8_t type, const uint8_t* bytes, uint16_t length);

    // Ends the tunnel: stops reading its worker and deletes it on the next loop iteration.
    void destroy();
    bool isDying() const { return dying; }

    std::string getMac() const { return mac; }
    std::string getIP() const { return ip; }
    uint16_t getPort() const { return port; }
    int getCtrlConnectionSocket() const { return fd; }
    // The control connection closed: the stop report has nowhere to go.
    void forgetCtrlConnection() { fd = -1; }
    const std::string& sessionKeyRef() const { return sessionKey; }
    void setSessionKey(const std::string& key) { sessionKey = key; }
    GatewayClient* getGatewayClient() const { return gatewayClient; }
    bool isRecordingResponseSent() const { return recordingResponseSent; }

    // Values this tunnel holds on its client: 0 / -1 when none.
    uint16_t localPort() const override { return allottedLocalPort; }
    int componentId() const override { return allottedComponentId; }
    // A configuration lookup of this tunnel is under way.
    bool lookupPending() const { return sessionLookup.pending(); }
    bool isProxyTunnel() const { return isProxy; }
    // The proxy client's IPv4 address (network order), counted against the per-address
    // worker limit while this tunnel lives.
    void setClientAddress(uint32_t address);
    // The client's address and port and where it connected, for a forward's PROXY header;
    // forwardedIn: it came from another server, and is never forwarded again.
    void setClientEndpoints(const sockaddr_in& client, const sockaddr_in& local, bool forwardedIn);

    // The worker's pipe ends (read end of parent -> worker, write end of worker -> parent),
    // open until the fork hands them over; tests play the worker through them.
    int workerInput() const { return process.workerInput(); }
    int workerOutput() const { return process.workerOutput(); }
    pid_t workerPid() const { return process.pid(); }
    int workerRing() const { return process.workerRing(); }

  private:
    void init();
    // A proxy worker serving the client on socket, or (waitForClient) a spare that waits on
    // socket for its client's descriptor.
    bool forkProxyWorker(int socket, bool waitForClient);
    // The worker process's reports.
    bool workerMessage(uint8_t type, const uint8_t* bytes, uint16_t length) override;
    void workerGone() override;
    // The pipe writer's reports: counted, logged at a bounded rate; a pipe that fails ends
    // the tunnel.
    void framesQueued() override;
    void packetsDropped(size_t count) override;
    void channelDatagramDropped() override;
    void pipeFailed(int error) override;
    void pipeNotRead(size_t pending) override;
    // The session lookup's outcomes: bound and connected, told it is not cached, or ended.
    void sessionFound(GatewayClient* client, const CachedSessionQuery& query,
                      const std::string& deviceAddress, uint16_t devicePort) override;
    void sessionNotCached() override;
    void sessionRefused(const char* refusal) override;
    bool mayForward() const override;
    void sessionElsewhere(const std::string& key, const std::string& peerAddress) override;
    void forwardConnected(UniqueFd connected, const std::string& failure);
    // Whether a worker's datagram for the gateway is its own: a tunnel packet of the granted
    // connection, or a channel datagram of its own channel pair.
    bool datagramAllowed(const uint8_t* bytes, uint16_t length);
    bool ownChannel(uint8_t channel) const;
    // A worker message the parent does not act on: dropped, counted, logged at a bounded rate.
    void refuseWorkerMessage(WorkerRefusal reason, uint8_t type, const char* detail = nullptr);
    void bindGatewayClient(GatewayClient* client);

    // Set only while this tunnel is in that client's tunnel set: by the recording start, or
    // when the client authorises a proxy session; cleared when the client record goes.
    GatewayClient* gatewayClient = nullptr;
    TunnelHost* tambloServer;
    std::string mac;
    std::string ip;
    uint16_t port = 0;
    int fd = -1;
    bool isProxy = true;
    [[maybe_unused]] int idx = -1;  // kept as the record has it; never read
    bool recordingResponseSent = false;
    std::string sessionKey;

    uint16_t allottedLocalPort = 0;
    int allottedComponentId = -1;
    // The one connection the worker may send tunnel packets for. Set by the authorisation of
    // a proxy session or the recording start; until then no tunnel packet of the worker passes.
    ConnectionGrant grant;
    bool dying = false;
    bool hasClientAddress = false;
    uint32_t clientAddress = 0;
    bool spare = false;
    // Forwarding to the server that holds the client's gateway.
    sockaddr_in clientPeer{};
    sockaddr_in clientLocal{};
    bool forwardedIn = false;
    std::string forwardKey;
    std::string forwardTo;
    std::unique_ptr<PeerConnect> forward;
    double setupSince = -1;  // server time of the hand-over while in set-up

    // The worker and its pipes; the frames gathered for it (payloads stay in the receive
    // buffer until written) and what waits behind a full pipe; its session's lookup.
    WorkerProcess process{tambloServer, *this};
    WorkerPipeWriter pipeWriter{*this};
    SessionLookup sessionLookup{tambloServer, *this};
};
