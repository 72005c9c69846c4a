// Unit tests of the gateway client record: local ports, channel ids and window sizes it hands
// out, the keepalive address rule, the envelope of what it sends and what it decrypts, the
// channel bindings of its tunnels, and its LAN device session cache.
#include "server/GatewayClient.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "GatewayTestSupport.h"
#include "common/LogRedaction.h"
#include "encryption.h"
#include "protocol/GatewayDatagram.h"
#include "server/Tunnel.h"
#include "server/UdpBatch.h"

namespace {

using gateway_test::at;
using gateway_test::Bytes;
using gateway_test::LogCapture;
using gateway_test::loopback;
using gateway_test::UdpPeer;

const timeval kCreated = at(1'700'000'000);

std::unique_ptr<GatewayClient> bareRecord(uint16_t portStart = 5000, uint16_t portEnd = 5003,
                                          uint8_t type = 0) {
    return std::make_unique<GatewayClient>(nullptr, "00:11:22:33:44:55", loopback(4000), 0,
                                           portStart, portEnd, type, nullptr, kCreated);
}

Bytes pattern(size_t length) {
    Bytes out(length);
    for (size_t i = 0; i < length; ++i) {
        out[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// Values handed to workers

TEST(GatewayClientLocalPorts, CycleThroughTheRangeEndExclusive) {
    auto record = bareRecord(5000, 5003);
    std::vector<uint16_t> ports;
    for (int i = 0; i < 7; ++i) {
        ports.push_back(record->getNextLocalPort().value_or(0));
    }
    EXPECT_EQ(ports, (std::vector<uint16_t>{5000, 5001, 5002, 5000, 5001, 5002, 5000}));
}

TEST(GatewayClientLocalPorts, RangeWithoutRoomAlwaysGivesTheStart) {
    for (const auto& [start, end] : std::vector<std::pair<uint16_t, uint16_t>>{
             {5000, 5000}, {5000, 5001}, {5000, 10}, {65535, 0}, {65534, 65535}}) {
        auto record = bareRecord(start, end);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(record->getNextLocalPort(), std::optional<uint16_t>(start))
                << start << ".." << end << " call " << i;
        }
    }
}

TEST(GatewayClientLocalPorts, RangeUpToTheLastPortWraps) {
    auto record = bareRecord(65533, 65535);
    std::vector<uint16_t> ports;
    for (int i = 0; i < 4; ++i) {
        ports.push_back(record->getNextLocalPort().value_or(0));
    }
    EXPECT_EQ(ports, (std::vector<uint16_t>{65533, 65534, 65533, 65534}));
}

TEST(GatewayClientComponentIds, EvenIdsFrom128To192ThenAgain) {
    auto record = bareRecord();
    std::vector<int> ids;
    for (int i = 0; i < 34; ++i) {
        ids.push_back(record->getNextComponentId().value_or(-1));
    }
    EXPECT_EQ(ids[0], 128);
    EXPECT_EQ(ids[1], 130);
    EXPECT_EQ(ids[31], 190);
    EXPECT_EQ(ids[32], 192);
    EXPECT_EQ(ids[33], 128);
    for (int id : ids) {
        EXPECT_EQ(id % 2, 0);
    }
}

TEST(GatewayClientWindow, SizeByGatewayType) {
    const std::pair<uint8_t, uint32_t> cases[] = {{1, 2796}, {2, 196607}, {16, 196607}, {0, 0},
                                                  {3, 0},    {15, 0},     {17, 0},      {255, 0}};
    for (const auto& [type, window] : cases) {
        EXPECT_EQ(bareRecord(5000, 5003, type)->tcpWindowSize(), window) << int(type);
    }
}

// ---------------------------------------------------------------------------------------
// Keepalive address rule

TEST(GatewayClientKeepalive, OnlyTheRegisteredAddressAndPortRefresh) {
    auto record = bareRecord();
    EXPECT_EQ(record->lastKeepalive(), kCreated.tv_sec);

    EXPECT_FALSE(record->keepAlive(loopback(4001), at(kCreated.tv_sec + 10)));
    EXPECT_FALSE(record->keepAlive(loopback(4000, "127.0.0.2"), at(kCreated.tv_sec + 10)));
    EXPECT_EQ(record->lastKeepalive(), kCreated.tv_sec);

    EXPECT_TRUE(record->keepAlive(loopback(4000), at(kCreated.tv_sec + 30)));
    EXPECT_EQ(record->lastKeepalive(), kCreated.tv_sec + 30);
}

// ---------------------------------------------------------------------------------------
// Envelope

class GatewayClientWithServer : public ::testing::Test {
  protected:
    void SetUp() override { gateway_test::defaultLoopServer(server_); }
    TambloServer& server() { return *server_; }

    // A record for peer_ whose key was agreed with peerCrypto_.
    std::unique_ptr<GatewayClient> keyedRecord() {
        CryptoContextPtr mine(cryptoNew());
        peerCrypto_.reset(cryptoNew());
        EXPECT_TRUE(cryptoSetRemoteKey(mine.get(), cryptoGetPublicKey(peerCrypto_.get())));
        EXPECT_TRUE(cryptoSetRemoteKey(peerCrypto_.get(), cryptoGetPublicKey(mine.get())));
        serverKey_.assign(cryptoGetPublicKey(mine.get()), cryptoGetPublicKey(mine.get()) + 32);
        return std::make_unique<GatewayClient>(&server(), "AA:BB:CC:DD:EE:FF", peer_.address(), 0,
                                               20000, 20010, 2, std::move(mine), kCreated);
    }
    std::unique_ptr<GatewayClient> plainRecord() {
        return std::make_unique<GatewayClient>(&server(), "AA:BB:CC:DD:EE:01", peer_.address(), 0,
                                               20000, 20010, 2, nullptr, kCreated);
    }
    Bytes peerDecrypt(const Bytes& envelope) {
        uint32_t length = 0;
        uint8_t* plain = cryptoProcessBuf(peerCrypto_.get(), CryptoDecrypt, envelope.data(),
                                          static_cast<uint32_t>(envelope.size()), nullptr, &length);
        EXPECT_NE(plain, nullptr);
        Bytes out(plain, plain + length);
        std::free(plain);
        return out;
    }

    // The next datagram at peer, taken apart from a coalesced buffer when the kernel made one.
    Bytes receiveOne(const UdpPeer& peer) {
        if (pending_[&peer].empty()) {
            pollfd p{peer.fd(), POLLIN, 0};
            if (::poll(&p, 1, 1000) != 1) {
                return {};
            }
            Bytes buffer(udp_batch::kCoalescedBufferSize);
            iovec vector{buffer.data(), buffer.size()};
            uint8_t control[udp_batch::kControlSpace];
            msghdr message{};
            message.msg_iov = &vector;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(peer.fd(), &message, 0);
            if (n <= 0) {
                return {};
            }
            udp_batch::forEachDatagram(buffer.data(), static_cast<size_t>(n),
                                       udp_batch::segmentSize(message),
                                       [&](uint8_t* bytes, size_t length) {
                                           pending_[&peer].emplace_back(bytes, bytes + length);
                                       });
        }
        Bytes next = std::move(pending_[&peer].front());
        pending_[&peer].pop_front();
        return next;
    }

    std::unique_ptr<TambloServer> server_;
    std::map<const UdpPeer*, std::deque<Bytes>> pending_;
    UdpPeer peer_;
    CryptoContextPtr peerCrypto_;
    Bytes serverKey_;
};

TEST_F(GatewayClientWithServer, PlainRecordSendsTheBytesUnchanged) {
    auto record = plainRecord();
    EXPECT_FALSE(record->isEncrypted());
    EXPECT_EQ(record->getPublicKey(), nullptr);
    const Bytes payload = {TAMBLO_MT_TCPOVERUDP, 198, 18, 11, 20, 1, 2, 3};
    record->send(payload.data(), static_cast<int>(payload.size()));
    server().flushDatagrams();  // what the loop does before it waits
    EXPECT_EQ(peer_.receive(), payload);
}

TEST_F(GatewayClientWithServer, KeyedRecordSendsEveryDatagramInTheEnvelope) {
    auto record = keyedRecord();
    EXPECT_TRUE(record->isEncrypted());
    EXPECT_EQ(Bytes(record->getPublicKey(), record->getPublicKey() + 32), serverKey_);
    for (const size_t n : {0u, 1u, 15u, 16u, 17u, 31u, 100u, 1400u, 4096u}) {
        SCOPED_TRACE("n=" + std::to_string(n));
        const Bytes payload = pattern(n);
        record->send(payload.data(), static_cast<int>(n));
        server().flushDatagrams();
        const std::optional<Bytes> datagram = peer_.receive();
        ASSERT_TRUE(datagram.has_value());
        EXPECT_EQ(datagram->size(), 1 + 16 + 16 * (n / 16 + 1));
        EXPECT_EQ(datagram->at(0), TAMBLO_MT_ENCRYPTED);
        EXPECT_EQ(peerDecrypt(Bytes(datagram->begin() + 1, datagram->end())), payload);
    }
}

TEST_F(GatewayClientWithServer, SamePlaintextGoesOutUnderFreshVectors) {
    auto record = keyedRecord();
    const Bytes payload = pattern(40);
    record->send(payload.data(), 40);
    record->send(payload.data(), 40);
    server().flushDatagrams();
    const auto first = peer_.receive();
    const auto second = peer_.receive();
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
}

// What the workers hand over in one pass of the loop leaves in one batch: runs of equal
// datagrams to one gateway as one segmented message. Every gateway still gets its own
// datagrams, each whole and in order, plain or in its envelope, whether its socket takes them
// one by one or as the kernel coalesced them.
TEST_F(GatewayClientWithServer, ABatchOfMixedSizesAndGatewaysArrivesWholeAndInOrder) {
    for (const bool coalescing : {false, true}) {
        SCOPED_TRACE(coalescing ? "receiver coalesces" : "receiver takes datagrams singly");
        UdpPeer plainPeer;
        if (coalescing) {
            ASSERT_TRUE(udp_batch::enableReceiveOffload(plainPeer.fd()));
            ASSERT_TRUE(udp_batch::enableReceiveOffload(peer_.fd()));
        }
        auto keyed = keyedRecord();
        auto plain =
            std::make_unique<GatewayClient>(&server(), "AA:BB:CC:DD:EE:02", plainPeer.address(), 0,
                                            20000, 20010, 2, nullptr, kCreated);
        // Runs of full segments, a shorter one closing a run, ACK-sized ones, the two
        // gateways interleaved, and more than one segmented message can carry.
        std::vector<size_t> sizes(70, 1423);
        sizes.insert(sizes.end(), {700, 25, 25, 25, 1423, 1423, 1, 4096, 4096, 300});
        std::vector<Bytes> toKeyed, toPlain;
        for (size_t i = 0; i < sizes.size(); ++i) {
            Bytes payload = pattern(sizes[i]);
            payload[0] = static_cast<uint8_t>(i);
            const bool forKeyed = (i / 7) % 2 == 0;
            (forKeyed ? keyed : plain)->send(payload.data(), static_cast<int>(payload.size()));
            (forKeyed ? toKeyed : toPlain).push_back(payload);
        }
        server().flushDatagrams();
        for (const Bytes& expected : toPlain) {
            ASSERT_EQ(receiveOne(plainPeer), expected);
        }
        for (const Bytes& expected : toKeyed) {
            const Bytes envelope = receiveOne(peer_);
            ASSERT_FALSE(envelope.empty());
            ASSERT_EQ(envelope[0], TAMBLO_MT_ENCRYPTED);
            ASSERT_EQ(peerDecrypt(Bytes(envelope.begin() + 1, envelope.end())), expected);
        }
        EXPECT_FALSE(plainPeer.receive(0));
        EXPECT_FALSE(peer_.receive(0));
    }
}

TEST_F(GatewayClientWithServer, DatagramThatCannotBeEncryptedIsDroppedNotSentPlain) {
    auto record = keyedRecord();
    LogCapture log;
    const Bytes payload = pattern(4097);  // longer than any datagram the record relays
    record->send(payload.data(), static_cast<int>(payload.size()));
    record->send(payload.data(), -1);
    EXPECT_FALSE(peer_.receive(100).has_value());
    EXPECT_GE(log.countContaining(log4cplus::WARN_LOG_LEVEL, "AA:BB:CC:DD:EE:FF"), 1u);
}

TEST_F(GatewayClientWithServer, DecryptsWhatThePeerEncryptedInPlace) {
    auto record = keyedRecord();
    for (const size_t n : {1u, 7u, 16u, 33u, 1000u}) {
        const Bytes payload = pattern(n);
        uint32_t cipherLength = 0;
        Bytes envelope(cryptoSizeWithPadding(static_cast<uint32_t>(n)));
        ASSERT_NE(nullptr,
                  cryptoProcessBuf(peerCrypto_.get(), CryptoEncrypt, payload.data(),
                                   static_cast<uint32_t>(n), envelope.data(), &cipherLength));
        uint32_t plainLength = 99;
        const uint8_t* plain = record->decrypt(envelope.data(), cipherLength, &plainLength);
        ASSERT_EQ(plain, envelope.data() + 16);  // no allocation: over the ciphertext
        EXPECT_EQ(Bytes(plain, plain + plainLength), payload);
    }
}

TEST_F(GatewayClientWithServer, RefusesWhatDoesNotDecrypt) {
    auto record = keyedRecord();
    Bytes garbage = pattern(47);
    uint32_t plainLength = 99;
    EXPECT_EQ(record->decrypt(garbage.data(), 47, &plainLength), nullptr);
    EXPECT_EQ(plainLength, 0u);
    EXPECT_EQ(record->decrypt(garbage.data(), 16, &plainLength), nullptr);
    EXPECT_EQ(record->decrypt(garbage.data(), 0, &plainLength), nullptr);

    auto plain = plainRecord();
    Bytes envelope = pattern(32);
    plainLength = 99;
    EXPECT_EQ(plain->decrypt(envelope.data(), 32, &plainLength), nullptr);
    EXPECT_EQ(plainLength, 0u);
}

// ---------------------------------------------------------------------------------------
// Channels and tunnels

// The descriptors a Tunnel opened; the parent reads nothing from its own write ends, so any
// byte waiting on one of the read-only ends is a message the parent sent to the worker.
struct TunnelProbe {
    Tunnel* tunnel = nullptr;
    std::vector<int> readEnds;

    struct Frame {
        uint8_t type;
        Bytes payload;
    };
    std::optional<Frame> take() const {
        for (int fd : readEnds) {
            int waiting = 0;
            if (ioctl(fd, FIONREAD, &waiting) != 0 || waiting < 3) {
                continue;
            }
            uint8_t header[3];
            EXPECT_EQ(::read(fd, header, 3), 3);
            uint16_t length;
            std::memcpy(&length, header + 1, 2);
            Bytes payload(length);
            if (length > 0) {
                EXPECT_EQ(::read(fd, payload.data(), length), length);
            }
            return Frame{header[0], payload};
        }
        return std::nullopt;
    }
};

std::set<int> openDescriptors() {
    std::set<int> out;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return out;
    }
    const int own = dirfd(dir);  // closed again below: its number may be reused
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != own) {
            out.insert(std::atoi(entry->d_name));
        }
    }
    closedir(dir);
    return out;
}

TunnelProbe newProxyTunnel(TambloServer& server) {
    const std::set<int> before = openDescriptors();
    TunnelProbe probe;
    probe.tunnel = new Tunnel(&server);  // deleted with the server
    probe.tunnel->framesToWorker().attachRing(nullptr);  // all it gets comes through the pipe
    for (int fd : openDescriptors()) {
        const int flags = fcntl(fd, F_GETFL);
        if (before.count(fd) == 0 && flags >= 0 && (flags & O_ACCMODE) == O_RDONLY) {
            probe.readEnds.push_back(fd);
        }
    }
    EXPECT_EQ(probe.readEnds.size(), 2u);
    return probe;
}

class GatewayClientChannels : public GatewayClientWithServer {
  protected:
    void SetUp() override {
        GatewayClientWithServer::SetUp();
        // Registered through the server, so that channel datagrams reach it by address.
        gateway_datagram::RegistrationFields fields;
        std::memcpy(fields.mac, kMac, 6);
        fields.localPortStart = 20000;
        fields.localPortEnd = 20010;
        uint8_t datagram[gateway_datagram::kRegistrationMaxSize];
        const size_t length = gateway_datagram::encodeRegistration(fields, datagram);
        server().io_cb_switch(peer_.address(), datagram, length);
        ASSERT_EQ(peer_.receive(), Bytes{TAMBLO_MT_ACCEPT});
        record_ = server().gatewayClient(std::string_view("02:00:00:00:00:07"));
        ASSERT_NE(record_, nullptr);
        a_ = newProxyTunnel(server());
        b_ = newProxyTunnel(server());
        record_->registerTunnel(a_.tunnel);
        record_->registerTunnel(b_.tunnel);
    }
    // The tunnels were put in the record's set by hand, without pointing at the record, so
    // their destructors cannot take them out: the record must forget them before the server
    // deletes the tunnels and then the record. A test may have replaced the record: then the one in
    // the table is another.
    void TearDown() override {
        GatewayClient* current = server().gatewayClient(std::string_view("02:00:00:00:00:07"));
        if (current != nullptr) {
            current->deregisterTunnel(a_.tunnel);
            current->deregisterTunnel(b_.tunnel);
        }
    }
    void deliver(uint8_t channel) {
        uint8_t datagram[] = {channel, 0x80, 0xC8, 0x00, 0x06, 'r', 't', 'c', 'p'};
        server().io_cb_switch(peer_.address(), datagram, sizeof datagram);
    }
    static constexpr uint8_t kMac[6] = {0x02, 0, 0, 0, 0, 0x07};

