// Accepted proxy connections waiting in the parent for their first bytes.
#include "server/PendingClients.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

PendingClients::PendingClients(struct ev_loop* loop, size_t limit, double timeoutSeconds,
                               Ready ready, Dropped dropped)
    : loop_(loop),
      ready_(std::move(ready)),
      dropped_(std::move(dropped)),
      limit_(std::max<size_t>(limit, 1)),
      timeout_(timeoutSeconds) {
    ev_init(timer_.get(), (evMemberCallback<PendingClients, ev_timer, &PendingClients::expire>));
    timer_.get()->data = this;
}

PendingClients::~PendingClients() {
    clear();
}

PendingClients::Readiness PendingClients::probe(int socket) {
    // A peek leaves the bytes where they are: the worker reads the request from the start.
    char byte;
    const ssize_t n = ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        return Readiness::Bytes;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return Readiness::Nothing;
    }
    return Readiness::Gone;  // closed before sending anything, or failed
}

void PendingClients::hold(UniqueFd socket, const sockaddr_in& peer) {
    // A client usually sends its request with the handshake's last ACK: then no watcher and
    // no extra pass of the loop.
    switch (probe(socket.get())) {
        case Readiness::Bytes:
            ready_(std::move(socket), peer);
            return;
        case Readiness::Gone:
            socket.reset();
            dropped_(peer, Drop::Closed);
            return;
        case Readiness::Nothing:
            break;
    }
    if (waiting_.size() >= limit_) {
        release(waiting_.begin(), Drop::Evicted);
    }
    waiting_.emplace_back(this, std::move(socket), peer, ev_now(loop_) + timeout_);
    Waiting& entry = waiting_.back();
    entry.self = std::prev(waiting_.end());
    ev_io_init(entry.readable.get(), readableCb, entry.socket.get(), EV_READ);
    entry.readable.get()->data = &entry;
    entry.readable.start(loop_);
    if (!timer_.active()) {
        armTimer();
    }
}

void PendingClients::readableCb(struct ev_loop*, ev_io* watcher, int) {
    Waiting* waiting = static_cast<Waiting*>(watcher->data);
    waiting->owner->onReadable(*waiting);
}

void PendingClients::onReadable(Waiting& waiting) {
    switch (probe(waiting.socket.get())) {
        case Readiness::Bytes: {
            UniqueFd socket = std::move(waiting.socket);
            const sockaddr_in peer = waiting.peer;
            waiting_.erase(waiting.self);  // stops its watcher
            ready_(std::move(socket), peer);
            break;
        }
        case Readiness::Gone:
            release(waiting.self, Drop::Closed);
            break;
        case Readiness::Nothing:
            break;  // a wake-up without bytes
    }
    if (waiting_.empty()) {
        timer_.stop();
    }
}

void PendingClients::release(std::list<Waiting>::iterator it, Drop reason) {
    const sockaddr_in peer = it->peer;
    waiting_.erase(it);  // stops the watcher, then closes the socket
    dropped_(peer, reason);
}

void PendingClients::expire(int) {
    // Every connection waits equally long, so the deadlines come in the order of the list.
    const double now = ev_now(loop_);
    while (!waiting_.empty() && waiting_.front().deadline <= now) {
        release(waiting_.begin(), Drop::Timeout);
    }
    armTimer();
}

void PendingClients::armTimer() {
    timer_.stop();
    if (waiting_.empty()) {
        return;
    }
    ev_timer_set(timer_.get(), std::max(0.0, waiting_.front().deadline - ev_now(loop_)), 0.);
    timer_.start(loop_);
}

void PendingClients::clear() {
    timer_.stop();
    waiting_.clear();
}
