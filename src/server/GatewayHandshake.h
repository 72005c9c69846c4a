// The version 2 registration handshake in gateway datagrams: Noise IK (NoiseHandshake) framed
// as initiation and response (GatewayDatagramV2), with mac1 and mac2 (HandshakeCookie), ending
// in a TransportSession. The gateway's side (GatewayInitiator) is used by tamblo-gateway and
// the tests; the server's side (ResponderHandshake) by the server's dispatch, which does:
//
//   decodeInitiation -> CookieChecker::checkMac1 -> under load: checkMac2, else makeReply
//   -> ResponderHandshake::readInitiation -> is gatewayStatic() the key pinned for
//      payload().id, and is payload().timestamp later than the last one of that key?
//   -> writeResponse -> a TransportSession, the registration's record
//
// The prologue names this protocol and its version, so that a handshake made for anything
// else cannot complete here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "protocol/GatewayDatagramV2.h"
#include "protocol/GatewayProtocolV2.h"
#include "protocol/HandshakeCookie.h"
#include "protocol/NoiseHandshake.h"
#include "protocol/NoiseTransport.h"

namespace gateway_v2 {

inline constexpr char kPrologue[] = "tamblo gateway v2";
noise::ByteView prologue();

// The gateway's side, one per server it talks to; each writeInitiation() starts afresh.
class GatewayInitiator {
  public:
    GatewayInitiator(const noise::KeyPair& gatewayKeys, const noise::PublicKey& serverPublic);

    // An initiation for a new handshake into out (kInitiationMaxSize bytes); its size, or
    // absent when the payload cannot be encoded or randomness fails.
    std::optional<size_t> writeInitiation(uint32_t localIndex,
                                          const gateway_datagram_v2::InitiationPayload& payload,
                                          Instant now, uint8_t* out);
    // The session of a response to the last initiation; absent when the response is for
    // another index, has a wrong mac1, or does not authenticate (a later, genuine response
    // to the same initiation is then still taken).
    std::optional<TransportSession> readResponse(const uint8_t* data, size_t length, Instant now);
    // A cookie reply to the last initiation: the next initiation carries mac2.
    bool consumeCookieReply(const uint8_t* data, size_t length, Instant now);

  private:
    noise::KeyPair keys_;
    noise::PublicKey serverPublic_;
    CookieGenerator cookies_;
    CookieChecker responseMacs_;  // mac1 of responses, keyed with our own public key
    std::optional<noise::HandshakeState> handshake_;
    uint32_t localIndex_ = 0;
};

// The server's side of one initiation.
class ResponderHandshake {
  public:
    explicit ResponderHandshake(const noise::KeyPair& serverKeys);
    ResponderHandshake(const ResponderHandshake&) = delete;
    ResponderHandshake& operator=(const ResponderHandshake&) = delete;

    enum class ReadStatus { Ok, Undecryptable, BadPayload };
    // The Noise message of an initiation whose mac1 (and under load mac2) the caller checked.
    ReadStatus readInitiation(const gateway_datagram_v2::HandshakeView& initiation);
    const noise::PublicKey& gatewayStatic() const { return handshake_.remoteStatic(); }
    // The decoded payload; its id points into this object.
    const gateway_datagram_v2::InitiationPayload& payload() const { return payload_; }
    uint32_t senderIndex() const { return senderIndex_; }

    struct Response {
        size_t length;
        TransportSession session;
    };
    // The response into out (kResponseMinSize bytes) and the session it opens, once the
    // caller accepted the gateway's key and timestamp; absent when the key agreement fails.
    std::optional<Response> writeResponse(uint32_t localIndex, Instant now, uint8_t* out);

  private:
    noise::HandshakeState handshake_;
    gateway_datagram_v2::InitiationPayload payload_;
    uint8_t payloadBytes_[gateway_datagram_v2::kInitiationPayloadMaxSize] = {};
    uint32_t senderIndex_ = 0;
    bool read_ = false;
};

}  // namespace gateway_v2
