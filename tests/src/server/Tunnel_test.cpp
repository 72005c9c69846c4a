// The parent side of the pipe protocol: a tunnel whose worker the test plays through the
// worker's pipe ends, with a real server, a gateway client on loopback and a scripted
// configuration service.
#include "server/Tunnel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstring>
#include <set>
#include <vector>

#include "FakeConfigurationService.h"
#include "GatewayTestSupport.h"
#include "ServerFixture.h"
#include "protocol/LanDeviceAuthData.h"
#include "protocol/PipeMessage.h"
#include "protocol/WorkerRing.h"

using namespace tamblo_test;
using gateway_test::Bytes;

namespace {

std::vector<uint8_t> readFromParent(const Tunnel* tunnel) {
    fcntl(tunnel->workerInput(), F_SETFL, O_NONBLOCK);
    std::vector<uint8_t> bytes(1 << 16);
    const ssize_t n = ::read(tunnel->workerInput(), bytes.data(), bytes.size());
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

using Frames = std::vector<std::pair<uint8_t, std::vector<uint8_t>>>;

// The whole frames in bytes (a trailing partial one is left out).
Frames framesOf(const std::vector<uint8_t>& bytes) {
    Frames frames;
    size_t offset = 0;
    while (offset + pipe_message::kHeaderSize <= bytes.size()) {
        uint16_t length;
        std::memcpy(&length, bytes.data() + offset + 1, sizeof length);
        if (offset + pipe_message::kHeaderSize + length > bytes.size()) {
            break;
        }
        const uint8_t* payload = bytes.data() + offset + pipe_message::kHeaderSize;
        frames.emplace_back(bytes[offset], std::vector<uint8_t>(payload, payload + length));
        offset += pipe_message::kHeaderSize + length;
    }
    return frames;
}

void writeToParent(int output, uint8_t type, const void* payload, uint16_t length) {
    ASSERT_EQ(pipe_message::writeFrame(output, type, payload, length),
              static_cast<ssize_t>(3 + length));
}

void writeToParent(const Tunnel* tunnel, uint8_t type, const void* payload, uint16_t length) {
    writeToParent(tunnel->workerOutput(), type, payload, length);
}

LanDeviceAuthData queryRecord(uint32_t gcId, uint32_t ldId, const char* session,
                              TargetKind target = TargetKind::Device,
                              RelayService service = RelayService::None) {
    CachedSessionQuery query;
    query.gcId = gcId;
    query.ldId = ldId;
    query.sessionId = session;
    query.target = target;
    query.service = service;
    return encodeCachedSessionQuery(query);
}

// A tunnel packet as a worker sends it: 255, device address, TCP header (ports first).
std::vector<uint8_t> tunnelPacket(const char* device, uint16_t from, uint16_t to) {
    std::vector<uint8_t> packet(1 + 4 + 20, 0);
    packet[0] = TAMBLO_MT_TCPOVERUDP;
    inet_pton(AF_INET, device, packet.data() + 1);
    const uint16_t ports[2] = {htons(from), htons(to)};
    std::memcpy(packet.data() + 5, ports, sizeof ports);
    return packet;
}

uint64_t refused(const TambloServer& server, WorkerRefusal reason) {
    return server.counters().workerMessagesRefused[static_cast<size_t>(reason)];
}

class TunnelTest : public ServerFixture {
  protected:
    void configure(ServerSettings& settings) override {
        service = std::make_unique<FakeConfigurationService>();
        settings.restPort = service->port();
    }
    // A recording of camera:554 from localPort on client's gateway whose forked worker
    // writes into /dev/null (it records on /dev/null too): the test speaks for the worker on
    // the copy of its pipe end that is returned.
    int startPlayedRecording(Tunnel* tunnel, const char* camera, uint16_t localPort, int control) {
        const int worker = ::dup(tunnel->workerOutput());
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, tunnel->workerOutput());
        ::close(null);
        RecordingRequest request;
        request.cameraIp = camera;
        request.cameraPort = 554;
        request.videoUri = "s";
        request.outputName = "/dev/null";
        request.outputFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        request.codec = "MJPEG";
        request.localPort = localPort;
        EXPECT_TRUE(tunnel->startVideoRecording(request, "00:11:22:aa:bb:cc", control));
        return worker;
    }
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
        const LanDeviceAuthData query = queryRecord(gcId, 12, session);
        writeToParent(tunnel, pipe_message::kCachedSessionQuery, &query, sizeof query);
        settle();
        return readFromParent(tunnel);
    }
    // Sends the query and runs the loop until the parent has answered it finally (connect or
    // stop), the lookup at the configuration service included; returns all it sent.
    Frames lookUp(Tunnel* tunnel, const LanDeviceAuthData& query) {
        writeToParent(tunnel, pipe_message::kCachedSessionQuery, &query, sizeof query);
        EvTimer tick;
        ev_timer_init(
            tick.get(), [](struct ev_loop*, ev_timer*, int) {}, 0.01, 0.01);
        tick.start(loop);
        Frames frames;
        const double end = ev_time() + 5;
        while (ev_time() < end && (frames.empty() || frames.back().first == 249)) {
            ev_run(loop, EVRUN_ONCE);
            const Frames more = framesOf(readFromParent(tunnel));
            frames.insert(frames.end(), more.begin(), more.end());
        }
        return frames;
    }
    std::string sessionKey(uint16_t localPort, const char* device = "198.18.11.20") {
        return gateway.addressText() + "/" + device + "/" + std::to_string(localPort);
    }
    // A device at 198.18.11.21:8080 behind the gateway with this key.
    static std::string answerFor(const char* mac) {
        return std::string(
                   "HTTP/1.1 200 OK\r\n\r\n{\"status\":\"OK\",\"ipAddress\":\"198.18.11.21\","
                   "\"port\":8080,\"gatewayClient\":{\"serialNumber\":\"") +
               mac + "\"}}";
    }

