// The parent's side of a worker's pipe protocol.
#include "server/Tunnel.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstring>
#include <string>

#include "common/Clock.h"
#include "common/LogRedaction.h"
#include "common/Logging.h"
#include "protocol/GatewayDatagram.h"
#include "protocol/LanDeviceAuthData.h"
#include "protocol/RelayService.h"
#include "recording/videorecorder_recording.h"
#include "server/AddressKey.h"
#include "server/CommandLine.h"
#include "server/GatewayClient.h"
#include "server/TunnelHost.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kTunnel);

LogRateLimiter& pipeFullLog() {
    static LogRateLimiter limiter;
    return limiter;
}

}  // namespace

Tunnel::Tunnel(TunnelHost* server) : tambloServer(server) {
    init();
}

Tunnel::Tunnel(GatewayClient* client, TunnelHost* server, const std::string& key)
    : gatewayClient(client), tambloServer(server), isProxy(false), sessionKey(key) {
    if (gatewayClient != nullptr) {
        gatewayClient->registerTunnel(this);
    }
    init();
}

void Tunnel::init() {
    tambloServer->addTunnel(this);
    pipeWriter.open(process.toWorker());
    pipeWriter.attachRing(process.ring());
}

Tunnel::~Tunnel() {
    LOG4CPLUS_TRACE(logger, "destructor " << static_cast<const void*>(this));
    pipeWriter.stop();
    TunnelHost::TunnelRemains remains;
    remains.stopReportDue = !sessionKey.empty() && !recordingResponseSent;
    remains.framesQueued = pipeWriter.hasQueued();
    remains.proxyClient = hasClientAddress ? std::optional<uint32_t>(clientAddress) : std::nullopt;
    recordingResponseSent = true;
    tambloServer->tunnelDeleted(this, remains);
    if (gatewayClient != nullptr) {
        gatewayClient->deregisterTunnel(this);
    }
}

void Tunnel::setClientAddress(uint32_t address) {
    if (hasClientAddress) {
        tambloServer->removeProxyClient(clientAddress);
    }
    hasClientAddress = true;
    clientAddress = address;
    tambloServer->addProxyClient(address);
}

void Tunnel::setClientEndpoints(const sockaddr_in& client, const sockaddr_in& local,
                                bool cameFromPeer) {
    clientPeer = client;
    clientLocal = local;
    forwardedIn = cameFromPeer;
}

void Tunnel::destroy() {
    if (dying) {
        return;
    }
    dying = true;
    process.stopReading();
    pipeWriter.stop();
    sessionLookup.cancel();
    tambloServer->tunnelEnding(this);
    tambloServer->deferDelete(this);
}

bool Tunnel::startTcpProxy(int socket) {
    return process.ready() && forkProxyWorker(socket, false);
}

bool Tunnel::startSpareProxy() {
    const int workerEnd = process.openHandoff();
    if (workerEnd < 0) {
        return false;
    }
    spare = true;
    return forkProxyWorker(workerEnd, true);
}

bool Tunnel::forkProxyWorker(int socket, bool waitForClient) {
    ZygoteRequest request;
    request.kind = waitForClient ? WorkerKind::Spare : WorkerKind::Proxy;
    return process.spawn(request, socket, "proxy: Could not fork process.");
}

bool Tunnel::handOver(int socket, bool mayForward) {
    if (dying || !process.handOver(socket, mayForward)) {
        return false;
    }
    spare = false;
    setupSince = tambloServer->nowSeconds();
    return true;
}

bool Tunnel::startVideoRecording(RecordingRequest request, const std::string& macText,
                                 int ctrlSocket) {
    mac = macText;
    for (char& c : mac) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    fd = ctrlSocket;
    ip = request.cameraIp;
    port = request.cameraPort;
    isProxy = false;
    if (gatewayClient == nullptr || !process.ready()) {
        return false;
    }
    const std::optional<uint8_t> component = gatewayClient->getNextComponentId();
    if (!component) {
        LOG4CPLUS_WARN(logger, "No free channel pair on GC " << gatewayClient->key()
                                                             << ", refusing recording");
        return false;
    }
    allottedComponentId = *component;
    allottedLocalPort = request.localPort;
    // The worker's packets go to the camera, from the recording's local port, and nowhere
    // else: the RTSP path always reaches the camera's port 554, whatever port START named.
    in_addr camera{};
    if (inet_pton(AF_INET, request.cameraIp.c_str(), &camera) == 1) {
        grant.grant(camera.s_addr, request.localPort,
                    recording::isRtspCodec(request.codec) ? recording::kRtspCameraPort
                                                          : request.cameraPort);
    }
    LOG4CPLUS_TRACE(logger, "videorecorder: assigned local port: " << request.localPort);
    request.windowSize = gatewayClient->tcpWindowSize();
    request.localIP = gatewayClient->getLocalIP();
    request.firstChannel = *component;
    ZygoteRequest worker;
    worker.kind = WorkerKind::Recording;
    worker.recording = std::move(request);
    // The output file's descriptor reaches the worker here, and only here.
    return process.spawn(worker, worker.recording.outputFd, "Could not fork process.");
}

