// The parent's handle on a worker: fork, pipes, end of the worker, and the parent side of
// the pipe protocol.
#include "server/Tunnel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/Clock.h"
#include "common/LogRedaction.h"
#include "common/Logging.h"
#include "protocol/GatewayDatagram.h"
#include "protocol/LanDeviceAuthData.h"
#include "protocol/RelayService.h"
#include "recording/videorecorder_recording.h"
#include "server/CommandLine.h"
#include "server/GatewayClient.h"
#include "server/TunnelHost.h"
#include "worker/WorkerSandbox.h"
#include "worker/WorkerZygote.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kTunnel);

// A pipe deep enough to hold a whole TCP receive window of tunnel packets, so a worker that
// falls behind for a moment is not mistaken for a dead one.
constexpr int kPipeCapacity = 1 << 20;

void closeIfOpen(int& descriptor) {
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
}

// An unprivileged server past the user's pipe quota gets small pipes: tunnels still work
// (a packet that does not fit is dropped and the stack sends it again), only worse under
// load. Said once, with what to raise.
void enlargePipe(int descriptor) {
    static bool warned = false;
    if (fcntl(descriptor, F_SETPIPE_SZ, kPipeCapacity) >= 0 || warned) {
        return;
    }
    warned = true;
    const int error = errno;
    LOG4CPLUS_WARN(logger, "Could not enlarge a worker pipe to "
                               << kPipeCapacity << " bytes (" << std::strerror(error)
                               << "); tunnels go on with smaller pipes and drop packets under "
                                  "load. Raise fs.pipe-user-pages-soft (and fs.pipe-max-size) "
                                  "with sysctl, or run the server with CAP_SYS_RESOURCE");
}

LogRateLimiter& pipeFullLog() {
    static LogRateLimiter limiter;
    return limiter;
}

