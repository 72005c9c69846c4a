// The gateway service under floods: the limits on registered records (in all and per public
// address), the key agreement rate of one source, and plain datagrams on a keyed
// association. In-process, with a clock the test moves and small limits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "GatewayTestSupport.h"
#include "encryption.h"
#include "protocol/GatewayDatagram.h"
#include "server/GatewayClient.h"
#include "server/TambloServer.h"
#include "server/Tunnel.h"

namespace {

using gateway_test::Bytes;
using gateway_test::FakeClock;
using gateway_test::UdpPeer;

class GatewayLimits : public ::testing::Test {
  protected:
    void SetUp() override {
        loop = ev_default_loop(0);
        ServerSettings settings = gateway_test::testSettings();
        settings.maxGateways = 4;
        settings.maxGatewaysPerAddress = 2;
        settings.keyAgreementsPerSecond = 1;  // bursts of 2
        server_ = std::make_unique<TambloServer>(settings, clock_);
    }

    // Registers MAC 02:..:macByte from the peer; true when it was accepted. A keyed peer
    // keeps its crypto context for envelopes.
    bool registerClient(UdpPeer& peer, uint8_t macByte, bool withKey = false) {
        gateway_datagram::RegistrationFields fields;
        const uint8_t mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, macByte};
        std::memcpy(fields.mac, mac, 6);
        fields.localPortStart = 20000;
        fields.localPortEnd = 20010;
        if (withKey) {
            peerCrypto_.reset(cryptoNew());
            fields.publicKey = cryptoGetPublicKey(peerCrypto_.get());
        }
        uint8_t datagram[gateway_datagram::kRegistrationMaxSize];
        const size_t length = gateway_datagram::encodeRegistration(fields, datagram);
        server_->io_cb_switch(peer.address(), datagram, length);
        const auto answer = peer.receive(100);
        if (!answer) {
            return false;
        }
        if (withKey) {
            EXPECT_TRUE(cryptoSetRemoteKey(peerCrypto_.get(), answer->data() + 1));
        }
        return true;
    }

    void deliver(UdpPeer& peer, Bytes datagram, bool sealed) {
        if (!sealed) {
            server_->io_cb_switch(peer.address(), datagram.data(), datagram.size());
            return;
        }
        Bytes envelope(1 + cryptoSizeWithPadding(static_cast<uint32_t>(datagram.size())));
        envelope[0] = TAMBLO_MT_ENCRYPTED;
        uint32_t length = 0;
        ASSERT_NE(
            cryptoProcessBuf(peerCrypto_.get(), CryptoEncrypt, datagram.data(),
                             static_cast<uint32_t>(datagram.size()), envelope.data() + 1, &length),
            nullptr);
        server_->io_cb_switch(peer.address(), envelope.data(), length + 1);
    }

    const ServerCounters& counters() const { return server_->counters(); }

    FakeClock clock_;
    std::unique_ptr<TambloServer> server_;
    CryptoContextPtr peerCrypto_;
};

TEST_F(GatewayLimits, RecordsPerAddressAndInAllStayWithinTheirLimits) {
    UdpPeer first("127.0.0.1"), second("127.0.0.1"), third("127.0.0.1");
    EXPECT_TRUE(registerClient(first, 1));
    EXPECT_TRUE(registerClient(second, 2));
    EXPECT_FALSE(registerClient(third, 3));  // a third record behind 127.0.0.1
    EXPECT_TRUE(registerClient(third, 2));   // a record replaced: allowed under a full limit
    UdpPeer otherA("127.0.0.2"), otherB("127.0.0.3"), otherC("127.0.0.4");
    EXPECT_TRUE(registerClient(otherA, 4));
    EXPECT_TRUE(registerClient(otherB, 5));
    EXPECT_FALSE(registerClient(otherC, 6));  // five records in all
    EXPECT_EQ(counters().registrationsRefusedLimit, 2u);

    // Expiry makes room again, in all and at the address.
    clock_.advance(121);
    server_->processKeepalive();
    EXPECT_TRUE(registerClient(otherC, 6));
    EXPECT_TRUE(registerClient(first, 1));
    EXPECT_TRUE(registerClient(second, 7));
}

