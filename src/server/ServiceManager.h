// The server as a system service: the readiness and watchdog notifications of systemd's
// notify protocol, and SIGHUP, which reads the logging configuration again (logrotate).
//
// The entry point makes one after the server has bound its sockets and keeps it for the
// run. The notify protocol is a datagram of "KEY=VALUE" lines to the Unix socket named in
// $NOTIFY_SOCKET ("@" for the abstract namespace); without that variable nothing is sent.
// The watchdog is pinged from the loop itself, at half the interval that systemd asks for
// in $WATCHDOG_USEC, so a stalled loop is noticed and restarted.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/EventLoop.h"

namespace service_manager {

// Sends one notification; false when there is no socket to send to or the send failed.
bool notify(std::string_view state);

// Seconds between watchdog pings: half of $WATCHDOG_USEC, when it is set and meant for this
// process ($WATCHDOG_PID absent or ours).
std::optional<double> watchdogPingInterval();

}  // namespace service_manager

class ServiceManager {
  public:
    // logConfig: the file given with --log-config= (empty: searched for as at start).
    // reloaded runs after SIGHUP has read the log settings again.
    ServiceManager(struct ev_loop* loop, std::string logConfig,
                   std::function<void()> reloaded = nullptr);
    ServiceManager(const ServiceManager&) = delete;
    ServiceManager& operator=(const ServiceManager&) = delete;

    void ready();     // READY=1 and the main pid; starts the watchdog pings
    void stopping();  // STOPPING=1

  private:
    void onHangup(int revents);
    void onWatchdog(int revents);

    struct ev_loop* loop_;
    std::string logConfig_;
    std::function<void()> reloaded_;
    EvSignal hangup_;
    EvTimer watchdog_;
};
