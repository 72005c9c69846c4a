// The version 2 handshake: Noise IK messages framed as gateway datagrams.
#include "server/GatewayHandshake.h"

#include <utility>

namespace gateway_v2 {

namespace v2 = gateway_datagram_v2;

noise::ByteView prologue() {
    return {reinterpret_cast<const uint8_t*>(kPrologue), sizeof kPrologue - 1};
}

GatewayInitiator::GatewayInitiator(const noise::KeyPair& gatewayKeys,
                                   const noise::PublicKey& serverPublic)
    : keys_(gatewayKeys),
      serverPublic_(serverPublic),
      cookies_(serverPublic),
      responseMacs_(gatewayKeys.publicKey) {}

std::optional<size_t> GatewayInitiator::writeInitiation(uint32_t localIndex,
                                                        const v2::InitiationPayload& payload,
                                                        Instant now, uint8_t* out) {
    uint8_t plain[v2::kInitiationPayloadMaxSize];
    const size_t plainLength = v2::encodeInitiationPayload(payload, plain);
    if (plainLength == 0) {
        return std::nullopt;
    }
    handshake_.emplace(noise::HandshakeState::initiator(keys_, serverPublic_, prologue()));
    localIndex_ = localIndex;
    v2::writeInitiationHeader(localIndex, out);
    const size_t capacity = v2::kInitiationMaxSize - v2::kInitiationNoiseOffset - v2::kMacsSize;
    std::optional<size_t> noiseLength =
        handshake_->writeMessage({plain, plainLength}, out + v2::kInitiationNoiseOffset, capacity);
    OPENSSL_cleanse(plain, plainLength);  // the payload names the gateway
    if (!noiseLength) {
        handshake_.reset();
        return std::nullopt;
    }
    const size_t length = v2::kInitiationNoiseOffset + *noiseLength + v2::kMacsSize;
    cookies_.addMacs(out, length, now);
    return length;
}

std::optional<TransportSession> GatewayInitiator::readResponse(const uint8_t* data, size_t length,
                                                               Instant now) {
    v2::HandshakeView view;
    if (!handshake_ || v2::decodeResponse(data, length, &view) != v2::DecodeStatus::Ok ||
        view.receiverIndex != localIndex_ || !responseMacs_.checkMac1(data, length)) {
        return std::nullopt;
    }
    // A failed read spoils a handshake state, so the response is read on a copy: one that
    // does not authenticate leaves the initiation waiting for the genuine response.
    noise::HandshakeState attempt = *handshake_;
    uint8_t payload[v2::kMaxResponsePayload];
    std::optional<noise::TransportCiphers> ciphers;
    if (attempt.readMessage(view.noiseMessage, payload, sizeof payload)) {
        ciphers = attempt.split();
    }
    if (!ciphers) {
        return std::nullopt;
    }
    handshake_.reset();
    return TransportSession(std::move(*ciphers), localIndex_, view.senderIndex, true, now);
}

bool GatewayInitiator::consumeCookieReply(const uint8_t* data, size_t length, Instant now) {
    v2::CookieReplyView view;
    return handshake_ && v2::decodeCookieReply(data, length, &view) == v2::DecodeStatus::Ok &&
           view.receiverIndex == localIndex_ && cookies_.consumeReply(data, length, now);
}

ResponderHandshake::ResponderHandshake(const noise::KeyPair& serverKeys)
    : handshake_(noise::HandshakeState::responder(serverKeys, prologue())) {}

ResponderHandshake::ReadStatus ResponderHandshake::readInitiation(
    const v2::HandshakeView& initiation) {
    std::optional<size_t> length =
        handshake_.readMessage(initiation.noiseMessage, payloadBytes_, sizeof payloadBytes_);
    if (!length) {
        return ReadStatus::Undecryptable;
    }
    if (v2::decodeInitiationPayload(payloadBytes_, *length, &payload_) != v2::PayloadStatus::Ok) {
        return ReadStatus::BadPayload;
    }
    senderIndex_ = initiation.senderIndex;
    read_ = true;
    return ReadStatus::Ok;
}

std::optional<ResponderHandshake::Response> ResponderHandshake::writeResponse(uint32_t localIndex,
                                                                              Instant now,
                                                                              uint8_t* out) {
    if (!read_) {
        return std::nullopt;
    }
    v2::writeResponseHeader(localIndex, senderIndex_, out);
    const size_t capacity = v2::kResponseMinSize - v2::kResponseNoiseOffset - v2::kMacsSize;
    std::optional<size_t> noiseLength =
        handshake_.writeMessage({}, out + v2::kResponseNoiseOffset, capacity);
    std::optional<noise::TransportCiphers> ciphers;
    if (noiseLength) {
        ciphers = handshake_.split();
    }
    if (!ciphers) {
        return std::nullopt;
    }
    const size_t length = v2::kResponseNoiseOffset + *noiseLength + v2::kMacsSize;
    // The gateway sends no cookies, so mac2 stays zero.
    CookieGenerator(handshake_.remoteStatic()).addMacs(out, length, now);
    return Response{length,
                    TransportSession(std::move(*ciphers), localIndex, senderIndex_, false, now)};
}

}  // namespace gateway_v2
