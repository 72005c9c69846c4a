// The recording worker's local server for the media framework and its connection's accept.
#include "worker/MediaEndpoint.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "common/Logging.h"
#include "worker/tcpoverudp.h"
#include "worker/videorecorder_state.h"

using worker::State;

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kVideoRecorder);

constexpr int kListenBacklog = 10;

void vlcListenWatcher_cb(struct ev_loop*, ev_io*, int) {
    State& s = worker::state();
    LOG4CPLUS_TRACE(logger, "vlcListenWatcher_cb: before tunnelConnect");
    tunnelConnect(s.transport.gcIP, s.transport.gcPort, inet_addr(s.transport.cameraIPAddress),
                  s.transport.cameraPortNumber, s.transport.tcpWnd);
    LOG4CPLUS_TRACE(logger, "vlcListenWatcher_cb: after tunnelConnect");
    s.recording.vlcListenWatcher.stop();
}
}  // namespace

namespace worker {

struct ev_loop* MediaEndpoint::loop() {
    return state().localLoop;
}

uint16_t MediaEndpoint::openLocalServer() {
    State& s = state();
    s.recording.fdListen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    // Only this machine's loopback: a connection from elsewhere would be relayed to the
    // camera with the operator's credentials.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (s.recording.fdListen < 0 ||
        ::bind(s.recording.fdListen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(s.recording.fdListen, kListenBacklog) != 0 ||
        getsockname(s.recording.fdListen, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        LOG4CPLUS_WARN(logger,
                       "videoRecorder: could not open the local server for the media "
                       "framework: "
                           << std::strerror(errno));
        return 0;
    }
    return ntohs(address.sin_port);
}

void MediaEndpoint::watchLocalServer() {
    State& s = state();
    ev_io_init(s.recording.vlcListenWatcher.get(), vlcListenWatcher_cb, s.recording.fdListen,
               EV_READ);
    s.recording.vlcListenWatcher.start(s.localLoop);
}

void MediaEndpoint::endNow() {
    worker::endNow();
}

bool acceptMediaConnection() {
    State& s = worker::state();
    s.relay.fdConnected = ::accept(s.recording.fdListen, nullptr, nullptr);
    if (s.relay.fdConnected < 0) {
        // The framework gave up before the camera answered: nothing is left to relay for.
        LOG4CPLUS_WARN(logger,
                       "vlcListenWatcher_cb: could not accept the media framework's "
                       "connection: "
                           << std::strerror(errno));
        return false;
    }
    LOG4CPLUS_DEBUG(logger, "vlcListenWatcher_cb: accepted connection (fdListen: "
                                << s.recording.fdListen << " ), socket: " << s.relay.fdConnected);
    return true;
}

}  // namespace worker