    GatewayClient* record_ = nullptr;
    TunnelProbe a_;
    TunnelProbe b_;
};

TEST_F(GatewayClientChannels, ChannelDatagramGoesWholeToTheTunnelThatBoundItFirst) {
    record_->registerChannel(a_.tunnel, 130);
    record_->registerChannel(b_.tunnel, 130);
    deliver(130);

    const auto frame = a_.take();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->type, 130);
    EXPECT_EQ(frame->payload, (Bytes{130, 0x80, 0xC8, 0x00, 0x06, 'r', 't', 'c', 'p'}));
    EXPECT_FALSE(b_.take().has_value());
}

// A tunnel lets go of its own channels only: another tunnel's binding stays.
TEST_F(GatewayClientChannels, DeregisteringAChannelUnbindsItOnlyForItsOwner) {
    record_->registerChannel(a_.tunnel, 130);
    record_->deregisterChannel(b_.tunnel, 130);
    deliver(130);
    EXPECT_TRUE(a_.take().has_value());
    record_->deregisterChannel(a_.tunnel, 130);
    LogCapture log;
    deliver(130);
    EXPECT_FALSE(a_.take().has_value());
    EXPECT_TRUE(log.has(log4cplus::WARN_LOG_LEVEL, "cannot find channel for \x82"));
}