void Tunnel::stopVideoRecording(bool gatewayClientDeleted) {
    LOG4CPLUS_DEBUG(logger,
                    "Tunnel::stopVideoRecording(), GC deleted=" << (gatewayClientDeleted ? 1 : 0));
    if (gatewayClientDeleted) {
        gatewayClient = nullptr;
    }
    sendToChildProcess(pipe_message::kStop, nullptr, 0);
}

void Tunnel::workerGone() {
    destroy();
}

namespace {
void logDroppedPackets(log4cplus::Logger& logger, TunnelHost* server, pid_t worker, size_t count) {
    server->counters().tunnelPacketsPipeFullDropped += count;
    tamblo::logging::logLimited(logger, log4cplus::DEBUG_LOG_LEVEL, pipeFullLog(),
                                server->nowSeconds(), [&](auto& line) {
                                    line << "pipe to worker " << worker << " is full, dropping "
                                         << count << " tunnel packet(s)";
                                });
}

LogRateLimiter& channelPipeFullLog() {
    static LogRateLimiter limiter;
    return limiter;
}

void logDroppedChannelDatagram(log4cplus::Logger& logger, TunnelHost* server, pid_t worker) {
    ++server->counters().channelDatagramsPipeFullDropped;
    tamblo::logging::logLimited(logger, log4cplus::DEBUG_LOG_LEVEL, channelPipeFullLog(),
                                server->nowSeconds(), [&](auto& line) {
                                    line << "pipe to worker " << worker
                                         << " is full, dropping a channel datagram";
                                });
}
}  // namespace

void Tunnel::send(uint8_t type, const uint8_t* bytes, uint16_t length) {
    LOG4CPLUS_TRACE(logger, "sending to worker " << process.pid() << " len: " << length);
    pipeWriter.send(type, bytes, length, true);
}

void Tunnel::framesQueued() {
    tambloServer->pipeFramesQueued(this);
}

void Tunnel::packetsDropped(size_t count) {
    logDroppedPackets(logger, tambloServer, process.pid(), count);
}

void Tunnel::channelDatagramDropped() {
    logDroppedChannelDatagram(logger, tambloServer, process.pid());
}

void Tunnel::pipeFailed(int error) {
    LOG4CPLUS_WARN(logger, "Could not write to pipeOut, closing tunnel"
                               << ", error: (" << error << ") " << std::strerror(error));
    LOG4CPLUS_WARN(logger, "error: " << std::strerror(error));
    destroy();
}

void Tunnel::pipeNotRead(size_t pending) {
    LOG4CPLUS_WARN(logger, "worker " << process.pid() << " reads nothing: " << pending
                                     << " bytes wait for it, closing tunnel");
    destroy();
}

namespace {
LogRateLimiter& refusalLog() {
    static LogRateLimiter limiter;
    return limiter;
}

const char* refusalText(WorkerRefusal reason) {
    switch (reason) {
        case WorkerRefusal::ForgedConfiguration:
            return "a configuration from a worker authorises nothing";
        case WorkerRefusal::NotAllowed:
            return "not a message this worker sends";
        case WorkerRefusal::ForeignPacket:
            return "a tunnel packet outside the tunnel's authorised connection";
        case WorkerRefusal::ForeignChannel:
            return "a channel outside the tunnel's own pair";
        case WorkerRefusal::BadQuery:
            return "cached-session query refused";
    }
    return "refused";
}

}  // namespace

bool Tunnel::workerMessage(uint8_t type, const uint8_t* bytes, uint16_t length) {
    return processData(type, bytes, length);
}

