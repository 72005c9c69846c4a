// Calls posted to an event loop from other threads.
#include "common/LoopMailbox.h"

#include <utility>

LoopMailbox::~LoopMailbox() {
    close();
}

void LoopMailbox::open(struct ev_loop* loop) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (loop_ != nullptr) {
        return;
    }
    ev_async_init(&wake_, wakeCb);
    wake_.data = this;
    ev_async_start(loop, &wake_);
    loop_ = loop;
}

void LoopMailbox::close() {
    std::deque<Call> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (loop_ == nullptr) {
            return;
        }
        ev_async_stop(loop_, &wake_);
        loop_ = nullptr;
        dropped.swap(calls_);
    }
    // Released outside the lock: a call's bound objects may post in their destructors.
}

bool LoopMailbox::post(Call call) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (loop_ != nullptr) {
            calls_.push_back(std::move(call));
            // ev_async_send is the one libev call that is safe from another thread; the lock
            // keeps the loop from being closed and destroyed under it.
            ev_async_send(loop_, &wake_);
            return true;
        }
    }
    return false;  // `call` is released here, outside the lock
}

void LoopMailbox::wakeCb(struct ev_loop*, ev_async* watcher, int) {
    static_cast<LoopMailbox*>(watcher->data)->runPosted();
}

void LoopMailbox::runPosted() {
    for (;;) {
        Call call;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (calls_.empty() || loop_ == nullptr) {
                return;
            }
            call = std::move(calls_.front());
            calls_.pop_front();
        }
        call();  // may post again, or close the mailbox
    }
}
