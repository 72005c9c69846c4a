// The RTSP relay: local endpoint, RTSP requests to the camera, answers and media back to the
// media framework, RTP/RTCP between channels and local UDP sockets, and the media's close.
#include "recording/RTSPDecoder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>
#include <cerrno>
#include <cstring>

#include "common/Logging.h"
#include "recording/MediaRemux.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kRtspDecoder);

constexpr int kListenBacklog = 10;
constexpr const char* kCameraRtspPort = "554";
// Tries at a consecutive RTP/RTCP port pair before giving up.
constexpr int kPortPairAttempts = 16;

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

uint16_t boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

// A UDP socket on 127.0.0.1:port (0: the system picks), connected to 127.0.0.1:peer.
int loopbackUdpSocket(uint16_t port, uint16_t peer, const char** failure) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *failure = "socket";
        return -1;
    }
    const sockaddr_in local = loopback(port);
    const sockaddr_in remote = loopback(peer);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        *failure = "bind";
    } else if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
        *failure = "connect";
    } else {
        return fd;
    }
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
}

// Reads a decimal port at text[*at]; moves *at past it.
std::optional<uint16_t> readPort(std::string_view text, size_t* at) {
    uint32_t value = 0;
    size_t digits = 0;
    while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9' && digits < 6) {
        value = value * 10 + static_cast<uint32_t>(text[*at] - '0');
        ++*at;
        ++digits;
    }
    if (digits == 0 || value == 0 || value > 0xffff) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}
}  // namespace

RTSPDecoder::RTSPDecoder() = default;

RTSPDecoder::~RTSPDecoder() {
    for (int* fd :
         {&fdSdpClient, &fdSdpClientPost, &fdSdp, &fdLocalRtp, &fdLocalRtcp, &output.fd}) {
        if (*fd >= 0) {
            ::close(*fd);
        }
    }
    if (closeMediaThread.joinable()) {
        closeMediaThread.detach();
    }
}

std::optional<std::pair<uint16_t, uint16_t>> RTSPDecoder::extractPorts(std::string_view data) {
    static constexpr std::string_view kKey = "client_port";
    const size_t found = data.find(kKey);
    if (found == std::string_view::npos) {
        return std::nullopt;
    }
    size_t at = found + kKey.size();
    if (at < data.size() && data[at] == '=') {
        ++at;
    }
    const std::optional<uint16_t> rtp = readPort(data, &at);
    if (!rtp || at >= data.size()) {
        return std::nullopt;
    }
    ++at;  // the one separating character, as in 5000-5001
    const std::optional<uint16_t> rtcp = readPort(data, &at);
    if (!rtcp) {
        return std::nullopt;
    }
    return std::make_pair(*rtp, *rtcp);
}

std::string RTSPDecoder::appendIceComponents(std::string data, uint8_t firstComponentId) {
    const size_t transport = data.find("Transport: ");
    if (transport == std::string::npos) {
        return data;
    }
    const size_t end = data.find("\r\n", transport);
    if (end == std::string::npos) {
        return data;
    }
    const uint8_t second = static_cast<uint8_t>(firstComponentId + 1);
    data.insert(end,
                ";components=" + std::to_string(firstComponentId) + "," + std::to_string(second));
    return data;
}

bool RTSPDecoder::start(const std::string& ipAddress, const std::string& path,
                        media::OutputFile outputFile, const std::string& codecName,
                        uint8_t firstComponent, bool rtcpOverRtsp) {
    output = std::move(outputFile);
    // While the worker may still open files: the libraries' set-up reads some.
    media::prepareLibav();
    codec = codecName;
    firstComponentId = firstComponent;
    useRtcpOverRtsp = rtcpOverRtsp;
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
    // Unit by unit, across reads: a request joined to a frame, or a frame cut by a read,
    // each goes its own way.
    requestFramer.feed(buffer, static_cast<size_t>(n), requestHandler);
    return fdSdpClient >= 0;
}

void RTSPDecoder::RequestHandler::headBytes(const uint8_t* bytes, size_t length) {
    if (head.size() + length > kMaxRequestHead) {
        head.clear();
        decoder.error("request head too long");
        return;
    }
    head.append(reinterpret_cast<const char*>(bytes), length);
}

bool RTSPDecoder::RequestHandler::headEnd(const rtsp::Head&) {
    std::string complete;
    complete.swap(head);
    return decoder.forwardRequestHead(std::move(complete));
}

void RTSPDecoder::RequestHandler::bodyBytes(const uint8_t* bytes, size_t length) {
    decoder.sendToCamera(bytes, length);
}