bool Tunnel::processData(uint8_t type, const uint8_t* bytes, uint16_t length) {
    if (dying) {
        return false;
    }
    LOG4CPLUS_TRACE(logger, "received from worker " << process.pid() << " len: " << length);
    // The worker is untrusted: each kind of worker sends only its own kinds of message, and
    // nothing it sends names more than what the parent authorised for this tunnel.
    switch (type) {
        case pipe_message::kDatagram:
            if (!datagramAllowed(bytes, length)) {
                refuseWorkerMessage(length != 0 && bytes[0] == TAMBLO_MT_TCPOVERUDP
                                        ? WorkerRefusal::ForeignPacket
                                        : WorkerRefusal::ForeignChannel,
                                    type);
                return true;
            }
            if (gatewayClient == nullptr) {
                return true;  // the client went away: nobody to send it to
            }
            if (bytes[0] == TAMBLO_MT_TCPOVERUDP) {
                tambloServer->counters().relayedToDevices += length;
            }
            gatewayClient->send(bytes, length);
            return !dying;
        case pipe_message::kFinished:
            if (length != 0) {
                break;
            }
            LOG4CPLUS_TRACE(logger, "got 0xfe - closed session notification");
            destroy();
            return false;
        case pipe_message::kRecordingCleanup:
            if (isProxy || length != 0) {
                break;
            }
            if (!recordingResponseSent) {
                recordingResponseSent = true;
                tambloServer->sendCtrlCloseMessage(this);
            }
            return true;
        case pipe_message::kChannelRegister:
        case pipe_message::kChannelDeregister:
            if (isProxy || length != 1) {
                break;
            }
            if (!ownChannel(bytes[0])) {
                refuseWorkerMessage(WorkerRefusal::ForeignChannel, type);
            } else if (gatewayClient != nullptr && type == pipe_message::kChannelRegister) {
                gatewayClient->registerChannel(this, bytes[0]);
            } else if (gatewayClient != nullptr) {
                gatewayClient->deregisterChannel(this, bytes[0]);
            }
            return true;
        case pipe_message::kCachedSessionQuery:
            if (!isProxy) {
                break;
            }
            sessionLookup.query(bytes, length);
            return !dying;
        case pipe_message::kConfigurationFound:
            refuseWorkerMessage(WorkerRefusal::ForgedConfiguration, type);
            return true;
        default:
            break;
    }
    refuseWorkerMessage(WorkerRefusal::NotAllowed, type);
    return true;
}

bool Tunnel::ownChannel(uint8_t channel) const {
    return allottedComponentId >= 0 &&
           (channel == allottedComponentId || channel == allottedComponentId + 1);
}

bool Tunnel::datagramAllowed(const uint8_t* bytes, uint16_t length) {
    if (length == 0) {
        return false;
    }
    if (bytes[0] != TAMBLO_MT_TCPOVERUDP) {
        return ownChannel(bytes[0]);
    }
    return grant.allows(bytes, length);
}

void Tunnel::refuseWorkerMessage(WorkerRefusal reason, uint8_t type, const char* detail) {
    ++tambloServer->counters().workerMessagesRefused[static_cast<size_t>(reason)];
    tamblo::logging::logLimited(logger, log4cplus::WARN_LOG_LEVEL, refusalLog(),
                                tambloServer->nowSeconds(), [&](auto& line) {
                                    line << "dropped a message of type " << static_cast<int>(type)
                                         << " from worker " << process.pid() << ": "
                                         << refusalText(reason);
                                    if (detail != nullptr) {
                                        line << " (" << detail << ")";
                                    }
                                });
}

void Tunnel::bindGatewayClient(GatewayClient* client) {
    // The pointer and the client's tunnel set change together, and only here: a connection
    // that changes target moves to the new client once that client has authorised it.
    if (gatewayClient != nullptr && gatewayClient != client) {
        gatewayClient->deregisterTunnel(this);
        allottedLocalPort = 0;
    }
    gatewayClient = client;
    gatewayClient->registerTunnel(this);
}

void Tunnel::sessionNotCached() {
    sendToChildProcess(pipe_message::kNotCached, nullptr, 0);
}

void Tunnel::sessionRefused(const char* refusal) {
    if (refusal != nullptr) {
        refuseWorkerMessage(WorkerRefusal::BadQuery, pipe_message::kCachedSessionQuery, refusal);
    }
    stopVideoRecording(false);
}