TEST_F(GatewayLimits, KeyAgreementsOfOneSourceAreRateLimited) {
    UdpPeer peer("127.0.0.5");
    UdpPeer elsewhere("127.0.0.6");
    EXPECT_TRUE(registerClient(peer, 1, true));
    EXPECT_TRUE(registerClient(peer, 1, true));
    EXPECT_FALSE(registerClient(peer, 1, true));  // the burst of 2 is spent
    EXPECT_EQ(counters().registrationsRefusedKeyRate, 1u);
    EXPECT_TRUE(registerClient(peer, 8));             // plain registrations cost no agreement
    EXPECT_TRUE(registerClient(elsewhere, 2, true));  // another source has its own bucket
    clock_.advance(1);
    EXPECT_TRUE(registerClient(peer, 1, true));
}

TEST_F(GatewayLimits, KeyAgreementsOfAllSourcesTogetherHaveABudget) {
    server_.reset();
    ServerSettings settings = gateway_test::testSettings();
    settings.keyAgreementsPerSecond = 100;
    settings.keyAgreementsTotal = 1;  // bursts of 2, whatever the number of sources
    server_ = std::make_unique<TambloServer>(settings, clock_);
    UdpPeer a("127.0.0.5"), b("127.0.0.6"), c("127.0.0.7");
    EXPECT_TRUE(registerClient(a, 1, true));
    EXPECT_TRUE(registerClient(b, 2, true));
    EXPECT_FALSE(registerClient(c, 3, true));
    EXPECT_EQ(counters().registrationsRefusedKeyRate, 1u);
    clock_.advance(1);
    EXPECT_TRUE(registerClient(c, 3, true));
}

TEST_F(GatewayLimits, PlainTunnelAndChannelDatagramsOnAKeyedAssociationAreDropped) {
    UdpPeer peer;
    ASSERT_TRUE(registerClient(peer, 1, true));
    // A tunnel whose worker the test plays, with a session at the keyed client's address.
    Tunnel* tunnel = new Tunnel(server_.get());
    tunnel->framesToWorker().attachRing(nullptr);  // all it gets comes through the pipe
    server_->registerSession(tunnel, peer.address(), "198.18.11.20", 5000);
    fcntl(tunnel->workerInput(), F_SETFL, O_NONBLOCK);
    const auto toWorker = [&] {
        uint8_t bytes[4096];
        const ssize_t n = ::read(tunnel->workerInput(), bytes, sizeof bytes);
        return n > 0 ? static_cast<size_t>(n) : 0;
    };
    const Bytes segment = {TAMBLO_MT_TCPOVERUDP, 198, 18, 11, 20, 0, 80, 0x13, 0x88, 0};
    const Bytes channel = {130, 1, 2, 3};

    deliver(peer, segment, false);
    deliver(peer, channel, false);
    EXPECT_EQ(counters().plaintextOnKeyedDropped, 2u);
    EXPECT_EQ(toWorker(), 0u);

    // In the envelope the segment reaches the worker.
    deliver(peer, segment, true);
    EXPECT_EQ(toWorker(), 3u + segment.size() - 1);
    EXPECT_EQ(counters().plaintextOnKeyedDropped, 2u);
    tunnel->destroy();

    // Plain keepalives are still answered on a keyed association.
    uint8_t keepalive[gateway_datagram::kKeepaliveMaxSize];
    const uint8_t mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 1};
    const size_t length = gateway_datagram::encodeKeepalive(mac, {}, keepalive);
    server_->io_cb_switch(peer.address(), keepalive, length);
    EXPECT_EQ(peer.receive(100), Bytes{TAMBLO_MT_KEEPALIVERESP});
}

}  // namespace