    FakeGateway gateway;
    std::unique_ptr<FakeConfigurationService> service;
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

    // A miss is answered at once; the lookup that follows waits for the service here.
    service->hold = true;
    Tunnel* unknownClient = new Tunnel(server.get());
    EXPECT_EQ(queryCache(unknownClient, 8), (std::vector<uint8_t>{249, 0, 0}));
    Tunnel* unknownSession = new Tunnel(server.get());
    EXPECT_EQ(queryCache(unknownSession, 7, "abd"), (std::vector<uint8_t>{249, 0, 0}));
    EXPECT_TRUE(unknownSession->lookupPending());
    EXPECT_EQ(unknownSession->getGatewayClient(), nullptr);
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
    const int worker = startPlayedRecording(tunnel, "198.18.11.20", 5000, control[0]);
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

// What a worker wrote just before it ended (the ACK of the device's FIN, say) reaches the
// gateway even when the parent learns of the exit before it reads the pipe.
TEST_F(TunnelTest, WhatAWorkerWroteBeforeItsExitIsForwarded) {
    GatewayClient* client = registerGateway(gateway, 0xCC);
    Tunnel* recording = new Tunnel(client, server.get(), sessionKey(5001, "198.18.11.30"));
    const int worker = startPlayedRecording(recording, "198.18.11.30", 5001, -1);
    ASSERT_EQ(::kill(recording->workerPid(), SIGKILL), 0);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(recording->workerPid()), &info,
                       WEXITED | WNOWAIT),
              0);
    const std::vector<uint8_t> packet = tunnelPacket("198.18.11.30", 5001, 554);
    writeToParent(worker, pipe_message::kDatagram, packet.data(),
                  static_cast<uint16_t>(packet.size()));
    settle();
    EXPECT_EQ(server->tunnelCount(), 0u);
    EXPECT_EQ(gateway.receive(), std::optional<Bytes>(packet));
    ::close(worker);
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

