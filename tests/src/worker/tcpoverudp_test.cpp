// The tunnel transport against a device played with hand-made segments: connect, partial
// sends, acknowledgements, the delayed close after a FIN, reconnects, short packets, and the
// receive window that only consumed bytes reopen.
#include "worker/tcpoverudp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lwip/priv/tcp_priv.h"
#include "tcpoverudp_stack.h"

namespace {

constexpr uint32_t kLocal = 0x010013C6;   // 198.19.0.1 in network order
constexpr uint32_t kDevice = 0x140012C6;  // 198.18.0.20 in network order
constexpr uint16_t kLocalPort = 40000;
constexpr uint16_t kDevicePort = 80;
constexpr uint32_t kDeviceIsn = 1000;
constexpr uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kAck = 0x10;

struct Packet {
    uint32_t address;
    std::vector<uint8_t> segment;
    uint8_t flags() const { return segment[13] & 0x3f; }
    uint32_t seq() const { return read32(4); }
    uint32_t ack() const { return read32(8); }
    size_t payload() const { return segment.size() - (segment[12] >> 4) * 4u; }
    uint16_t window() const {
        uint16_t v;
        std::memcpy(&v, segment.data() + 14, 2);
        return ntohs(v);
    }
    uint32_t read32(size_t at) const {
        uint32_t v;
        std::memcpy(&v, segment.data() + at, 4);
        return ntohl(v);
    }
};

// What the transport told the worker, in order.
std::vector<Packet> sentPackets;
std::vector<std::string> events;
std::string receivedBytes;
uint32_t acknowledged = 0;
bool refuseData = false;  // the worker's queue is full

constexpr uint32_t kDefaultWindow = 163840;
constexpr uint32_t kOurShift = 4;  // our window-scale shift once the device agreed

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    v = htons(v);
    std::memcpy(b.data() + at, &v, 2);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    v = htonl(v);
    std::memcpy(b.data() + at, &v, 4);
}

// A tunnel packet from the device: its address, then the segment (checksums are not tested).
std::vector<uint8_t> devicePacket(uint8_t flags, uint32_t seq, uint32_t ack,
                                  const std::string& data = "", uint16_t window = 65535,
                                  bool synOptions = false, uint16_t mss = 1398) {
    std::vector<uint8_t> segment(synOptions ? 28 : 20, 0);
    put16(segment, 0, kDevicePort);
    put16(segment, 2, kLocalPort);
    put32(segment, 4, seq);
    put32(segment, 8, ack);
    segment[12] = static_cast<uint8_t>((segment.size() / 4) << 4);
    segment[13] = flags;
    put16(segment, 14, window);
    if (synOptions) {
        const uint8_t options[] = {
            2, 4, static_cast<uint8_t>(mss >> 8), static_cast<uint8_t>(mss), 1, 3,
            3, 4};  // MSS, window scale 4
        std::memcpy(segment.data() + 20, options, sizeof options);
    }
    segment.insert(segment.end(), data.begin(), data.end());
    std::vector<uint8_t> packet(4 + segment.size());
    std::memcpy(packet.data(), &kDevice, 4);
    std::memcpy(packet.data() + 4, segment.data(), segment.size());
    return packet;
}

void input(const std::vector<uint8_t>& packet) {
    tunnelTransportInput(packet.data(), static_cast<uint16_t>(packet.size()));
}

// The worker's side, recording what the transport reports.
class RecordingListener final : public TunnelListener {
  public:
    void tunnelOutput(const uint8_t* packet, uint16_t length) override {
        Packet p;
        std::memcpy(&p.address, packet, 4);
        p.segment.assign(packet + 4, packet + length);
        sentPackets.push_back(p);
    }
    void tunnelConnected() override { events.push_back("connected"); }
    bool tunnelReceivedData(pbuf* chain) override {
        if (refuseData) {
            return false;
        }
        events.push_back("data");
        for (pbuf* p = chain; p != nullptr; p = p->next) {
            receivedBytes.append(static_cast<const char*>(p->payload), p->len);
        }
        pbuf_free(chain);
        return true;
    }
    void tunnelDataSent(uint16_t count) override {
        events.push_back("sent");
        acknowledged += count;
    }
    void tunnelClosed() override { events.push_back("closed"); }
};
RecordingListener worker;

class TransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sentPackets.clear();
        events.clear();
        receivedBytes.clear();
        acknowledged = 0;
        refuseData = false;
        tunnelTransportInit(worker);
    }
    // Every connection goes, and what the worker held counts as consumed: the next test
    // starts as a fresh worker would.
    void TearDown() override {
        for (tcp_pcb** list : {&tcp_active_pcbs, &tcp_tw_pcbs}) {
            while (*list != nullptr) {
                tcp_err(*list, nullptr);
                tcp_abort(*list);
            }
        }
        tunnelDataConsumed(UINT32_MAX);
    }
    // Connects and answers the SYN; our next sequence number is returned.
    uint32_t establish(uint16_t mss = 1398) {
        EXPECT_EQ(tunnelConnect(kLocal, kLocalPort, kDevice, kDevicePort, 0), kLocalPort);
        EXPECT_EQ(sentPackets.size(), 1u);
        const Packet syn = sentPackets.back();
        EXPECT_EQ(syn.flags(), kSyn);
        EXPECT_EQ(syn.address, kDevice);
        sentPackets.clear();
        input(devicePacket(kSyn | kAck, kDeviceIsn, syn.seq() + 1, "", 65535, true, mss));
        EXPECT_EQ(events, std::vector<std::string>{"connected"});
        events.clear();
        return syn.seq() + 1;
    }
    uint32_t deviceNext = kDeviceIsn + 1;
};

}  // namespace

TEST_F(TransportTest, SendsArePartialAndTheRestGoesAfterAcknowledgements) {
    const uint32_t ourNext = establish();
    const std::string data(400000, 'x');
    const uint32_t first = tunnelSendData(reinterpret_cast<const uint8_t*>(data.data()), 400000);
    EXPECT_GT(first, 0u);
    EXPECT_LT(first, 400000u);
    size_t payload = 0;
    for (const Packet& p : sentPackets) {
        payload += p.payload();
    }
    EXPECT_GT(payload, 0u);
    // The device acknowledges everything that arrived.
    input(devicePacket(kAck, deviceNext, ourNext + static_cast<uint32_t>(payload)));
    EXPECT_EQ(acknowledged, payload);
    const uint32_t second =
        tunnelSendData(reinterpret_cast<const uint8_t*>(data.data()) + first, 400000 - first);
    EXPECT_GT(second, 0u);
}

TEST_F(TransportTest, AFailingWriteAfterAcceptedChunksReportsTheAcceptedBytes) {
    // Small segments: the stack's queue of 255 segments fills before its send buffer.
    establish(536);
    const std::string data(300000, 'y');
    const uint32_t accepted = tunnelSendData(reinterpret_cast<const uint8_t*>(data.data()), 300000);
    EXPECT_GT(accepted, 0u);
    EXPECT_LT(accepted, 300000u);
    EXPECT_EQ(accepted % 65535, 0u) << accepted;  // whole chunks only
}

TEST_F(TransportTest, AFinIsReportedAfterTheDataThatCameWithIt) {
    const uint32_t ourNext = establish();
    input(devicePacket(kAck | kFin, deviceNext, ourNext, "last words"));
    EXPECT_EQ(receivedBytes, "last words");
    EXPECT_EQ(events, (std::vector<std::string>{"data", "closed"}));
    // Later packets of the same connection report the close again.
    input(devicePacket(kAck, deviceNext + 11, ourNext));
    EXPECT_EQ(events.back(), "closed");
}

