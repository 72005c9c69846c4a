// The connection to the next server, made on the loop.
#include "server/PeerConnect.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "protocol/ProxyHeader.h"

PeerConnect::PeerConnect(struct ev_loop* loop, const sockaddr_in& peer, const sockaddr_in& client,
                         const sockaddr_in& local, Done done)
    : loop(loop), peer(peer), client(client), local(local), done(std::move(done)) {}

void PeerConnect::start() {
    socket.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.valid()) {
        failed(std::string("socket: ") + std::strerror(errno));
        return;
    }
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0 &&
        errno != EINPROGRESS) {
        failed(std::string("connect: ") + std::strerror(errno));
        return;
    }
    // Connected at once (loopback) or later: the writable socket says which.
    ev_io_init(connecting.get(), (evMemberCallback<PeerConnect, ev_io, &PeerConnect::writable>),
               socket.get(), EV_WRITE);
    connecting.get()->data = this;
    connecting.start(loop);
    ev_timer_init(deadline.get(), (evMemberCallback<PeerConnect, ev_timer, &PeerConnect::timedOut>),
                  kTimeoutSeconds, 0.);
    deadline.get()->data = this;
    deadline.start(loop);
}

void PeerConnect::failed(const std::string& text) {
    // Reported from the loop, never from inside start(): the caller is not re-entered.
    failure = text;
    socket.reset();
    ev_timer_init(deadline.get(), (evMemberCallback<PeerConnect, ev_timer, &PeerConnect::fail>),
                  0., 0.);
    deadline.get()->data = this;
    deadline.start(loop);
}

void PeerConnect::fail(int) {
    deadline.stop();
    done(UniqueFd(), failure);
}

void PeerConnect::timedOut(int) {
    connecting.stop();
    socket.reset();
    done(UniqueFd(), "no connection within 5 s");
}

void PeerConnect::writable(int) {
    connecting.stop();
    deadline.stop();
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
    }
    if (error != 0) {
        socket.reset();
        done(UniqueFd(), std::string("connect: ") + std::strerror(error));
        return;
    }
    // The header is the connection's first bytes, written by the parent: a worker cannot name
    // another client. A new connection's send buffer takes its 28 bytes whole.
    proxy_header::Header header;
    header.source = client;
    header.destination = local;
    uint8_t bytes[proxy_header::kInetHeaderSize];
    const size_t size = proxy_header::encode(header, bytes);
    const ssize_t sent = ::send(socket.get(), bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(size)) {
        const std::string reason = sent < 0 ? std::strerror(errno) : "short write";
        socket.reset();
        done(UniqueFd(), "PROXY header: " + reason);
        return;
    }
    done(std::move(socket), std::string());
}
