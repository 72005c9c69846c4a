// In-process tests of the server's gateway service with a clock the test moves: the keepalive
// sweep's 120-second limit, what a removal clears, and the session-cache purge of every client.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "GatewayTestSupport.h"
#include "encryption.h"
#include "protocol/GatewayDatagram.h"
#include "server/GatewayClient.h"
#include "server/TambloServer.h"

namespace {

using gateway_test::Bytes;
using gateway_test::FakeClock;
using gateway_test::LogCapture;
using gateway_test::UdpPeer;

constexpr time_t kStart = 1'700'000'000;

class GatewayServiceClock : public ::testing::Test {
  protected:
    void SetUp() override { gateway_test::defaultLoopServer(server_, clock_); }
    TambloServer& server() { return *server_; }

    // Registers a client with the given last MAC byte from the peer; returns its key.
    std::string registerClient(UdpPeer& peer, uint8_t macByte, bool withKey = false) {
        gateway_datagram::RegistrationFields fields;
        const uint8_t mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, macByte};
        std::memcpy(fields.mac, mac, 6);
        fields.localPortStart = 20000;
        fields.localPortEnd = 20010;
        CryptoContextPtr peerCrypto;
        if (withKey) {
            peerCrypto.reset(cryptoNew());
            fields.publicKey = cryptoGetPublicKey(peerCrypto.get());
        }
        uint8_t datagram[gateway_datagram::kRegistrationMaxSize];
        const size_t length = gateway_datagram::encodeRegistration(fields, datagram);
        server().io_cb_switch(peer.address(), datagram, length);
        const auto answer = peer.receive();
        EXPECT_TRUE(answer.has_value());
        if (answer) {
            EXPECT_EQ(answer->at(0), withKey ? TAMBLO_MT_ACCEPTTLS : TAMBLO_MT_ACCEPT);
        }
        return std::string(gateway_datagram::formatMacKey(mac).view());
    }

    bool keepalive(UdpPeer& peer, const std::string& key) {
        uint8_t mac[6];
        for (int i = 0; i < 6; ++i) {
            mac[i] = static_cast<uint8_t>(std::stoul(key.substr(i * 3, 2), nullptr, 16));
        }
        uint8_t datagram[gateway_datagram::kKeepaliveMaxSize];
        const size_t length = gateway_datagram::encodeKeepalive(mac, {}, datagram);
        server().io_cb_switch(peer.address(), datagram, length);
        return peer.receive(100) == Bytes{TAMBLO_MT_KEEPALIVERESP};
    }

    bool registered(const std::string& key) {
        return server().gatewayClient(std::string_view(key)) != nullptr;
    }

    FakeClock clock_{kStart};
    std::unique_ptr<TambloServer> server_;
};

