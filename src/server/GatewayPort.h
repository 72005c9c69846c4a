// The gateway port: the parent's UDP socket towards the gateways, the fixed buffers it
// receives into in batches, the batch of datagrams it sends once per pass of the loop, and
// the tunnels whose pipe frames wait until the datagrams they point into have been
// dispatched.
//
// The server object owns one and is its Receiver: the port hands it every datagram of a
// receive batch (runs that the kernel coalesced are cut apart here), then writes the
// gathered pipe frames. Tunnels and gateway clients reach the send batch and the frame list
// through the server's TunnelHost and GatewayClientHost faces, which forward here.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/EventLoop.h"
#include "common/FileDescriptor.h"
#include "protocol/GatewayDatagram.h"
#include "server/ServerCounters.h"
#include "server/TunnelHost.h"
#include "server/UdpBatch.h"
#include "server/WakeModeration.h"

class Tunnel;

class GatewayPort {
  public:
    static constexpr int kDrainBudget = 1024;  // datagrams per readiness event
    static constexpr int kReceiveBatch = 32;   // buffers per receive call
    // Datagrams for gateways gathered in one pass of the loop and sent together.
    static constexpr size_t kSendBatchBytes = 256 * 1024;
    static constexpr size_t kSendBatchDatagrams = 1024;

    class Receiver {
      public:
        // One datagram, at most gateway_datagram::kMaxDatagramSize bytes, never empty. The
        // bytes stay valid until the batch's pipe frames have been written.
        virtual void receivedDatagram(const sockaddr_in& sender, uint8_t* datagram,
                                      size_t length) = 0;
        // Before the first and after the last datagram of a receive batch.
        virtual void receiveBatchBoundary() = 0;

      protected:
        ~Receiver() = default;
    };

    // Binds the socket to port (on interfaceName's IPv4 address when one is named) and starts
    // receiving on loop; throws std::runtime_error when the socket cannot be bound.
    GatewayPort(struct ev_loop* eventLoop, uint16_t port, const std::string& interfaceName,
                Receiver& receiver, ServerCounters& counters);
    GatewayPort(const GatewayPort&) = delete;
    GatewayPort& operator=(const GatewayPort&) = delete;

    // One datagram sent at once (answers that must not wait for the batch).
    ssize_t send(const sockaddr_in& destination, const void* payload, size_t length,
                 DatagramKind kind = DatagramKind::Control);
    // Room for a datagram of up to capacity bytes in the send batch, then the length written
    // there. Never fails: a full batch is sent first.
    uint8_t* reserveDatagram(size_t capacity);
    void commitDatagram(size_t length, const sockaddr_in& destination, DatagramKind kind);
    // Sends what is gathered now; datagrams that find the socket buffer full are lost (a
    // congested link: TCP sends them again).
    void flushDatagrams();

    // A tunnel with frames gathered for its worker's pipe (listed once per batch), one that
    // goes away with frames gathered, and the writing of them all.
    void pipeFramesQueued(Tunnel* tunnel) { tunnelsWithFrames.push_back(tunnel); }
    void pipeFramesDropped(Tunnel* tunnel);
    void flushPipeFrames();
    const WakeModeration& wakeModeration() const { return moderation; }
    // Where tunnels read their worker's messages: one buffer for all of them.
    uint8_t* pipeReadBuffer() { return pipeReadBuffer_.get(); }

    uint16_t boundPort() const;  // the socket's port (the setting may say 0)
    bool receiving() const { return io.active(); }
    // Stops receiving, sends what is gathered and closes the socket.
    void close();

  private:
    void bindToInterface(const std::string& name, sockaddr_in* address);
    void setUpReceiveSlots(bool coalesced);
    void readable(int revents);
    void dispatchReceived(int count);

    Receiver& receiver;
    ServerCounters& counters;
    UniqueFd fd;
    EvIo io;

    // Fixed receive buffers, one per message of a batch: a datagram (longer ones arrive cut),
    // or with receive offload the datagrams that the kernel coalesced.
    struct ReceiveSlots {
        std::unique_ptr<uint8_t[]> buffers;
        size_t size = gateway_datagram::kMaxDatagramSize;  // bytes of each buffer
        sockaddr_in senders[kReceiveBatch];
        iovec vectors[kReceiveBatch];
        mmsghdr messages[kReceiveBatch];
        uint8_t controls[kReceiveBatch][udp_batch::kControlSpace];
    };
    std::unique_ptr<ReceiveSlots> receiveSlots;

    udp_batch::DatagramBatch sendBatch{kSendBatchBytes, kSendBatchDatagrams};
    std::vector<Tunnel*> tunnelsWithFrames;
    WakeModeration moderation;
    std::unique_ptr<uint8_t[]> pipeReadBuffer_;
};
