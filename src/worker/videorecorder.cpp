// The worker's loop: entry points, the dispatcher of parent messages, the tick and the
// timers that decide when the worker ends, and its pipe output.
#include "worker/videorecorder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/FileDescriptor.h"
#include "common/Logging.h"
#include "protocol/GatewayDatagram.h"
#include "worker/ClientForward.h"
#include "worker/tcpoverudp.h"
#include "worker/videorecorder_output.h"
#include "worker/videorecorder_state.h"

using worker::State;

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kVideoRecorder);

void inputPipeWatcher_cb(struct ev_loop*, ev_io*, int);
void timeout_cb(struct ev_loop*, ev_timer*, int);
void tick();
void exitTimeoutWatcher_cb(struct ev_loop*, ev_timer*, int);
void cleanupWatcherCb(struct ev_loop*, ev_timer*, int);
void requestHeadWatcher_cb(struct ev_loop*, ev_timer*, int) {
    LOG4CPLUS_INFO(logger, "client named no target within the request-head time-out of "
                               << worker::state().intake.requestHeadTimeout
                               << " s, closing its connection");
    worker::endNow();
}
void ackTimer_cb(struct ev_loop*, ev_timer*, int) {
    tunnelFlushAck();
}
void outputFlush_cb(struct ev_loop*, ev_prepare*, int) {
    // The client's bytes first: writing them reopens the device's window, and the ACK that
    // says so leaves with the batch.
    worker::writePendingClientData();
    worker::flushOutput();
    worker::state().retiredWatchers.clear();  // no watcher callback runs now
}

}  // namespace

namespace worker {
void startWatchers() {
    State& s = worker::state();
    LOG4CPLUS_DEBUG(logger, "installing watcher for " << s.fdUDPInput);
    ev_io_init(s.inputPipeWatcher.get(), inputPipeWatcher_cb, s.fdUDPInput, EV_READ);
    s.inputPipeWatcher.start(s.localLoop);
    ev_timer_init(s.timeoutWatcher.get(), timeout_cb, worker::kTickSeconds, worker::kTickSeconds);
    s.timeoutWatcher.start(s.localLoop);
    s.lastTick = ev_now(s.localLoop);
    ev_timer_init(s.exitTimeoutWatcher.get(), exitTimeoutWatcher_cb, worker::kExitDelaySeconds, 0.);
    ev_timer_init(s.cleanupWatcher.get(), cleanupWatcherCb, worker::kCleanupSeconds, 0.);
    ev_timer_init(s.transport.ackTimer.get(), ackTimer_cb, worker::kAckDelaySeconds, 0.);
    ev_prepare_init(s.outputFlushWatcher.get(), outputFlush_cb);
    s.outputFlushWatcher.start(s.localLoop);
}

namespace {
void stopAllWatchers() {
    State& s = worker::state();
    s.watchers.clear();
    s.writeWatchers.clear();
    s.retiredWatchers.clear();
    s.inputPipeWatcher.stop();
    s.relay.vlcOutputWatcher.stop();
    s.relay.vlcInputQueueWatcher.stop();
    s.recording.vlcListenWatcher.stop();
    s.timeoutWatcher.stop();
    s.recording.bufferingWatcher.stop();
    s.exitTimeoutWatcher.stop();
    s.cleanupWatcher.stop();
    s.intake.requestHeadWatcher.stop();
    s.transport.ackTimer.stop();
    s.outputFlushWatcher.stop();
    s.lingerWatcher.stop();
}
}  // namespace

void destroyLoop() {
    State& s = worker::state();
    s.mailbox.close();  // a media thread's later call does nothing
    stopAllWatchers();
    ev_loop_destroy(s.localLoop);
    s.localLoop = nullptr;
}

void closeIfOpen(int& descriptor) {
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
}
}  // namespace worker