TEST_F(GatewayClientChannels, DeregisteringATunnelDropsOnlyItsChannels) {
    record_->registerChannel(a_.tunnel, 130);
    record_->registerChannel(a_.tunnel, 131);
    record_->registerChannel(b_.tunnel, 132);
    record_->deregisterTunnel(a_.tunnel);
    EXPECT_EQ(record_->getTunnels().count(a_.tunnel), 0u);

    LogCapture log;
    deliver(130);
    deliver(131);
    deliver(132);
    EXPECT_FALSE(a_.take().has_value());
    const auto frame = b_.take();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->type, 132);
    EXPECT_EQ(log.countContaining(log4cplus::WARN_LOG_LEVEL, "cannot find channel for "), 2u);
}

TEST_F(GatewayClientChannels, MessageTypeBytesAreChannelDatagramsToo) {
    LogCapture log;
    for (uint8_t type : {TAMBLO_MT_ACCEPT, TAMBLO_MT_KEEPALIVERESP, TAMBLO_MT_ACCEPTTLS}) {
        record_->registerChannel(a_.tunnel, type);
        deliver(type);
        const auto frame = a_.take();
        ASSERT_TRUE(frame.has_value()) << int(type);
        EXPECT_EQ(frame->type, type);
    }
    EXPECT_EQ(log.countContaining(log4cplus::WARN_LOG_LEVEL, "cannot find channel"), 0u);
}

