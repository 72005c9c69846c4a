// The RTSP decoder over real local sockets, with the worker's side faked: what reaches the
// camera, the channel datagrams' way to the UDP sockets, the two local connections, and bytes
// that wait for the tunnel or for the media framework.
#include "recording/RTSPDecoder.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <boost/make_shared.hpp>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/LoopMailbox.h"
#include "recording/MediaRemux.h"

namespace {

// Records every call of the decoder; watched descriptors are fired by the test.
class FakeDecoder : public RTSPDecoder {
  public:
    std::vector<std::string> calls;
    std::map<int, Callback> readers;
    std::map<int, Callback> writers;
    std::string toCamera;
    std::string toPost;
    uint32_t cameraTakes = UINT32_MAX;  // bytes the tunnel accepts per send
    uint64_t consumed = 0;

    void fire(int fd) { readers.at(fd)(); }
    // Waits up to `wait` for a call from the close-media thread and runs it, as the loop would.
    bool runScheduled(std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(scheduledMutex);
        if (!scheduledChanged.wait_for(lock, wait, [this] { return !scheduled.empty(); })) {
            return false;
        }
        const Callback cb = scheduled.front();
        lock.unlock();
        cb();
        return true;
    }
    // The close-media thread's call holds the decoder; the test's loop drops it at the end, so
    // that nothing keeps the decoder alive (waits up to `wait` for a thread still closing).
    void dropScheduled(std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(scheduledMutex);
        scheduledChanged.wait_for(lock, wait, [this] { return !scheduled.empty(); });
        scheduled.clear();
    }
    std::mutex scheduledMutex;
    std::condition_variable scheduledChanged;
    std::vector<Callback> scheduled;
    long errors() const {
        return std::count_if(calls.begin(), calls.end(),
                             [](const std::string& call) { return call.rfind("error", 0) == 0; });
    }

