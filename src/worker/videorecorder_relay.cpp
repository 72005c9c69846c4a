// The worker's relay data path: client bytes into the tunnelled connection with flow
// control, device bytes queued zero-copy and written to the client with gathered writes,
// the two once-only rewrites of a proxy worker's answers, and the close sequences.
#include "worker/videorecorder_relay.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>
#include <deque>

#include "common/LogRedaction.h"
#include "common/Logging.h"
#include "recording/CameraAnswerCheck.h"
#include "tcpoverudp_stack.h"
#include "worker/tcpoverudp.h"
#include "worker/videorecorder.h"
#include "worker/videorecorder_state.h"

using worker::State;

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kVideoRecorder);

constexpr size_t kMaxGather = 1024;  // buffers per gathered write

// Device bytes not yet written to the local connection, one stack buffer per entry in
// arrival order. The stack's chains carry 16-bit totals, so the queue keeps its buffers
// apart and counts in 64 bits.
//
// Its size is bounded twice. The receive window reopens only for bytes written to the local
// connection (tunnelDataConsumed), so one connection never has more than its window here.
// And once the queue costs kClientQueueLimit, further device data is refused and stays
// with the stack, not acknowledged further: this holds also for what connections replaced
// by later requests left behind, and for devices that send tiny segments.
struct ClientQueue {
    std::deque<pbuf*> buffers;
    uint64_t bytes = 0;  // payload bytes
    uint64_t cost = 0;   // memory held: payload plus kBufferOverhead per buffer
    bool refusing = false;
    bool writing = false;  // the writer runs (it may take in data while it reopens the window)
};
ClientQueue& clientQueue() {
    static ClientQueue queue;
    return queue;
}

size_t bufferCost(const pbuf* p) {
    return p->len + worker::kBufferOverhead;
}

// RTSP path: the camera's bytes go to the recorder, which writes them to the media
// framework's socket or keeps them; past the worker's cap the stack keeps them instead.
bool deliverToRecorder(worker::RecorderEvents& rec, pbuf* chain) {
    if (rec.bytesWaitingForMedia() >= worker::kClientQueueLimit) {
        LOG4CPLUS_DEBUG(logger, "media framework queue full with " << rec.bytesWaitingForMedia()
                                                                   << " bytes, the camera waits");
        return false;
    }
    worker::touchKeepalive();
    LOG4CPLUS_TRACE(logger, "tunnelReceivedData: Got " << chain->tot_len << " bytes");
    for (const pbuf* p = chain; p != nullptr; p = p->next) {
        rec.receivedData(static_cast<const uint8_t*>(p->payload), p->len);
    }
    pbuf_free(chain);
    return true;
}

// MJPEG path: every camera byte is checked before the framework may see it.
bool cameraAnswerPasses(const pbuf* chain) {
    static recording::CameraAnswerCheck check;
    for (const pbuf* p = chain; p != nullptr; p = p->next) {
        if (!check.pass(static_cast<const uint8_t*>(p->payload), p->len)) {
            return false;
        }
    }
    return true;
}

void vlcInputQueueWatcher_cb(struct ev_loop*, ev_io*, int) {
    runClientWriter();
}

void sendInbufToTunnel() {
    State& s = worker::state();
    const uint32_t accepted = tunnelSendData(reinterpret_cast<const uint8_t*>(s.intake.clientInbuf),
                                             static_cast<uint32_t>(s.intake.clientInbufLen));
    if (accepted == 0) {
        return;
    }
    s.intake.clientInbufLen -= static_cast<int>(accepted);
    std::memmove(s.intake.clientInbuf, s.intake.clientInbuf + accepted,
                 static_cast<size_t>(s.intake.clientInbufLen));
    s.intake.clientInbuf[s.intake.clientInbufLen] = '\0';
    LOG4CPLUS_TRACE(logger, "sendInbufToTunnel: sent "
                                << accepted
                                << " bytes to tunnel, remaining: " << s.intake.clientInbufLen);
    worker::touchKeepalive();
}

void resumeClientReading() {
    State& s = worker::state();
    if (s.relay.fdConnected >= 0 &&
        s.intake.clientInbufLen < static_cast<int>(worker::kClientInbufSize) &&
        !s.relay.vlcOutputWatcher.active() && s.localLoop != nullptr) {
        ev_io_set(s.relay.vlcOutputWatcher.get(), s.relay.fdConnected, EV_READ);
        s.relay.vlcOutputWatcher.start(s.localLoop);
    }
}

char lowerAscii(uint8_t c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

// Case-insensitive (ASCII) search within the first length bytes, stopping at a zero byte as a
// search over a zero-terminated copy of the buffer would.
const uint8_t* findNoCase(const uint8_t* bytes, size_t length, const char* needle) {
    const size_t n = std::strlen(needle);
    const uint8_t* end = static_cast<const uint8_t*>(std::memchr(bytes, 0, length));
    const size_t limit = end != nullptr ? static_cast<size_t>(end - bytes) : length;
    for (size_t i = 0; i + n <= limit; ++i) {
        size_t j = 0;
        while (j < n && lowerAscii(bytes[i + j]) == lowerAscii(static_cast<uint8_t>(needle[j]))) {
            ++j;
        }
        if (j == n) {
            return bytes + i;
        }
    }
    return nullptr;
}

}  // namespace