TEST_F(GatewayClientChannels, DroppingTheRecordTellsItsTunnelsToStop) {
    // The same client registers again from another port of the same IP: the old record goes.
    UdpPeer moved;
    gateway_datagram::RegistrationFields fields;
    std::memcpy(fields.mac, kMac, 6);
    uint8_t datagram[gateway_datagram::kRegistrationMaxSize];
    const size_t length = gateway_datagram::encodeRegistration(fields, datagram);
    server().io_cb_switch(moved.address(), datagram, length);
    ASSERT_EQ(moved.receive(), Bytes{TAMBLO_MT_ACCEPT});

    for (const TunnelProbe* probe : {&a_, &b_}) {
        const auto frame = probe->take();
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(frame->type, 0);  // stop
        EXPECT_TRUE(frame->payload.empty());
    }
    const GatewayClient* current = server().gatewayClient(std::string_view("02:00:00:00:00:07"));
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(current->getAddress().sin_port, moved.address().sin_port);
}

// ---------------------------------------------------------------------------------------
// Session cache

TEST(GatewayClientSessionCache, KeyIsTheDeviceAndTheSessionId) {
    auto record = bareRecord();
    record->addLdInfo(7, "198.18.11.20", 80, "abc", at(1000));
    record->addLdInfo(8, "198.18.11.21", 81, "abc", at(1000));
    record->addLdInfo(7, "198.18.11.22", 82, "abd", at(1000));
    EXPECT_EQ(record->cachedSessions().size(), 3u);
    EXPECT_TRUE(record->checkForCachedSessionId(7, "abc"));
    EXPECT_TRUE(record->checkForCachedSessionId(8, "abc"));
    EXPECT_TRUE(record->checkForCachedSessionId(7, "abd"));
    EXPECT_FALSE(record->checkForCachedSessionId(8, "abd"));
    EXPECT_FALSE(record->checkForCachedSessionId(7, "ab"));
    EXPECT_FALSE(record->checkForCachedSessionId(7, "abc "));
    EXPECT_EQ(record->cachedSessions().front().keyref, -1);
}