  protected:
    bool createSDPSocket(const std::string& addr, const std::string& port, bool post) override {
        calls.push_back("connect " + addr + ":" + port + (post ? " post" : ""));
        return true;
    }
    void deregisterWatcher(int fd) override { readers.erase(fd); }
    void error(const std::string& message) override { calls.push_back("error " + message); }
    bool registerWatcher(int fd, Callback cb) override {
        readers[fd] = cb;
        return true;
    }
    void scheduleOnMainThread(Callback cb) override {
        std::lock_guard<std::mutex> lock(scheduledMutex);
        scheduled.push_back(std::move(cb));
        scheduledChanged.notify_all();
    }
    uint32_t sdpSocketSend(const uint8_t* bytes, uint32_t length) override {
        const uint32_t taken = std::min(length, cameraTakes);
        toCamera.append(reinterpret_cast<const char*>(bytes), taken);
        return taken;
    }
    void sdpPostSocketSend(const uint8_t* bytes, uint32_t length) override {
        toPost.append(reinterpret_cast<const char*>(bytes), length);
    }
    void stopImpl() override { calls.push_back("stopImpl"); }
    void tunnelDeregisterClient(uint8_t id) override {
        calls.push_back("deregister " + std::to_string(id));
    }
    void tunnelRegisterClient(uint8_t id) override {
        calls.push_back("register " + std::to_string(id));
    }
    void tunnelSend(const uint8_t*, uint16_t) override { calls.push_back("tunnelSend"); }
    void videoCleanupImpl() override { calls.push_back("cleanup"); }
    bool registerWriteWatcher(int fd, Callback cb) override {
        writers[fd] = cb;
        return true;
    }
    void deregisterWriteWatcher(int fd) override { writers.erase(fd); }
    void dataConsumed(uint32_t count) override { consumed += count; }
};

int tcpConnect(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

int udpSocket(uint16_t* port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

// A datagram waiting on fd (non-blocking: it was sent over loopback before), and its source.
std::string receiveFrom(int fd, uint16_t* sourcePort) {
    char buffer[256];
    sockaddr_in source{};
    socklen_t length = sizeof source;
    const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&source), &length);
    *sourcePort = ntohs(source.sin_port);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

class DecoderTest : public ::testing::Test {
  protected:
    // A fresh decoder, started, with its framework connected (the client's end).
    int restart(bool useRtcpOverRtsp = false) {
        retire();
        decoder = boost::make_shared<FakeDecoder>();
        accepted.clear();
        for (int fd : clients) {
            ::close(fd);
        }
        clients.clear();
        start(useRtcpOverRtsp);
        return connectLocal();
    }
    void start(bool useRtcpOverRtsp = false) {
        ASSERT_TRUE(decoder->start("198.18.0.10", "live", media::OutputFile{-1, "never.mp4", true},
                                   "H264", 4, useRtcpOverRtsp));
        listener = decoder->readers.begin()->first;
    }
    // Connects a local client and lets the decoder accept it; returns the client's end.
    int connectLocal() {
        const int client = tcpConnect(decoder->serverPort());
        const size_t before = decoder->readers.size();
        decoder->fire(listener);
        EXPECT_EQ(decoder->readers.size(), before + 1);
        accepted.push_back(decoder->readers.rbegin()->first);
        clients.push_back(client);
        return client;
    }
    // Sends text from a local client and lets the decoder read it.
    void sendFrom(size_t client, const std::string& text) {
        ASSERT_EQ(::send(clients[client], text.data(), text.size(), 0),
                  static_cast<ssize_t>(text.size()));
        decoder->fire(accepted[client]);
    }
    void TearDown() override {
        for (int fd : clients) {
            ::close(fd);
        }
        retire();
    }
    // Stops the decoder and drops what the test's loop still holds of it (watcher callbacks
    // and the close-media thread's call keep it alive), so that it goes with its last owner.
    void retire() {
        decoder->stop();
        decoder->dropScheduled(std::chrono::milliseconds(5000));
        decoder->readers.clear();
        decoder->writers.clear();
    }

    boost::shared_ptr<FakeDecoder> decoder = boost::make_shared<FakeDecoder>();
    int listener = -1;
    std::vector<int> accepted;
    std::vector<int> clients;
};

}  // namespace

TEST(RTSPDecoderText, TransportHeadersGetTheComponentIds) {
    struct Case {
        std::string in;
        uint8_t first;
        std::string out;
    } cases[] = {
        {"SETUP x RTSP/1.0\r\nTransport: RTP/AVP;unicast;client_port=5000-5001\r\nCSeq: 3\r\n\r\n",
         4,
         "SETUP x RTSP/1.0\r\nTransport: RTP/AVP;unicast;client_port=5000-5001;components=4,5\r\n"
         "CSeq: 3\r\n\r\n"},
        {"PLAY x RTSP/1.0\r\nCSeq: 4\r\n\r\n", 4, "PLAY x RTSP/1.0\r\nCSeq: 4\r\n\r\n"},
        {"SETUP x RTSP/1.0\r\nTransport: RTP/AVP;client_port=5000-5001", 4,
         "SETUP x RTSP/1.0\r\nTransport: RTP/AVP;client_port=5000-5001"},
        {"Transport: RTP/AVP/TCP;interleaved=0-1\r\n", 192,
         "Transport: RTP/AVP/TCP;interleaved=0-1;components=192,193\r\n"},
        {"Transport: a\r\n", 255, "Transport: a;components=255,0\r\n"},  // 8-bit arithmetic
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RTSPDecoder::appendIceComponents(c.in, c.first), c.out) << c.in;
    }
}

TEST(RTSPDecoderText, ClientPortsAndContainers) {
    using Ports = std::optional<std::pair<uint16_t, uint16_t>>;
    EXPECT_EQ(RTSPDecoder::extractPorts("Transport: RTP/AVP;unicast;client_port=5000-5001\r\n"),
              Ports(std::make_pair(5000, 5001)));
    EXPECT_EQ(RTSPDecoder::extractPorts("Transport: RTP/AVP/TCP;interleaved=0-1\r\n"), Ports());
    EXPECT_EQ(RTSPDecoder::extractPorts("client_port=70000-70001"), Ports());
    EXPECT_EQ(RTSPDecoder::extractPorts("client_port=5000"), Ports());
    EXPECT_STREQ(media::containerFor("MPEG4"), "3gp");
    EXPECT_STREQ(media::containerFor("H264"), "mp4");
    EXPECT_STREQ(media::containerFor("mpeg4"), "mp4");
}

