// The tunnel transport: the worker's one TCP connection, terminated in its user-space stack,
// with segments handed to the parent as tunnel packets.
#include "worker/tcpoverudp.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "common/Logging.h"
#include "tcpoverudp_stack.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kTcpOverUdp);

constexpr size_t kAddressSize = 4;
constexpr size_t kTcpHeaderSize = 20;
constexpr uint32_t kDefaultWindow = 163840;

// One connection per worker process.
ip4_addr_t gcLocalIP;
tcpoverudp_pcb_handle tcp = {nullptr};  // cleared by the stack when it frees the pcb
bool tcpCloseRequested = false;         // the current connection's peer sent FIN
uint64_t finsSeen = 0;                  // FINs reported by the stack, for the deferred close
uint64_t sent = 0;
int64_t writtenToLwip = 0;
bool stackReady = false;
TunnelListener* listener = nullptr;  // of the connections opened from now on
bool lingering = false;  // the worker ends: the connection only closes, nobody reads

// Receive window accounting. The worker reports consumed bytes in the order they were
// handed over; those of connections replaced since come first and reopen nothing.
uint64_t unconsumed = 0;  // handed over on the current connection, not yet consumed
uint64_t stale = 0;       // handed over on replaced connections, not yet consumed
int stackDepth = 0;       // > 0 while the stack runs (its callbacks may be on the stack)

// Runs one entry into the stack that may call back into the transport.
template <typename F>
void inStack(F&& run) {
    ++stackDepth;
    run();
    --stackDepth;
}

// Reads the fields that the trace lines show from a TCP header.
struct TcpHeaderView {
    uint16_t source;
    uint16_t destination;
    uint32_t sequence;
    uint32_t acknowledgement;
    unsigned flags;
    size_t headerLength;
};
TcpHeaderView viewTcpHeader(const uint8_t* segment) {
    TcpHeaderView view;
    uint16_t u16;
    uint32_t u32;
    std::memcpy(&u16, segment, 2);
    view.source = ntohs(u16);
    std::memcpy(&u16, segment + 2, 2);
    view.destination = ntohs(u16);
    std::memcpy(&u32, segment + 4, 4);
    view.sequence = ntohl(u32);
    std::memcpy(&u32, segment + 8, 4);
    view.acknowledgement = ntohl(u32);
    view.headerLength = static_cast<size_t>(segment[12] >> 4) * 4;
    view.flags = segment[13] & 0x3f;
    return view;
}

void traceSegment(const char* prefix, const uint8_t* segment, size_t length) {
    if (!logger.isEnabledFor(log4cplus::TRACE_LOG_LEVEL) || length < kTcpHeaderSize) {
        return;
    }
    const TcpHeaderView h = viewTcpHeader(segment);
    LOG4CPLUS_TRACE(logger, prefix << "src=" << h.source << ", dst=" << h.destination
                                   << ", seq=" << h.sequence << ", ack=" << h.acknowledgement
                                   << ", flags=" << h.flags << ", len=" << length);
}

TunnelListener& listenerOf(void* arg) {
    return *static_cast<TunnelListener*>(arg);
}

err_t cb_tunn_received(void* arg, tcp_pcb* pcb, pbuf* p, err_t) {
    if (lingering) {
        if (p == nullptr) {
            return ERR_OK;  // the device's FIN: the stack acknowledges it and the close completes
        }
        // Data after the worker's close has no reader: as a host does for a closed socket,
        // the connection is reset (the device stops sending at once).
        pbuf_free(p);
        tcp_abort(pcb);
        return ERR_ABRT;
    }
    if (p == nullptr) {
        LOG4CPLUS_DEBUG(logger, "cb_tunn_received: TCP connection closed gracefully");
        tcpCloseRequested = true;
        ++finsSeen;
        return ERR_OK;
    }
    // The window stays closed by these bytes until the worker reports them consumed, which
    // it may do from inside this call: count them first.
    const uint16_t length = p->tot_len;
    const bool shortPush = (p->flags & PBUF_FLAG_PUSH) != 0 && length < tcp_mss(pcb);
    unconsumed += length;
    if (!listenerOf(arg).tunnelReceivedData(p)) {
        unconsumed -= length;
        return ERR_MEM;  // the stack keeps the chain and offers it again
    }
    if (shortPush) {
        // The end of a short write: a device whose stack holds back its next small write
        // until this one is acknowledged (Nagle) must not wait for the delayed ACK. The
        // stack sends it when this segment's processing ends.
        tcp_set_flags(pcb, TF_ACK_NOW);
    }
    return ERR_OK;
}

err_t cb_tunn_connected(void* arg, tcp_pcb* pcb, err_t) {
    tcp_recv(pcb, cb_tunn_received);
    listenerOf(arg).tunnelConnected();
    return ERR_OK;
}

err_t cb_tunn_sent(void* arg, tcp_pcb*, u16_t count) {
    listenerOf(arg).tunnelDataSent(count);
    return ERR_OK;
}