TEST_F(GatewayServiceClock, ClientSilentFor120SecondsStaysAnd121IsRemoved) {
    UdpPeer peer;
    const std::string key = registerClient(peer, 1);

    clock_.set(kStart + 120, 999'999);
    server().processKeepalive();
    EXPECT_TRUE(registered(key));

    LogCapture log;
    clock_.set(kStart + 121);
    server().processKeepalive();
    EXPECT_FALSE(registered(key));
    EXPECT_EQ(server().gatewayClientCount(), 0u);
    EXPECT_TRUE(log.has(log4cplus::DEBUG_LOG_LEVEL, "Keepalive: Removed gateway client " + key));
}

TEST_F(GatewayServiceClock, KeepaliveRestartsTheSilence) {
    UdpPeer peer;
    const std::string key = registerClient(peer, 2);
    clock_.set(kStart + 100);
    ASSERT_TRUE(keepalive(peer, key));

    clock_.set(kStart + 220);
    server().processKeepalive();
    EXPECT_TRUE(registered(key));
    clock_.set(kStart + 221);
    server().processKeepalive();
    EXPECT_FALSE(registered(key));
}

TEST_F(GatewayServiceClock, LastKeepaliveInTheFutureCountsAsLongSilence) {
    UdpPeer peer;
    const std::string key = registerClient(peer, 3);
    clock_.set(kStart - 1);  // the wall clock was set back
    server().processKeepalive();
    EXPECT_FALSE(registered(key));
}

TEST_F(GatewayServiceClock, SweepRemovesOnlySilentClients) {
    UdpPeer quiet;
    UdpPeer talkative;
    UdpPeer late;
    const std::string quietKey = registerClient(quiet, 4);
    const std::string talkativeKey = registerClient(talkative, 5);
    clock_.set(kStart + 60);
    const std::string lateKey = registerClient(late, 6);  // registration counts as heard
    clock_.set(kStart + 110);
    ASSERT_TRUE(keepalive(talkative, talkativeKey));

    clock_.set(kStart + 150);
    server().processKeepalive();
    EXPECT_FALSE(registered(quietKey));
    EXPECT_TRUE(registered(talkativeKey));
    EXPECT_TRUE(registered(lateKey));
    EXPECT_EQ(server().gatewayClientCount(), 2u);
}

TEST_F(GatewayServiceClock, RemovedClientLeavesNoEntryInAnyTable) {
    UdpPeer peer;
    const std::string key = registerClient(peer, 7, /*withKey=*/true);
    GatewayClient* record = server().gatewayClient(std::string_view(key));
    ASSERT_NE(record, nullptr);
    server().updateGatewayClient(record, 4242);
    ASSERT_EQ(server().gatewayClient(4242u), record);

    clock_.set(kStart + 121);
    server().processKeepalive();
    EXPECT_EQ(server().gatewayClient(4242u), nullptr);

    // Its address is unknown to the envelope and channel routes.
    LogCapture log;
    uint8_t envelope[1 + 32] = {TAMBLO_MT_ENCRYPTED};
    server().io_cb_switch(peer.address(), envelope, sizeof envelope);
    uint8_t channel[] = {130, 1, 2, 3};
    server().io_cb_switch(peer.address(), channel, sizeof channel);
    EXPECT_TRUE(log.has(log4cplus::WARN_LOG_LEVEL, "Got encrypted message from not registered gc"));
    EXPECT_EQ(log.countContaining(log4cplus::WARN_LOG_LEVEL, "cannot find channel"), 0u);
}

TEST_F(GatewayServiceClock, RemovingAClientKeepsTheIdOfTheClientThatTookItOver) {
    UdpPeer first;
    UdpPeer second;
    const std::string firstKey = registerClient(first, 8);
    clock_.set(kStart + 60);
    const std::string secondKey = registerClient(second, 9);
    server().updateGatewayClient(server().gatewayClient(std::string_view(firstKey)), 77);
    GatewayClient* secondRecord = server().gatewayClient(std::string_view(secondKey));
    server().updateGatewayClient(secondRecord, 77);

    clock_.set(kStart + 150);  // the first is 150 s quiet, the second 90 s
    server().processKeepalive();
    EXPECT_FALSE(registered(firstKey));
    EXPECT_EQ(server().gatewayClient(77u), secondRecord);
}

TEST_F(GatewayServiceClock, KeepaliveAnswerAndRefreshUseTheServerClock) {
    UdpPeer peer;
    const std::string key = registerClient(peer, 10);
    GatewayClient* record = server().gatewayClient(std::string_view(key));
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->lastKeepalive(), kStart);
    clock_.set(kStart + 42);
    ASSERT_TRUE(keepalive(peer, key));
    EXPECT_EQ(record->lastKeepalive(), kStart + 42);
}

