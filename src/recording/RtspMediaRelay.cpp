// The RTSP recording's media to the framework: its connection's backlog and end of stream, and
// the RTP/RTCP relay between channels and local UDP sockets (see RtspMediaRelay.h).
#include "recording/RtspMediaRelay.h"

#include <sys/socket.h>
#include <unistd.h>

#include <boost/bind/bind.hpp>
#include <cerrno>
#include <cstring>

#include "common/Logging.h"
#include "recording/LoopbackSocket.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kRtspDecoder);

using loopback_socket::boundPort;
using loopback_socket::loopback;
using loopback_socket::wouldBlock;

// Tries at a consecutive RTP/RTCP port pair before giving up.
constexpr int kPortPairAttempts = 16;

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
}  // namespace

RtspMediaRelay::~RtspMediaRelay() {
    for (int* fd : {&fdLocalRtp_, &fdLocalRtcp_}) {
        if (*fd >= 0) {
            ::close(*fd);
        }
    }
}

void RtspMediaRelay::setOwner(const boost::shared_ptr<void>& owner) {
    self_ = boost::shared_ptr<RtspMediaRelay>(owner, this);
}

void RtspMediaRelay::detach() {
    if (mediaFd_ >= 0 && watchingMediaWrites_) {
        host_.deregisterWriteWatcher(mediaFd_);
        watchingMediaWrites_ = false;
    }
    mediaFd_ = -1;
}

void RtspMediaRelay::toMedia(const uint8_t* bytes, size_t length) {
    LOG4CPLUS_TRACE(logger, "sending " << length << " bytes to libav:");
    if (bytesWaiting() == 0) {
        const ssize_t n = ::send(mediaFd_, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && !wouldBlock(errno)) {
            LOG4CPLUS_INFO(logger, "receivedData: write to libav socket failed");
            host_.error("writing to libav failed");
            return;
        }
        const size_t written = n > 0 ? static_cast<size_t>(n) : 0;
        if (written > 0) {
            host_.dataConsumed(static_cast<uint32_t>(written));
        }
        bytes += written;
        length -= written;
        toMedia_.clear();
        toMediaHead_ = 0;
    }
    if (length == 0) {
        return;
    }
    // The framework is slow to read: the bytes wait, in order, for its socket to take them.
    if (toMediaHead_ > 0 && toMediaHead_ >= toMedia_.size() / 2) {
        // What was written goes, so that a backlog that never drains does not grow the buffer.
        toMedia_.erase(toMedia_.begin(), toMedia_.begin() + static_cast<ptrdiff_t>(toMediaHead_));
        toMediaHead_ = 0;
    }
    toMedia_.insert(toMedia_.end(), bytes, bytes + length);
    if (!watchingMediaWrites_) {
        watchingMediaWrites_ = host_.registerWriteWatcher(
            mediaFd_, boost::bind(&RtspMediaRelay::writeToMedia, self_.lock()));
    }
}

void RtspMediaRelay::writeToMedia() {
    const size_t waiting = bytesWaiting();
    if (waiting > 0 && mediaFd_ >= 0) {
        const ssize_t n =
            ::send(mediaFd_, toMedia_.data() + toMediaHead_, waiting, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && !wouldBlock(errno)) {
            LOG4CPLUS_INFO(logger, "receivedData: write to libav socket failed");
            host_.error("writing to libav failed");
            return;
        }
        if (n > 0) {
            toMediaHead_ += static_cast<size_t>(n);
            host_.dataConsumed(static_cast<uint32_t>(n));
        }
    }
    if (bytesWaiting() == 0) {
        toMedia_.clear();
        toMediaHead_ = 0;
        if (watchingMediaWrites_ && mediaFd_ >= 0) {
            host_.deregisterWriteWatcher(mediaFd_);
        }
        watchingMediaWrites_ = false;
        endMediaStreamIfDrained();
    }
}

void RtspMediaRelay::cameraClosed() {
    cameraGone_ = true;
    endMediaStreamIfDrained();
}

void RtspMediaRelay::cameraRedirected() {
    cameraGone_ = true;
    toMedia_.clear();
    toMediaHead_ = 0;
}

void RtspMediaRelay::endMediaStreamIfDrained() {
    if (!cameraGone_ || mediaStreamEnded_ || mediaFd_ < 0 || bytesWaiting() > 0) {
        return;
    }
    mediaStreamEnded_ = true;
    // The framework reads to the end of its stream, completes the file and closes; its close
    // ends the recording (the decoder's closeClient).
    ::shutdown(mediaFd_, SHUT_WR);
}

bool RtspMediaRelay::openRtp(uint16_t clientPortRtp, uint16_t clientPortRtcp) {
    clientPortRtp_ = clientPortRtp;
    clientPortRtcp_ = clientPortRtcp;
    const char* failure = "socket";
    for (int attempt = 0; attempt < kPortPairAttempts; ++attempt) {
        fdLocalRtp_ = loopbackUdpSocket(0, clientPortRtp_, &failure);
        const uint16_t rtp = fdLocalRtp_ >= 0 ? boundPort(fdLocalRtp_) : 0;
        if (rtp == 0) {
            break;
        }
        if (rtp == 0xffff) {
            closeSocket(fdLocalRtp_);  // no next port for RTCP
            continue;
        }
        // RTCP takes the next port, so the pair is consecutive.
        fdLocalRtcp_ = loopbackUdpSocket(static_cast<uint16_t>(rtp + 1), clientPortRtcp_, &failure);
        if (fdLocalRtcp_ >= 0) {
            localRtpPort_ = rtp;
            localRtcpPort_ = static_cast<uint16_t>(rtp + 1);
            host_.registerWatcher(fdLocalRtcp_,
                                  boost::bind(&RtspMediaRelay::rtcpInput, self_.lock()));
            LOG4CPLUS_DEBUG(logger, "RTP/RTCP sockets on ports "
                                        << localRtpPort_ << "/" << localRtcpPort_ << " to "
                                        << clientPortRtp_ << "/" << clientPortRtcp_);
            return true;
        }
        closeSocket(fdLocalRtp_);
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
    closeSocket(fdLocalRtp_);
    localRtpPort_ = 0;
    localRtcpPort_ = 0;
    return false;
}

void RtspMediaRelay::closeRtp() {
    closeSocket(fdLocalRtp_);
    closeSocket(fdLocalRtcp_);
}

void RtspMediaRelay::receivedRtpData(const uint8_t* bytes, size_t length) {
    LOG4CPLUS_TRACE(logger, "receivedRtpData");
    if (length == 0) {
        return;
    }
    const int fd = bytes[0] == 0x80 ? fdLocalRtp_ : fdLocalRtcp_;
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
    host_.error("RTP write failed");
}

void RtspMediaRelay::rtcpInput() {
    LOG4CPLUS_TRACE(logger, "libavRtcpInput");
    uint8_t buffer[kReadSize];
    const ssize_t n = ::recv(fdLocalRtcp_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        host_.tunnelSend(buffer, static_cast<uint16_t>(n));
    } else if (n < 0 && !wouldBlock(errno) && errno != ECONNREFUSED) {
        LOG4CPLUS_WARN(logger, "rtcp socket read failed with error: " << std::strerror(errno));
        host_.error("Error writing to libav RTCP socket");
    }
}

void RtspMediaRelay::closeSocket(int& fd) {
    LOG4CPLUS_DEBUG(logger, "closeSocket fd=" << fd);
    if (fd < 0) {
        return;
    }
    // Deregistered before the close: a descriptor number reused at once keeps its new watcher.
    host_.deregisterWatcher(fd);
    ::close(fd);
    fd = -1;
}