void cb_tunn_error(void* arg, err_t error) {
    // The stack has freed (or is freeing) the pcb: forget it without touching it.
    LOG4CPLUS_DEBUG(logger, "cb_tunn_error: TCP connection error: " << static_cast<int>(error));
    tcpoverudp_handle_set(&tcp, nullptr);
    if (!lingering) {
        listenerOf(arg).tunnelClosed();
    }
}

void ensureStack() {
    if (!stackReady) {
        lwip_init();
        stackReady = true;
    }
}

// The close after a FIN, deferred until the stack is done with the segment (or the refused
// chain) that carried it.
void closeAfterFin() {
    LOG4CPLUS_DEBUG(logger, "closing TCP connection (delayed)");
    if (tcp.pcb != nullptr) {
        tcp_close(tcp.pcb);
    }
    listener->tunnelClosed();
}

// Runs a timer or a refused-data offer; a FIN delivered by it is closed after, as one that
// arrives with a packet is.
template <typename F>
void runAndCloseAfterFin(F&& run) {
    const uint64_t before = finsSeen;
    inStack(run);
    if (finsSeen != before) {
        closeAfterFin();
    }
}

void offerRefusedData() {
    if (tcp.pcb != nullptr && stackDepth == 0 && tcp.pcb->refused_data != nullptr) {
        runAndCloseAfterFin([] { tcpoverudp_offer_refused(tcp.pcb); });
    }
}
}  // namespace

extern "C" err_t process_ip_output(const ip4_addr_t* dest, struct pbuf* p) {
    if (listener == nullptr) {
        return ERR_OK;  // no worker to hand it to: as if lost on the way
    }
    LOG4CPLUS_TRACE(logger, "sending " << p->tot_len << " bytes");
    if (p->len >= kTcpHeaderSize) {
        const uint8_t* segment = static_cast<const uint8_t*>(p->payload);
        sent += p->tot_len - viewTcpHeader(segment).headerLength;
        LOG4CPLUS_TRACE(logger,
                        "total data sent for this connection (excluding headers): " << sent);
        traceSegment("sending to tunnel - TCP packet: ", segment, p->tot_len);
    }
    if (p->next == nullptr && pbuf_add_header(p, kAddressSize) == 0) {
        // The segment's headroom takes the device address: no copy.
        std::memcpy(p->payload, &dest->addr, kAddressSize);
        listener->tunnelOutput(static_cast<const uint8_t*>(p->payload), p->len);
        pbuf_remove_header(p, kAddressSize);
        return ERR_OK;
    }
    LOG4CPLUS_TRACE(logger, "process_ip_output p->tot_len " << p->tot_len << ", p->len " << p->len);
    static uint8_t packet[kAddressSize + 0xffff];
    std::memcpy(packet, &dest->addr, kAddressSize);
    pbuf_copy_partial(p, packet + kAddressSize, p->tot_len, 0);
    listener->tunnelOutput(packet, static_cast<uint16_t>(p->tot_len + kAddressSize));
    return ERR_OK;
}

int tunnelConnect(uint32_t localIP, uint16_t localPort, uint32_t destinationIP,
                  uint16_t destinationPort, uint32_t windowSize) {
    if (listener == nullptr) {
        return -1;
    }
    ensureStack();
    if (tcp.pcb != nullptr) {
        // A new target replaces the old connection: reset it, without a closed callback.
        tcp_err(tcp.pcb, nullptr);
        tcp_abort(tcp.pcb);
        tcpoverudp_handle_set(&tcp, nullptr);
    }
    // What the worker still holds of earlier connections is consumed first; their FIN does
    // not concern the new one.
    stale += unconsumed;
    unconsumed = 0;
    tcpCloseRequested = false;
    LOG4CPLUS_TRACE(logger, "before creating new lwIP TCP socket: " << static_cast<void*>(tcp.pcb));
    tcp_pcb* pcb = tcp_new();
    LOG4CPLUS_TRACE(logger, "new lwIP TCP socket: " << static_cast<void*>(pcb));
    if (pcb == nullptr) {
        return -1;
    }
    tcpoverudp_handle_set(&tcp, pcb);
    gcLocalIP.addr = localIP;
    LOG4CPLUS_DEBUG(logger, "tunnelConnect: local IP " << localIP << " local port " << localPort
                                                       << " dest IP " << destinationIP
                                                       << " dest port " << destinationPort);
    if (windowSize != 0) {
        LOG4CPLUS_DEBUG(logger, "using custom TCP windows size of " << windowSize);
    } else {
        LOG4CPLUS_DEBUG(logger,
                        "custom window size not provided, using standard " << kDefaultWindow);
    }
    tcpoverudp_set_rcv_window(pcb, windowSize);
    ip4_addr_t destination;
    destination.addr = destinationIP;
    tcp_bind(pcb, &gcLocalIP, localPort);
    tcp_arg(pcb, listener);
    tcp_recv(pcb, cb_tunn_received);
    tcp_err(pcb, cb_tunn_error);
    tcp_sent(pcb, cb_tunn_sent);
    tcp_connect(pcb, &destination, destinationPort, cb_tunn_connected);
    if (tcp.pcb == nullptr) {
        return -1;  // the connect failed and the stack dropped the pcb
    }
    tcpoverudp_set_rx_after_close(pcb, 1);
    tcp_nagle_disable(pcb);
    return pcb->local_port;
}

