// Test bench for the worker's TCP stack: the transport's IP output, segment crafting, callbacks.
#include "stack_harness.h"

#include <algorithm>

namespace tamblo::test {

namespace {

std::vector<Segment> gOutput;

constexpr int kMaxTeardownPcbs = 64;

uint16_t sum16(uint32_t sum) {
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

void put16(std::vector<uint8_t>& b, size_t off, uint16_t v) {
    b[off] = static_cast<uint8_t>(v >> 8);
    b[off + 1] = static_cast<uint8_t>(v);
}

void put32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    put16(b, off, static_cast<uint16_t>(v >> 16));
    put16(b, off + 2, static_cast<uint16_t>(v));
}

std::vector<uint8_t> buildSegment(const PeerSegment& fields, uint16_t srcPort, uint16_t dstPort) {
    std::vector<uint8_t> options = fields.options;
    while (options.size() % 4 != 0) {
        options.push_back(0);  // end-of-options padding
    }
    const size_t headerLen = kTcpHeaderLen + options.size();
    std::vector<uint8_t> b(headerLen + fields.payload.size(), 0);
    put16(b, kOffSrcPort, srcPort);
    put16(b, kOffDstPort, dstPort);
    put32(b, kOffSeq, fields.seq);
    put32(b, kOffAck, fields.ack);
    b[kOffDataOffset] = static_cast<uint8_t>((headerLen / 4) << 4);
    b[kOffFlags] = fields.flags;
    put16(b, kOffWindow, fields.window);
    std::copy(options.begin(), options.end(), b.begin() + kTcpHeaderLen);
    std::copy(fields.payload.begin(), fields.payload.end(),
              b.begin() + static_cast<long>(headerLen));
    uint16_t checksum = pseudoHeaderChecksum(kRemoteAddress, kLocalAddress, b);
    if (fields.corruptChecksum) {
        checksum = static_cast<uint16_t>(checksum ^ 0x5A5A);
    }
    put16(b, kOffChecksum, checksum);
    return b;
}

// Ends every connection a test left behind, without calling back into a finished test.
void abortAll(tcp_pcb** list) {
    for (int i = 0; i < kMaxTeardownPcbs && *list != nullptr; ++i) {
        tcp_pcb* pcb = *list;
        tcp_arg(pcb, nullptr);
        tcp_err(pcb, nullptr);
        tcp_recv(pcb, nullptr);
        tcp_sent(pcb, nullptr);
        tcp_abort(pcb);
    }
}

err_t onConnected(void* arg, tcp_pcb*, err_t) {
    static_cast<Events*>(arg)->connected++;
    return ERR_OK;
}

err_t onRecv(void* arg, tcp_pcb* pcb, pbuf* p, err_t) {
    auto* events = static_cast<Events*>(arg);
    if (p == nullptr) {
        events->fins++;
        return ERR_OK;
    }
    std::string chunk(p->tot_len, '\0');
    pbuf_copy_partial(p, chunk.data(), p->tot_len, 0);
    events->received += chunk;
    if (events->consume) {
        tcp_recved(pcb, p->tot_len);
    }
    pbuf_free(p);
    return ERR_OK;
}

err_t onSent(void* arg, tcp_pcb*, u16_t len) {
    static_cast<Events*>(arg)->acked += len;
    return ERR_OK;
}

void onError(void* arg, err_t err) {
    static_cast<Events*>(arg)->errors.push_back(err);
}

}  // namespace

}  // namespace tamblo::test

// The transport's side of the IP layer, here a recorder of every outgoing segment.
extern "C" err_t process_ip_output(const ip4_addr_t* dest, struct pbuf* p) {
    tamblo::test::Segment seg;
    seg.dest = lwip_ntohl(ip4_addr_get_u32(dest));
    seg.bytes.resize(p->tot_len);
    pbuf_copy_partial(p, seg.bytes.data(), p->tot_len, 0);
    tamblo::test::gOutput.push_back(std::move(seg));
    return ERR_OK;
}

