// The gateway's event loop: one UDP association with the server, one TUN device towards the LAN,
// and the association's timers, all on one thread with epoll.
//
// Ownership: GatewayTool owns every descriptor, the crypto context of the current registration
// cycle and all packet buffers; nothing is allocated per packet.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "Association.h"
#include "DestinationPolicy.h"
#include "FileDescriptor.h"
#include "GatewayDatagram.h"
#include "Ipv4Packet.h"
#include "Options.h"
#include "encryption.h"

// What went through the gateway and what it refused; printed on SIGUSR1 and at exit.
struct GatewayCounters {
    uint64_t datagramsIn = 0;
    uint64_t segmentsToTun = 0;
    uint64_t keepaliveAnswers = 0;
    uint64_t accepts = 0;
    uint64_t channelOrUnknown = 0;     // channel datagrams and types we have no use for
    uint64_t malformedDatagrams = 0;   // too short, bad TCP header, oversized
    uint64_t undecryptable = 0;        // envelopes we have no key for or that do not decrypt
    uint64_t plaintextRefused = 0;     // with --encrypt: tunnel/channel datagrams outside envelopes
    uint64_t acceptsRefused = 0;       // registration answers while none was outstanding
    uint64_t destinationsRefused = 0;  // segments for addresses the policy refuses
    uint64_t tunWriteErrors = 0;
    uint64_t packetsFromTun = 0;
    uint64_t packetsRefused = 0;  // not for the tunnel: other protocol, destination, fragment
    uint64_t datagramsOut = 0;    // tunnel segments sent to the server
    uint64_t sendErrors = 0;
    uint64_t registrations = 0;
    uint64_t keepalives = 0;
    uint64_t associationsLost = 0;
};

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
    static constexpr size_t kBatch = 64;
    // Room in front of every received datagram for the IPv4 header that replaces its first
    // bytes (Ipv4Packet.h), kept at a multiple of 16 for the cipher's sake.
    static constexpr size_t kHeadroom = 32;
    static constexpr size_t kDatagramCapacity = gateway_datagram::kMaxDatagramSize;
    // Batches handled per readiness event, so that one busy direction cannot starve the other.
    static constexpr int kBatchesPerWakeup = 8;

    struct Slot {
        alignas(16) uint8_t bytes[kHeadroom + kDatagramCapacity];
    };

    void runAssociation(Millis now);
    void beginRegistrationCycle();
    void sendRegistration();
    void sendKeepalive();
    void sendControl(const uint8_t* data, size_t length, bool wrap);

    void receiveDatagrams();
    void handleDatagram(uint8_t* data, size_t length, bool fromEnvelope);
    void handleAccept(const uint8_t* data, size_t length, bool withKey);
    void deliverSegment(uint8_t* data, size_t length);

    void readTun();
    bool flushToServer();
    void setTunReading(bool enabled);
    void setWaitingForWritable(bool enabled);
    void handleSignals();

    void printCounters() const;

    GatewayOptions options_;
    std::string tunName_;
    gateway_ip::PacketFilter filter_;
    gateway_ip::DestinationPolicy destinations_;
    UniqueFd tun_;
    UniqueFd udp_;
    UniqueFd epoll_;
    UniqueFd signals_;
    bool stop_ = false;

    Association association_;
    CryptoContextPtr crypto_;  // key pair of the current registration cycle
    bool keyReady_ = false;    // the server's key arrived: envelopes can be made and opened
    uint8_t registration_[gateway_datagram::kRegistrationMaxSize];
    size_t registrationLength_ = 0;
    // Registrations of this cycle not answered yet: only these may be answered, so a forged
    // ACCEPT or ACCEPTTLS can neither come out of turn nor replace the key later.
    // An answer counts only within kAnswerWindowMs of the latest registration we sent.
    unsigned outstandingAnswers_ = 0;
    Millis lastRegistrationAt_ = 0;
    static constexpr Millis kAnswerWindowMs = 5000;

    // Server -> TUN.
    Slot in_[kBatch];
    mmsghdr inMessages_[kBatch];
    iovec inVectors_[kBatch];

    // TUN -> server. Plain datagrams are sent from tunSlots_, envelopes from sealed_.
    Slot tunSlots_[kBatch];
    Slot sealed_[kBatch];
    mmsghdr outMessages_[kBatch];
    iovec outVectors_[kBatch];
    size_t outCount_ = 0;
    size_t outSent_ = 0;
    bool tunReading_ = true;
    bool waitingForWritable_ = false;

    int lastTunWriteErrno_ = 0;
    int lastSendErrno_ = 0;
    GatewayCounters counters_;
};
