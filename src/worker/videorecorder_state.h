// State of the one relay or recording that a worker process serves, shared by the
// worker's units (loop and dispatcher, request intake, configuration lookup, data path).
// Process-wide: the parent's objects are never used in a worker after the fork. One struct
// per unit of the worker (intake, lookup, relay, recording, transport) beside the loop's own.
//
// Names kept from the recording worker they were first made for, which mislead elsewhere:
//   fdUDPInput, fdUDPOutput   the pipes from and to the parent (no UDP socket)
//   relay.fdConnected         the local connection: a proxy worker's client socket, or the
//                             media framework's connection to a recording's local server
//   relay.vlcOutputWatcher    reads that connection (the client's request bytes, too)
//   relay.vlcInputQueueWatcher  writes device data to it when it could not take all at once
//   transport.cameraIPAddress, transport.cameraPortNumber  the device a proxy worker reaches
//                             as well as a recording's camera
//   transport.gcIP, transport.gcPort  the gateway client's local address and port for the
//                             tunnel's connection
#pragma once

#include <sys/time.h>

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "common/EventLoop.h"
#include "common/LoopMailbox.h"
#include "protocol/PipeMessage.h"
#include "protocol/WorkerRing.h"
#include "protocol/RelayService.h"

struct pbuf;

namespace worker {
// What the worker's loop, its tunnel and the parent's messages reach of an RTSP recording.
// RTSPRecorder is the one kind; only the recording's entry makes one, so the proxy worker's
// code, which merely routes events to it, links none of the media libraries.
class RecorderEvents {
  public:
    virtual ~RecorderEvents() = default;
    virtual void connected() = 0;  // the tunnel's connection to the camera is up
    virtual void receivedData(const uint8_t* bytes, size_t length) = 0;     // camera bytes
    virtual void receivedRtpData(const uint8_t* bytes, size_t length) = 0;  // channel data
    virtual void tunnelAcknowledged() = 0;  // the camera took bytes the recorder sent
    virtual void cameraClosed() = 0;
    virtual void closeMedia() = 0;  // the parent asked the recording to stop
    virtual size_t bytesWaitingForMedia() const = 0;
};
}  // namespace worker

// A descriptor watched on behalf of a recorder; the read (or write) watcher calls cb.
class Watcher {
  public:
    Watcher(int fd, LoopMailbox::Call cb, int events = EV_READ);
    ~Watcher();
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    int fd;
    EvIo watcher;
    LoopMailbox::Call cb;
};

// A call deferred to the next pass of the worker's loop; frees itself after running.
struct ScheduledCall {
    explicit ScheduledCall(LoopMailbox::Call cb);
    ~ScheduledCall();
    EvTimer timer;
    LoopMailbox::Call cb;
};

namespace worker {

constexpr size_t kClientInbufSize = 131072;
constexpr double kTickSeconds = 0.25;
// While the parent writes, a tick that is due waits this long for the next pipe read to run
// it before the timer wakes the worker: the parent writes a busy worker at least every
// 0.15 s, its longest hold.
constexpr double kTickSlackSeconds = 0.15;
constexpr double kExitDelaySeconds = 0.5;
// An ending proxy worker waits this long at most for the device to close its side (its FIN,
// the ACK of the worker's); what is still open then is reset.
constexpr double kCloseLingerSeconds = 2.0;
constexpr double kBufferingSeconds = 5.0;
constexpr double kCleanupSeconds = 5.0;
constexpr uint32_t kDefaultKeepaliveTimeout = 30;
// A delayed ACK waits at most this long: well below the 200 ms minimum retransmission
// time-out of common TCP peers, which the 0.25 s tick of the stack's timer is not.
constexpr double kAckDelaySeconds = 0.005;
// A pipe read of at least this many tunnel packets sends its delayed ACK at its end; after
// fewer, the delayed ACK waits for the next read or kAckDelaySeconds.
constexpr uint32_t kAckAtReadEnd = 4;
// Tunnel packets for the parent gathered in one pass of the loop, written together.
constexpr size_t kOutputBatchSize = 64 * 1024;
// Memory that device data waiting for the local connection may hold before more is refused
// (the stack then keeps it, unacknowledged): a fixed bound whatever the device sends.
constexpr uint64_t kClientQueueLimit = 4 * 1024 * 1024;
// What a queued stack buffer costs beyond its payload: buffer header, headroom, the IPv4 and
// TCP headers it arrived with, and the allocator's own.
constexpr uint64_t kBufferOverhead = 160;
// CUSTOM_KEEPALIVE_TIMEOUT is held to this range (seconds).
constexpr uint32_t kMinKeepaliveTimeout = 1;
constexpr uint32_t kMaxKeepaliveTimeout = 3600;

struct State {
    bool isProxy = false;
    int fdUDPInput = -1;
    int fdUDPOutput = -1;
    uint32_t keepaliveTimeout = kDefaultKeepaliveTimeout;
    bool keepaliveClampLogged = false;
    timeval keepalive_tv = {};
    bool closeRequested = false;
    struct ev_loop* localLoop = nullptr;
    EvIo inputPipeWatcher;
    EvTimer timeoutWatcher;
    double lastTick = 0;  // loop time of the last tick, run by its timer or by a pipe read
    EvTimer exitTimeoutWatcher;
    EvTimer cleanupWatcher;
    bool lingering = false;  // the relay is over; only the device's close is waited for
    EvTimer lingerWatcher;
    double lingerDeadline = 0;
    EvWatcher<ev_prepare> outputFlushWatcher;
    std::unique_ptr<uint8_t[]> outputBatch;
    size_t outputBatchLength = 0;
    size_t lastFrameOffset = 0;  // where the batch's last frame starts (when not empty)
    std::map<int, std::unique_ptr<Watcher>> watchers;
    std::map<int, std::unique_ptr<Watcher>> writeWatchers;
    // Deregistered records, freed before the loop next waits (a callback may deregister its
    // own watcher while it runs).
    std::vector<std::unique_ptr<Watcher>> retiredWatchers;
    LoopMailbox mailbox;  // work from the recorder's media threads
    pipe_message::Reader pipeReader{16 * pipe_message::kMaxFrame};
    worker_ring::RingReader ring;  // what the gateway sent, when the parent set one up