namespace tamblo::test {

ip4_addr_t ip4(uint32_t hostOrder) {
    ip4_addr_t a;
    ip4_addr_set_u32(&a, lwip_htonl(hostOrder));
    return a;
}

uint16_t Segment::get16(size_t off) const {
    return static_cast<uint16_t>((bytes.at(off) << 8) | bytes.at(off + 1));
}

uint32_t Segment::get32(size_t off) const {
    return (static_cast<uint32_t>(get16(off)) << 16) | get16(off + 2);
}

std::vector<uint8_t> Segment::options() const {
    return {bytes.begin() + kTcpHeaderLen, bytes.begin() + static_cast<long>(headerLen())};
}

std::vector<uint8_t> mssOption(uint16_t mss) {
    return {2, 4, static_cast<uint8_t>(mss >> 8), static_cast<uint8_t>(mss)};
}

std::vector<uint8_t> mssAndWindowScale(uint16_t mss, uint8_t shift) {
    std::vector<uint8_t> o = mssOption(mss);
    o.insert(o.end(), {1, 3, 3, shift});
    return o;
}

uint16_t pseudoHeaderChecksum(uint32_t src, uint32_t dst, const std::vector<uint8_t>& segment) {
    uint32_t sum = (src >> 16) + (src & 0xFFFF) + (dst >> 16) + (dst & 0xFFFF);
    sum += 6 + static_cast<uint32_t>(segment.size());
    for (size_t i = 0; i + 1 < segment.size(); i += 2) {
        sum += static_cast<uint32_t>((segment[i] << 8) | segment[i + 1]);
    }
    if (segment.size() % 2 != 0) {
        sum += static_cast<uint32_t>(segment.back() << 8);
    }
    return sum16(sum);
}

std::vector<Segment>& output() {
    return gOutput;
}

void StackTest::SetUp() {
    static bool initialised = false;
    if (!initialised) {
        lwip_init();
        initialised = true;
    }
    gOutput.clear();
}

void StackTest::TearDown() {
    abortAll(&tcp_active_pcbs);
    abortAll(&tcp_tw_pcbs);
    tcpoverudp_handle_set(&handle_, nullptr);
    gOutput.clear();
}

tcp_pcb* StackTest::connect(uint32_t customWindow, uint16_t localPort) {
    tcp_pcb* pcb = tcp_new();
    if (pcb == nullptr) {
        ADD_FAILURE() << "tcp_new failed";
        return nullptr;
    }
    const ip4_addr_t local = ip4(kLocalAddress);
    const ip4_addr_t remote = ip4(kRemoteAddress);
    tcp_bind(pcb, &local, localPort);
    if (customWindow != 0) {
        tcpoverudp_set_rcv_window(pcb, customWindow);
    }
    tcp_arg(pcb, &events_);
    tcp_recv(pcb, onRecv);
    tcp_sent(pcb, onSent);
    tcp_err(pcb, onError);
    tcpoverudp_handle_set(&handle_, pcb);
    if (presetWindowScaleFlag_) {
        tcp_set_flags(pcb, TF_WND_SCALE);
    }
    EXPECT_EQ(tcp_connect(pcb, &remote, kRemotePort, onConnected), ERR_OK);
    tcp_nagle_disable(pcb);
    if (gOutput.empty()) {
        ADD_FAILURE() << "no SYN left the stack";
        return pcb;
    }
    ourIsn_ = gOutput.back().seq();
    localPort_ = gOutput.back().srcPort();
    return pcb;
}

tcp_pcb* StackTest::establish(const std::vector<uint8_t>& options, uint16_t window,
                              uint32_t customWindow) {
    tcp_pcb* pcb = connect(customWindow);
    PeerSegment synAck;
    synAck.flags = kSyn | kAck;
    synAck.seq = kPeerIsn;
    synAck.ack = ourIsn_ + 1;
    synAck.window = window;
    synAck.options = options;
    deliver(synAck);
    peerNext_ = kPeerIsn + 1;
    EXPECT_EQ(events_.connected, 1);
    return pcb;
}

void StackTest::deliver(const PeerSegment& fields) {
    const std::vector<uint8_t> bytes = buildSegment(fields, kRemotePort, localPort_);
    const ip4_addr_t local = ip4(kLocalAddress);
    const ip4_addr_t remote = ip4(kRemoteAddress);
    pbuf* p = pbuf_with_iphdr_and_data(&local, &remote, bytes.data(), bytes.size());
    ASSERT_NE(p, nullptr);
    tcpoverudp_tcp_input(p);
}

void StackTest::deliverAck(uint32_t ack, uint16_t window) {
    PeerSegment fields;
    fields.seq = peerNext_;
    fields.ack = ack;
    fields.window = window;
    deliver(fields);
}

void StackTest::deliverData(const std::string& data, uint32_t ack, uint16_t window,
                            uint8_t extraFlags) {
    PeerSegment fields;
    fields.flags = static_cast<uint8_t>(kAck | kPsh | extraFlags);
    fields.seq = peerNext_;
    fields.ack = ack;
    fields.window = window;
    fields.payload = data;
    deliver(fields);
    peerNext_ += static_cast<uint32_t>(data.size()) + ((extraFlags & kFin) != 0 ? 1U : 0U);
}

void StackTest::slowTick() {
    const u32_t before = tcp_ticks;
    for (int i = 0; i < 2 && tcp_ticks == before; ++i) {
        tcp_tmr();
    }
}

std::vector<Segment> StackTest::takeOutput() {
    std::vector<Segment> taken;
    taken.swap(gOutput);
    return taken;
}

}  // namespace tamblo::test