TEST_F(GatewayServiceClock, SessionCachePurgeRunsOverEveryClient) {
    UdpPeer one;
    UdpPeer two;
    GatewayClient* first = server().gatewayClient(std::string_view(registerClient(one, 11)));
    GatewayClient* second = server().gatewayClient(std::string_view(registerClient(two, 12)));
    first->addLdInfo(1, "198.18.11.2", 80, "s", clock_.now());
    second->addLdInfo(2, "198.18.11.3", 80, "s", clock_.now());
    clock_.advance(100);
    second->addLdInfo(3, "198.18.11.4", 80, "s", clock_.now());

    clock_.advance(800);  // 900 and 800 s since use
    server().purgeSessionCache();
    EXPECT_EQ(first->cachedSessions().size(), 1u);
    EXPECT_EQ(second->cachedSessions().size(), 2u);

    clock_.advance(1);
    server().purgeSessionCache();
    EXPECT_TRUE(first->cachedSessions().empty());
    ASSERT_EQ(second->cachedSessions().size(), 1u);
    EXPECT_EQ(second->cachedSessions().front().id, 3u);
}

// Datagrams anybody can send, many times over, and the line each one's handling writes at
// the default level: a limited number of lines per interval, and the next line after it says
// how many were left out.
TEST_F(GatewayServiceClock, DatagramFloodsWriteABoundedNumberOfLines) {
    UdpPeer plain;
    UdpPeer keyed;
    UdpPeer stranger;
    registerClient(plain, 20);
    registerClient(keyed, 21, /*withKey=*/true);
    gateway_datagram::RegistrationFields named;
    named.mac[5] = 22;
    named.customId = "flood-cam";
    uint8_t registration[gateway_datagram::kRegistrationMaxSize];
    const size_t registrationLength = gateway_datagram::encodeRegistration(named, registration);

    struct Flood {
        const char* line;
        log4cplus::LogLevel level;
        const UdpPeer& sender;
        Bytes datagram;
    };
    const Flood floods[] = {
        {"Got encrypted message from not registered gc", log4cplus::WARN_LOG_LEVEL, stranger,
         Bytes(33, TAMBLO_MT_ENCRYPTED)},
        // Not a whole number of cipher blocks: never opens, whatever the key.
        {"Cannot decrypt message from registereg gc", log4cplus::WARN_LOG_LEVEL, keyed,
         Bytes(21, TAMBLO_MT_ENCRYPTED)},
        {"Could not find session for key: ", log4cplus::INFO_LOG_LEVEL, plain,
         Bytes{TAMBLO_MT_TCPOVERUDP, 198, 18, 0, 9, 0, 80, 0x4e, 0x21, 0, 0, 0, 0}},
        {"cannot find channel for \x82", log4cplus::WARN_LOG_LEVEL, plain, Bytes{0x82, 1, 2, 3}},
        {"device uses custom device id of length 9", log4cplus::INFO_LOG_LEVEL, plain,
         Bytes(registration, registration + registrationLength)},
        {"Accepted UDP session from GC flood-cam", log4cplus::INFO_LOG_LEVEL, plain,
         Bytes(registration, registration + registrationLength)},
    };
    constexpr size_t kFlood = 1000;
    constexpr size_t kBurst = 10;  // LogRateLimiter's default: 10 lines per 10 s
    for (const Flood& flood : floods) {
        clock_.advance(10);  // a window of its own for every limiter
        LogCapture log;
        Bytes datagram = flood.datagram;
        for (size_t i = 0; i < kFlood; ++i) {
            datagram = flood.datagram;  // an envelope is opened in place
            server().io_cb_switch(flood.sender.address(), datagram.data(), datagram.size());
        }
        EXPECT_EQ(log.countContaining(flood.level, flood.line), kBurst) << flood.line;
        clock_.advance(10);
        datagram = flood.datagram;
        server().io_cb_switch(flood.sender.address(), datagram.data(), datagram.size());
        EXPECT_EQ(log.countContaining(flood.level, flood.line), kBurst + 1) << flood.line;
        const std::string summary =
            "(" + std::to_string(kFlood - kBurst) + " similar lines left out)";
        const auto& lines = log.lines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const gateway_test::LogLine& line) {
                                    return line.message.find(flood.line) == 0 &&
                                           line.message.find(summary) != std::string::npos;
                                }),
                  1)
            << flood.line;
    }
}

}  // namespace