TEST(GatewayClientSessionCache, FirstEntryOfAKeyIsKept) {
    auto record = bareRecord();
    record->addLdInfo(7, "198.18.11.20", 80, "abc", at(1000));
    record->addLdInfo(7, "198.18.11.99", 8080, "abc", at(2000));
    ASSERT_EQ(record->cachedSessions().size(), 1u);
    const LanDeviceInfo& entry = record->cachedSessions().front();
    EXPECT_EQ(entry.ip, "198.18.11.20");
    EXPECT_EQ(entry.port, 80);
    EXPECT_EQ(entry.lastUsageTs.tv_sec, 1000);
}

TEST(GatewayClientSessionCache, LookupCopiesAndRefreshesOrLeavesOutputsAlone) {
    auto record = bareRecord();
    record->addLdInfo(7, "198.18.11.20", 80, "abc", at(1000));

    std::string ip = "unchanged";
    uint16_t port = 4321;
    EXPECT_FALSE(record->getCachedData(7, "xyz", &ip, &port, at(1500)));
    EXPECT_FALSE(record->getCachedData(9, "abc", &ip, &port, at(1500)));
    EXPECT_EQ(ip, "unchanged");
    EXPECT_EQ(port, 4321);
    EXPECT_EQ(record->cachedSessions().front().lastUsageTs.tv_sec, 1000);

    EXPECT_TRUE(record->getCachedData(7, "abc", &ip, &port, at(1500)));
    EXPECT_EQ(ip, "198.18.11.20");
    EXPECT_EQ(port, 80);
    EXPECT_EQ(record->cachedSessions().front().lastUsageTs.tv_sec, 1500);
    // checkForCachedSessionId does not count as a use.
    EXPECT_TRUE(record->checkForCachedSessionId(7, "abc"));
    EXPECT_EQ(record->cachedSessions().front().lastUsageTs.tv_sec, 1500);
}