TEST_F(TransportTest, ASecondConnectResetsTheFirstWithoutAClosedCallback) {
    establish();
    sentPackets.clear();
    EXPECT_EQ(tunnelConnect(kLocal, kLocalPort + 1, kDevice, kDevicePort, 2796), kLocalPort + 1);
    ASSERT_EQ(sentPackets.size(), 2u);
    EXPECT_EQ(sentPackets[0].flags() & kRst, kRst);
    EXPECT_EQ(sentPackets[1].flags(), kSyn);
    EXPECT_TRUE(events.empty());
}

TEST_F(TransportTest, ShortPacketsAreIgnored) {
    establish();
    sentPackets.clear();  // the handshake's ACK
    const uint8_t tiny[] = {1, 2, 3};
    tunnelTransportInput(tiny, 3);
    std::vector<uint8_t> headerless = devicePacket(kAck, deviceNext, 0);
    headerless.resize(4 + 10);
    input(headerless);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(sentPackets.empty());
}

TEST_F(TransportTest, SendingWithoutAConnectionReportsItClosed) {
    const uint8_t byte = 1;
    EXPECT_EQ(tunnelSendData(&byte, 1), 0u);
    EXPECT_EQ(events, std::vector<std::string>{"closed"});
}

TEST_F(TransportTest, AConnectAfterTheStackFreedAClosedConnectionIsSafe) {
    const uint32_t ourNext = establish();
    tunnelClose();  // FIN; data would still be received
    ASSERT_FALSE(sentPackets.empty());
    EXPECT_EQ(sentPackets.back().flags() & kFin, kFin);
    input(devicePacket(kAck | kFin, deviceNext, ourNext + 1));
    // TIME-WAIT ends after two minutes of slow ticks; the stack frees the connection.
    for (int tick = 0; tick < 4 * 130; ++tick) {
        tunnelIdleTimer();
    }
    events.clear();
    sentPackets.clear();
    EXPECT_EQ(tunnelConnect(kLocal, kLocalPort, kDevice, kDevicePort, 0), kLocalPort);
    ASSERT_EQ(sentPackets.size(), 1u);  // only the new SYN: nothing reset, nothing freed twice
    EXPECT_EQ(sentPackets[0].flags(), kSyn);
}

// The device's bytes close the window until the worker has passed them on: a client that
// reads nothing stops the device instead of filling the worker.
TEST_F(TransportTest, TheWindowClosesOnUnconsumedDataAndReopensWhenItIsConsumed) {
    const uint32_t ourNext = establish();
    const std::string segment(1398, 'd');
    for (uint32_t sent = 0; sent < kDefaultWindow + 2 * 1398; sent += 1398) {
        input(devicePacket(kAck, deviceNext + sent, ourNext, segment));
    }
    tunnelFlushAck();
    EXPECT_EQ(receivedBytes.size(), kDefaultWindow);  // what lay beyond the window is dropped
    ASSERT_FALSE(sentPackets.empty());
    EXPECT_EQ(sentPackets.back().window(), 0);
    sentPackets.clear();

    tunnelDataConsumed(kDefaultWindow);
    ASSERT_EQ(sentPackets.size(), 1u);  // a window update at once, not at the next ACK
    EXPECT_EQ(sentPackets[0].window(), kDefaultWindow >> kOurShift);
}

