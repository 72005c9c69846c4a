// One set of transport keys of the version 2 gateway protocol, as WireGuard keeps them: the
// receiver index each side chose for its own receiving, the split CipherStates, the counter of
// the next datagram sent (sent in the datagram and used as the AEAD nonce), the replay window
// of the counters received, and the age and message limits after which the keys are renewed
// or refused. Made by GatewayHandshake at the end of a handshake; the server's dispatch and
// tamblo-gateway call seal() and open() per datagram. Nothing here allocates or throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "protocol/GatewayDatagramV2.h"
#include "protocol/GatewayProtocolV2.h"
#include "protocol/NoiseHandshake.h"
#include "protocol/ReplayWindow.h"

namespace gateway_v2 {

enum class OpenStatus {
    Ok,
    Expired,   // the session is older than REJECT_AFTER_TIME
    Replayed,  // the counter was seen, is too old for the window, or at the limit
    Forged,    // the datagram did not authenticate
};

class TransportSession {
  public:
    // localIndex: the index the peer sends to us; remoteIndex: the one we send to it.
    TransportSession(noise::TransportCiphers ciphers, uint32_t localIndex, uint32_t remoteIndex,
                     bool initiator, Instant created);

    // Seals one inner datagram into a transport datagram in out (inner + 32 bytes): returns
    // its size; absent when this session may not send (see canSend) or the inner datagram is
    // larger than a datagram can carry.
    std::optional<size_t> seal(noise::ByteView inner, uint8_t* out, Instant now);
    // Opens a decoded transport datagram addressed to localIndex() into out (sealed - 16
    // bytes; out may be the sealed bytes themselves). The replay window moves only for a
    // datagram that authenticated.
    OpenStatus open(const gateway_datagram_v2::TransportView& datagram, uint8_t* out,
                    size_t* outLength, Instant now);

    // A responder sends only once the initiator's first datagram confirmed the keys; nobody
    // sends past REJECT_AFTER_MESSAGES or REJECT_AFTER_TIME.
    bool canSend(Instant now) const;
    // The initiator should start a new handshake: after a send that took the counter to
    // REKEY_AFTER_MESSAGES (either side) or of a session older than REKEY_AFTER_TIME ...
    bool wantsRekeyAfterSend(Instant now) const;
    // ... or after a receive on a session that will expire before another exchange could
    // renew it (REJECT_AFTER_TIME - KEEPALIVE_TIMEOUT - REKEY_TIMEOUT).
    bool wantsRekeyAfterReceive(Instant now) const;

    uint32_t localIndex() const { return localIndex_; }
    uint32_t remoteIndex() const { return remoteIndex_; }
    bool initiator() const { return initiator_; }
    bool confirmed() const { return confirmed_; }
    uint64_t nextSendCounter() const { return sendCounter_; }
    Instant created() const { return created_; }

  private:
    bool expired(Instant now) const { return now - created_ >= protocol::REJECT_AFTER_TIME; }

    noise::TransportCiphers ciphers_;
    ReplayWindow window_;
    uint32_t localIndex_;
    uint32_t remoteIndex_;
    bool initiator_;
    bool confirmed_;
    Instant created_;
    uint64_t sendCounter_ = 0;
};

}  // namespace gateway_v2