void tunnelTransportInput(const uint8_t* packet, uint16_t length) {
    if (length < kAddressSize) {
        LOG4CPLUS_TRACE(logger, "received " << length << " bytes from tunnel");
        return;
    }
    if (logger.isEnabledFor(log4cplus::TRACE_LOG_LEVEL)) {  // once for both lines, per packet
        LOG4CPLUS_TRACE(logger, "received " << length << " bytes from tunnel");
        traceSegment("received from tunnel - TCP packet: ", packet + kAddressSize,
                     length - kAddressSize);
    }
    ensureStack();
    ip4_addr_t source;
    std::memcpy(&source.addr, packet, kAddressSize);
    pbuf* p =
        pbuf_with_iphdr_and_data(&gcLocalIP, &source, packet + kAddressSize, length - kAddressSize);
    if (p == nullptr) {
        return;  // no memory: TCP retransmits
    }
    inStack([p] { tcpoverudp_tcp_input(p); });
    if (tcpCloseRequested) {
        closeAfterFin();  // the stack is done with the segment that carried the FIN
    }
}

uint32_t tunnelSendData(const uint8_t* data, uint32_t length) {
    if (tcp.pcb == nullptr) {
        LOG4CPLUS_WARN(logger, "tunnelSendData: tcp == NULL");
        if (listener != nullptr) {
            listener->tunnelClosed();
        }
        return 0;
    }
    uint32_t written = 0;
    while (written < length && tcp_sndbuf(tcp.pcb) > 0) {
        const uint32_t chunk = std::min<uint32_t>(
            {length - written, static_cast<uint32_t>(tcp_sndbuf(tcp.pcb)), 0xffffu});
        const err_t result =
            tcp_write(tcp.pcb, data + written, static_cast<u16_t>(chunk), TCP_WRITE_FLAG_COPY);
        if (result != ERR_OK) {
            LOG4CPLUS_TRACE(logger, "tcp_write() result != ERR_OK: " << static_cast<int>(result));
            break;
        }
        written += chunk;
        writtenToLwip += chunk;
    }
    tcp_output(tcp.pcb);
    LOG4CPLUS_TRACE(logger, "total bytes written to lwIP: " << writtenToLwip);
    return written;
}

void tunnelDataConsumed(uint32_t count) {
    const uint64_t old = std::min<uint64_t>(count, stale);
    stale -= old;
    const uint64_t reopen = std::min<uint64_t>(count - old, unconsumed);
    unconsumed -= reopen;
    if (tcp.pcb != nullptr && reopen > 0) {
        // A window update leaves at once when the window grew by half of it; otherwise the
        // next ACK carries the new edge.
        tcpoverudp_recved(tcp.pcb, static_cast<u32_t>(reopen));
    }
    offerRefusedData();
}

void tunnelClose() {
    LOG4CPLUS_DEBUG(logger, "close tunnel");
    if (tcp.pcb != nullptr) {
        tcp_close(tcp.pcb);
    }
}

bool tunnelLinger() {
    lingering = true;
    tcpCloseRequested = false;  // a FIN of the device was reported already
    if (tcp.pcb == nullptr) {
        return false;
    }
    if (tcp.pcb->refused_data != nullptr) {
        tunnelReset();  // the device's data was never read
        return false;
    }
    // A second close in a closing state changes nothing.
    if (tcp_close(tcp.pcb) != ERR_OK) {
        tunnelReset();
        return false;
    }
    return tunnelClosing();
}

bool tunnelClosing() {
    return tcp.pcb != nullptr && tcp.pcb->state != TIME_WAIT && tcp.pcb->state != CLOSED;
}

void tunnelReset() {
    if (tcp.pcb != nullptr) {
        tcp_pcb* pcb = tcp.pcb;
        tcpoverudp_handle_set(&tcp, nullptr);
        tcp_abort(pcb);
    }
}

void tunnelIdleTimer() {
    if (stackReady) {
        runAndCloseAfterFin([] { tcp_tmr(); });  // its fast timer offers refused data too
    }
}

void tunnelTransportInit(TunnelListener& worker) {
    listener = &worker;
    lingering = false;
    ensureStack();
}

bool tunnelAckPending() {
    return tcp.pcb != nullptr && (tcp.pcb->flags & TF_ACK_DELAY) != 0;
}

void tunnelFlushAck() {
    // What the stack's fast timer does for a delayed ACK, sooner.
    if (tunnelAckPending()) {
        tcp_set_flags(tcp.pcb, TF_ACK_NOW);
        tcp_output(tcp.pcb);
        tcp_clear_flags(tcp.pcb, TF_ACK_DELAY | TF_ACK_NOW);
    }
}
