// An in-process server on free loopback ports, a clock the test moves, and a gateway
// client played through a real UDP socket.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/EventLoop.h"
#include "protocol/GatewayDatagram.h"
#include "server/GatewayClient.h"
#include "server/TambloServer.h"

namespace tamblo_test {

class ManualClock : public Clock {
  public:
    timeval now() const override { return current; }
    timeval current{1700000000, 0};
};

// A UDP socket on loopback standing for a gateway client.
class FakeGateway {
  public:
    FakeGateway() {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    }
    ~FakeGateway() { ::close(fd); }

    // The next datagram, or an empty vector after the timeout.
    std::vector<uint8_t> receive(int timeoutMs = 200) const {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) {
            return {};
        }
        std::vector<uint8_t> bytes(65536);
        const ssize_t n = ::recv(fd, bytes.data(), bytes.size(), 0);
        bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return bytes;
    }

    std::string addressText() const {
        return "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }

    int fd;
    sockaddr_in address{};
};

class ServerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        loop = ev_default_loop(0);
        ServerSettings settings;
        settings.gcPort = 0;
        settings.ctrlPort = 0;
        settings.proxyPort = 0;
        configure(settings);
        server = std::make_unique<TambloServer>(settings, clock);
    }
    // A fixture's own settings, before the server is made (the default loop is set).
    virtual void configure(ServerSettings&) {}
    void TearDown() override { server.reset(); }

    // Registers the fake gateway (plain) with a MAC ending in last and a port range.
    GatewayClient* registerGateway(FakeGateway& gateway, uint8_t last, uint16_t portStart = 5000,
                                   uint16_t portEnd = 5010, uint8_t type = 2) {
        gateway_datagram::RegistrationFields fields;
        const uint8_t mac[] = {0x00, 0x11, 0x22, 0xAA, 0xBB, last};
        std::copy(mac, mac + 6, fields.mac);
        fields.localIP = inet_addr("198.19.2.3");
        fields.localPortStart = portStart;
        fields.localPortEnd = portEnd;
        fields.type = type;
        uint8_t datagram[gateway_datagram::kRegistrationMaxSize];
        const size_t length = gateway_datagram::encodeRegistration(fields, datagram);
        server->io_cb_switch(gateway.address, datagram, length);
        EXPECT_EQ(gateway.receive(), (std::vector<uint8_t>{TAMBLO_MT_ACCEPT}));
        return server->gatewayClient(gateway_datagram::formatMacKey(mac).view());
    }

    // Runs the loop until nothing is left to do right now (deferred deletions included).
    void settle() {
        for (int i = 0; i < 20; ++i) {
            ev_run(loop, EVRUN_NOWAIT);
        }
    }

    ManualClock clock;
    std::unique_ptr<TambloServer> server;
};

}  // namespace tamblo_test
