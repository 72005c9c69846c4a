// Sealing and opening of transport datagrams with explicit counters.
#include "protocol/NoiseTransport.h"

#include <utility>

namespace gateway_v2 {

namespace v2 = gateway_datagram_v2;

TransportSession::TransportSession(noise::TransportCiphers ciphers, uint32_t localIndex,
                                   uint32_t remoteIndex, bool initiator, Instant created)
    : ciphers_(std::move(ciphers)),
      localIndex_(localIndex),
      remoteIndex_(remoteIndex),
      initiator_(initiator),
      // The initiator has seen the responder's message, which proves the keys to it.
      confirmed_(initiator),
      created_(created) {}

bool TransportSession::canSend(Instant now) const {
    return confirmed_ && !expired(now) && sendCounter_ < protocol::REJECT_AFTER_MESSAGES;
}

std::optional<size_t> TransportSession::seal(noise::ByteView inner, uint8_t* out, Instant now) {
    if (!canSend(now) || inner.size > v2::kMaxInnerSize) {
        return std::nullopt;
    }
    const uint64_t counter = sendCounter_;
    v2::writeTransportHeader(remoteIndex_, counter, out);
    if (!ciphers_.send.encryptWithNonce(counter, {}, inner, out + v2::kTransportSealedOffset)) {
        return std::nullopt;
    }
    ++sendCounter_;
    return v2::kTransportOverhead + inner.size;
}

OpenStatus TransportSession::open(const v2::TransportView& datagram, uint8_t* out,
                                  size_t* outLength, Instant now) {
    *outLength = 0;
    if (expired(now)) {
        return OpenStatus::Expired;
    }
    // The cheap check first: a replay costs no decryption.
    if (!window_.mayAccept(datagram.counter, protocol::REJECT_AFTER_MESSAGES)) {
        return OpenStatus::Replayed;
    }
    if (!ciphers_.receive.decryptWithNonce(datagram.counter, {}, datagram.sealed, out)) {
        return OpenStatus::Forged;
    }
    window_.accept(datagram.counter, protocol::REJECT_AFTER_MESSAGES);
    confirmed_ = true;
    *outLength = datagram.sealed.size - noise::kTagLen;
    return OpenStatus::Ok;
}

bool TransportSession::wantsRekeyAfterSend(Instant now) const {
    return sendCounter_ >= protocol::REKEY_AFTER_MESSAGES ||
           (initiator_ && now - created_ >= protocol::REKEY_AFTER_TIME);
}

bool TransportSession::wantsRekeyAfterReceive(Instant now) const {
    return initiator_ && now - created_ >= protocol::REJECT_AFTER_TIME -
                                               protocol::KEEPALIVE_TIMEOUT -
                                               protocol::REKEY_TIMEOUT;
}

}  // namespace gateway_v2
