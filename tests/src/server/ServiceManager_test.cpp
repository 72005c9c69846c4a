// Unit tests of the notify protocol to the service manager: an abstract $NOTIFY_SOCKET name,
// names that are not sockets to write to, and the watchdog interval (half of $WATCHDOG_USEC,
// only for the process that $WATCHDOG_PID names). A path socket, READY, the pings and STOPPING
// are seen through the binary (test_operations.py).
#include "server/ServiceManager.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "common/FileDescriptor.h"

namespace {

// Sets (or, for null, unsets) a variable; every test leaves the three of them unset.
class ServiceManager : public ::testing::Test {
  protected:
    static void put(const char* name, const char* value) {
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    void TearDown() override {
        for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) {
            ::unsetenv(name);
        }
    }
};

TEST_F(ServiceManager, NotificationsReachAnAbstractSocketAndNeedAUsableName) {
    const std::string name = "tamblo-notify-" + std::to_string(::getpid());
    const UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());  // sun_path[0] == 0: abstract
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    ASSERT_EQ(::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
    put("NOTIFY_SOCKET", ("@" + name).c_str());
    EXPECT_TRUE(service_manager::notify("READY=1"));
    char buffer[64];
    EXPECT_EQ(::recv(socket.get(), buffer, sizeof buffer, 0), 7);
    EXPECT_EQ(std::string(buffer, 7), "READY=1");

    for (const char* unusable : {static_cast<const char*>(nullptr), "relative/path"}) {
        put("NOTIFY_SOCKET", unusable);
        EXPECT_FALSE(service_manager::notify("READY=1"));
    }
}

TEST_F(ServiceManager, WatchdogIntervalIsHalfOfWhatTheManagerAsksForThisProcess) {
    const std::string self = std::to_string(::getpid());
    const struct {
        const char* usec;  // null: unset
        const char* pid;   // null: unset
        std::optional<double> interval;
    } cases[] = {
        {nullptr, nullptr, std::nullopt}, {"2000000", nullptr, 1.0},
        {"2000000", self.c_str(), 1.0},   {"2000000", "1", std::nullopt},
        {"0", nullptr, std::nullopt},     {"x", nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
        put("WATCHDOG_USEC", c.usec);
        put("WATCHDOG_PID", c.pid);
        EXPECT_EQ(service_manager::watchdogPingInterval(), c.interval)
            << (c.usec ? c.usec : "unset") << " " << (c.pid ? c.pid : "unset");
    }
}

}  // namespace