TEST(RTSPDecoderLife, StopOfADecoderNeverStartedDoesNothing) {
    auto decoder = boost::make_shared<FakeDecoder>();
    decoder->stop();
    EXPECT_TRUE(decoder->calls.empty());
}

TEST_F(DecoderTest, StartConnectsToPort554AndRegistersTheChannelPair) {
    start();
    EXPECT_EQ(decoder->calls,
              (std::vector<std::string>{"connect 198.18.0.10:554", "register 4", "register 5"}));
    EXPECT_EQ(decoder->url(),
              "rtsp://127.0.0.1:" + std::to_string(decoder->serverPort()) + "/live");
}

TEST_F(DecoderTest, ASetupCreatesConsecutiveLoopbackSocketsThatTakeTheChannelDatagrams) {
    start();
    uint16_t rtpPort = 0;
    uint16_t rtcpPort = 0;
    const int rtp = udpSocket(&rtpPort);
    const int rtcp = udpSocket(&rtcpPort);
    connectLocal();
    const std::string setup =
        "SETUP rtsp://x/live/0 RTSP/1.0\r\nTransport: RTP/AVP;unicast;"
        "client_port=" +
        std::to_string(rtpPort) + "-" + std::to_string(rtcpPort) + "\r\n\r\n";
    sendFrom(0, setup);
    EXPECT_EQ(decoder->toCamera, RTSPDecoder::appendIceComponents(setup, 4));
    EXPECT_EQ(decoder->rtcpPort(), decoder->rtpPort() + 1);

    // A datagram starting with 0x80 is RTP; any other first byte is RTCP.
    const std::string datagrams[] = {"\x80rtp", "\x81rtcp", std::string("\xc8sr", 3)};
    for (const std::string& d : datagrams) {
        decoder->receivedRtpData(reinterpret_cast<const uint8_t*>(d.data()), d.size());
    }
    uint16_t from = 0;
    EXPECT_EQ(receiveFrom(rtp, &from), "\x80rtp");
    EXPECT_EQ(from, decoder->rtpPort());
    EXPECT_EQ(receiveFrom(rtcp, &from), "\x81rtcp");
    EXPECT_EQ(from, decoder->rtcpPort());
    EXPECT_EQ(receiveFrom(rtcp, &from), std::string("\xc8sr", 3));

    // Nobody listening on a client port any more (ICMP port unreachable on the next send) is
    // a lost datagram, not the end of the recording; a second SETUP creates nothing new.
    ::close(rtp);
    for (int i = 0; i < 3; ++i) {
        decoder->receivedRtpData(reinterpret_cast<const uint8_t*>("\x80rtp"), 4);
    }
    const uint16_t port = decoder->rtpPort();
    sendFrom(0, setup);
    EXPECT_EQ(decoder->rtpPort(), port);
    EXPECT_EQ(decoder->errors(), 0);
    ::close(rtcp);
}

TEST_F(DecoderTest, InterleavedFramesFromTheFrameworkFollowUseRtcpOverRtsp) {
    const std::string frame("$\x01\x00\x04\x00\x81\x00\x00", 8);  // zero bytes included
    for (const bool forward : {false, true}) {
        restart(forward);
        sendFrom(0, frame);
        EXPECT_EQ(decoder->toCamera, forward ? frame : "") << forward;
    }
}