bool setNonBlocking(int descriptor) {
    const int flags = fcntl(descriptor, F_GETFL);
    return flags >= 0 && fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

// The reader keeps only a partial frame between reads: what it reads goes into the server's
// buffer, which all tunnels share.
constexpr size_t kReaderCarry = 2 * pipe_message::kMaxFrame;

Tunnel::Tunnel(TunnelHost* server) : tambloServer(server), reader(kReaderCarry) {
    init();
}

Tunnel::Tunnel(GatewayClient* client, TunnelHost* server, const std::string& key)
    : gatewayClient(client),
      tambloServer(server),
      isProxy(false),
      sessionKey(key),
      reader(kReaderCarry) {
    if (gatewayClient != nullptr) {
        gatewayClient->registerTunnel(this);
    }
    init();
}

void Tunnel::init() {
    tambloServer->addTunnel(this);
    if (::pipe(pipeOut) != 0 || ::pipe(pipeIn) != 0) {
        LOG4CPLUS_WARN(logger, "Could not create pipes for worker: " << std::strerror(errno));
    }
    if (pipeOut[1] >= 0 && !setNonBlocking(pipeOut[1])) {
        LOG4CPLUS_WARN(logger,
                       "Could not set socket non-blocking, error string: " << std::strerror(errno));
    }
    // The parent never waits on a worker: its read end is non-blocking as well.
    if (pipeIn[0] >= 0) {
        setNonBlocking(pipeIn[0]);
    }
    if (pipeOut[1] >= 0) {
        enlargePipe(pipeOut[1]);
    }
    ev_io_init(dataFromVideoRecorder.get(),
               (evMemberCallback<Tunnel, ev_io, &Tunnel::dataFromVideoRecorder_cb>), pipeIn[0],
               EV_READ);
    dataFromVideoRecorder.get()->data = this;
    if (pipeIn[0] >= 0) {
        dataFromVideoRecorder.start(loop);
    }
    pipeWriter.open(pipeOut[1]);
}

Tunnel::~Tunnel() {
    LOG4CPLUS_TRACE(logger, "destructor " << static_cast<const void*>(this));
    if (!sessionKey.empty() && !recordingResponseSent) {
        tambloServer->sendCtrlCloseMessage(this);
        recordingResponseSent = true;
    }
    // A worker that libev already reaped has its status in the watcher, pending or not.
    if (childWatcher.get()->rpid != 0) {
        workerReaped = true;
        tambloServer->counters().workerExits.count(childWatcher.get()->rstatus);
    }
    childWatcher.stop();
    tambloServer->removeTunnel(this);
    if (gatewayClient != nullptr) {
        gatewayClient->deregisterTunnel(this);
    }
    dataFromVideoRecorder.stop();
    pipeWriter.stop();
    if (pipeWriter.hasQueued()) {
        tambloServer->pipeFramesDropped(this);
    }
    closeIfOpen(pipeIn[0]);
    closeIfOpen(pipeIn[1]);
    closeIfOpen(pipeOut[0]);
    closeIfOpen(pipeOut[1]);
    closeIfOpen(handoff[0]);
    closeIfOpen(handoff[1]);
    endWorker();
    if (hasClientAddress) {
        tambloServer->removeProxyClient(clientAddress);
    }
    tambloServer->forgetTunnel(this);
}

void Tunnel::setClientAddress(uint32_t address) {
    if (hasClientAddress) {
        tambloServer->removeProxyClient(clientAddress);
    }
    hasClientAddress = true;
    clientAddress = address;
    tambloServer->addProxyClient(address);
}

void Tunnel::endWorker() {
    if (childPid <= 0 || workerReaped) {
        return;
    }
    // The worker sees end of file on its pipe and ends; the reaper makes sure of it
    // without the loop ever waiting.
    LOG4CPLUS_DEBUG(logger, "waiting for child process to terminate");
    // A recording worker completes its file on the termination signal: it gets that long.
    tambloServer->reaper().adopt(childPid, isProxy ? WorkerReaper::kKillAfterSeconds
                                                   : WorkerReaper::kRecordingKillAfterSeconds);
}

void Tunnel::destroy() {
    if (dying) {
        return;
    }
    dying = true;
    dataFromVideoRecorder.stop();
    pipeWriter.stop();
    if (lookup) {
        lookup->cancel();  // its answer would come to a tunnel that is gone
    }
    tambloServer->tunnelEnding(this);
    tambloServer->deferDelete(this);
}

bool Tunnel::spawnWorker(const ZygoteRequest& request, int socket, const char* failureText) {
    const pid_t pid = tambloServer->workerZygote().spawn(request, {pipeIn[1], pipeOut[0], socket});
    if (pid < 0) {
        ++tambloServer->counters().forkFailures;
        LOG4CPLUS_WARN(logger, failureText);
        return false;
    }
    if (isProxy) {
        LOG4CPLUS_TRACE(logger, "fork: parent process");
    }
    childPid = pid;
    ++(isProxy ? tambloServer->counters().proxyWorkersStarted
               : tambloServer->counters().recordingWorkersStarted);
    // The worker's ends belong to the worker: end of file then means it is gone.
    closeIfOpen(pipeOut[0]);
    closeIfOpen(pipeIn[1]);
    closeIfOpen(handoff[1]);
    ev_child_init(childWatcher.get(), (evMemberCallback<Tunnel, ev_child, &Tunnel::childWatcherCb>),
                  pid, 0);
    childWatcher.get()->data = this;
    childWatcher.start(loop);
    return true;
}

bool Tunnel::startTcpProxy(int socket) {
    return pipeIn[0] >= 0 && pipeOut[1] >= 0 && forkProxyWorker(socket, false);
}

bool Tunnel::startSpareProxy() {
    if (pipeIn[0] < 0 || pipeOut[1] < 0 ||
        ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, handoff) != 0) {
        return false;
    }
    spare = true;
    return forkProxyWorker(handoff[1], true);
}

bool Tunnel::forkProxyWorker(int socket, bool waitForClient) {
    ZygoteRequest request;
    request.kind = waitForClient ? WorkerKind::Spare : WorkerKind::Proxy;
    return spawnWorker(request, socket, "proxy: Could not fork process.");
}