TEST(GatewayClientSessionCache, EntryLivesNineHundredSecondsAfterItsLastUse) {
    auto record = bareRecord();
    record->addLdInfo(7, "198.18.11.20", 80, "abc", at(10'000, 999'999));
    record->purgeSessionCache(at(10'900), 900);
    EXPECT_EQ(record->cachedSessions().size(), 1u);
    // Whole seconds only: 900.000001 s of real age still counts as 900.
    record->purgeSessionCache(at(10'900, 999'999), 900);
    EXPECT_EQ(record->cachedSessions().size(), 1u);

    LogCapture log;
    record->purgeSessionCache(at(10'901), 900);
    EXPECT_TRUE(record->cachedSessions().empty());
    EXPECT_TRUE(
        log.has(log4cplus::DEBUG_LOG_LEVEL,
                "Removing cached session ID: " + tamblo::logging::sessionTag("abc") + ", ld: 7"));
}

TEST(GatewayClientSessionCache, UseExtendsTheLife) {
    auto record = bareRecord();
    record->addLdInfo(7, "198.18.11.20", 80, "abc", at(10'000));
    std::string ip;
    uint16_t port = 0;
    ASSERT_TRUE(record->getCachedData(7, "abc", &ip, &port, at(10'800)));
    record->purgeSessionCache(at(11'700), 900);
    EXPECT_EQ(record->cachedSessions().size(), 1u);
    record->purgeSessionCache(at(11'701), 900);
    EXPECT_TRUE(record->cachedSessions().empty());
}

TEST(GatewayClientSessionCache, PurgeRemovesEveryExpiredEntryAndKeepsTheOrder) {
    auto record = bareRecord();
    record->purgeSessionCache(at(5000), 900);  // empty: nothing happens
    EXPECT_TRUE(record->cachedSessions().empty());

    record->addLdInfo(1, "198.18.0.1", 1, "s1", at(4500));
    record->addLdInfo(2, "198.18.0.2", 2, "s2", at(100));
    record->addLdInfo(3, "198.18.0.3", 3, "s3", at(200));
    record->addLdInfo(4, "198.18.0.4", 4, "s4", at(4400));
    record->addLdInfo(5, "198.18.0.5", 5, "s5", at(9000));  // used "later than now"
    record->purgeSessionCache(at(5000), 900);

    std::vector<uint32_t> left;
    for (const LanDeviceInfo& entry : record->cachedSessions()) {
        left.push_back(entry.id);
    }
    EXPECT_EQ(left, (std::vector<uint32_t>{1, 4, 5}));
}

}  // namespace
