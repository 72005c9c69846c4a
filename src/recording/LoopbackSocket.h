// Small helpers for the local sockets of an RTSP recording, which only ever bind and connect on
// 127.0.0.1: the RTSP decoder's endpoint for the media framework (RTSPDecoder.cpp) and the media
// relay's UDP pair (RtspMediaRelay.cpp).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>

namespace loopback_socket {

// A non-blocking call that found nothing to do, or was interrupted.
inline bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// 127.0.0.1:port.
inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// The port a socket is bound to, 0 when it cannot be read.
inline uint16_t boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

}  // namespace loopback_socket
