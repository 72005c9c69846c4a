// The RTSP relay's session: local endpoint, the framework's connections, the camera's answers
// checked for a redirect, and the media's start and close (the requests and the media go
// through the relays, RtspRequestRelay.cpp and RtspMediaRelay.cpp).
#include "recording/RTSPDecoder.h"

#include <sys/socket.h>
#include <unistd.h>

#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>
#include <cerrno>
#include <cstring>

#include "common/Logging.h"
#include "recording/LoopbackSocket.h"
#include "recording/MediaRemux.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kRtspDecoder);

using loopback_socket::boundPort;
using loopback_socket::loopback;
using loopback_socket::wouldBlock;

constexpr int kListenBacklog = 10;
constexpr const char* kCameraRtspPort = "554";
}  // namespace

RTSPDecoder::RTSPDecoder() = default;

RTSPDecoder::~RTSPDecoder() {
    for (int* fd : {&fdSdpClient, &fdSdpClientPost, &fdSdp, &output.fd}) {
        if (*fd >= 0) {
            ::close(*fd);
        }
    }
    if (closeMediaThread.joinable()) {
        closeMediaThread.detach();
    }
}

bool RTSPDecoder::start(const std::string& ipAddress, const std::string& path,
                        media::OutputFile outputFile, const std::string& codecName,
                        uint8_t firstComponent, bool rtcpOverRtsp) {
    output = std::move(outputFile);
    // While the worker may still open files: the libraries' set-up reads some.
    media::prepareLibav();
    codec = codecName;
    firstComponentId = firstComponent;
    requests_.configure(firstComponent, rtcpOverRtsp);
    media_.setOwner(shared_from_this());
    localServerPort = prepareSDPSocket();
    if (localServerPort == 0) {
        return false;
    }
    // The endpoint listens on the loopback address alone, so the location names it.
    m_url = "rtsp://127.0.0.1:" + std::to_string(localServerPort) + "/" + path;
    LOG4CPLUS_DEBUG(logger, "start: media location " << m_url << ", camera " << ipAddress << ":"
                                                     << kCameraRtspPort);
    createSDPSocket(ipAddress, kCameraRtspPort, false);
    tunnelRegisterClient(firstComponentId);
    tunnelRegisterClient(static_cast<uint8_t>(firstComponentId + 1));
    started = true;
    return true;
}