bool Tunnel::mayForward() const {
    // Only a client that has reached no device yet, and only one hop: nothing of its
    // connection has gone anywhere but into the worker's buffer.
    return isProxy && gatewayClient == nullptr && !forwardedIn && process.holdsHandoff() &&
           !forward;
}

void Tunnel::sessionElsewhere(const std::string& key, const std::string& peerAddress) {
    sockaddr_in peer{};
    if (!parseAddressPort(peerAddress, &peer)) {
        forwardConnected(UniqueFd(), "the directory names no IPv4 address and port");
        return;
    }
    forwardKey = key;
    forwardTo = peerAddress;
    forward = std::make_unique<PeerConnect>(
        loop, peer, clientPeer, clientLocal,
        [this](UniqueFd connected, const std::string& failure) {
            forwardConnected(std::move(connected), failure);
        });
    forward->start();
}

void Tunnel::forwardConnected(UniqueFd connected, const std::string& failure) {
    if (!connected.valid() || !process.handOver(connected.get())) {
        ++tambloServer->counters().forwardFailures;
        tamblo::logging::logLimited(
            logger, log4cplus::WARN_LOG_LEVEL, tambloServer->floodLogs().forwardFailure,
            tambloServer->nowSeconds(), [&](auto& line) {
                line << "Could not forward a client of GC " << forwardKey << " to the server at "
                     << forwardTo << ": " << (connected.valid() ? "its worker is gone" : failure);
            });
        stopVideoRecording(false);
        return;
    }
    ++tambloServer->counters().forwardsOut;
    setupDone();  // its answer comes through the other server: spares may be forked again
    LOG4CPLUS_DEBUG(logger, "forwarding a client of GC " << forwardKey << " to the server at "
                                                         << forwardTo);
    // The connection is the worker's now; it sends the client's bytes after the header.
    sendToChildProcess(pipe_message::kForward, nullptr, 0);
}

void Tunnel::sessionFound(GatewayClient* client, const CachedSessionQuery& query,
                          const std::string& deviceAddress, uint16_t devicePort) {
    LOG4CPLUS_TRACE(logger, "Allowing TCP proxy session for ld "
                                << query.ldId << ", session "
                                << tamblo::logging::sessionTag(query.sessionId));
    grant.suspend(gatewayClient == client);
    bindGatewayClient(client);
    process.closeHandoff();  // served here: never forwarded
    allottedLocalPort = 0;  // this tunnel's previous port is free for its new connection
    const std::optional<uint16_t> localPort = gatewayClient->getNextLocalPort();
    if (!localPort) {
        LOG4CPLUS_WARN(logger,
                       "No free local port on GC " << gatewayClient->key() << ", refusing tunnel");
        stopVideoRecording(false);
        return;
    }
    allottedLocalPort = *localPort;
    LOG4CPLUS_DEBUG(logger, "Received parameters for LD " << query.ldId << ", ip: " << deviceAddress
                                                          << ", port: " << devicePort);
    LOG4CPLUS_TRACE(logger, "relay: assigned local port: " << *localPort);

    // The parent decides where the worker connects: the device, or what the client's service
    // imposes when the operator allows client-chosen services.
    const ConnectTarget target = connectTarget(
        query.service, tambloServer->serverSettings().clientTargets, deviceAddress, devicePort);
    in_addr device{};
    if (inet_pton(AF_INET, target.address.c_str(), &device) != 1) {
        LOG4CPLUS_WARN(logger,
                       "Device address " << target.address << " is not IPv4, refusing tunnel");
        stopVideoRecording(false);
        return;
    }
    grant.grant(device.s_addr, *localPort, target.port);

    pipe_message::ConnectParameters parameters;
    parameters.localIP = gatewayClient->getLocalIP();
    parameters.localPort = *localPort;
    parameters.windowSize = gatewayClient->tcpWindowSize();
    parameters.devicePort = target.port;
    parameters.deviceAddress = target.address;
    uint8_t payload[pipe_message::kConnectFixedSize + pipe_message::kMaxDeviceAddressText];
    const size_t length = pipe_message::encodeConnectParameters(parameters, payload);

    tambloServer->registerSession(this, gatewayClient->getAddress(), target.address, *localPort);
    sendToChildProcess(pipe_message::kConnect, payload, static_cast<uint16_t>(length));
}