namespace {
using worker::closeIfOpen;
using worker::destroyLoop;
using worker::initialiseProcessState;
using worker::startWatchers;
using worker::vlcOutputWatcher_cb;

// A socket from the parent on the hand-off pair, or -1 when the parent closed the pair instead.
int receiveSocket(int handoff) {
    char byte;
    iovec vector{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(handoff, &message, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    const cmsghdr* c = n == 1 ? CMSG_FIRSTHDR(&message) : nullptr;
    if (c == nullptr || c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS ||
        c->cmsg_len != CMSG_LEN(sizeof(int))) {
        return -1;
    }
    int fd;
    std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
    return fd;
}
void handleStopRequest() {
    State& s = worker::state();
    LOG4CPLUS_TRACE(logger, "inputPipeWatcher_cb: got stop request");
    if (s.recording.rec) {
        s.recording.rec->closeMedia();  // the recorder cleans up once the media has closed
        return;
    }
    if (s.exitTimeoutWatcher.active()) {
        return;  // the worker already ends 0.5 s after the first request
    }
    if (s.recording.bufferingTimePassed) {
        LOG4CPLUS_TRACE(logger, "Starting exit timer, 0.5s");
        s.exitTimeoutWatcher.start(s.localLoop);
    } else {
        LOG4CPLUS_TRACE(logger, "Too soon to close, waiting...");
        s.closeRequested = true;
    }
}

void handleConnect(const uint8_t* payload, uint16_t length) {
    State& s = worker::state();
    LOG4CPLUS_TRACE(logger, "proxy: will start connecting");
    const auto parameters = pipe_message::decodeConnectParameters(payload, length);
    if (!parameters) {
        LOG4CPLUS_WARN(logger, "connect parameters of " << length << " bytes are too short");
        return;
    }
    s.transport.tcpWnd = parameters->windowSize;
    // A proxy worker connects exactly where the parent says: the device, or the address and
    // port that the client's relay service imposes.
    if (s.isProxy) {
        s.transport.cameraPortNumber = parameters->devicePort;
        const size_t n = parameters->deviceAddress.size();
        std::memcpy(s.transport.cameraIPAddress, parameters->deviceAddress.data(), n);
        s.transport.cameraIPAddress[n] = '\0';
    }
    LOG4CPLUS_TRACE(logger, "proxy: before connecting to a tunnel");
    tunnelConnect(parameters->localIP, parameters->localPort, inet_addr(getIPAddress()),
                  getPortNumber(), s.transport.tcpWnd);
    LOG4CPLUS_TRACE(logger, "proxy: after connecting to a tunnel");
}

// The client's gateway is held by another server: the parent connected there and passes that
// connection on the hand-off socket; the loop ends and the worker forwards the client.
void handleForward() {
    State& s = worker::state();
    if (!s.isProxy || s.relay.fdHandoff < 0 || s.relay.fdForward >= 0) {
        return;
    }
    s.relay.fdForward = receiveSocket(s.relay.fdHandoff);
    closeIfOpen(s.relay.fdHandoff);
    if (s.relay.fdForward < 0) {
        LOG4CPLUS_WARN(logger, "proxy: the connection to forward the client did not arrive");
        worker::endNow();
        return;
    }
    ev_break(s.localLoop, EVBREAK_ALL);
}

bool dispatchParentMessage(uint8_t type, const uint8_t* payload, uint16_t length) {
    // The batched reader took the frame apart already; the lines say what it read (one test
    // of the level for all of them: this runs for every packet).
    if (logger.isEnabledFor(log4cplus::TRACE_LOG_LEVEL)) {
        LOG4CPLUS_TRACE(logger, "reading packet from pipe");
        LOG4CPLUS_TRACE(logger, "got packet type: " << static_cast<int>(type));
        LOG4CPLUS_TRACE(logger, "received len: " << length);
        LOG4CPLUS_TRACE(logger, "inputPipeWatcher_cb: got " << length << " bytes");
    }
    if (worker::state().lingering) {
        if (type == pipe_message::kDatagram) {
            tunnelTransportInput(payload, length);  // the rest of the close
        }
        return true;
    }
    worker::touchKeepalive();
    switch (type) {
        case pipe_message::kStop:
            handleStopRequest();
            break;
        case pipe_message::kNotCached:
            // The parent asks the configuration service; its connect or stop follows.
            LOG4CPLUS_TRACE(logger, "target not cached, the server looks it up");
            break;
        case pipe_message::kConnect:
            handleConnect(payload, length);
            break;
        case pipe_message::kForward:
            handleForward();
            break;
        case pipe_message::kDatagram:
            ++worker::state().transport.packetsThisRead;
            tunnelTransportInput(payload, length);
            break;
        case pipe_message::kRingDoorbell:
            break;  // the ring is read with every read of the pipe
        default:
            // Channel data: the recorder takes the datagram without its channel byte.
            if (worker::state().recording.rec && length > 0) {
                worker::state().recording.rec->receivedRtpData(payload + 1, length - 1u);
            }
            break;
    }
    return worker::state().localLoop != nullptr;
}

// What the gateway sent, from the shared ring; false when the worker ended.
bool drainRing() {
    State& s = worker::state();
    if (s.ring.drain(dispatchParentMessage) == worker_ring::RingReader::Status::Corrupt) {
        LOG4CPLUS_WARN(logger, "the ring from the parent holds a frame it cannot hold");
        worker::endNow();
    }
    return s.localLoop != nullptr;
}

void inputPipeWatcher_cb(struct ev_loop*, ev_io*, int) {
    using Status = pipe_message::Reader::Status;
    State& s = worker::state();
    LOG4CPLUS_TRACE(logger, "inputPipeWatcher_cb: got trigger");
    s.transport.packetsThisRead = 0;
    // The ring before and after the pipe: what the parent put there before one of its own
    // messages is taken before that message, as far as the worker can tell.
    if (!drainRing()) {
        return;
    }
    const Status status = s.pipeReader.readAndDispatch(s.fdUDPInput, dispatchParentMessage);
    switch (status) {
        case Status::Ok:
        case Status::WouldBlock:
        case Status::Stopped:
            break;
        case Status::Overlong:
            LOG4CPLUS_WARN(logger, "buffer overflow reading from pipe");
            worker::endNow();
            break;
        case Status::Error:
            LOG4CPLUS_WARN(logger, "read error: " << std::strerror(errno));
            worker::endNow();
            break;
        case Status::EndOfFile:
            // The parent is gone: nobody is left to relay for.
            LOG4CPLUS_DEBUG(logger, "pipe from parent closed, ending worker");
            worker::endNow();
            break;
    }
    if (s.localLoop == nullptr || !drainRing()) {
        return;
    }
    if (s.lingering) {
        if (!tunnelClosing()) {
            ev_break(s.localLoop, EVBREAK_ALL);
        }
        return;
    }
    if (s.transport.packetsThisRead >= worker::kAckAtReadEnd) {
        // A read of many segments (the parent held them, or the device sends fast) is
        // acknowledged once, at its end (the ACK of every second segment gives way to this
        // one in the output batch): no later wake-up for the odd one's delayed ACK.
        tunnelFlushAck();
    } else if (!s.transport.ackTimer.active() && tunnelAckPending()) {
        // A lone segment's ACK would otherwise wait for the next 0.25 s tick.
        s.transport.ackTimer.start(s.localLoop);
    }
    // While the parent writes, the tick rides on its reads instead of waking the worker: one
    // that is due runs here, on the 0.25 s cadence (a tick that ran late does not move the
    // next one later), and the timer waits a slack beyond the next one for a read to come.
    const ev_tstamp now = ev_now(s.localLoop);
    if (now - s.lastTick >= worker::kTickSeconds) {
        s.lastTick = now - s.lastTick < 2 * worker::kTickSeconds
                         ? s.lastTick + worker::kTickSeconds
                         : now;
        tick();
        if (s.localLoop == nullptr) {
            return;
        }
    }
    s.timeoutWatcher.get()->repeat =
        s.lastTick + worker::kTickSeconds + worker::kTickSlackSeconds - now;
    ev_timer_again(s.localLoop, s.timeoutWatcher.get());
    LOG4CPLUS_TRACE(logger, "<< inputPipeWatcher_cb: got trigger");
}

// A quiet worker's tick: nothing came from the parent for a tick and its slack.
void timeout_cb(struct ev_loop* loop, ev_timer* timer, int) {
    worker::state().lastTick = ev_now(loop);
    tick();
    if (worker::state().localLoop != nullptr) {
        timer->repeat = worker::kTickSeconds;
        ev_timer_again(loop, timer);
    }
}

void tick() {
    State& s = worker::state();
    tunnelIdleTimer();
    if (s.isProxy && !worker::clientQueueEmpty()) {
        // Not idle: the answer is on its way to a client that takes it at its own pace (the
        // device waits meanwhile), and the worker must not end once that queue drains.
        worker::touchKeepalive();
    }
    timeval now;
    gettimeofday(&now, nullptr);
    if (now.tv_sec - s.keepalive_tv.tv_sec > static_cast<time_t>(s.keepaliveTimeout)) {
        LOG4CPLUS_TRACE(
            logger, "timeout reached (" << s.keepaliveTimeout << " s), setting close request flag");
        s.closeRequested = true;
    }
    LOG4CPLUS_TRACE(
        logger, "timeout_cb: bufferingTimePassed: " << s.recording.bufferingTimePassed
                                                    << ", closeRequested: " << s.closeRequested);
    if (s.recording.bufferingTimePassed && s.closeRequested &&
        (!s.isProxy || worker::clientQueueEmpty())) {
        worker::endNow();
    }
}

void exitTimeoutWatcher_cb(struct ev_loop*, ev_timer*, int) {
    worker::endNow();
}

// The stack's timer goes on while the worker lingers (it sends the FIN again if it was lost).
void lingerWatcher_cb(struct ev_loop* loop, ev_timer*, int) {
    tunnelIdleTimer();
    if (!tunnelClosing() || ev_now(loop) >= worker::state().lingerDeadline) {
        ev_break(loop, EVBREAK_ALL);
    }
}

// The end of a proxy worker's relay, as a host closes a socket: its FIN, then the device's FIN
// and the ACK of the worker's are waited for, kCloseLingerSeconds at most, so that the
// device's socket closes instead of sending its FIN again and again into a tunnel that is
// gone. Data from the device, or the deadline, resets the connection.
void lingerForDeviceClose() {
    State& s = worker::state();
    if (s.localLoop == nullptr) {
        return;
    }
    s.lingering = true;
    if (!tunnelLinger()) {
        return;
    }
    LOG4CPLUS_DEBUG(logger, "waiting for the device to close its side of the connection");
    worker::stopAllWatchers();
    s.inputPipeWatcher.start(s.localLoop);
    s.outputFlushWatcher.start(s.localLoop);
    s.lingerDeadline = ev_now(s.localLoop) + worker::kCloseLingerSeconds;
    ev_timer_init(s.lingerWatcher.get(), lingerWatcher_cb, worker::kTickSeconds,
                  worker::kTickSeconds);
    s.lingerWatcher.start(s.localLoop);
    ev_run(s.localLoop, 0);
    if (tunnelClosing()) {
        LOG4CPLUS_DEBUG(logger, "the device did not close its side in time, resetting");
        tunnelReset();
    }
}

void cleanupWatcherCb(struct ev_loop*, ev_timer*, int) {
    worker::endNow();
}

}  // namespace

void worker::vlcOutputWatcher_cb(struct ev_loop*, ev_io*, int) {
    State& s = worker::state();
    LOG4CPLUS_TRACE(logger, "vlcOutputWatcher_cb: got trigger");
    const size_t room = worker::kClientInbufSize - static_cast<size_t>(s.intake.clientInbufLen);
    if (room == 0) {
        s.relay.vlcOutputWatcher.stop();  // resumes when the tunnel has taken some of the bytes
        return;
    }
    const ssize_t n = ::recv(s.relay.fdConnected, s.intake.clientInbuf + s.intake.clientInbufLen,
                             room, MSG_DONTWAIT);
    if (n > 0) {
        s.intake.clientInbufLen += static_cast<int>(n);
        s.intake.clientInbuf[s.intake.clientInbufLen] = '\0';
        worker::clientDataReceived(static_cast<int>(n));
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        worker::clientDataReceived(0);
        return;
    }
    if (n == 0) {
        LOG4CPLUS_DEBUG(logger, "relay/vlc connection with plugin closed");
    } else {
        LOG4CPLUS_DEBUG(logger, "relay/vlc connection failed: " << std::strerror(errno));
    }
    s.relay.vlcOutputWatcher.stop();
    tunnelClose();
    tunnelClosed();
}

namespace {
// Teardown shared by both entry points once the loop has been broken.
void finishWorker(const char* stoppingText) {
    State& s = worker::state();
    destroyLoop();
    LOG4CPLUS_DEBUG(logger, stoppingText);
    worker::releaseClientQueue();
    closeIfOpen(s.relay.fdConnected);
    closeIfOpen(s.relay.fdHandoff);
    closeIfOpen(s.recording.fdListen);
    sendCloseTofdUDPOutput();
}

// The worker's side of the tunnel transport.
class WorkerTunnelListener final : public TunnelListener {
  public:
    void tunnelConnected() override { ::tunnelConnected(); }
    bool tunnelReceivedData(pbuf* chain) override { return ::tunnelReceivedData(chain); }
    void tunnelDataSent(uint16_t count) override { ::tunnelDataSent(count); }
    void tunnelClosed() override { ::tunnelClosed(); }
    void tunnelOutput(const uint8_t* packet, uint16_t length) override {
        tunnelTransportOutput(packet, length);
    }
};
WorkerTunnelListener tunnelListener;

}  // namespace

void worker::initialiseProcessState(int fdOutput, int fdInput) {
    State& s = worker::state();
    s.fdUDPOutput = fdOutput;
    s.fdUDPInput = fdInput;
    gettimeofday(&s.keepalive_tv, nullptr);
    tunnelTransportInit(tunnelListener);
    s.localLoop = ev_loop_new(0);
}

namespace worker {

bool attachParentRing(int descriptor) {
    return state().ring.attach(descriptor);
}

namespace {
std::unique_ptr<State>& heldState() {
    static std::unique_ptr<State> s = std::make_unique<State>();
    return s;
}
}  // namespace

State& state() {
    return *heldState();
}

void touchKeepalive() {
    State& s = state();
    if (s.localLoop == nullptr) {
        gettimeofday(&s.keepalive_tv, nullptr);
        return;
    }
    // The loop's time of this pass: no clock read per packet.
    const ev_tstamp now = ev_now(s.localLoop);
    s.keepalive_tv.tv_sec = static_cast<time_t>(now);
    const double fraction = now - static_cast<double>(s.keepalive_tv.tv_sec);
    s.keepalive_tv.tv_usec = static_cast<suseconds_t>(fraction * 1e6);
}

void targetNamed() {
    state().intake.requestHeadWatcher.stop();
}

void resetState() {
    releaseClientQueue();
    heldState() = std::make_unique<State>();
}

void endNow() {
    State& s = state();
    LOG4CPLUS_DEBUG(logger, "Timeout reached. Closing video recording.");
    tunnelClose();
    if (s.localLoop != nullptr) {
        ev_break(s.localLoop, EVBREAK_ALL);
    }
}

}  // namespace worker

namespace {
// What a proxy worker sets up before it knows its client: its state, loop and stack.
void beginProxyWorker(int fdOutput, int fdInput, uint32_t requestHeadTimeout) {
    State& s = worker::state();
    s.isProxy = true;
    s.recording.bufferingTimePassed = true;
    s.intake.requestHeadTimeout = requestHeadTimeout;
    std::strcpy(s.transport.cameraIPAddress, "127.0.0.1");
    initialiseProcessState(fdOutput, fdInput);
}

// Carries the client on to the server the parent connected to, then the worker ends.
void forwardClient() {
    State& s = worker::state();
    s.relay.vlcOutputWatcher.stop();
    ClientForward forward(s.relay.fdConnected, s.relay.fdForward, s.fdUDPInput);
    const ClientForward::End end =
        forward.run(reinterpret_cast<const uint8_t*>(s.intake.clientInbuf),
                    static_cast<size_t>(std::max(s.intake.clientInbufLen, 0)),
                    static_cast<double>(s.keepaliveTimeout));
    s.intake.clientInbufLen = 0;
    static const char* const kEnds[] = {"both sides done", "a socket failed", "idle", "stopped"};
    LOG4CPLUS_DEBUG(logger, "forwarded client ended ("
                                << kEnds[static_cast<int>(end)] << "): " << forward.bytesToPeer()
                                << " bytes to the next server, " << forward.bytesToClient()
                                << " back");
    closeIfOpen(s.relay.fdForward);
}

// Serves the client on fd until the relay ends.
int runProxyWorker(int fd) {
    State& s = worker::state();
    s.relay.fdConnected = fd;
    // A spare waited for its client: its time starts now.
    ev_now_update(s.localLoop);
    gettimeofday(&s.keepalive_tv, nullptr);
    startWatchers();
    fcntl(fd, F_SETFL, O_NONBLOCK);
    ev_io_init(s.relay.vlcOutputWatcher.get(), vlcOutputWatcher_cb, fd, EV_READ);
    s.relay.vlcOutputWatcher.start(s.localLoop);
    if (s.intake.requestHeadTimeout > 0) {
        // Counted from the client's arrival; bytes that name no target do not move it.
        ev_timer_init(s.intake.requestHeadWatcher.get(), requestHeadWatcher_cb,
                      static_cast<double>(s.intake.requestHeadTimeout), 0.);
        s.intake.requestHeadWatcher.start(s.localLoop);
    }
    ev_run(s.localLoop, 0);
    if (s.relay.fdForward >= 0) {
        forwardClient();
    } else {
        lingerForDeviceClose();
    }
    finishWorker("tcpProxy is stopping");
    return 0;
}

}  // namespace

int startTcpProxy(int fd, int fdOutput, int fdInput, uint32_t requestHeadTimeout) {
    beginProxyWorker(fdOutput, fdInput, requestHeadTimeout);
    return runProxyWorker(fd);
}

int startSpareTcpProxy(int handoff, int fdOutput, int fdInput, uint32_t requestHeadTimeout) {
    beginProxyWorker(fdOutput, fdInput, requestHeadTimeout);
    const int fd = receiveSocket(handoff);
    if (fd < 0) {
        ::close(handoff);
        LOG4CPLUS_DEBUG(logger, "spare worker retired before any client came");
        destroyLoop();
        return 0;
    }
    LOG4CPLUS_TRACE(logger, "spare worker took its client, socket " << fd);
    // Kept: the parent may pass the connection to another server on it.
    worker::state().relay.fdHandoff = handoff;
    return runProxyWorker(fd);
}

const char* getIPAddress() {
    return worker::state().transport.cameraIPAddress;
}

uint16_t getPortNumber() {
    return worker::state().transport.cameraPortNumber;
}
