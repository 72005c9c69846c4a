// A configuration service on a loopback port, served from the default loop (where the parent's
// lookup runs too): it keeps each request head and sends the scripted answer as the socket
// takes it, then closes; or, holding, answers nothing.
#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "common/EventLoop.h"
#include "common/FileDescriptor.h"

namespace tamblo_test {

class FakeConfigurationService {
  public:
    FakeConfigurationService() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener_.get(), 16);
        getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        ev_io_init(accept_.get(), accepted, listener_.get(), EV_READ);
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
        std::string head;
        size_t sent = 0;
    };

    static void accepted(struct ev_loop*, ev_io* watcher, int) {
        auto* self = static_cast<FakeConfigurationService*>(watcher->data);
        auto c = std::make_unique<Connection>();
        c->owner = self;
        c->fd.reset(::accept4(self->listener_.get(), nullptr, nullptr, SOCK_NONBLOCK));
        ev_io_init(c->io.get(), serve, c->fd.get(), EV_READ);
        c->io.get()->data = c.get();
        c->io.start(loop);
        self->connections_.push_back(std::move(c));
    }

    // Reads the head, then writes the answer (or, holding, stops watching).
    static void serve(struct ev_loop*, ev_io* watcher, int events) {
        auto* c = static_cast<Connection*>(watcher->data);
        const std::string& answer = c->owner->answer;
        if ((events & EV_READ) != 0) {
            char chunk[4096];
            const ssize_t n = ::recv(c->fd.get(), chunk, sizeof chunk, 0);
            c->head.append(chunk, n > 0 ? static_cast<size_t>(n) : 0);
            if (n > 0 && c->head.find("\r\n\r\n") == std::string::npos) {
                return;
            }
            c->owner->requests.push_back(c->head);
            c->io.stop();
            if (n > 0 && !c->owner->hold) {
                ev_io_set(c->io.get(), c->fd.get(), EV_WRITE);
                c->io.start(loop);
            }
            return;
        }
        const ssize_t n =
            ::send(c->fd.get(), answer.data() + c->sent, answer.size() - c->sent, MSG_NOSIGNAL);
        c->sent += n > 0 ? static_cast<size_t>(n) : 0;
        if (n < 0 || c->sent == answer.size()) {
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