uint16_t RTSPDecoder::prepareSDPSocket() {
    LOG4CPLUS_INFO(logger, "prepareSDPSocket");
    fdSdp = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // Only this machine's loopback: anyone else could otherwise talk to the camera's session.
    const sockaddr_in address = loopback(0);
    const char* failed = nullptr;
    if (fdSdp < 0 ||
        ::bind(fdSdp, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        failed = "bind() call failed with error: ";
    } else if (::listen(fdSdp, kListenBacklog) != 0) {
        failed = "listen() call failed with error: ";
    }
    const uint16_t port = failed == nullptr ? boundPort(fdSdp) : 0;
    if (failed == nullptr && port == 0) {
        failed = "getsockname() call failed with error: ";
    }
    if (failed != nullptr) {
        LOG4CPLUS_WARN(logger, failed << std::strerror(errno));
        closeSocket(fdSdp);
        return 0;
    }
    registerWatcher(fdSdp,
                    boost::bind(&RTSPDecoder::sdpSocketIncomingConnection, shared_from_this()));
    LOG4CPLUS_DEBUG(logger, "prepareSDPSocket: local endpoint on 127.0.0.1:" << port);
    return port;
}

void RTSPDecoder::connected() {
    LOG4CPLUS_INFO(logger, "connected");
    if (mediaRemux || closing || !started) {
        return;  // the framework is started once, and not after a stop
    }
    mediaRemux = boost::make_shared<media::MediaRemux>(m_url, output, media::containerFor(codec));
    output.fd = -1;  // the remux's now
    mediaRemux->start();
}

void RTSPDecoder::sdpSocketIncomingConnection() {
    LOG4CPLUS_INFO(logger, "sdpSocketIncomingConnection");
    const int fd = ::accept4(fdSdp, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (wouldBlock(errno) || errno == ECONNABORTED) {
            return;
        }
        error("SDP connection failed");
        return;
    }
    if (fdSdpClient < 0) {
        fdSdpClient = fd;
        media_.attach(fd);
    } else if (fdSdpClientPost < 0) {
        fdSdpClientPost = fd;
    } else {
        LOG4CPLUS_DEBUG(logger, "sdpSocketIncomingConnection: a third local connection, closed");
        ::close(fd);
        return;
    }
    if (!registerWatcher(fd,
                         boost::bind(&RTSPDecoder::processSdpClientData, shared_from_this(), fd))) {
        closeSocket(fd == fdSdpClient ? fdSdpClient : fdSdpClientPost);
    }
}

void RTSPDecoder::processSdpClientData(int fd) {
    readSdpClient(fd);
}

bool RTSPDecoder::readSdpClient(int fd) {
    LOG4CPLUS_TRACE(logger, "processSdpClientData: " << fd);
    uint8_t buffer[kReadSize];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) {
        LOG4CPLUS_DEBUG(logger, "processSdpClientData: socket closed");
        closeClient(fd);
        return false;
    }
    if (n < 0) {
        if (wouldBlock(errno)) {
            return false;
        }
        // A framework that closes with unread media resets its connection: expected once the
        // recording is being closed, a failure before.
        const int error = errno;
        const log4cplus::LogLevel level =
            closing ? log4cplus::DEBUG_LOG_LEVEL : log4cplus::WARN_LOG_LEVEL;
        if (logger.isEnabledFor(level)) {
            logger.forcedLog(
                level, std::string("processSdpClientData: socket error: ") + std::strerror(error));
        }
        closeClient(fd);
        return false;
    }
    LOG4CPLUS_TRACE(logger, "received from libav: " << n << " bytes");
    if (fd != fdSdpClient) {
        LOG4CPLUS_TRACE(logger, "writing to POST socket");
        sdpPostSocketSend(buffer, static_cast<uint32_t>(n));
        return true;
    }
    requests_.feed(buffer, static_cast<size_t>(n));
    return fdSdpClient >= 0;
}

bool RTSPDecoder::AnswerInspector::headEnd(const rtsp::Head& head) {
    if (!head.redirect()) {
        return true;
    }
    redirect = head.location;
    return false;
}

void RTSPDecoder::closeClient(int fd) {
    if (fd == fdSdpClient) {
        // The media framework's connection is over: so is the recording.
        closeSocket(fdSdpClient);
        finishRecording();
    } else if (fd == fdSdpClientPost) {
        closeSocket(fdSdpClientPost);
    }
}

void RTSPDecoder::receivedData(const uint8_t* bytes, size_t length) {
    LOG4CPLUS_TRACE(logger, "receivedData: " << length);
    if (length == 0 || fdSdpClient < 0) {
        // The camera's last media after the framework has closed are no failure.
        const log4cplus::LogLevel level =
            closing || cleanedUp ? log4cplus::DEBUG_LOG_LEVEL : log4cplus::WARN_LOG_LEVEL;
        if (logger.isEnabledFor(level)) {
            logger.forcedLog(level, "receivedData: received len == 0 or socket already closed");
        }
        dataConsumed(static_cast<uint32_t>(length));  // dropped: the window reopens all the same
        return;
    }
    if (media_.cameraGone()) {
        dataConsumed(static_cast<uint32_t>(length));  // after a redirect: never passed on
        return;
    }
    // The whole read is checked before any of it is passed on: the framework never sees the
    // end of a redirecting answer's head, so it never acts on it.
    AnswerInspector inspector;
    answerFramer.feed(bytes, length, inspector);
    if (inspector.redirect) {
        dataConsumed(static_cast<uint32_t>(length));
        cameraRedirected(*inspector.redirect);
        return;
    }
    media_.toMedia(bytes, length);
}

