// The gateway's association with its servers: the UDP socket towards them, registration
// (version 1 plain or with a key, or the version 2 handshake), keepalives and their answers,
// the move to the next server when they go unanswered, and the keys that seal and open the
// datagrams of the association.
//
// GatewayTool owns one: its loop calls run() by the deadline, hands every datagram from the
// server to receive() and asks seal() for each datagram it sends while seals() holds. The
// packet paths themselves (segments between the socket and the TUN device) stay in the tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Association.h"
#include "GatewayCounters.h"
#include "Options.h"
#include "SealedLink.h"
#include "ServerList.h"
#include "common/FileDescriptor.h"
#include "encryption.h"
#include "protocol/GatewayDatagram.h"

class ServerSession {
  public:
    ServerSession(const GatewayOptions& options, GatewayCounters& counters);
    ServerSession(const ServerSession&) = delete;
    ServerSession& operator=(const ServerSession&) = delete;

    // Reads the version 2 keys (when configured) and opens the socket, connected to the
    // first server. False with *error set.
    bool open(std::string* error);
    int socket() const { return udp_.get(); }

    // Registers, keeps alive, notices a lost association and moves on; deadline() says when
    // it has something to do next.
    void run(Millis now);
    Millis deadline() const;

    // A datagram from the server. Registration answers, keepalive answers and the opening of
    // sealed datagrams are taken here; what is left for the packet path (a tunnel segment or
    // a channel datagram, opened in place) is returned with *length set, or nullptr.
    uint8_t* receive(uint8_t* data, size_t* length, bool fromEnvelope = false);

    // Datagrams to the server travel sealed (a version 1 envelope or version 2 transport).
    bool seals() const { return link_ != nullptr || options_.encrypt; }
    // Room a sealed datagram of length bytes needs; 0 when none can be made now (no keys yet,
    // or it would be longer than the server takes).
    size_t sealedCapacity(size_t length) const;
    // Seals into out (sealedCapacity bytes): the sealed size, 0 when it cannot be sealed.
    size_t seal(const uint8_t* datagram, size_t length, uint8_t* out);

  private:
    bool openKeys(std::string* error);
    void runAssociation(Millis now);
    bool moveToNextServer();
    // Version 2: the handshakes that no registration asks for (renewals, cookie repeats).
    void runHandshakes();
    void beginRegistrationCycle();
    void sendRegistration();
    void sendInitiation();
    void sendKeepalive();
    void sendControl(const uint8_t* data, size_t length, bool wrap);
    uint8_t* receiveSealed(uint8_t* data, size_t* length);
    void handleAccept(const uint8_t* data, size_t length, bool withKey);

    GatewayOptions options_;  // server and serverPort: the server in use
    GatewayCounters& counters_;
    ServerList servers_;
    UniqueFd udp_;
    Association association_;
    std::unique_ptr<SealedLink> link_;  // version 2 only
    CryptoContextPtr crypto_;           // version 1 with a key: this cycle's key pair
    bool keyReady_ = false;  // the server's key arrived: envelopes can be made and opened
    uint8_t registration_[gateway_datagram::kRegistrationMaxSize];
    size_t registrationLength_ = 0;
    // Registrations of this cycle not answered yet: only these may be answered, so a forged
    // ACCEPT or ACCEPTTLS can neither come out of turn nor replace the key later.
    // An answer counts only within kAnswerWindowMs of the latest registration we sent.
    unsigned outstandingAnswers_ = 0;
    Millis lastRegistrationAt_ = 0;
    static constexpr Millis kAnswerWindowMs = 5000;
    // The server answered this cycle's handshake with a cookie reply: it is alive, so an
    // unanswered initiation stays with it rather than moving on.
    bool serverAnswered_ = false;
    int lastSendErrno_ = 0;
};
