// Tunnel packets from a device as the worker's transport and TCP stack take them, after the
// transport opened a connection. Built with the transport unit alone; the worker's listener
// only frees what it is handed.
//
// Input: records of [length (1 byte)][TCP segment]. Each segment's acknowledgement number is
// taken as an offset from the connection's initial sequence number (random per connection), so
// that the fuzzer can complete handshakes and reach every state.
#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "FuzzTarget.h"
#include "lwip/pbuf.h"
#include "lwip/priv/tcp_priv.h"
#include "worker/tcpoverudp.h"

namespace {
constexpr uint32_t kLocal = 0x010013C6;   // 198.19.0.1 in network order
constexpr uint32_t kDevice = 0x140012C6;  // 198.18.0.20 in network order
uint32_t initialSequence = 0;
bool sawSyn = false;

// The worker's side: notes the SYN's sequence number, and takes and writes device data at
// once, as a client that reads everything.
class Worker final : public TunnelListener {
  public:
    void tunnelOutput(const uint8_t* packet, uint16_t length) override {
        if (!sawSyn && length >= 4 + 20 && (packet[4 + 13] & 0x02) != 0) {
            uint32_t sequence;
            std::memcpy(&sequence, packet + 4 + 4, sizeof sequence);
            initialSequence = ntohl(sequence);
            sawSyn = true;
        }
    }
    void tunnelConnected() override {}
    bool tunnelReceivedData(pbuf* chain) override {
        const uint32_t length = chain->tot_len;
        pbuf_free(chain);
        tunnelDataConsumed(length);
        return true;
    }
    void tunnelDataSent(uint16_t) override {}
    void tunnelClosed() override {}
};
Worker worker;

void resetStack() {
    while (tcp_active_pcbs != nullptr) {
        tcp_abort(tcp_active_pcbs);
    }
    while (tcp_tw_pcbs != nullptr) {
        tcp_abort(tcp_tw_pcbs);
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sawSyn = false;
    tunnelTransportInit(worker);
    if (tunnelConnect(kLocal, 40000, kDevice, 80, 0) < 0 || !sawSyn) {
        resetStack();
        return 0;
    }
    std::vector<uint8_t> packet;
    size_t position = 0;
    while (position < size) {
        const size_t length = data[position++];
        const size_t taken = length < size - position ? length : size - position;
        packet.assign(reinterpret_cast<const uint8_t*>(&kDevice),
                      reinterpret_cast<const uint8_t*>(&kDevice) + 4);
        packet.insert(packet.end(), data + position, data + position + taken);
        if (taken >= 12) {
            uint32_t offset;
            std::memcpy(&offset, packet.data() + 4 + 8, sizeof offset);
            const uint32_t ack = htonl(initialSequence + ntohl(offset));
            std::memcpy(packet.data() + 4 + 8, &ack, sizeof ack);
        }
        tunnelTransportInput(packet.data(), static_cast<uint16_t>(packet.size()));
        position += taken;
    }
    tunnelIdleTimer();
    const char reply[] = "GET / HTTP/1.1\r\n\r\n";
    tunnelSendData(reinterpret_cast<const uint8_t*>(reply), sizeof reply - 1);
    resetStack();
    return 0;
}