// What the gateway sends goes through the shared ring (the relay's integration tests carry
// it end to end), the pipe one doorbell while the worker has not read the ring; a worker that
// claims to have read more than the parent wrote is ended.
TEST_F(TunnelTest, GatewayPacketsGoThroughTheRingBehindADoorbell) {
    cachedClient();
    Tunnel* tunnel = new Tunnel(server.get());
    ASSERT_EQ(queryCache(tunnel)[0], pipe_message::kConnect);
    uint8_t segment[1 + 4 + 2 + 2 + 100] = {TAMBLO_MT_TCPOVERUDP, 198, 18, 11, 20, 0, 80};
    segment[7] = 5000 >> 8;
    segment[8] = 5000 & 0xff;
    for (int i = 0; i < 3; ++i) {
        server->io_cb_switch(gateway.address, segment, sizeof segment);
    }
    settle();
    EXPECT_EQ(framesOf(readFromParent(tunnel)),
              Frames(1, {pipe_message::kRingDoorbell, std::vector<uint8_t>()}));

    void* memory = ::mmap(nullptr, worker_ring::kMappedBytes, PROT_READ | PROT_WRITE,
                          MAP_SHARED, tunnel->workerRing(), 0);
    ASSERT_NE(memory, MAP_FAILED);
    std::memset(static_cast<uint8_t*>(memory) + worker_ring::kConsumedOffset, 0x01, 4);
    ::munmap(memory, worker_ring::kMappedBytes);
    server->io_cb_switch(gateway.address, segment, sizeof segment);
    EXPECT_TRUE(tunnel->isDying());
    settle();
    EXPECT_EQ(server->tunnelCount(), 0u);
}

