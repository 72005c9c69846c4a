// The client's bytes copied to the next server and its answer copied back.
#include "worker/ClientForward.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "protocol/PipeMessage.h"

ClientForward::ClientForward(int client, int peer, int fromParent) : parent(fromParent) {
    loop = ev_loop_new(EVBACKEND_EPOLL);
    setUp(up, client, peer, kBufferSize);
    setUp(down, peer, client, kBufferSize);
}

ClientForward::~ClientForward() {
    up.readable.stop();
    up.writable.stop();
    down.readable.stop();
    down.writable.stop();
    parentReadable.stop();
    idleTimer.stop();
    if (loop != nullptr) {
        ev_loop_destroy(loop);
    }
}

void ClientForward::setUp(Direction& d, int from, int to, size_t capacity) {
    d.owner = this;
    d.from = from;
    d.to = to;
    d.capacity = capacity;
    d.buffer = std::make_unique<uint8_t[]>(capacity);
    ev_io_init(d.readable.get(), onReadable, from, EV_READ);
    d.readable.get()->data = &d;
    ev_io_init(d.writable.get(), onWritable, to, EV_WRITE);
    d.writable.get()->data = &d;
}

ClientForward::End ClientForward::run(const uint8_t* held, size_t heldLength,
                                      double idleSecondsAllowed) {
    if (loop == nullptr) {
        return End::Failed;
    }
    idleSeconds = idleSecondsAllowed;
    // What the worker read before it knew the gateway was elsewhere leaves first.
    if (heldLength > up.capacity) {
        up.buffer = std::make_unique<uint8_t[]>(heldLength);
        up.capacity = heldLength;
    }
    if (heldLength > 0) {
        std::memcpy(up.buffer.get(), held, heldLength);
    }
    up.end = heldLength;
    ev_io_init(parentReadable.get(), onParent, parent, EV_READ);
    parentReadable.get()->data = this;
    parentReadable.start(loop);
    // The timer looks at the time of the last move a few times per period instead of being
    // restarted for every chunk moved.
    lastMove = ev_now(loop);
    const double check = std::max(idleSeconds / 4, 0.05);
    ev_timer_init(idleTimer.get(), onIdle, check, check);
    idleTimer.get()->data = this;
    idleTimer.start(loop);
    if (!pump(up) || !pump(down)) {
        return End::Failed;
    }
    if (!(up.ended && down.ended)) {
        ev_run(loop, 0);
    }
    return result;
}

bool ClientForward::pump(Direction& d) {
    for (;;) {
        if (d.start < d.end) {
            const ssize_t n =
                ::send(d.to, d.buffer.get() + d.start, d.end - d.start, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    d.readable.stop();
                    d.writable.start(loop);
                    return true;
                }
                return false;
            }
            d.start += static_cast<size_t>(n);
            d.moved += static_cast<uint64_t>(n);
            moved();
            continue;
        }
        d.start = d.end = 0;
        d.writable.stop();
        if (d.ended) {
            return true;
        }
        const ssize_t n = ::recv(d.from, d.buffer.get(), d.capacity, MSG_DONTWAIT);
        if (n > 0) {
            d.end = static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            // The sender is done: the receiver hears so once everything before it arrived.
            d.ended = true;
            d.readable.stop();
            ::shutdown(d.to, SHUT_WR);
            if (up.ended && down.ended) {
                finish(End::Done);
            }
            return true;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            d.readable.start(loop);
            return true;
        }
        return false;
    }
}

void ClientForward::finish(End end) {
    result = end;
    ev_break(loop, EVBREAK_ALL);
}

void ClientForward::moved() {
    lastMove = ev_now(loop);
}

void ClientForward::onReadable(struct ev_loop*, ev_io* watcher, int) {
    Direction& d = *static_cast<Direction*>(watcher->data);
    if (!d.owner->pump(d)) {
        d.owner->finish(End::Failed);
    }
}

void ClientForward::onWritable(struct ev_loop*, ev_io* watcher, int) {
    Direction& d = *static_cast<Direction*>(watcher->data);
    if (!d.owner->pump(d)) {
        d.owner->finish(End::Failed);
    }
}

void ClientForward::onParent(struct ev_loop*, ev_io* watcher, int) {
    ClientForward& self = *static_cast<ClientForward*>(watcher->data);
    // Only a stop is meant for a forwarding worker; the pipe's end means the parent is gone.
    using Status = pipe_message::Reader::Status;
    bool stop = false;
    const Status status =
        self.fromParent.readAndDispatch(self.parent, [&](uint8_t type, const uint8_t*, uint16_t) {
            stop = stop || type == pipe_message::kStop;
            return true;
        });
    if (stop || (status != Status::Ok && status != Status::WouldBlock)) {
        self.finish(End::Stopped);
    }
}

void ClientForward::onIdle(struct ev_loop* loop, ev_timer* watcher, int) {
    ClientForward& self = *static_cast<ClientForward*>(watcher->data);
    if (ev_now(loop) - self.lastMove >= self.idleSeconds) {
        self.finish(End::Idle);
    }
}
