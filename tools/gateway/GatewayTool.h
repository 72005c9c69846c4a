// The gateway's event loop: one UDP association with the server (ServerSession: registration,
// keepalives, keys, the move to the next server), one TUN device towards the LAN, and the two
// packet paths between them, all on one thread with epoll.
//
// Both packet paths use the kernel's offloads where it offers them (unless --no-offload): the
// TUN device hands over and takes large TCP packets (TunOffload.h), and the UDP socket sends
// runs of equal datagrams as one message and receives them coalesced (UdpBatch.h). Nothing
// changes on the wire: the server gets and sends segments of the negotiated MSS either way.
//
// Ownership: GatewayTool owns the session, every other descriptor and all packet buffers;
// nothing is allocated per packet.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Association.h"
#include "DestinationPolicy.h"
#include "common/FileDescriptor.h"
#include "protocol/GatewayDatagram.h"
#include "Ipv4Packet.h"
#include "Options.h"
#include "TunOffload.h"
#include "server/UdpBatch.h"
#include "GatewayCounters.h"
#include "ServerSession.h"


class GatewayTool {
  public:
    explicit GatewayTool(const GatewayOptions& options);
    GatewayTool(const GatewayTool&) = delete;
    GatewayTool& operator=(const GatewayTool&) = delete;

    // Opens the TUN device (and configures it), the UDP socket, signals and epoll.
    bool open(std::string* error);
    // Runs until SIGINT or SIGTERM; returns the exit status.
    int run();

    const GatewayCounters& counters() const { return counters_; }

  private:
    // Receive buffers per call: one datagram each, or with receive offload what the kernel
    // coalesced (fewer, larger buffers).
    static constexpr size_t kBatch = 64;
    static constexpr size_t kCoalescedBatch = 8;
    // Room in front of every received datagram for the IPv4 header that replaces its first
    // bytes (Ipv4Packet.h), kept at a multiple of 16 for the cipher's sake.
    static constexpr size_t kHeadroom = 32;
    static constexpr size_t kDatagramCapacity = gateway_datagram::kMaxDatagramSize;
    // Batches handled per readiness event, so that one busy direction cannot starve the other.
    static constexpr int kBatchesPerWakeup = 8;
    // TUN packets read per readiness event (each up to 64 KiB with offload).
    static constexpr int kTunReadsPerWakeup = 64;
    // Datagrams for the server gathered before they are sent.
    static constexpr size_t kSendBatchBytes = 512 * 1024;
    static constexpr size_t kSendBatchDatagrams = 1024;
    // What one TUN packet may need in the send batch: a large packet's segments, each with
    // an envelope's overhead.
    static constexpr size_t kRoomPerTunPacket = 2 * tun_offload::kMaxPacket;
    static constexpr size_t kDatagramsPerTunPacket = 128;

    // The address we reach the server from is no device.
    void refuseOwnAddress();
    void receiveDatagrams();
    void handleDatagram(uint8_t* data, size_t length);
    void deliverSegment(uint8_t* data, size_t length);
    void reportTunWriteError(int error);

    void readTun();
    // One TUN packet (IPv4 header first) into datagrams for the server.
    void sendPacket(uint8_t* packet, size_t length, const tun_offload::VirtioNetHeader* header);
    bool queueForServer(const uint8_t* datagram, size_t length);
    bool flushToServer();
    static void reportSent(void* context, uint8_t tag, size_t length, int error);
    void setTunReading(bool enabled);
    void setWaitingForWritable(bool enabled);
    void setUpReceiveBuffers();
    void handleSignals();


    GatewayCounters counters_;  // before the session, which counts into it
    GatewayOptions options_;
    ServerSession session_;
    std::string tunName_;
    gateway_ip::PacketFilter filter_;
    gateway_ip::DestinationPolicy destinations_;
    UniqueFd tun_;
    UniqueFd epoll_;
    UniqueFd signals_;
    bool stop_ = false;


    // Server -> TUN: receive buffers (with kHeadroom in front of each), and with offload the
    // writer that gathers segments into large packets.
    bool tunOffload_ = false;
    bool receiveCoalesced_ = false;
    std::unique_ptr<uint8_t[]> inArea_;
    size_t inSlotSize_ = 0;
    size_t inSlots_ = 0;
    mmsghdr inMessages_[kBatch];
    iovec inVectors_[kBatch];
    uint8_t inControls_[kBatch][udp_batch::kControlSpace];
    std::unique_ptr<tun_offload::TunWriter> tunWriter_;

    // TUN -> server: the packet read (behind kHeadroom and, with offload, its virtio-net
    // header), and the datagrams made of packets, plain or sealed, until they are sent.
    std::unique_ptr<uint8_t[]> tunBuffer_;
    udp_batch::DatagramBatch out_;
    bool tunReading_ = true;
    bool waitingForWritable_ = false;

    int lastTunWriteErrno_ = 0;
    int lastSendErrno_ = 0;
};