    // The client's request as it arrives: bytes held until a target is named, its deadline.
    struct {
        uint32_t requestHeadTimeout = 10;  // seconds for the relay options to arrive
        bool clientTargets = true;         // DST_PORT and SERVICE may choose a relay service
        char clientInbuf[kClientInbufSize + 1] = {};
        int clientInbufLen = 0;
        bool targetRequested = false;  // the request named a target at least once
        bool gotCookies = false;
        bool dataNeedsProcessing = false;
        char previousHttpHeaderKey[256] = {};
        EvTimer requestHeadWatcher;  // proxy worker: ends it when no target is named in time
    } intake;

    // The target the request named and the query about it (proxy worker).
    struct {
        bool targetPending = false;  // a lookup or connect for the current target is under way
        char sessionId[128] = {};
        char gcId[16] = {};
        char ldId[16] = {};
        RelayService service = RelayService::None;
    } lookup;

    // The local connection and what the data path rewrites on it.
    struct {
        int fdConnected = -1;
        bool replaceContentTypeFlag = false;
        bool replacedContentType = false;
        bool authHeaderReplaced = false;
        bool httpStatusSwitchDisabled = false;
        uint64_t receivedTotal = 0;
        EvIo vlcOutputWatcher;
        EvIo vlcInputQueueWatcher;
        bool clientWritePending = false;  // device data came in this pass: written before the wait
        // A spare's hand-off socket, kept for the next server's connection when the parent
        // forwards the client; that connection once it came.
        int fdHandoff = -1;
        int fdForward = -1;
    } relay;

    // A recording's buffering time, the framework's local server, the RTSP recorder.
    struct {
        int fdListen = -1;
        bool bufferingTimePassed = false;
        EvIo vlcListenWatcher;
        EvTimer bufferingWatcher;
        boost::shared_ptr<worker::RecorderEvents>
            rec;  // RTSP path: tunnel and parent events go to the recorder
    } recording;

    // The tunnel's connection parameters and its delayed ACK.
    struct {
        uint32_t gcIP = 0;
        uint16_t gcPort = 0;
        char cameraIPAddress[128] = "127.0.0.1";
        uint16_t cameraPortNumber = 80;
        uint32_t tcpWnd = 0;
        EvTimer ackTimer;
        uint32_t packetsThisRead = 0;  // tunnel packets of the pipe read being dispatched
    } transport;
};

State& state();

void touchKeepalive();
// Writes the gathered tunnel packets to the parent (before any other message, and before
// the loop waits).
void flushOutput();
// Ends the worker at once: closes the tunnelled connection and breaks the loop.
void endNow();

// Seams of the units that build on the loop (request intake, lookup, data path).
void clientDataReceived(int received);  // bytes were appended to clientInbuf
void processClientData(int received);   // forwards the held client bytes when it may
void startLookup();                     // the request named a new target
bool clientQueueEmpty();                // nothing waits to be written to the local connection
// Writes the device data that came in during this pass of the loop to the local connection
// (once per pass, not once per segment).
void writePendingClientData();
uint64_t clientQueueBytes();
void releaseClientQueue();
// Recording: the media framework's connection joins the tunnel; false when the framework
// gave up before the camera answered (nothing is left to relay for).
bool acceptMediaConnection();
void targetNamed();  // the client's request named its first target
// The loop's set-up and teardown, shared by the proxy entries (videorecorder.cpp) and the
// recording's (videorecorder_record.cpp).
void initialiseProcessState(int fdOutput, int fdInput);  // the pipes, the stack, a new loop
void startWatchers();  // the parent's pipe, the tick, the exit timers, the output flush
void destroyLoop();
void closeIfOpen(int& descriptor);
void vlcOutputWatcher_cb(struct ev_loop*, ev_io*, int);  // reads the local connection
// Forgets the relay: a fresh worker's state (tests run several relays in one process).
void resetState();

}  // namespace worker