// Interleaved frames from the framework are framed by their length, across reads: with
// RTCP over RTSP off they go, whole and alone; requests always reach the camera.
TEST_F(DecoderTest, InterleavedFramesAreFramedByLengthAcrossReads) {
    const std::string frame("$\x01\x00\x06\x81\xc9$\r\n\n", 10);  // payload looks like text
    const std::string empty("$\x00\x00\x00", 4);
    const std::string request = "OPTIONS rtsp://x/live RTSP/1.0\r\nCSeq: 5\r\n\r\n";
    const std::vector<std::string> cases[] = {
        {frame + request},                                              // joined in one read
        {frame.substr(0, 3), frame.substr(3) + request},                // a frame split
        {"$", "\x01", std::string(1, '\0'), frame.substr(3), request},  // its header byte by byte
        {frame + empty + request + frame + empty},                      // several in one read
        {request.substr(0, 9), request.substr(9) + frame},              // a request split
    };
    for (const auto& reads : cases) {
        for (const bool forward : {false, true}) {
            restart(forward);
            std::string all;
            for (const std::string& read : reads) {
                sendFrom(0, read);
                all += read;
            }
            EXPECT_EQ(decoder->toCamera, forward ? all : request) << all << forward;
            EXPECT_EQ(decoder->errors(), 0);
        }
    }
}

// The camera's answers reach the framework unchanged, except one that redirects: the read
// that completes its head, and all after it, never do, and the media is closed at once.
TEST_F(DecoderTest, AnAnswerThatRedirectsNeverReachesTheFramework) {
    const std::string ok = "RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n";
    const std::string frame("$\x00\x00\x0fRTSP/1.0 302 x\r\n", 19);  // media, not an answer
    const std::string moved = "RTSP/1.0 302 Found\r\nLocation: rtsp://127.0.0.1:9/x\r\n\r\n";
    const struct Case {
        std::vector<std::string> reads;
        size_t delivered;  // reads that reach the framework; the others end the recording
    } cases[] = {
        {{ok, frame, ok + frame + ok}, 3},
        {{"RTSP/1.0 200 OK\r\n" + frame + "CSeq: 2\r\n\r\n"}, 1},  // a frame inside a head
        {{ok, moved, ok}, 1},
        {{moved.substr(0, moved.size() - 2), "\r\n", ok}, 1},      // the head ends in the next read
        {{"RTSP/1.0 301 Moved\nLocation: file:///etc/x\n\n"}, 0},  // lines without CR
        {{"RTSP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nv=0\r\nRTSP/1.0 399 x\r\n\r\n"}, 0},
    };
    for (const Case& c : cases) {
        const int client = restart();
        std::string expected;
        for (size_t i = 0; i < c.reads.size(); ++i) {
            decoder->receivedData(reinterpret_cast<const uint8_t*>(c.reads[i].data()),
                                  c.reads[i].size());
            expected += i < c.delivered ? c.reads[i] : "";
        }
        std::string got(65536, '\0');
        got.resize(std::max<ssize_t>(0, ::recv(client, &got[0], got.size(), MSG_DONTWAIT)));
        EXPECT_EQ(got, expected);
        const bool ends = c.delivered < c.reads.size();
        EXPECT_EQ(decoder->runScheduled(std::chrono::milliseconds(ends ? 5000 : 0)), ends) << got;
        decoder->stop();
    }
}

TEST_F(DecoderTest, ASecondLocalConnectionIsThePostSocketAndNeverReachesTheCamera) {
    start();
    connectLocal();
    connectLocal();
    sendFrom(1, "POST /x RTSP/1.0\r\n\r\n");
    EXPECT_EQ(decoder->toCamera, "");
    EXPECT_EQ(decoder->toPost, "POST /x RTSP/1.0\r\n\r\n");
    sendFrom(0, "OPTIONS * RTSP/1.0\r\n\r\n");
    EXPECT_EQ(decoder->toCamera, "OPTIONS * RTSP/1.0\r\n\r\n");

    // Camera bytes go to the first connection only.
    decoder->receivedData(reinterpret_cast<const uint8_t*>("RTSP/1.0 200 OK\r\n\r\n"), 19);
    char buffer[64];
    EXPECT_EQ(::recv(clients[0], buffer, sizeof buffer, MSG_DONTWAIT), 19);
    EXPECT_EQ(::recv(clients[1], buffer, sizeof buffer, MSG_DONTWAIT), -1);

    // The POST socket closing ends nothing; the framework's own connection ends the recording.
    ::shutdown(clients[1], SHUT_WR);
    decoder->fire(accepted[1]);
    EXPECT_EQ(std::count(decoder->calls.begin(), decoder->calls.end(), "cleanup"), 0);
    ::shutdown(clients[0], SHUT_WR);
    decoder->fire(accepted[0]);
    EXPECT_EQ(std::count(decoder->calls.begin(), decoder->calls.end(), "cleanup"), 1);
}

