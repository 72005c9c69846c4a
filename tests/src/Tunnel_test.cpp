// The parent side of the pipe protocol: a tunnel whose worker the test plays through the
// worker's pipe ends, with a real server and a gateway client on loopback.
#include "Tunnel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <vector>

#include "GatewayTestSupport.h"
#include "LanDeviceAuthData.h"
#include "PipeMessage.h"
#include "ServerFixture.h"

using namespace tamblo_test;

namespace {

std::vector<uint8_t> readFromParent(const Tunnel* tunnel) {
    fcntl(tunnel->workerInput(), F_SETFL, O_NONBLOCK);
    std::vector<uint8_t> bytes(1 << 16);
    const ssize_t n = ::read(tunnel->workerInput(), bytes.data(), bytes.size());
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

void writeToParent(const Tunnel* tunnel, uint8_t type, const void* payload, uint16_t length) {
    ASSERT_EQ(pipe_message::writeFrame(tunnel->workerOutput(), type, payload, length),
              static_cast<ssize_t>(3 + length));
}

LanDeviceAuthData authRecord(uint32_t gcId, uint32_t ldId, const char* session) {
    LanDeviceAuthData record = makeLanDeviceAuthData();
    record.gcId = gcId;
    record.ldId = ldId;
    setAuthText(record.sessionId, session);
    return record;
}

class TunnelTest : public ServerFixture {
  protected:
    // A gateway client with id 7 that has device 12 / session "abc" cached.
    GatewayClient* cachedClient() {
        GatewayClient* client = registerGateway(gateway, 0xCC, 5000, 5003);
        server->updateGatewayClient(client, 7);
        client->addLdInfo(12, "198.18.11.20", 80, "abc", clock.now());
        return client;
    }
    // Asks for the cached session of device 12 and returns the parent's answer.
    std::vector<uint8_t> queryCache(Tunnel* tunnel, uint32_t gcId = 7,
                                    const char* session = "abc") {
        const LanDeviceAuthData query = authRecord(gcId, 12, session);
        writeToParent(tunnel, pipe_message::kCachedSessionQuery, &query, sizeof query);
        settle();
        return readFromParent(tunnel);
    }
    std::string sessionKey(uint16_t localPort, const char* device = "198.18.11.20") {
        return gateway.addressText() + "/" + device + "/" + std::to_string(localPort);
    }

    FakeGateway gateway;
};

TEST_F(TunnelTest, CachedSessionQueryIsAnsweredWithConnectParametersOrNotCached) {
    GatewayClient* client = cachedClient();
    Tunnel* tunnel = new Tunnel(server.get());

    const std::vector<uint8_t> answer = queryCache(tunnel);
    ASSERT_EQ(answer.size(), 3u + 24u);
    EXPECT_EQ(answer[0], pipe_message::kConnect);
    const auto parameters = pipe_message::decodeConnectParameters(answer.data() + 3, 24);
    ASSERT_TRUE(parameters);
    EXPECT_EQ(parameters->localIP, client->getLocalIP());
    EXPECT_EQ(parameters->localPort, 5000);
    EXPECT_EQ(parameters->windowSize, 196607u);
    EXPECT_EQ(parameters->devicePort, 80);
    EXPECT_EQ(parameters->deviceAddress, "198.18.11.20");
    EXPECT_EQ(server->session(sessionKey(5000)), tunnel);
    EXPECT_EQ(tunnel->getGatewayClient(), client);

    Tunnel* unknownClient = new Tunnel(server.get());
    EXPECT_EQ(queryCache(unknownClient, 8), (std::vector<uint8_t>{249, 0, 0}));
    Tunnel* unknownSession = new Tunnel(server.get());
    EXPECT_EQ(queryCache(unknownSession, 7, "abd"), (std::vector<uint8_t>{249, 0, 0}));

    Tunnel* wrongLength = new Tunnel(server.get());
    const LanDeviceAuthData query = authRecord(7, 12, "abc");
    writeToParent(wrongLength, pipe_message::kCachedSessionQuery, &query, sizeof query - 1);
    settle();
    EXPECT_EQ(readFromParent(wrongLength), (std::vector<uint8_t>{249, 0, 0}));
}

TEST_F(TunnelTest, AuthDataOfTheWrongLengthStopsTheWorker) {
    registerGateway(gateway, 0xCC);
    for (uint16_t length : {651, 653}) {
        Tunnel* tunnel = new Tunnel(server.get());
        std::vector<uint8_t> bytes(length, 0);
        writeToParent(tunnel, pipe_message::kConfigurationFound, bytes.data(), length);
        settle();
        EXPECT_EQ(readFromParent(tunnel), (std::vector<uint8_t>{0, 0, 0})) << length;
    }
}

TEST_F(TunnelTest, AuthDataCachesTheDeviceRecordsTheIdAndConnects) {
    GatewayClient* client = registerGateway(gateway, 0xCC);
    Tunnel* tunnel = new Tunnel(server.get());
    LanDeviceAuthData found = authRecord(42, 12, "abc");
    setAuthText(found.mac, "00:11:22:AA:BB:CC");
    setAuthText(found.ipAddress, "198.18.11.20");
    setAuthText(found.ipOverride, "127.0.0.1");
    found.port = 4080;
    writeToParent(tunnel, pipe_message::kConfigurationFound, &found, sizeof found);
    settle();

    const std::vector<uint8_t> answer = readFromParent(tunnel);
    ASSERT_GE(answer.size(), 3u + 12u);
    EXPECT_EQ(answer[0], pipe_message::kConnect);
    EXPECT_EQ(server->gatewayClient(42u), client);
    EXPECT_TRUE(client->checkForCachedSessionId(12, "abc"));
    // The session key names the override address: the device's answers come back for it.
    EXPECT_EQ(server->session(sessionKey(5000, "127.0.0.1")), tunnel);

    Tunnel* notConnected = new Tunnel(server.get());
    setAuthText(found.mac, "00:11:22:AA:BB:FF");
    writeToParent(notConnected, pipe_message::kConfigurationFound, &found, sizeof found);
    settle();
    EXPECT_EQ(readFromParent(notConnected), (std::vector<uint8_t>{0, 0, 0}));
}

TEST_F(TunnelTest, ChannelMessagesNeedAGatewayClient) {
    cachedClient();
    Tunnel* tunnel = new Tunnel(server.get());
    const uint8_t channel = 130;
    writeToParent(tunnel, pipe_message::kChannelRegister, &channel, 1);  // no client yet
    settle();
    const uint8_t datagram[] = {130, 1, 2, 3};
    server->io_cb_switch(gateway.address, const_cast<uint8_t*>(datagram), sizeof datagram);
    EXPECT_TRUE(readFromParent(tunnel).empty());

    queryCache(tunnel);  // binds the client
    writeToParent(tunnel, pipe_message::kChannelRegister, &channel, 1);
    settle();
    server->io_cb_switch(gateway.address, const_cast<uint8_t*>(datagram), sizeof datagram);
    EXPECT_EQ(readFromParent(tunnel), (std::vector<uint8_t>{130, 4, 0, 130, 1, 2, 3}));

    // A two-byte 248 is no registration: with a client present it goes out as a datagram.
    const uint8_t two[] = {131, 9};
    writeToParent(tunnel, pipe_message::kChannelRegister, two, 2);
    settle();
    EXPECT_EQ(gateway.receive(), (std::vector<uint8_t>{131, 9}));

    writeToParent(tunnel, pipe_message::kChannelDeregister, &channel, 1);
    settle();
    server->io_cb_switch(gateway.address, const_cast<uint8_t*>(datagram), sizeof datagram);
    EXPECT_TRUE(readFromParent(tunnel).empty());
}

TEST_F(TunnelTest, PayloadMessagesGoToTheClientAndAnEmpty254EndsTheTunnel) {
    cachedClient();
    Tunnel* tunnel = new Tunnel(server.get());
    queryCache(tunnel);
    const uint8_t packet[] = {255, 198, 18, 11, 20, 0, 80, 0x13, 0x88};
    writeToParent(tunnel, pipe_message::kDatagram, packet, sizeof packet);
    settle();
    EXPECT_EQ(gateway.receive(), std::vector<uint8_t>(packet, packet + sizeof packet));

    // 254 with a payload is not the finish notification: forwarded like 255.
    writeToParent(tunnel, pipe_message::kFinished, packet, sizeof packet);
    settle();
    EXPECT_EQ(gateway.receive(), std::vector<uint8_t>(packet, packet + sizeof packet));
    EXPECT_EQ(server->tunnelCount(), 1u);

    std::vector<uint8_t> largest(4096, 7);
    writeToParent(tunnel, pipe_message::kDatagram, largest.data(), 4096);
    settle();
    EXPECT_EQ(gateway.receive().size(), 4096u);

    writeToParent(tunnel, pipe_message::kFinished, nullptr, 0);
    settle();
    EXPECT_EQ(server->tunnelCount(), 0u);
    EXPECT_EQ(server->session(sessionKey(5000)), nullptr);
}

TEST_F(TunnelTest, AnOverlongMessageEndsTheTunnel) {
    Tunnel* tunnel = new Tunnel(server.get());
    const uint8_t header[] = {255, 0x01, 0x10};  // 4097
    ASSERT_EQ(::write(tunnel->workerOutput(), header, 3), 3);
    settle();
    EXPECT_EQ(server->tunnelCount(), 0u);
}

TEST_F(TunnelTest, RecordingStopReportIsWrittenOnce) {
    GatewayClient* client = registerGateway(gateway, 0xCC);
    int control[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, control), 0);
    const std::string key = gateway.addressText() + "/198.18.11.20/5000";
    Tunnel* tunnel = new Tunnel(client, server.get(), key);
    // The test keeps a copy of the worker's output end to speak for the forked worker.
    const int worker = ::dup(tunnel->workerOutput());
    RecordingRequest request;
    request.cameraIp = "198.18.11.20";
    request.cameraPort = 554;
    request.videoUri = "s";
    request.outputName = "/dev/null";
    request.codec = "MJPEG";
    request.localPort = 5000;
    ASSERT_TRUE(tunnel->startVideoRecording(request, "00:11:22:aa:bb:cc", control[0]));
    ASSERT_EQ(pipe_message::writeFrame(worker, pipe_message::kRecordingCleanup, nullptr, 0), 3);
    ASSERT_EQ(pipe_message::writeFrame(worker, pipe_message::kRecordingCleanup, nullptr, 0), 3);
    settle();
    ASSERT_EQ(pipe_message::writeFrame(worker, pipe_message::kFinished, nullptr, 0), 3);
    settle();
    EXPECT_EQ(server->tunnelCount(), 0u);
    ::close(worker);
    char line[256] = {};
    const ssize_t n = ::recv(control[1], line, sizeof line - 1, 0);
    EXPECT_EQ(std::string(line, n > 0 ? n : 0),
              "VIDEORECORDER:STATUS:001122AABBCC:198.18.11.20:554:STOPPED\n");
    ::close(control[0]);
    ::close(control[1]);
}

TEST_F(TunnelTest, ADeadTunnelLeavesTheSessionOfAnotherTunnelWithTheSameKey) {
    GatewayClient* client = cachedClient();
    Tunnel* first = new Tunnel(server.get());
    Tunnel* second = new Tunnel(server.get());
    server->registerSession(first, client->getAddress(), "198.18.11.20", 5005);
    server->registerSession(second, client->getAddress(), "198.18.11.20", 5005);
    first->destroy();
    settle();
    EXPECT_EQ(server->session(sessionKey(5005)), second);

    // A tunnel that changes target does not leave its old key behind.
    server->registerSession(second, client->getAddress(), "198.18.11.21", 5006);
    EXPECT_EQ(server->session(sessionKey(5005)), nullptr);
    EXPECT_EQ(server->session(sessionKey(5006, "198.18.11.21")), second);
}

TEST_F(TunnelTest, LocalPortsStillHeldAreSkippedAndAFullRangeIsRefused) {
    cachedClient();  // range 5000..5002
    Tunnel* a = new Tunnel(server.get());
    Tunnel* b = new Tunnel(server.get());
    Tunnel* c = new Tunnel(server.get());
    Tunnel* d = new Tunnel(server.get());
    EXPECT_EQ(queryCache(a)[0], pipe_message::kConnect);
    EXPECT_EQ(queryCache(b)[0], pipe_message::kConnect);
    EXPECT_EQ(queryCache(c)[0], pipe_message::kConnect);
    EXPECT_EQ(a->localPort(), 5000);
    EXPECT_EQ(b->localPort(), 5001);
    EXPECT_EQ(c->localPort(), 5002);
    // Every port is held: the fourth connection is refused, its worker told to stop.
    EXPECT_EQ(queryCache(d), (std::vector<uint8_t>{0, 0, 0}));

    b->destroy();
    settle();
    Tunnel* e = new Tunnel(server.get());
    EXPECT_EQ(queryCache(e)[0], pipe_message::kConnect);
    EXPECT_EQ(e->localPort(), 5001);
}

TEST_F(TunnelTest, DeletingTheClientStopsItsTunnelsWhichLiveOn) {
    GatewayClient* client = cachedClient();
    Tunnel* tunnel = new Tunnel(server.get());
    queryCache(tunnel);
    server->deleteGatewayClient(client);
    EXPECT_EQ(tunnel->getGatewayClient(), nullptr);
    EXPECT_EQ(readFromParent(tunnel), (std::vector<uint8_t>{0, 0, 0}));
    EXPECT_EQ(server->tunnelCount(), 1u);
    // A payload message after the client has gone is ignored.
    const uint8_t packet[] = {255, 1, 2, 3, 4};
    writeToParent(tunnel, pipe_message::kDatagram, packet, sizeof packet);
    settle();
    EXPECT_TRUE(gateway.receive(50).empty());
}

// A cache miss authorises nothing, so the tunnel must not hold the client it looked up: the
// record may go (a keepalive sweep, a re-registration) while the worker asks the
// configuration service, and the tunnel then ends or is answered for a client that is gone.
TEST_F(TunnelTest, ARecordDeletedDuringTheLookupLeavesNothingDangling) {
    for (const bool workerAnswers : {true, false}) {
        GatewayClient* client = cachedClient();
        Tunnel* tunnel = new Tunnel(server.get());
        EXPECT_EQ(queryCache(tunnel, 7, "not-cached"), (std::vector<uint8_t>{249, 0, 0}));
        EXPECT_EQ(tunnel->getGatewayClient(), nullptr);
        EXPECT_EQ(client->getTunnels().count(tunnel), 0u);

        server->deleteGatewayClient(client);
        if (workerAnswers) {
            LanDeviceAuthData found = authRecord(7, 12, "not-cached");
            setAuthText(found.mac, "00:11:22:AA:BB:CC");
            setAuthText(found.ipAddress, "198.18.11.20");
            writeToParent(tunnel, pipe_message::kConfigurationFound, &found, sizeof found);
            settle();
            EXPECT_EQ(readFromParent(tunnel), (std::vector<uint8_t>{0, 0, 0}));
        }
        writeToParent(tunnel, pipe_message::kFinished, nullptr, 0);
        settle();  // the tunnel's destructor runs: under the sanitizers, a use would show
        EXPECT_EQ(server->tunnelCount(), 0u);
    }
}

TEST_F(TunnelTest, ASecondTargetMovesTheTunnelOnlyWhenItsGatewayAuthorisesIt) {
    GatewayClient* first = cachedClient();
    Tunnel* tunnel = new Tunnel(server.get());
    ASSERT_EQ(queryCache(tunnel)[0], pipe_message::kConnect);
    ASSERT_EQ(tunnel->localPort(), 5000);

    FakeGateway otherGateway;
    GatewayClient* second = registerGateway(otherGateway, 0xDD, 6000, 6003);
    server->updateGatewayClient(second, 8);
    // Not cached at the second gateway: the first connection keeps its gateway, its port and
    // its session, so its segments still reach it.
    EXPECT_EQ(queryCache(tunnel, 8), (std::vector<uint8_t>{249, 0, 0}));
    EXPECT_EQ(tunnel->getGatewayClient(), first);
    EXPECT_EQ(tunnel->localPort(), 5000);
    EXPECT_EQ(server->session(sessionKey(5000)), tunnel);

    // The second gateway's configuration authorises it: now the tunnel moves.
    LanDeviceAuthData found = authRecord(8, 13, "abc");
    setAuthText(found.mac, "00:11:22:AA:BB:DD");
    setAuthText(found.ipAddress, "198.18.11.21");
    found.port = 80;
    writeToParent(tunnel, pipe_message::kConfigurationFound, &found, sizeof found);
    settle();
    EXPECT_EQ(readFromParent(tunnel)[0], pipe_message::kConnect);
    EXPECT_EQ(tunnel->getGatewayClient(), second);
    EXPECT_EQ(first->getTunnels().count(tunnel), 0u);
    EXPECT_EQ(second->getTunnels().count(tunnel), 1u);
    EXPECT_EQ(server->session(sessionKey(5000)), nullptr);
    EXPECT_EQ(tunnel->localPort(), 6000);
}

// A full pipe to a busy worker costs a tunnel packet, never the tunnel: the stack sends the
// packet again. Other messages keep ending a tunnel they cannot reach.
TEST_F(TunnelTest, ATunnelPacketThatFindsThePipeFullIsDroppedAndCounted) {
    cachedClient();
    Tunnel* tunnel = new Tunnel(server.get());
    ASSERT_EQ(queryCache(tunnel)[0], pipe_message::kConnect);
    fcntl(tunnel->workerInput(), F_SETPIPE_SZ, 4096);
    uint8_t segment[1 + 4 + 2 + 2 + 1400] = {TAMBLO_MT_TCPOVERUDP, 198, 18, 11, 20, 0, 80};
    segment[7] = 5000 >> 8;
    segment[8] = 5000 & 0xff;
    for (int i = 0; i < 8; ++i) {
        server->io_cb_switch(gateway.address, segment, sizeof segment);
    }
    EXPECT_GT(server->counters().tunnelPacketsPipeFullDropped, 0u);
    settle();
    EXPECT_EQ(server->tunnelCount(), 1u);
    EXPECT_FALSE(tunnel->isDying());
}
// A device lookup records the client's GC_ID only while no other live gateway holds it; a
// gateway lookup, which the configuration service confirmed for that id, moves it.
TEST_F(TunnelTest, GatewayIdsAreFirstComeForDeviceLookupsAndMovedByGatewayLookups) {
    FakeGateway attackerGateway;
    GatewayClient* owner = registerGateway(gateway, 0xCC);
    GatewayClient* other = registerGateway(attackerGateway, 0xDD);
    auto found = [&](uint8_t gatewayLookup) {
        Tunnel* tunnel = new Tunnel(server.get());
        LanDeviceAuthData record = authRecord(7, gatewayLookup ? 0 : 71, "evil");
        setAuthText(record.mac, "00:11:22:AA:BB:DD");
        setAuthText(record.ipAddress, "198.18.11.21");
        record.port = 80;
        record.gatewayLookup = gatewayLookup;
        writeToParent(tunnel, pipe_message::kConfigurationFound, &record, sizeof record);
        settle();
        EXPECT_EQ(readFromParent(tunnel)[0], pipe_message::kConnect);  // authorised all the same
    };
    EXPECT_TRUE(server->claimGatewayClientId(owner, 7, false));
    found(0);
    EXPECT_EQ(server->gatewayClient(7u), owner);
    found(1);
    EXPECT_EQ(server->gatewayClient(7u), other);
    // The id goes with its gateway's record, and is free for the first lookup after that.
    server->deleteGatewayClient(other);
    EXPECT_EQ(server->gatewayClient(7u), nullptr);
    EXPECT_TRUE(server->claimGatewayClientId(owner, 7, false));
    EXPECT_EQ(server->gatewayClient(7u), owner);
}

// A write to the worker that fails outright says why on a second line, then ends the tunnel.
TEST_F(TunnelTest, AFailedWriteToTheWorkerLogsItsErrorAndEndsTheTunnel) {
    Tunnel* tunnel = new Tunnel(server.get());
    fcntl(tunnel->workerInput(), F_SETPIPE_SZ, 4096);
    const std::vector<uint8_t> filler(4096 - 3, 0);
    tunnel->send(130, filler.data(), static_cast<uint16_t>(filler.size()));  // fills the pipe
    gateway_test::LogCapture log;
    tunnel->send(130, filler.data(), 16);
    EXPECT_EQ(log.countContaining(log4cplus::WARN_LOG_LEVEL,
                                  "Could not write to pipeOut, closing tunnel, error: ("),
              1u);
    EXPECT_TRUE(log.has(log4cplus::WARN_LOG_LEVEL, std::string("error: ") + std::strerror(EAGAIN)));
    EXPECT_TRUE(tunnel->isDying());
}
// Tunnel packets of one receive batch reach the worker in one gathered write. A frame the
// pipe takes only part of is finished before anything else, a message sent meanwhile follows
// it, and the packets that found no room are dropped and counted: the worker reads whole
// frames, in order.
TEST_F(TunnelTest, AFrameThePipeCutsIsFinishedBeforeAnythingElse) {
    Tunnel* tunnel = new Tunnel(server.get());
    fcntl(tunnel->workerInput(), F_SETPIPE_SZ, 4096);
    std::vector<std::vector<uint8_t>> packets;
    for (uint8_t i = 0; i < 5; ++i) {
        packets.emplace_back(1400, static_cast<uint8_t>(0x40 + i));
    }
    for (const auto& packet : packets) {
        tunnel->queueFrame(TAMBLO_MT_TCPOVERUDP, packet.data(), 1400);
    }
    const uint64_t droppedBefore = server->counters().tunnelPacketsPipeFullDropped;
    tunnel->flushFrames();  // 4096 bytes: two frames and part of the third
    EXPECT_EQ(server->counters().tunnelPacketsPipeFullDropped - droppedBefore, 2u);
    const uint8_t control[16] = {1, 2, 3};
    tunnel->sendToChildProcess(130, control, sizeof control);  // behind the cut frame's rest

    std::vector<uint8_t> bytes = readFromParent(tunnel);
    EXPECT_EQ(bytes.size(), 4096u);
    settle();  // the pipe has room again: the rest follows
    const std::vector<uint8_t> rest = readFromParent(tunnel);
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> frames;
    size_t offset = 0;
    while (offset + pipe_message::kHeaderSize <= bytes.size()) {
        uint16_t length;
        std::memcpy(&length, bytes.data() + offset + 1, sizeof length);
        ASSERT_LE(offset + pipe_message::kHeaderSize + length, bytes.size());
        const uint8_t* payload = bytes.data() + offset + pipe_message::kHeaderSize;
        frames.emplace_back(bytes[offset], std::vector<uint8_t>(payload, payload + length));
        offset += pipe_message::kHeaderSize + length;
    }
    EXPECT_EQ(offset, bytes.size());
    ASSERT_EQ(frames.size(), 4u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(frames[i].first, TAMBLO_MT_TCPOVERUDP);
        EXPECT_EQ(frames[i].second, packets[i]) << i;
    }
    EXPECT_EQ(frames[3].first, 130);
    EXPECT_EQ(frames[3].second, std::vector<uint8_t>(control, control + sizeof control));
    EXPECT_FALSE(tunnel->isDying());
}
}  // namespace
