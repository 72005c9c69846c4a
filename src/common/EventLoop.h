// The parent's default event loop and RAII holders for libev watchers.
//
// A holder embeds the libev watcher, remembers the loop it was started on and stops it
// when destroyed, so an owner that goes away never leaves a live watcher behind.
// Owners set the callback with the ev_*_init macros on get() and point data at themselves.
#pragma once

#include <ev.h>

#include <cstring>

// The process-wide default loop of the parent (set by the entry point).
extern struct ev_loop* loop;

template <typename T>
struct EvOps;

template <>
struct EvOps<ev_io> {
    static void start(struct ev_loop* l, ev_io* w) { ev_io_start(l, w); }
    static void stop(struct ev_loop* l, ev_io* w) { ev_io_stop(l, w); }
};
template <>
struct EvOps<ev_timer> {
    static void start(struct ev_loop* l, ev_timer* w) { ev_timer_start(l, w); }
    static void stop(struct ev_loop* l, ev_timer* w) { ev_timer_stop(l, w); }
};
template <>
struct EvOps<ev_periodic> {
    static void start(struct ev_loop* l, ev_periodic* w) { ev_periodic_start(l, w); }
    static void stop(struct ev_loop* l, ev_periodic* w) { ev_periodic_stop(l, w); }
};
template <>
struct EvOps<ev_signal> {
    static void start(struct ev_loop* l, ev_signal* w) { ev_signal_start(l, w); }
    static void stop(struct ev_loop* l, ev_signal* w) { ev_signal_stop(l, w); }
};
template <>
struct EvOps<ev_child> {
    static void start(struct ev_loop* l, ev_child* w) { ev_child_start(l, w); }
    static void stop(struct ev_loop* l, ev_child* w) { ev_child_stop(l, w); }
};

template <>
struct EvOps<ev_prepare> {
    static void start(struct ev_loop* l, ev_prepare* w) { ev_prepare_start(l, w); }
    static void stop(struct ev_loop* l, ev_prepare* w) { ev_prepare_stop(l, w); }
};

template <typename T>
class EvWatcher {
  public:
    EvWatcher() { std::memset(&watcher_, 0, sizeof watcher_); }
    ~EvWatcher() { stop(); }
    EvWatcher(const EvWatcher&) = delete;
    EvWatcher& operator=(const EvWatcher&) = delete;

    T* get() { return &watcher_; }
    bool active() const { return ev_is_active(&watcher_); }

    void start(struct ev_loop* l) {
        loop_ = l;
        EvOps<T>::start(l, &watcher_);
    }
    void stop() {
        if (loop_ != nullptr) {
            EvOps<T>::stop(loop_, &watcher_);
        }
    }

  private:
    T watcher_;
    struct ev_loop* loop_ = nullptr;
};

using EvIo = EvWatcher<ev_io>;
using EvTimer = EvWatcher<ev_timer>;
using EvPeriodic = EvWatcher<ev_periodic>;
using EvSignal = EvWatcher<ev_signal>;
using EvChild = EvWatcher<ev_child>;

// Turns a member function into a libev callback; the watcher's data is the object.
template <typename Owner, typename W, void (Owner::*Method)(int)>
void evMemberCallback(struct ev_loop*, W* watcher, int events) {
    (static_cast<Owner*>(watcher->data)->*Method)(events);
}