bool Tunnel::handOver(int socket) {
    // One byte with the descriptor: the worker's receive returns with both or with nothing.
    char byte = 0;
    iovec vector{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof socket)] = {};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof socket);
    std::memcpy(CMSG_DATA(c), &socket, sizeof socket);
    if (dying || handoff[0] < 0 ||
        ::sendmsg(handoff[0], &message, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
        return false;
    }
    // The message stays readable after our end is gone; the worker keeps its own end.
    closeIfOpen(handoff[0]);
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
    if (gatewayClient == nullptr || pipeIn[0] < 0 || pipeOut[1] < 0) {
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
        authorise(camera.s_addr, request.localPort,
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
    return spawnWorker(worker, worker.recording.outputFd, "Could not fork process.");
}

void Tunnel::stopVideoRecording(bool gatewayClientDeleted) {
    LOG4CPLUS_DEBUG(logger,
                    "Tunnel::stopVideoRecording(), GC deleted=" << (gatewayClientDeleted ? 1 : 0));
    if (gatewayClientDeleted) {
        gatewayClient = nullptr;
    }
    sendToChildProcess(pipe_message::kStop, nullptr, 0);
}

void Tunnel::childWatcherCb(int) {
    const int status = childWatcher.get()->rstatus;
    LOG4CPLUS_DEBUG(logger,
                    "process " << childPid << " exited with status " << ((status >> 8) & 0xff));
    WorkerSandbox::reportKilledByFilter(childPid, status);
    workerReaped = true;
    childWatcher.stop();
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
    LOG4CPLUS_TRACE(logger, "sending to pipeOut[1]: " << pipeOut[1] << " len: " << length);
    pipeWriter.send(type, bytes, length, true);
}

void Tunnel::framesQueued() {
    tambloServer->pipeFramesQueued(this);
}

void Tunnel::packetsDropped(size_t count) {
    logDroppedPackets(logger, tambloServer, childPid, count);
}

void Tunnel::channelDatagramDropped() {
    logDroppedChannelDatagram(logger, tambloServer, childPid);
}

void Tunnel::pipeFailed(int error) {
    LOG4CPLUS_WARN(logger, "Could not write to pipeOut, closing tunnel"
                               << ", error: (" << error << ") " << std::strerror(error));
    LOG4CPLUS_WARN(logger, "error: " << std::strerror(error));
    destroy();
}

void Tunnel::pipeNotRead(size_t pending) {
    LOG4CPLUS_WARN(logger, "worker " << childPid << " reads nothing: " << pending
                                     << " bytes wait for it, closing tunnel");
    destroy();
}

void Tunnel::dataFromVideoRecorder_cb(int) {
    using Status = pipe_message::Reader::Status;
    const Status status =
        reader.readAndDispatch(pipeIn[0], tambloServer->pipeReadBuffer(),
                               TunnelHost::kPipeReadBytes + pipe_message::kMaxFrame,
                               [this](uint8_t type, const uint8_t* payload, uint16_t length) {
                                   return processData(type, payload, length);
                               });
    switch (status) {
        case Status::Ok:
        case Status::WouldBlock:
        case Status::Stopped:
            return;
        case Status::Overlong:
            // The stream cannot be resynchronised: the worker is ended with its tunnel.
            LOG4CPLUS_WARN(
                logger, "worker " << childPid << " sent a message over 4096 bytes, closing tunnel");
            destroy();
            return;
        case Status::EndOfFile:
        case Status::Error:
            // The worker closed its end: it is gone or going; its exit is reaped separately.
            LOG4CPLUS_DEBUG(logger, "pipe from worker " << childPid << " closed");
            destroy();
            return;
    }
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

// A tunnel packet from a worker: the TAMBLO_MT_TCPOVERUDP byte, the device address and at
// least a whole TCP header, whose first four bytes are the ports.
constexpr size_t kTcpHeaderMinSize = 20;
constexpr size_t kTunnelPacketMinSize = gateway_datagram::kSegmentOffset + kTcpHeaderMinSize;
}  // namespace

bool Tunnel::processData(uint8_t type, const uint8_t* bytes, uint16_t length) {
    if (dying) {
        return false;
    }
    LOG4CPLUS_TRACE(logger, "received from pipeIn[0]: " << pipeIn[0] << " len: " << length);
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
            checkForCachedSessionId(bytes, length);
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

bool Tunnel::AuthorisedConnection::carries(const uint8_t* packet) const {
    // Three compares against values kept in the packet's own byte order.
    return set && std::memcmp(packet + gateway_datagram::kDeviceAddressOffset, &device, 4) == 0 &&
           std::memcmp(packet + gateway_datagram::kSegmentOffset, &localPort, 2) == 0 &&
           std::memcmp(packet + gateway_datagram::kDestinationPortOffset, &devicePort, 2) == 0;
}

bool Tunnel::datagramAllowed(const uint8_t* bytes, uint16_t length) {
    if (length == 0) {
        return false;
    }
    if (bytes[0] != TAMBLO_MT_TCPOVERUDP) {
        return ownChannel(bytes[0]);
    }
    if (length < kTunnelPacketMinSize) {
        return false;
    }
    if (authorised.carries(bytes)) {
        previous.set = false;
        return true;
    }
    return previous.carries(bytes);
}

void Tunnel::authorise(uint32_t device, uint16_t localPortValue, uint16_t devicePort) {
    authorised.set = true;
    authorised.device = device;
    authorised.localPort = htons(localPortValue);
    authorised.devicePort = htons(devicePort);
}

void Tunnel::refuseWorkerMessage(WorkerRefusal reason, uint8_t type, const char* detail) {
    ++tambloServer->counters().workerMessagesRefused[static_cast<size_t>(reason)];
    tamblo::logging::logLimited(logger, log4cplus::WARN_LOG_LEVEL, refusalLog(),
                                tambloServer->nowSeconds(), [&](auto& line) {
                                    line << "dropped a message of type " << static_cast<int>(type)
                                         << " from worker " << childPid << ": "
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

void Tunnel::checkForCachedSessionId(const uint8_t* bytes, uint16_t length) {
    QueryFault fault = QueryFault::Length;
    const std::optional<CachedSessionQuery> query = decodeCachedSessionQuery(bytes, length, &fault);
    if (!query) {
        // A worker of this server sends no such query: it is not followed up at all.
        refuseWorkerMessage(WorkerRefusal::BadQuery, pipe_message::kCachedSessionQuery,
                            queryFaultText(fault));
        stopVideoRecording(false);
        return;
    }
    // A new target replaces one still being looked up.
    lookup.reset();
    if (query->target == TargetKind::Device) {
        // Looking a client up authorises nothing: the tunnel stays with the client it has
        // (if any) until a client allows the session.
        GatewayClient* client = tambloServer->gatewayClient(query->gcId);
        if (client != nullptr && client->checkForCachedSessionId(query->ldId, query->sessionId)) {
            ++tambloServer->counters().sessionCacheHits;
            LOG4CPLUS_DEBUG(logger, "connection " << tamblo::logging::sessionTag(query->sessionId)
                                                  << " matched one from cache, allowing");
            std::string address;
            uint16_t devicePort = 0;
            client->getCachedData(query->ldId, query->sessionId, &address, &devicePort,
                                  tambloServer->clock().now());
            allowTcpProxySession(client, *query, address, devicePort);
            return;
        }
        ++tambloServer->counters().sessionCacheMisses;
        LOG4CPLUS_DEBUG(logger, "could not authorize new connection basing on cache");
        sendToChildProcess(pipe_message::kNotCached, nullptr, 0);
    }
    if (++lookupsStarted > kMaxLookups) {
        refuseWorkerMessage(WorkerRefusal::BadQuery, pipe_message::kCachedSessionQuery,
                            "too many lookups");
        stopVideoRecording(false);
        return;
    }
    // Gateway targets and LD ids not above 0 are never cached: straight to the service.
    startLookup(*query);
}

void Tunnel::startLookup(const CachedSessionQuery& query) {
    lookupQuery = query;
    lookup = std::make_unique<ConfigurationLookup>(
        loop, tambloServer->getRestPort(), lookupRequestFor(query),
        [this](ConfigurationLookup::Outcome outcome,
               const ConfigurationLookup::Configuration& found) { lookupDone(outcome, found); });
    lookup->start();
}

void Tunnel::lookupDone(ConfigurationLookup::Outcome outcome,
                        const ConfigurationLookup::Configuration& found) {
    using Outcome = ConfigurationLookup::Outcome;
    // A failed or refused lookup ends the worker, which closes its client without an answer.
    if (outcome != Outcome::Found) {
        ++(outcome == Outcome::Failed ? tambloServer->counters().configurationsFailed
                                      : tambloServer->counters().configurationsRefused);
        stopVideoRecording(false);
        return;
    }
    GatewayClient* client = tambloServer->gatewayClient(std::string_view(found.serial));
    if (client == nullptr) {
        ++tambloServer->counters().configurationsRefused;
        LOG4CPLUS_WARN(logger, "GC with MAC " << found.serial << " is not connected.");
        stopVideoRecording(false);
        return;
    }
    ++tambloServer->counters().configurationsAnswered;
    const CachedSessionQuery query = lookupQuery;
    std::string address = found.deviceAddress;
    uint16_t devicePort = found.devicePort;
    if (query.target == TargetKind::Device) {
        // Only what a query can find again is cached; an entry made meanwhile stays as it is.
        const timeval now = tambloServer->clock().now();
        client->addLdInfo(query.ldId, address, devicePort, query.sessionId, now);
        client->getCachedData(query.ldId, query.sessionId, &address, &devicePort, now);
    }
    tambloServer->claimGatewayClientId(client, query.gcId, query.target == TargetKind::Gateway);
    allowTcpProxySession(client, query, address, devicePort);
}

void Tunnel::allowTcpProxySession(GatewayClient* client, const CachedSessionQuery& query,
                                  const std::string& deviceAddress, uint16_t devicePort) {
    LOG4CPLUS_TRACE(logger, "Allowing TCP proxy session for ld "
                                << query.ldId << ", session "
                                << tamblo::logging::sessionTag(query.sessionId));
    previous = gatewayClient == client ? authorised : AuthorisedConnection();
    bindGatewayClient(client);
    allottedLocalPort = 0;  // this tunnel's previous port is free for its new connection
    authorised.set = false;
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
    authorise(device.s_addr, *localPort, target.port);

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
