// The services the worker offers its recorder: the tunnel's connection, channels, watchers
// on the worker's loop, calls handed to it from other threads, cleanup and errors.
#include "worker/videorecorder_services.h"

#include <arpa/inet.h>

#include <map>
#include <memory>
#include <utility>

#include "common/Logging.h"
#include "protocol/PipeMessage.h"
#include "worker/tcpoverudp.h"
#include "worker/videorecorder_output.h"
#include "worker/videorecorder_state.h"

using worker::State;

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kVideoRecorder);
}  // namespace

void videorecorder_connect(const char* address, uint16_t port) {
    const State& s = worker::state();
    tunnelConnect(s.transport.gcIP, s.transport.gcPort, inet_addr(address), port,
                  s.transport.tcpWnd);
}

uint32_t videorecorder_send_to_device(const uint8_t* bytes, uint32_t length) {
    return tunnelSendData(bytes, length);
}

void videorecorder_channel_register(uint8_t channel) {
    tunnelTransportContextOutput(pipe_message::kChannelRegister, &channel, 1);
}

void videorecorder_channel_deregister(uint8_t channel) {
    tunnelTransportContextOutput(pipe_message::kChannelDeregister, &channel, 1);
}

void videorecorder_channel_send(const uint8_t* bytes, uint16_t length) {
    sendTofdUDPOutput(bytes, length);
}

Watcher::Watcher(int descriptor, WatcherCallback callback, int events)
    : fd(descriptor), cb(std::move(callback)) {
    ev_io_init(
        watcher.get(), [](struct ev_loop*, ev_io* w, int) { static_cast<Watcher*>(w->data)->cb(); },
        fd, events);
    watcher.get()->data = this;
    watcher.start(worker::state().localLoop);
}

Watcher::~Watcher() {
    LOG4CPLUS_TRACE(logger, "deleting watcher " << static_cast<const void*>(this));
}

ScheduledCall::ScheduledCall(WatcherCallback callback) : cb(std::move(callback)) {
    ev_timer_init(
        timer.get(),
        [](struct ev_loop*, ev_timer* w, int) {
            std::unique_ptr<ScheduledCall> call(static_cast<ScheduledCall*>(w->data));
            call->cb();
        },
        0., 0.);
    timer.get()->data = this;
    timer.start(worker::state().localLoop);
}

ScheduledCall::~ScheduledCall() {
    LOG4CPLUS_TRACE(logger, "deleting scheduled call " << static_cast<const void*>(this));
}

namespace {
// Stops the descriptor's watcher at once; its record (and the callback, which may be the one
// running now) is freed before the loop next waits.
void retireWatcher(std::map<int, std::unique_ptr<Watcher>>& table, uint16_t fd) {
    State& s = worker::state();
    const auto found = table.find(fd);
    if (found == table.end()) {
        return;
    }
    found->second->watcher.stop();
    s.retiredWatchers.push_back(std::move(found->second));
    table.erase(found);
}
}  // namespace

bool videorecorder_register_watcher(uint16_t fd, WatcherCallback cb) {
    // A descriptor registered again replaces its old record, which stops watching.
    State& s = worker::state();
    retireWatcher(s.watchers, fd);
    s.watchers[fd] = std::make_unique<Watcher>(fd, std::move(cb));
    return true;
}

void videorecorder_deregister_watcher(uint16_t fd) {
    retireWatcher(worker::state().watchers, fd);
}

bool videorecorder_register_write_watcher(uint16_t fd, WatcherCallback cb) {
    State& s = worker::state();
    retireWatcher(s.writeWatchers, fd);
    s.writeWatchers[fd] = std::make_unique<Watcher>(fd, std::move(cb), EV_WRITE);
    return true;
}

void videorecorder_deregister_write_watcher(uint16_t fd) {
    retireWatcher(worker::state().writeWatchers, fd);
}

void videorecorder_post_to_loop(WatcherCallback cb) {
    worker::state().mailbox.post(std::move(cb));
}

void videorecorder_data_consumed(uint32_t count) {
    tunnelDataConsumed(count);
}

void videorecorder_schedule_on_main_thread(WatcherCallback cb) {
    new ScheduledCall(std::move(cb));  // frees itself after running
}

void videorecorder_cleanup() {
    State& s = worker::state();
    tunnelClose();
    tunnelTransportContextOutput(pipe_message::kRecordingCleanup, nullptr, 0);
    if (!s.cleanupWatcher.active()) {
        s.cleanupWatcher.start(s.localLoop);
    }
}

void videorecorder_error(const char* text) {
    LOG4CPLUS_DEBUG(logger, "videorecorder_error " << text);
    worker::endNow();
}
