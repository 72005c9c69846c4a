// Unit tests of the notify protocol to the service manager: the datagram reaches the socket
// named in $NOTIFY_SOCKET, a path or an abstract name; the watchdog interval is half of
// $WATCHDOG_USEC and only for the process that $WATCHDOG_PID names.
#include "ServiceManager.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "FileDescriptor.h"

namespace {

// Sets environment variables for one test and puts the old values back.
class ScopedEnvironment {
  public:
    void set(const char* name, const std::string& value) {
        remember(name);
        ::setenv(name, value.c_str(), 1);
    }
    void unset(const char* name) {
        remember(name);
        ::unsetenv(name);
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
        }
    }

  private:
    void remember(const char* name) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A datagram socket bound to a name; name "@x" is abstract.
UniqueFd boundSocket(const std::string& name) {
    UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@') {
        address.sun_path[0] = '\0';
    }
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    EXPECT_EQ(::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
    return socket;
}

std::string receive(int socket) {
    char buffer[256];
    const ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

TEST(ServiceManager, NotificationsReachPathAndAbstractSockets) {
    const std::string path = "/tmp/tamblo-notify-" + std::to_string(::getpid());
    ::unlink(path.c_str());
    const std::string abstractName = "@tamblo-notify-" + std::to_string(::getpid());
    for (const std::string& name : {path, abstractName}) {
        const UniqueFd socket = boundSocket(name);
        ScopedEnvironment environment;
        environment.set("NOTIFY_SOCKET", name);
        EXPECT_TRUE(service_manager::notify("READY=1"));
        EXPECT_EQ(receive(socket.get()), "READY=1") << name;
    }
    ::unlink(path.c_str());
    ScopedEnvironment environment;
    environment.unset("NOTIFY_SOCKET");
    EXPECT_FALSE(service_manager::notify("READY=1"));
    environment.set("NOTIFY_SOCKET", "relative/path");
    EXPECT_FALSE(service_manager::notify("READY=1"));
}

TEST(ServiceManager, WatchdogIntervalIsHalfOfWhatTheManagerAsksForThisProcess) {
    const std::string self = std::to_string(::getpid());
    const struct {
        const char* usec;  // null: unset
        std::string pid;   // empty: unset
        std::optional<double> interval;
    } cases[] = {
        {nullptr, "", std::nullopt},    {"2000000", "", 1.0},    {"2000000", self, 1.0},
        {"2000000", "1", std::nullopt}, {"0", "", std::nullopt}, {"x", "", std::nullopt},
    };
    for (const auto& c : cases) {
        ScopedEnvironment environment;
        c.usec ? environment.set("WATCHDOG_USEC", c.usec) : environment.unset("WATCHDOG_USEC");
        c.pid.empty() ? environment.unset("WATCHDOG_PID") : environment.set("WATCHDOG_PID", c.pid);
        EXPECT_EQ(service_manager::watchdogPingInterval(), c.interval)
            << (c.usec ? c.usec : "unset") << " " << c.pid;
    }
}

}  // namespace