TEST_F(DecoderTest, RequestsTheTunnelRefusesWaitWholeAndInOrder) {
    start();
    connectLocal();
    decoder->cameraTakes = 10;
    sendFrom(0, "DESCRIBE rtsp://x/live RTSP/1.0\r\n\r\n");
    sendFrom(0, "SETUP rtsp://x/live/0 RTSP/1.0\r\n\r\n");
    EXPECT_EQ(decoder->toCamera, "DESCRIBE r");  // the second request queues behind the first
    decoder->cameraTakes = UINT32_MAX;
    decoder->tunnelAcknowledged();
    EXPECT_EQ(decoder->toCamera,
              "DESCRIBE rtsp://x/live RTSP/1.0\r\n\r\nSETUP rtsp://x/live/0 RTSP/1.0\r\n\r\n");
}

TEST_F(DecoderTest, CameraBytesWaitForASlowFrameworkAndAllReachItBeforeTheCamerasEnd) {
    start();
    const int client = connectLocal();
    std::string sent;
    // Until the kernel's buffers are full and the decoder has to keep bytes (bounded).
    for (int i = 0; i < 50000 && decoder->bytesWaitingForMedia() == 0; ++i) {
        std::string chunk(1398, static_cast<char>('a' + i % 26));
        decoder->receivedData(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
        sent += chunk;
    }
    for (int i = 0; i < 10; ++i) {  // more arrives while bytes wait: it queues behind them
        std::string chunk(1398, static_cast<char>('A' + i));
        decoder->receivedData(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
        sent += chunk;
    }
    // The camera closes with bytes still waiting: they reach the framework before its end.
    decoder->cameraClosed();
    // Part waits for the framework; only what its socket took reopened the window.
    ASSERT_GT(decoder->bytesWaitingForMedia(), 0u);
    EXPECT_EQ(decoder->consumed + decoder->bytesWaitingForMedia(), sent.size());
    ASSERT_EQ(decoder->writers.size(), 1u);
    std::string got;
    char buffer[65536];
    for (int round = 0; round < 1000 && got.size() < sent.size(); ++round) {
        ssize_t n;
        while ((n = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            got.append(buffer, static_cast<size_t>(n));
        }
        if (!decoder->writers.empty()) {
            decoder->writers.begin()->second();
        }
    }
    EXPECT_TRUE(got == sent);                                           // every byte, in order
    EXPECT_EQ(::recv(client, buffer, sizeof buffer, MSG_DONTWAIT), 0);  // then its end
    EXPECT_EQ(decoder->consumed, sent.size());
    EXPECT_TRUE(decoder->writers.empty());  // nothing waits: no longer watching writability
    EXPECT_EQ(decoder->errors(), 0);
}

TEST(LoopMailboxTest, CallsFromAnotherThreadRunOnTheLoopUntilClosed) {
    struct ev_loop* loop = ev_loop_new(0);
    LoopMailbox mailbox;
    mailbox.open(loop);
    const std::thread::id loopThread = std::this_thread::get_id();
    std::thread::id ranOn;
    bool posted = false;
    std::thread poster([&] {
        posted = mailbox.post([&] {
            ranOn = std::this_thread::get_id();
            ev_break(loop, EVBREAK_ALL);
        });
    });
    poster.join();
    ev_run(loop, 0);  // returns once the posted call has run
    EXPECT_TRUE(posted);
    EXPECT_EQ(ranOn, loopThread);
    mailbox.close();
    EXPECT_FALSE(mailbox.post([] { FAIL() << "ran after close"; }));
    ev_loop_destroy(loop);
}