void rewriteAnswer(uint8_t* bytes, size_t length) {
    State& s = worker::state();
    if (s.relay.replaceContentTypeFlag && !s.relay.replacedContentType) {
        LOG4CPLUS_TRACE(logger, "vlcInputQueueWatcher_cb: searching for Content-Type...");
        const uint8_t* found = findNoCase(bytes, length, "Content-Type: multipart/x-mixed-replace");
        if (found != nullptr) {
            std::memcpy(bytes + (found - bytes), "content_type", 12);
            s.relay.replacedContentType = true;
        }
    }
    if (!s.relay.httpStatusSwitchDisabled && !s.relay.authHeaderReplaced) {
        // Only a status code right after "HTTP/1.x " counts: the first "401" must start at
        // offset 9, so nothing past offset 11 needs looking at.
        constexpr size_t kStatusOffset = 9;
        const uint8_t* found =
            findNoCase(bytes, std::min<size_t>(length, kStatusOffset + 3), "401");
        if (found == bytes + kStatusOffset) {
            std::memcpy(bytes + kStatusOffset, "403", 3);
            s.relay.authHeaderReplaced = true;
        }
    }
}

void runClientWriter() {
    State& s = worker::state();
    ClientQueue& queue = clientQueue();
    if (queue.writing) {
        return;  // data taken in while the writer reopens the window waits for its next run
    }
    queue.writing = true;
    if (!queue.buffers.empty()) {
        LOG4CPLUS_TRACE(logger, "trying to send data to client: " << queue.bytes);
        iovec pieces[kMaxGather];
        size_t count = 0;
        for (pbuf* p : queue.buffers) {
            if (count == kMaxGather) {
                break;
            }
            pieces[count++] = {p->payload, p->len};
        }
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = count;
        const ssize_t result =
            ::sendmsg(s.relay.fdConnected, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        const int error = errno;
        LOG4CPLUS_TRACE(logger, "bytes sent to client: " << result << ", errno=" << error);
        if (result > 0) {
            size_t remaining = static_cast<size_t>(result);
            queue.bytes -= remaining;
            queue.cost -= remaining;
            while (remaining > 0 && remaining >= queue.buffers.front()->len) {
                LOG4CPLUS_TRACE(logger, "removing bytes from pbuf client queue: " << remaining);
                remaining -= queue.buffers.front()->len;
                queue.cost -= worker::kBufferOverhead;
                pbuf_free(queue.buffers.front());
                queue.buffers.pop_front();
            }
            if (remaining > 0) {
                // Only the unwritten bytes of the head stay: its payload start moves on.
                pbuf_remove_header(queue.buffers.front(), remaining);
            }
            // Bytes on their way to the client are activity, and room for the device.
            worker::touchKeepalive();
            if (queue.refusing && queue.cost < worker::kClientQueueLimit) {
                LOG4CPLUS_DEBUG(logger, "client queue has room again, taking device data");
                queue.refusing = false;
            }
            tunnelDataConsumed(static_cast<uint32_t>(result));
        } else if (result < 0 && error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
            LOG4CPLUS_DEBUG(
                logger, "error writing to client: " << std::strerror(error) << ", stopping tunnel");
            // The client is gone: what is queued for it can never be delivered.
            queue.writing = false;
            worker::releaseClientQueue();
            s.relay.vlcInputQueueWatcher.stop();
            s.relay.vlcOutputWatcher.stop();
            tunnelClose();
            tunnelClosed();
            return;
        }
    }
    queue.writing = false;
    if (!queue.buffers.empty()) {
        LOG4CPLUS_TRACE(logger, "starting client write watcher");
        if (!s.relay.vlcInputQueueWatcher.active() && s.localLoop != nullptr) {
            s.relay.vlcInputQueueWatcher.start(s.localLoop);
        }
    } else {
        LOG4CPLUS_TRACE(logger, "stopping client write watcher");
        s.relay.vlcInputQueueWatcher.stop();
    }
}

namespace worker {

void processClientData(int received) {
    State& s = state();
    if (s.intake.clientInbufLen > 0) {
        s.relay.receivedTotal += static_cast<uint64_t>(received > 0 ? received : 0);
        LOG4CPLUS_TRACE(logger, "total bytes received from client: " << s.relay.receivedTotal);
        LOG4CPLUS_TRACE(logger, "vlcOutputWatcher_cb: sending " << s.intake.clientInbufLen
                                                                << " bytes to tunnel");
        // While the target's lookup or connect is under way the bytes wait for the new
        // connection instead of going to one that does not exist (or to the old target).
        if (!s.lookup.targetPending) {
            if (!s.intake.targetRequested && s.isProxy) {
                LOG4CPLUS_INFO(logger,
                               "client sent no relay options before any target was "
                               "chosen, closing its connection");
            }
            sendInbufToTunnel();
        }
        if (s.intake.clientInbufLen == static_cast<int>(kClientInbufSize)) {
            LOG4CPLUS_DEBUG(logger, "output buffer full, stopping input watcher");
            s.relay.vlcOutputWatcher.stop();
        }
    }
    LOG4CPLUS_TRACE(logger, "<< vlcOutputWatcher_cb: got trigger");
}

bool clientQueueEmpty() {
    return clientQueue().buffers.empty();
}

void writePendingClientData() {
    State& s = state();
    if (s.relay.clientWritePending) {
        s.relay.clientWritePending = false;
        runClientWriter();
    }
}

void releaseClientQueue() {
    ClientQueue& queue = clientQueue();
    for (pbuf* p : queue.buffers) {
        pbuf_free(p);
    }
    queue.buffers.clear();
    queue.bytes = 0;
    queue.cost = 0;
    queue.refusing = false;
}

uint64_t clientQueueBytes() {
    return clientQueue().bytes;
}

}  // namespace worker

void tunnelConnected() {
    State& s = worker::state();
    s.lookup.targetPending = false;
    if (s.recording.rec) {
        s.recording.rec->connected();
        return;
    }
    if (s.isProxy) {
        LOG4CPLUS_TRACE(logger, "tunnelConnected isProxy");
        LOG4CPLUS_TRACE(logger, "passing HTTP headers of size: " << s.intake.clientInbufLen);
        LOG4CPLUS_TRACE(logger,
                        "HTTP headers: " << tamblo::logging::redactSecrets(s.intake.clientInbuf));
        sendInbufToTunnel();
        worker::touchKeepalive();
    }
    // A recording's media framework waits on its server.
    if (s.relay.fdConnected < 0 && s.recording.fdListen >= 0 && !worker::acceptMediaConnection()) {
        tunnelClose();
        tunnelClosed();
        return;
    }
    if (s.relay.fdConnected < 0) {
        return;
    }
    resumeClientReading();
    if (!s.relay.vlcInputQueueWatcher.active()) {
        ev_io_init(s.relay.vlcInputQueueWatcher.get(), vlcInputQueueWatcher_cb, s.relay.fdConnected,
                   EV_WRITE);
    }
}

bool tunnelReceivedData(struct pbuf* chain) {
    State& s = worker::state();
    if (s.recording.rec) {
        return deliverToRecorder(*s.recording.rec, chain);
    }
    ClientQueue& queue = clientQueue();
    if (queue.cost >= worker::kClientQueueLimit) {
        if (!queue.refusing) {
            LOG4CPLUS_DEBUG(logger,
                            "client queue full with " << queue.bytes << " bytes, the device waits");
            queue.refusing = true;
        }
        return false;
    }
    worker::touchKeepalive();
    LOG4CPLUS_TRACE(logger, "tunnelReceivedData: Got " << chain->tot_len << " bytes");
    if (!s.isProxy && !cameraAnswerPasses(chain)) {
        pbuf_free(chain);
        worker::endNow();  // the recording ends here: nothing of the redirect reaches it
        return true;
    }
    if (s.isProxy) {
        rewriteAnswer(static_cast<uint8_t*>(chain->payload), chain->len);
    }
    while (chain != nullptr) {
        pbuf* next = chain->next;
        if (next != nullptr) {
            pbuf_ref(next);
            pbuf_dechain(chain);
        }
        queue.bytes += chain->len;
        queue.cost += bufferCost(chain);
        queue.buffers.push_back(chain);
        chain = next;
    }
    if (s.localLoop != nullptr) {
        s.relay.clientWritePending = true;  // with whatever else this pass brings
    } else {
        runClientWriter();
    }
    return true;
}

void tunnelDataSent(uint16_t count) {
    State& s = worker::state();
    LOG4CPLUS_TRACE(logger, "tunnelDataSent: sent " << count << " bytes");
    if (s.recording.rec) {
        s.recording.rec->tunnelAcknowledged();
        return;
    }
    if (s.intake.clientInbufLen > 0 && !s.lookup.targetPending) {
        sendInbufToTunnel();
    }
    if (s.intake.clientInbufLen < static_cast<int>(worker::kClientInbufSize) &&
        !s.lookup.targetPending) {
        resumeClientReading();
    }
}

void tunnelClosed() {
    State& s = worker::state();
    if (s.recording.rec && s.localLoop != nullptr) {
        // What the camera sent before it closed still reaches the framework; the recorder
        // ends the recording once the framework has completed the file.
        s.recording.rec->cameraClosed();
        return;
    }
    worker::writePendingClientData();  // what came with the end goes out before it is judged
    if (!worker::clientQueueEmpty()) {
        LOG4CPLUS_DEBUG(logger,
                        "Tunnel closed, but output buffer not empty, waiting until it's sent");
        s.closeRequested = true;
        return;
    }
    LOG4CPLUS_DEBUG(logger, "Tunnel closed, exiting local loop.");
    if (s.localLoop != nullptr) {
        ev_break(s.localLoop, EVBREAK_ALL);
    }
}
