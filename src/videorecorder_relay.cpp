// The worker's relay between its local connection and the tunnelled connection.
#include <cstring>

#include "Logging.h"
#include "tcpoverudp.h"
#include "videorecorder.h"
#include "videorecorder_state.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kVideoRecorder);

void sendInbufToTunnel() {
    worker::State& s = worker::state();
    const uint32_t accepted =
        tunnelSendData(reinterpret_cast<const uint8_t*>(s.clientInbuf),
                       static_cast<uint32_t>(s.clientInbufLen));
    if (accepted == 0) {
        return;
    }
    s.clientInbufLen -= static_cast<int>(accepted);
    std::memmove(s.clientInbuf, s.clientInbuf + accepted, static_cast<size_t>(s.clientInbufLen));
    s.clientInbuf[s.clientInbufLen] = '\0';
    LOG4CPLUS_TRACE(logger, "sendInbufToTunnel: sent " << accepted << " bytes to tunnel, remaining: "
                                                       << s.clientInbufLen);
    worker::touchKeepalive();
}
}  // namespace

namespace worker {

void clientDataReceived(int received) {
    State& s = state();
    if (s.clientInbufLen > 0) {
        s.receivedTotal += static_cast<uint64_t>(received);
        sendInbufToTunnel();
    }
}

void configurationNotCached() {
    LOG4CPLUS_WARN(logger, "no configuration lookup in this build, ending worker");
    endNow();
}

bool clientQueueEmpty() { return state().vlc_queue_buffer == nullptr; }

void releaseClientQueue() {}

}  // namespace worker

void tunnelConnected() {}

void tunnelReceivedData(struct pbuf*) {}

void tunnelDataSent(uint16_t) {}

void tunnelClosed() {
    worker::State& s = worker::state();
    if (!worker::clientQueueEmpty()) {
        LOG4CPLUS_DEBUG(logger, "Tunnel closed, but output buffer not empty, waiting until it's sent");
        s.closeRequested = true;
        return;
    }
    LOG4CPLUS_DEBUG(logger, "Tunnel closed, exiting local loop.");
    if (s.localLoop != nullptr) {
        ev_break(s.localLoop, EVBREAK_ALL);
    }
}