// After a new target replaced the connection, the old connection's queued bytes are written
// first: they must not open the new connection's window.
TEST_F(TransportTest, BytesOfAReplacedConnectionReopenNothingOnTheNewOne) {
    const std::string segment(1398, 'o');
    uint32_t ourNext = establish();
    for (uint32_t i = 0; i < 3; ++i) {
        input(devicePacket(kAck, deviceNext + i * 1398, ourNext, segment));
    }
    // A new target: the old connection is reset, the new one comes up.
    EXPECT_EQ(tunnelConnect(kLocal, kLocalPort + 1, kDevice, kDevicePort, 0), kLocalPort + 1);
    const uint32_t synSeq = sentPackets.back().seq();
    std::vector<uint8_t> synAck =
        devicePacket(kSyn | kAck, kDeviceIsn, synSeq + 1, "", 65535, true);
    put16(synAck, 4 + 2, kLocalPort + 1);
    input(synAck);
    ourNext = synSeq + 1;
    const uint32_t held = 3 * 1398;
    auto toNew = [&](uint32_t offset) {
        std::vector<uint8_t> packet = devicePacket(kAck, deviceNext + offset, ourNext, segment);
        put16(packet, 4 + 2, kLocalPort + 1);
        input(packet);
        tunnelFlushAck();
    };
    for (uint32_t i = 0; i < 3; ++i) {
        toNew(i * 1398);
    }
    tunnelDataConsumed(held);  // the old connection's bytes
    toNew(held);
    EXPECT_EQ(sentPackets.back().window(), (kDefaultWindow - 4 * 1398) >> kOurShift);

    tunnelDataConsumed(held);  // now the new connection's
    toNew(4 * 1398);
    EXPECT_EQ(sentPackets.back().window(), (kDefaultWindow - 2 * 1398) >> kOurShift);
}

// A full queue refuses the device's data; the stack keeps it (and the FIN with it) until the
// worker has room again, and the close follows the data as usual.
TEST_F(TransportTest, RefusedDataAndItsFinArriveOnceThereIsRoom) {
    const uint32_t ourNext = establish();
    refuseData = true;
    input(devicePacket(kAck | kFin, deviceNext, ourNext, "held back"));
    EXPECT_TRUE(events.empty());
    refuseData = false;
    tunnelDataConsumed(0);
    EXPECT_EQ(receivedBytes, "held back");
    EXPECT_EQ(events, (std::vector<std::string>{"data", "closed"}));
}

// An ending worker closes with the device, whichever side closed first; what the device sends
// after the worker's close has no reader, and neither has a device that never closes.
TEST_F(TransportTest, AnEndingWorkerWaitsForTheDevicesCloseOrResets) {
    enum class Device { ClosesAfterUs, ClosedFirst, SendsData, StaysSilent };
    const struct {
        const char* what;
        Device device;
        uint8_t lastFlags;  // of the worker's last segment
    } cases[] = {
        {"its FIN after ours is acknowledged", Device::ClosesAfterUs, kAck},
        {"it closed first: its ACK of our FIN ends it", Device::ClosedFirst, kAck | kFin},
        {"data after our close resets", Device::SendsData, kRst | kAck},
        {"no close before the deadline: reset", Device::StaysSilent, kRst | kAck},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        const uint32_t ourNext = establish();
        if (c.device == Device::ClosedFirst) {
            input(devicePacket(kAck | kFin, deviceNext, ourNext));
            events.clear();
        }
        EXPECT_TRUE(tunnelLinger());
        ASSERT_FALSE(sentPackets.empty());
        EXPECT_EQ(sentPackets.back().flags() & kFin, kFin);
        switch (c.device) {
            case Device::ClosesAfterUs:
                input(devicePacket(kAck | kFin, deviceNext, ourNext + 1));
                EXPECT_EQ(sentPackets.back().ack(), deviceNext + 1);
                break;
            case Device::ClosedFirst:
                input(devicePacket(kAck, deviceNext + 1, ourNext + 1));
                break;
            case Device::SendsData:
                input(devicePacket(kAck, deviceNext, ourNext + 1, "unread"));
                break;
            case Device::StaysSilent:
                EXPECT_TRUE(tunnelClosing());
                tunnelReset();
                break;
        }
        EXPECT_FALSE(tunnelClosing());
        EXPECT_EQ(sentPackets.back().flags(), c.lastFlags);
        EXPECT_TRUE(events.empty());  // the worker hears of nothing more
        EXPECT_TRUE(receivedBytes.empty());
    }
}
