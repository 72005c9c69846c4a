// A configuration service on a loopback port, served from the default loop (the parent's
// lookup runs there too): it reads each request head, keeps it, and sends the scripted answer
// in pieces as the socket takes them, then closes; or, holding, answers nothing.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "EventLoop.h"
#include "FileDescriptor.h"

namespace tamblo_test {

class FakeConfigurationService {
  public:
    FakeConfigurationService() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_.get(), 16);
        socklen_t length = sizeof address;
        getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        ev_io_init(accept_.get(), acceptCb, listener_.get(), EV_READ);
        accept_.get()->data = this;
        accept_.start(loop);
    }

    uint16_t port() const { return port_; }

    std::string answer = "HTTP/1.1 200 OK\r\n\r\n{}";
    bool hold = false;
    std::vector<std::string> requests;  // the request heads, in order

  private:
    struct Connection {
        FakeConfigurationService* owner;
        UniqueFd fd;
        EvIo io;
        std::string in;
        size_t sent = 0;
    };

    static void acceptCb(struct ev_loop*, ev_io* watcher, int) {
        auto* self = static_cast<FakeConfigurationService*>(watcher->data);
        auto connection = std::make_unique<Connection>();
        connection->owner = self;
        connection->fd.reset(::accept4(self->listener_.get(), nullptr, nullptr, SOCK_NONBLOCK));
        if (!connection->fd.valid()) {
            return;
        }
        ev_io_init(connection->io.get(), connectionCb, connection->fd.get(), EV_READ);
        connection->io.get()->data = connection.get();
        connection->io.start(loop);
        self->connections_.push_back(std::move(connection));
    }

    static void connectionCb(struct ev_loop*, ev_io* watcher, int events) {
        auto* c = static_cast<Connection*>(watcher->data);
        FakeConfigurationService* self = c->owner;
        if ((events & EV_READ) != 0) {
            char chunk[4096];
            const ssize_t n = ::recv(c->fd.get(), chunk, sizeof chunk, 0);
            if (n <= 0) {
                c->io.stop();
                return;
            }
            c->in.append(chunk, static_cast<size_t>(n));
            const size_t end = c->in.find("\r\n\r\n");
            if (end == std::string::npos) {
                return;
            }
            self->requests.push_back(c->in.substr(0, end + 4));
            c->io.stop();
            if (self->hold) {
                return;
            }
            ev_io_set(c->io.get(), c->fd.get(), EV_WRITE);
            c->io.start(loop);
            return;
        }
        const ssize_t n = ::send(c->fd.get(), self->answer.data() + c->sent,
                                 self->answer.size() - c->sent, MSG_NOSIGNAL);
        c->sent += n > 0 ? static_cast<size_t>(n) : 0;
        if (n < 0 || c->sent == self->answer.size()) {
            c->io.stop();
            c->fd.reset();
        }
    }

    UniqueFd listener_;
    uint16_t port_ = 0;
    EvIo accept_;
    std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace tamblo_test
