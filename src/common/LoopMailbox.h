// Calls handed to an event loop from any thread: posted under a lock, woken with ev_async,
// run on the loop's own thread in the order they were posted.
//
// The recording worker holds one (videorecorder.cpp): the RTSP recorder's media threads use it
// to hand work to the worker's loop. open and close run on the loop's thread; post runs on any
// thread and does nothing once the mailbox is closed (the loop is gone or about to be).
#pragma once

#include <ev.h>

#include <boost/function.hpp>
#include <deque>
#include <mutex>

class LoopMailbox {
  public:
    using Call = boost::function<void()>;

    LoopMailbox() = default;
    ~LoopMailbox();
    LoopMailbox(const LoopMailbox&) = delete;
    LoopMailbox& operator=(const LoopMailbox&) = delete;

    // Starts taking calls for this loop (its thread only).
    void open(struct ev_loop* loop);
    // Stops taking calls and drops those not yet run; before the loop is destroyed.
    void close();
    // Any thread: true when the call will run on the loop's thread; false when closed.
    bool post(Call call);

  private:
    static void wakeCb(struct ev_loop*, ev_async* watcher, int);
    void runPosted();

    std::mutex mutex_;
    struct ev_loop* loop_ = nullptr;  // guarded by mutex_; null while closed
    ev_async wake_{};
    std::deque<Call> calls_;
};