void RTSPDecoder::RequestHandler::interleavedBytes(const uint8_t* bytes, size_t length,
                                                   bool start) {
    if (decoder.useRtcpOverRtsp) {
        decoder.sendToCamera(bytes, length);
    } else if (start) {
        LOG4CPLUS_TRACE(logger, "dropping RTCP data from vlc");
    }
}

bool RTSPDecoder::forwardRequestHead(std::string data) {
    if (originalClientPortRtp == 0 || originalClientPortRtcp == 0) {
        if (const auto ports = extractPorts(data)) {
            originalClientPortRtp = ports->first;
            originalClientPortRtcp = ports->second;
            if (!prepareRtpSockets()) {
                error("RTP socket setup failed");
                return false;
            }
        }
    }
    data = appendIceComponents(std::move(data), firstComponentId);
    if (logger.isEnabledFor(log4cplus::TRACE_LOG_LEVEL)) {
        size_t begin = 0;
        while (begin < data.size()) {
            const size_t end = std::min(data.find("\r\n", begin), data.size());
            LOG4CPLUS_TRACE(logger, "libav: " << data.substr(begin, end - begin));
            begin = end + 2;
        }
    }
    LOG4CPLUS_TRACE(logger, "writing to GET socket?!");
    sendToCamera(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    return true;
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

bool RTSPDecoder::prepareRtpSockets() {
    const char* failure = "socket";
    for (int attempt = 0; attempt < kPortPairAttempts; ++attempt) {
        fdLocalRtp = loopbackUdpSocket(0, originalClientPortRtp, &failure);
        const uint16_t rtp = fdLocalRtp >= 0 ? boundPort(fdLocalRtp) : 0;
        if (rtp == 0) {
            break;
        }
        if (rtp == 0xffff) {
            closeSocket(fdLocalRtp);  // no next port for RTCP
            continue;
        }
        // RTCP takes the next port, so the pair is consecutive.
        fdLocalRtcp =
            loopbackUdpSocket(static_cast<uint16_t>(rtp + 1), originalClientPortRtcp, &failure);
        if (fdLocalRtcp >= 0) {
            localRtpPort = rtp;
            localRtcpPort = static_cast<uint16_t>(rtp + 1);
            registerWatcher(fdLocalRtcp,
                            boost::bind(&RTSPDecoder::libavRtcpInput, shared_from_this()));
            LOG4CPLUS_DEBUG(logger, "RTP/RTCP sockets on ports "
                                        << localRtpPort << "/" << localRtcpPort << " to "
                                        << originalClientPortRtp << "/" << originalClientPortRtcp);
            return true;
        }
        closeSocket(fdLocalRtp);
        if (std::strcmp(failure, "bind") != 0) {
            break;
        }
    }
    if (std::strcmp(failure, "bind") == 0) {
        LOG4CPLUS_WARN(logger, "udp bind failed, RTCP won't work");
    } else if (std::strcmp(failure, "connect") == 0) {
        LOG4CPLUS_WARN(logger, "cannot connect to rtcp socket");
    } else {
        LOG4CPLUS_WARN(logger, "getsockname() for UDP socket call failed with error: "
                                   << std::strerror(errno));
    }
    closeSocket(fdLocalRtp);
    localRtpPort = 0;
    localRtcpPort = 0;
    return false;
}

void RTSPDecoder::receivedRtpData(const uint8_t* bytes, size_t length) {
    LOG4CPLUS_TRACE(logger, "receivedRtpData");
    if (length == 0) {
        return;
    }
    const int fd = bytes[0] == 0x80 ? fdLocalRtp : fdLocalRtcp;
    if (fd < 0) {
        return;  // no client ports yet: nobody to give it to
    }
    if (::send(fd, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0 || wouldBlock(errno)) {
        return;
    }
    if (errno == ECONNREFUSED) {
        // Nothing listens on the client port (yet, or any more): the datagram is lost, as on
        // any network, and the recording goes on.
        LOG4CPLUS_DEBUG(logger, "receivedRtpData: client port closed, datagram dropped");
        return;
    }
    LOG4CPLUS_WARN(logger, "error writing to libav RTP socket: " << std::strerror(errno));
    error("RTP write failed");
}

void RTSPDecoder::libavRtcpInput() {
    LOG4CPLUS_TRACE(logger, "libavRtcpInput");
    uint8_t buffer[kReadSize];
    const ssize_t n = ::recv(fdLocalRtcp, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        tunnelSend(buffer, static_cast<uint16_t>(n));
    } else if (n < 0 && !wouldBlock(errno) && errno != ECONNREFUSED) {
        LOG4CPLUS_WARN(logger, "rtcp socket read failed with error: " << std::strerror(errno));
        error("Error writing to libav RTCP socket");
    }
}

void RTSPDecoder::sendToCamera(const uint8_t* bytes, size_t length) {
    if (toCamera.empty()) {
        const uint32_t accepted = sdpSocketSend(bytes, static_cast<uint32_t>(length));
        bytes += accepted;
        length -= accepted;
    }
    if (length == 0) {
        return;
    }
    if (toCamera.size() + length > kPendingLimit) {
        LOG4CPLUS_WARN(logger,
                       "sendToCamera: more than " << kPendingLimit << " bytes wait for the tunnel");
        error("writing to camera failed");
        return;
    }
    // Kept whole and in order until the tunnel acknowledges data and takes more.
    toCamera.insert(toCamera.end(), bytes, bytes + length);
}

void RTSPDecoder::tunnelAcknowledged() {
    if (toCamera.empty()) {
        return;
    }
    const uint32_t accepted =
        sdpSocketSend(toCamera.data(), static_cast<uint32_t>(toCamera.size()));
    toCamera.erase(toCamera.begin(), toCamera.begin() + accepted);
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
    if (cameraGone) {
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
    LOG4CPLUS_TRACE(logger, "sending " << length << " bytes to libav:");
    if (bytesWaitingForMedia() == 0) {
        const ssize_t n = ::send(fdSdpClient, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && !wouldBlock(errno)) {
            LOG4CPLUS_INFO(logger, "receivedData: write to libav socket failed");
            error("writing to libav failed");
            return;
        }
        const size_t written = n > 0 ? static_cast<size_t>(n) : 0;
        if (written > 0) {
            dataConsumed(static_cast<uint32_t>(written));
        }
        bytes += written;
        length -= written;
        toMedia.clear();
        toMediaHead = 0;
    }
    if (length == 0) {
        return;
    }
    // The framework is slow to read: the bytes wait, in order, for its socket to take them.
    if (toMediaHead > 0 && toMediaHead >= toMedia.size() / 2) {
        // What was written goes, so that a backlog that never drains does not grow the buffer.
        toMedia.erase(toMedia.begin(), toMedia.begin() + static_cast<ptrdiff_t>(toMediaHead));
        toMediaHead = 0;
    }
    toMedia.insert(toMedia.end(), bytes, bytes + length);
    if (!watchingMediaWrites) {
        watchingMediaWrites = registerWriteWatcher(
            fdSdpClient, boost::bind(&RTSPDecoder::writeToMedia, shared_from_this()));
    }
}

void RTSPDecoder::writeToMedia() {
    const size_t waiting = bytesWaitingForMedia();
    if (waiting > 0 && fdSdpClient >= 0) {
        const ssize_t n =
            ::send(fdSdpClient, toMedia.data() + toMediaHead, waiting, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && !wouldBlock(errno)) {
            LOG4CPLUS_INFO(logger, "receivedData: write to libav socket failed");
            error("writing to libav failed");
            return;
        }
        if (n > 0) {
            toMediaHead += static_cast<size_t>(n);
            dataConsumed(static_cast<uint32_t>(n));
        }
    }
    if (bytesWaitingForMedia() == 0) {
        toMedia.clear();
        toMediaHead = 0;
        if (watchingMediaWrites && fdSdpClient >= 0) {
            deregisterWriteWatcher(fdSdpClient);
        }
        watchingMediaWrites = false;
        endMediaStreamIfDrained();
    }
}

void RTSPDecoder::cameraClosed() {
    LOG4CPLUS_DEBUG(logger, "cameraClosed: " << bytesWaitingForMedia()
                                             << " bytes still wait for the media framework");
    cameraGone = true;
    endMediaStreamIfDrained();
    if (fdSdpClient < 0) {
        // No framework connection (it never came, or is gone): nothing will end it for us.
        closeMedia();
    }
}

void RTSPDecoder::endMediaStreamIfDrained() {
    if (!cameraGone || mediaStreamEnded || fdSdpClient < 0 || bytesWaitingForMedia() > 0) {
        return;
    }
    mediaStreamEnded = true;
    // The framework reads to the end of its stream, completes the file and closes; its close
    // ends the recording (closeClient).
    ::shutdown(fdSdpClient, SHUT_WR);
}

void RTSPDecoder::cameraRedirected(const std::string& location) {
    LOG4CPLUS_WARN(logger, "camera redirects the recording to "
                               << rtsp::printableLocation(location)
                               << "; redirects are not followed, ending it");
    cameraGone = true;
    // Nothing more of the camera's reaches the framework; it is told to stop, and its close
    // ends the recording once (finishRecording).
    toMedia.clear();
    toMediaHead = 0;
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
    if (fd == fdSdpClient && watchingMediaWrites) {
        deregisterWriteWatcher(fd);
        watchingMediaWrites = false;
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
    closeSocket(fdLocalRtp);
    closeSocket(fdLocalRtcp);
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
