// systemd's notify protocol, the watchdog pings and the SIGHUP re-read of the log settings.
#include "server/ServiceManager.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "common/FileDescriptor.h"
#include "common/Logging.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kServer);
}

namespace service_manager {

bool notify(std::string_view state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || (path[0] != '/' && path[0] != '@')) {
        return false;
    }
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@') {
        address.sun_path[0] = '\0';  // abstract namespace
    }
    const UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) {
        return false;
    }
    const socklen_t addressLength =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    return ::sendto(socket.get(), state.data(), state.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address),
                    addressLength) == static_cast<ssize_t>(state.size());
}

std::optional<double> watchdogPingInterval() {
    const char* usec = std::getenv("WATCHDOG_USEC");
    if (usec == nullptr) {
        return std::nullopt;
    }
    const char* pid = std::getenv("WATCHDOG_PID");
    if (pid != nullptr && std::strtol(pid, nullptr, 10) != ::getpid()) {
        return std::nullopt;
    }
    const double microseconds = std::strtod(usec, nullptr);
    if (!(microseconds > 0)) {
        return std::nullopt;
    }
    return microseconds / 2e6;
}

}  // namespace service_manager

ServiceManager::ServiceManager(struct ev_loop* loop, std::string logConfig,
                               std::function<void()> reloaded)
    : loop_(loop), logConfig_(std::move(logConfig)), reloaded_(std::move(reloaded)) {
    ev_signal_init(hangup_.get(),
                   (evMemberCallback<ServiceManager, ev_signal, &ServiceManager::onHangup>),
                   SIGHUP);
    hangup_.get()->data = this;
    hangup_.start(loop_);
    ev_init(watchdog_.get(),
            (evMemberCallback<ServiceManager, ev_timer, &ServiceManager::onWatchdog>));
    watchdog_.get()->data = this;
}

void ServiceManager::ready() {
    service_manager::notify("READY=1\nMAINPID=" + std::to_string(::getpid()));
    if (const std::optional<double> interval = service_manager::watchdogPingInterval()) {
        LOG4CPLUS_INFO(logger,
                       "Pinging the service manager's watchdog every " << *interval << " s");
        ev_timer_set(watchdog_.get(), *interval, *interval);
        watchdog_.start(loop_);
        service_manager::notify("WATCHDOG=1");
    }
}

void ServiceManager::stopping() {
    watchdog_.stop();
    service_manager::notify("STOPPING=1");
}

void ServiceManager::onWatchdog(int) {
    service_manager::notify("WATCHDOG=1");
}

void ServiceManager::onHangup(int) {
    const std::string path = tamblo::logging::reconfigureLogging(logConfig_);
    if (path.empty()) {
        LOG4CPLUS_WARN(logger,
                       "SIGHUP: no logging configuration found, logging at INFO to "
                       "stderr");
    } else {
        LOG4CPLUS_INFO(logger, "SIGHUP: read the logging configuration again from " << path);
    }
    if (reloaded_) {
        reloaded_();
    }
}