// A full pipe to a busy worker costs a tunnel packet, never the tunnel: the stack sends the
// packet again.
TEST_F(TunnelTest, ATunnelPacketThatFindsThePipeFullIsDroppedAndCounted) {
    cachedClient();
    Tunnel* tunnel = new Tunnel(server.get());
    tunnel->framesToWorker().attachRing(nullptr);  // the pipe alone, as without a ring
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
// Tunnel packets of one receive batch reach the worker in one gathered write. A frame the
// pipe takes only part of is finished before anything else, a message sent meanwhile follows
// it, and the packets that found no room are dropped and counted: the worker reads whole
// frames, in order.
TEST_F(TunnelTest, AFrameThePipeCutsIsFinishedBeforeAnythingElse) {
    Tunnel* tunnel = new Tunnel(server.get());
    tunnel->framesToWorker().attachRing(nullptr);  // the pipe alone, as without a ring
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
// What a compromised worker may write into its pipe: each message is dropped and counted under
// its reason, reaches neither the gateway nor the configuration service, and authorises and
// caches nothing; a query that no worker of this server sends also stops its worker.
TEST_F(TunnelTest, HostileWorkerMessagesAreDroppedAndCounted) {
    GatewayClient* client = cachedClient();
    LanDeviceAuthData forged = queryRecord(7, 13, "forged");  // with a found device's fields
    setAuthText(forged.mac, "00:11:22:AA:BB:CC");
    setAuthText(forged.ipAddress, "198.18.11.21");
    const auto bytes = [](const LanDeviceAuthData& record, size_t n = kLanDeviceAuthDataSize) {
        const auto* p = reinterpret_cast<const uint8_t*>(&record);
        return std::vector<uint8_t>(p, p + n);
    };
    const auto query = [&](const char* session, uint32_t ld = 12, TargetKind target = {},
                           RelayService service = {}) {
        return bytes(queryRecord(7, ld, session, target, service));
    };
    using R = WorkerRefusal;
    const struct {
        const char* what;
        bool recording;  // else a proxy tunnel authorised for 198.18.11.20:80 from port 5000
        uint8_t type;
        std::vector<uint8_t> payload;
        R reason;
    } cases[] = {
        {"a configuration found by the worker", false, 252, bytes(forged), R::ForgedConfiguration},
        {"clean-up from a proxy worker", false, 246, {}, R::NotAllowed},
        {"a channel register from a proxy worker", false, 248, {130}, R::NotAllowed},
        {"a channel datagram from a proxy worker", false, 255, {130, 1}, R::ForeignChannel},
        {"a packet for another device", false, 255, tunnelPacket("198.18.11.21", 5000, 80),
         R::ForeignPacket},
        {"a packet from another local port", false, 255, tunnelPacket("198.18.11.20", 5001, 80),
         R::ForeignPacket},
        {"a packet for another device port", false, 255, tunnelPacket("198.18.11.20", 5000, 22),
         R::ForeignPacket},
        {"a query from a recording worker", true, 250, query("abc"), R::NotAllowed},
        {"another recording's channel", true, 248, {130}, R::ForeignChannel},
        {"a datagram on another recording's channel", true, 255, {130, 0x81}, R::ForeignChannel},
        {"a packet for another camera port", true, 255, tunnelPacket("198.18.11.30", 5001, 80),
         R::ForeignPacket},
        {"a query one byte short", false, 250, bytes(queryRecord(7, 12, "abc"), 651), R::BadQuery},
        {"no such target", false, 250, query("abc", 12, TargetKind(3)), R::BadQuery},
        {"no such service", false, 250, query("abc", 12, {}, RelayService(5)), R::BadQuery},
        {"a blank in the session id", false, 250, query("a b"), R::BadQuery},
        {"a cookie in the session id", false, 250, query("abc;GC_ID=8"), R::BadQuery},
        {"a header in the session id", false, 250, query("abc\r\nX-Admin: 1"), R::BadQuery},
        {"quote and backslash", false, 250, query("a\"b\\"), R::BadQuery},
    };
    Tunnel* proxy = new Tunnel(server.get());
    ASSERT_EQ(queryCache(proxy)[0], pipe_message::kConnect);
    // A recording of camera 198.18.11.30:554 from local port 5001, channels 128 and 129.
    Tunnel* recording = new Tunnel(client, server.get(), sessionKey(5001, "198.18.11.30"));
    const int recordingOutput = startPlayedRecording(recording, "198.18.11.30", 5001, -1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool stops = c.reason == R::BadQuery;
        Tunnel* tunnel = stops ? new Tunnel(server.get()) : proxy;
        const uint64_t before = refused(*server, c.reason);
        writeToParent(c.recording ? recordingOutput : tunnel->workerOutput(), c.type,
                      c.payload.data(), static_cast<uint16_t>(c.payload.size()));
        settle();
        EXPECT_EQ(refused(*server, c.reason), before + 1);
        EXPECT_EQ(readFromParent(tunnel), stops ? Bytes({0, 0, 0}) : Bytes());
        EXPECT_TRUE(gateway.receive(0).empty());
        EXPECT_FALSE(proxy->isDying() || recording->isDying());
    }
    EXPECT_EQ(client->cachedSessions().size(), 1u);
    EXPECT_EQ(server->gatewayClient(7u), client);
    EXPECT_TRUE(service->requests.empty());
    ::close(recordingOutput);
}

// A new target on the same gateway: the old connection's reset still goes out, up to the first
// packet of the new connection.
TEST_F(TunnelTest, TheOldConnectionsResetPassesUntilTheNewConnectionStarts) {
    cachedClient()->addLdInfo(13, "198.18.11.21", 80, "abc", clock.now());
    Tunnel* tunnel = new Tunnel(server.get());
    ASSERT_EQ(queryCache(tunnel)[0], pipe_message::kConnect);  // device 12 from port 5000
    const LanDeviceAuthData second = queryRecord(7, 13, "abc");
    writeToParent(tunnel, pipe_message::kCachedSessionQuery, &second, sizeof second);
    settle();
    ASSERT_EQ(readFromParent(tunnel)[0], pipe_message::kConnect);  // device 13 from port 5001
    const Bytes reset = tunnelPacket("198.18.11.20", 5000, 80);
    const Bytes syn = tunnelPacket("198.18.11.21", 5001, 80);
    for (const Bytes* packet : {&reset, &syn, &reset}) {
        writeToParent(tunnel, pipe_message::kDatagram, packet->data(), 25);
    }
    settle();
    EXPECT_EQ(gateway.receive(), reset);
    EXPECT_EQ(gateway.receive(), syn);
    EXPECT_TRUE(gateway.receive(0).empty());
    EXPECT_EQ(refused(*server, WorkerRefusal::ForeignPacket), 1u);
}

// On a miss the parent asks the configuration service itself; only its answer authorises,
// caches and claims, and the parent decides where the worker connects.
TEST_F(TunnelTest, ACacheMissIsLookedUpByTheParent) {
    GatewayClient* client = cachedClient();
    const std::string found = answerFor("00:11:22:AA:BB:CC");
    const struct {
        const char* what;
        LanDeviceAuthData query;
        std::string answer;
        const char* address;  // of the connect parameters and the session key; "": stopped
        uint16_t port;
        bool cached;  // (13, session) in the cache afterwards
    } cases[] = {
        {"a device", queryRecord(7, 13, "s1"), found, "198.18.11.21", 8080, true},
        {"a device through RNAS", queryRecord(7, 13, "s2", {}, RelayService::RelayServiceRemoteNas),
         found, "127.0.0.1", 4080, true},
        {"the gateway itself", queryRecord(7, 0, "s3", TargetKind::Gateway), found, "127.0.0.1", 80,
         false},
        {"a refusal of the service", queryRecord(7, 13, "s4"), "HTTP/1.1 403 Forbidden\r\n\r\n", "",
         0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        service->answer = c.answer;
        Tunnel* tunnel = new Tunnel(server.get());
        const Frames frames = lookUp(tunnel, c.query);
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames.front().first == 249, c.query.target == 0);  // only devices are cached
        EXPECT_EQ(client->checkForCachedSessionId(13, c.query.sessionId), c.cached);
        if (*c.address == '\0') {
            EXPECT_EQ(frames.back(), Frames::value_type(0, {}));
            EXPECT_EQ(tunnel->getGatewayClient(), nullptr);
            continue;
        }
        ASSERT_EQ(frames.back().first, pipe_message::kConnect);
        const auto parameters = pipe_message::decodeConnectParameters(frames.back().second.data(),
                                                                      frames.back().second.size());
        EXPECT_EQ(parameters->deviceAddress, c.address);
        EXPECT_EQ(parameters->devicePort, c.port);
        EXPECT_EQ(server->session(sessionKey(parameters->localPort, c.address)), tunnel);
        tunnel->destroy();  // frees its port for the next row
        settle();
    }
    ASSERT_EQ(service->requests.size(), std::size(cases));
    EXPECT_EQ(service->requests[0].rfind("GET /app/hm/ld/13 HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(service->requests[2].rfind("GET /app/hm/gc/7 HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(server->counters().configurationsAnswered, 3u);
    EXPECT_EQ(server->counters().configurationsRefused, 1u);

    // A worker that names target after target is stopped past its budget of lookups.
    service->hold = true;
    Tunnel* restless = new Tunnel(server.get());
    for (uint32_t i = 0; i < Tunnel::kMaxLookups; ++i) {
        ASSERT_EQ(queryCache(restless, 8), Bytes({249, 0, 0}));
    }
    EXPECT_EQ(queryCache(restless, 8), Bytes({249, 0, 0, 0, 0, 0}));
}

// A device lookup records the client's GC_ID only while no other live gateway holds it; a
// gateway lookup, which the configuration service confirmed for that id, moves it.
TEST_F(TunnelTest, GatewayIdsAreFirstComeForDeviceLookupsAndMovedByGatewayLookups) {
    FakeGateway attackerGateway;
    GatewayClient* owner = registerGateway(gateway, 0xCC);
    GatewayClient* other = registerGateway(attackerGateway, 0xDD);
    service->answer = answerFor("00:11:22:AA:BB:DD");
    EXPECT_TRUE(server->claimGatewayClientId(owner, 7, false));
    for (const bool gatewayLookup : {false, true}) {
        Tunnel* tunnel = new Tunnel(server.get());
        const Frames frames =
            lookUp(tunnel, gatewayLookup ? queryRecord(7, 0, "evil", TargetKind::Gateway)
                                         : queryRecord(7, 71, "evil"));
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames.back().first, pipe_message::kConnect);  // authorised all the same
        EXPECT_EQ(server->gatewayClient(7u), gatewayLookup ? other : owner);
    }
    // The id goes with its gateway's record, and is free for the first lookup after that.
    server->deleteGatewayClient(other);
    EXPECT_EQ(server->gatewayClient(7u), nullptr);
    EXPECT_TRUE(server->claimGatewayClientId(owner, 7, false));
}

// A lookup ends with its tunnel, and finds a client deleted meanwhile gone: nothing dangles
// (under the sanitizers a use would show).
TEST_F(TunnelTest, ALookupOutlivesNeitherItsTunnelNorItsClient) {
    GatewayClient* client = cachedClient();
    service->answer = answerFor("00:11:22:AA:BB:CC");
    Tunnel* tunnel = new Tunnel(server.get());
    const LanDeviceAuthData query = queryRecord(7, 13, "not-cached");
    writeToParent(tunnel, pipe_message::kCachedSessionQuery, &query, sizeof query);
    ev_run(loop, EVRUN_NOWAIT);  // the query is read: 249, the lookup starts
    ASSERT_TRUE(tunnel->lookupPending());
    server->deleteGatewayClient(client);
    const Frames frames = lookUp(tunnel, query);  // asked again: the answer names no client
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back(), Frames::value_type(0, {}));

    service->hold = true;
    cachedClient();
    Tunnel* ending = new Tunnel(server.get());
    EXPECT_EQ(queryCache(ending, 7, "held"), (std::vector<uint8_t>{249, 0, 0}));
    ASSERT_TRUE(ending->lookupPending());
    writeToParent(ending, pipe_message::kFinished, nullptr, 0);
    settle();
    EXPECT_EQ(server->tunnelCount(), 1u);
}

// A second target is authorised by its own gateway's answer; until then the tunnel keeps its
// gateway, its port and its session, so its segments still reach it.
TEST_F(TunnelTest, ASecondTargetMovesTheTunnelOnlyWhenItsGatewayAuthorisesIt) {
    GatewayClient* first = cachedClient();
    Tunnel* tunnel = new Tunnel(server.get());
    ASSERT_EQ(queryCache(tunnel)[0], pipe_message::kConnect);
    FakeGateway otherGateway;
    GatewayClient* second = registerGateway(otherGateway, 0xDD, 6000, 6003);
    server->updateGatewayClient(second, 8);
    service->hold = true;
    EXPECT_EQ(queryCache(tunnel, 8), (std::vector<uint8_t>{249, 0, 0}));
    EXPECT_EQ(tunnel->getGatewayClient(), first);
    EXPECT_EQ(tunnel->localPort(), 5000);
    EXPECT_EQ(server->session(sessionKey(5000)), tunnel);

    service->hold = false;
    service->answer = answerFor("00:11:22:AA:BB:DD");
    const Frames frames = lookUp(tunnel, queryRecord(8, 13, "abc"));
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().first, pipe_message::kConnect);
    EXPECT_EQ(tunnel->getGatewayClient(), second);
    EXPECT_EQ(first->getTunnels().count(tunnel), 0u);
    EXPECT_EQ(second->getTunnels().count(tunnel), 1u);
    EXPECT_EQ(server->session(sessionKey(5000)), nullptr);
    EXPECT_EQ(tunnel->localPort(), 6000);
}

// The parent's own messages never get lost: behind a full or a cut pipe they wait, in order,
// for the worker to read. Channel datagrams meanwhile are dropped and counted, and the tunnel
// lives on; a worker that reads nothing is ended past the bound.
TEST_F(TunnelTest, ControlMessagesWaitBehindAFullOrCutPipe) {
    const uint8_t connect[24] = {1, 2, 3};
    for (const uint16_t fill : {1400, 4093}) {  // the pipe cuts the third frame; takes one whole
        SCOPED_TRACE(fill);
        Tunnel* tunnel = new Tunnel(server.get());
        tunnel->framesToWorker().attachRing(nullptr);  // the pipe alone, as without a ring
        fcntl(tunnel->workerInput(), F_SETPIPE_SZ, 4096);
        const std::vector<uint8_t> packet(fill, 0x40);
        for (int i = 0; i < 3; ++i) {
            tunnel->queueFrame(TAMBLO_MT_TCPOVERUDP, packet.data(), fill);
        }
        tunnel->flushFrames();
        const uint64_t channelDrops = server->counters().channelDatagramsPipeFullDropped;
        tunnel->sendToChildProcess(pipe_message::kStop, nullptr, 0);
        tunnel->send(130, connect, sizeof connect);  // an RTP burst finds no room
        tunnel->sendToChildProcess(pipe_message::kNotCached, nullptr, 0);
        tunnel->send(131, connect, sizeof connect);
        tunnel->sendToChildProcess(pipe_message::kConnect, connect, sizeof connect);
        EXPECT_EQ(server->counters().channelDatagramsPipeFullDropped, channelDrops + 2);
        std::vector<uint8_t> bytes;
        for (int pass = 0; pass < 10; ++pass) {  // the worker reads; the parent writes on
            const std::vector<uint8_t> more = readFromParent(tunnel);
            bytes.insert(bytes.end(), more.begin(), more.end());
            settle();
        }
        const Frames frames = framesOf(bytes);
        ASSERT_GE(frames.size(), 3u);
        EXPECT_EQ(Frames(frames.end() - 3, frames.end()),
                  (Frames{{0, {}}, {249, {}}, {251, Bytes(connect, connect + 24)}}));
        EXPECT_FALSE(tunnel->isDying());
    }
    Tunnel* deaf = new Tunnel(server.get());
    fcntl(deaf->workerInput(), F_SETPIPE_SZ, 4096);
    const std::vector<uint8_t> message(4000, 1);
    size_t sent = 0;
    for (; !deaf->isDying() && sent < 2 * Tunnel::kMaxPendingBytes; sent += 4003) {
        deaf->sendToChildProcess(pipe_message::kConnect, message.data(), 4000);
    }
    EXPECT_TRUE(deaf->isDying());
    EXPECT_GT(sent, Tunnel::kMaxPendingBytes);
}

// A write that fails outright (the worker closed its end) says why on a second line, then
// ends the tunnel.
TEST_F(TunnelTest, AFailedWriteToTheWorkerLogsItsErrorAndEndsTheTunnel) {
    signal(SIGPIPE, SIG_IGN);
    Tunnel* tunnel = new Tunnel(server.get());
    tunnel->framesToWorker().attachRing(nullptr);  // the pipe alone, as without a ring
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, tunnel->workerInput());  // the pipe has no reader left
    ::close(null);
    gateway_test::LogCapture log;
    const uint8_t datagram[16] = {130};
    tunnel->send(130, datagram, sizeof datagram);
    EXPECT_EQ(log.countContaining(log4cplus::WARN_LOG_LEVEL,
                                  "Could not write to pipeOut, closing tunnel, error: ("),
              1u);
    EXPECT_TRUE(log.has(log4cplus::WARN_LOG_LEVEL, std::string("error: ") + std::strerror(EPIPE)));
    EXPECT_TRUE(tunnel->isDying());
}
}  // namespace