void RTSPDecoder::cameraClosed() {
    LOG4CPLUS_DEBUG(logger, "cameraClosed: " << bytesWaitingForMedia()
                                             << " bytes still wait for the media framework");
    media_.cameraClosed();
    if (fdSdpClient < 0) {
        // No framework connection (it never came, or is gone): nothing will end it for us.
        closeMedia();
    }
}

void RTSPDecoder::cameraRedirected(const std::string& location) {
    LOG4CPLUS_WARN(logger, "camera redirects the recording to "
                               << rtsp::printableLocation(location)
                               << "; redirects are not followed, ending it");
    // Nothing more of the camera's reaches the framework; it is told to stop, and its close
    // ends the recording once (finishRecording).
    media_.cameraRedirected();
    closeMedia();
}

void RTSPDecoder::closeSocket(int& fd) {
    LOG4CPLUS_DEBUG(logger, "closeSocket fd=" << fd);
    if (fd < 0) {
        return;
    }
    // Deregistered before the close: a descriptor number reused at once keeps its new watcher.
    // The worker releases a watcher's record only after its callback has returned.
    deregisterWatcher(fd);
    if (fd == fdSdpClient) {
        media_.detach();
    }
    ::close(fd);
    fd = -1;
}

void RTSPDecoder::finishRecording() {
    if (cleanedUp) {
        return;
    }
    cleanedUp = true;
    videoCleanupImpl();
}

void RTSPDecoder::closeMedia() {
    LOG4CPLUS_DEBUG(logger, "closing stream");
    if (closing) {
        return;  // one close is under way already
    }
    closing = true;
    // From here on only the close-media thread holds the media.
    closeMediaThread = boost::thread(&RTSPDecoder::closeMediaThreadMainMethod, shared_from_this(),
                                     std::move(mediaRemux));
}

void RTSPDecoder::closeMediaThreadMainMethod(boost::shared_ptr<RTSPDecoder> self,
                                             boost::shared_ptr<media::MediaRemux> remux) {
    LOG4CPLUS_DEBUG(logger, "closing stream thread");
    // The remux's thread has written the trailer and flushed the file when it ends.
    if (remux) {
        remux->requestStop();
        if (!remux->waitFinished(std::chrono::seconds(kMediaCloseSeconds))) {
            LOG4CPLUS_WARN(logger,
                           "closing stream thread: the media framework did not close "
                           "within "
                               << kMediaCloseSeconds << " s, the file may be incomplete");
        }
    }
    self->scheduleOnMainThread(boost::bind(&RTSPDecoder::mediaClosed, self));
    // Joins the remux's thread (at once, unless it is stuck: the worker then ends without this
    // thread, after its own bound).
    remux.reset();
}

void RTSPDecoder::mediaClosed() {
    LOG4CPLUS_DEBUG(logger, "media closed");
    // What the framework wrote before it closed (its teardown) still goes to the camera.
    while (fdSdpClient >= 0 && readSdpClient(fdSdpClient)) {
    }
    finishRecording();  // a framework that never connected has no connection to close
}

void RTSPDecoder::stop() {
    LOG4CPLUS_DEBUG(logger, "stop");
    if (!started) {
        return;
    }
    closeSocket(fdSdpClient);
    closeSocket(fdSdpClientPost);
    closeSocket(fdSdp);
    media_.closeRtp();
    tunnelDeregisterClient(firstComponentId);
    tunnelDeregisterClient(static_cast<uint8_t>(firstComponentId + 1));
    started = false;
    stopImpl();
    closeMedia();  // no-op when the parent's stop request already started it
    // The file must be complete before the process ends; its connection is closed, so the
    // framework's read loop ends at once unless it is stuck.
    if (closeMediaThread.joinable() &&
        !closeMediaThread.try_join_for(boost::chrono::seconds(kMediaCloseSeconds))) {
        LOG4CPLUS_WARN(logger, "stop: the media framework did not close within "
                                   << kMediaCloseSeconds << " s, " << output.name
                                   << " may be incomplete");
        closeMediaThread.detach();
    }
}