// With many workers woken within one window, a worker written to a moment ago gets its next
// packets (copies: the datagrams they came in are gone) only when the hold ends, all in one
// write; after a quiet spell they go at once; a tunnel that ends while holding, or after a
// message of the parent's own wrote what it held, is forgotten.
TEST_F(TunnelTest, ABusyServerHoldsAWorkersPacketsUntilTheHoldEnds) {
    GatewayClient* client = registerGateway(gateway, 0xCC, 5000, 5100);
    server->updateGatewayClient(client, 7);
    client->addLdInfo(12, "198.18.11.20", 80, "abc", clock.now());
    constexpr uint32_t kTunnels = WakeModeration::kBusyWorkers + 8;
    std::vector<Tunnel*> tunnels;
    for (uint32_t i = 0; i < kTunnels; ++i) {
        tunnels.push_back(new Tunnel(server.get()));
        tunnels.back()->framesToWorker().attachRing(nullptr);  // the pipe alone
        ASSERT_EQ(queryCache(tunnels.back())[0], pipe_message::kConnect);
    }
    auto segmentTo = [&](Tunnel* tunnel, uint8_t fill) {
        std::vector<uint8_t> segment(1 + 4 + 2 + 2 + 600, fill);
        const uint8_t head[] = {TAMBLO_MT_TCPOVERUDP, 198, 18, 11, 20, 0, 80};
        std::copy(std::begin(head), std::end(head), segment.begin());
        segment[7] = static_cast<uint8_t>(tunnel->localPort() >> 8);
        segment[8] = static_cast<uint8_t>(tunnel->localPort() & 0xff);
        server->io_cb_switch(gateway.address, segment.data(), segment.size());
    };
    auto runFor = [&](double seconds) {
        EvTimer tick;
        ev_timer_init(
            tick.get(), [](struct ev_loop*, ev_timer*, int) {}, 0.005, 0.005);
        tick.start(loop);
        for (const double end = ev_time() + seconds; ev_time() < end;) {
            ev_run(loop, EVRUN_ONCE);
        }
    };
    // One window with every worker woken, then the next window starts busy (again when a
    // slow machine let more than a window pass).
    Tunnel* quiet = tunnels[1];
    bool held = false;
    for (int attempt = 0; attempt < 5 && !held; ++attempt) {
        for (Tunnel* tunnel : tunnels) {
            segmentTo(tunnel, 1);
            readFromParent(tunnel);
        }
        runFor(WakeModeration::kWindowSeconds + 0.01);
        segmentTo(tunnels[0], 2);  // the window rolls: now busy
        segmentTo(quiet, 3);       // quiet for a window: goes at once
        EXPECT_EQ(framesOf(readFromParent(quiet)).size(), 1u);
        segmentTo(quiet, 4);  // woken a moment ago: held
        held = readFromParent(quiet).empty();
    }
    ASSERT_TRUE(held);
    segmentTo(quiet, 5);
    EXPECT_TRUE(readFromParent(quiet).empty());
    segmentTo(tunnels[2], 6);
    segmentTo(tunnels[2], 7);
    tunnels[2]->destroy();
    segmentTo(tunnels[3], 8);
    segmentTo(tunnels[3], 9);
    tunnels[3]->sendToChildProcess(pipe_message::kStop, nullptr, 0);
    EXPECT_EQ(framesOf(readFromParent(tunnels[3])).size(), 3u);
    tunnels[3]->destroy();
    Frames frames;
    const double hold = WakeModeration::holdFor(kTunnels);
    for (const double end = ev_time() + hold + 2; ev_time() < end && frames.size() < 2;) {
        runFor(0.005);
        const Frames more = framesOf(readFromParent(quiet));
        frames.insert(frames.end(), more.begin(), more.end());
    }
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].second.back(), 4);
    EXPECT_EQ(frames[1].second.back(), 5);
    // The hold: none below the busy threshold, then in proportion, up to its limit.
    EXPECT_EQ(WakeModeration::holdFor(WakeModeration::kBusyWorkers - 1), 0);
    EXPECT_DOUBLE_EQ(hold, kTunnels / WakeModeration::kWakesPerSecond);
    EXPECT_DOUBLE_EQ(WakeModeration::holdFor(5000), WakeModeration::kMaxHoldSeconds);
}
