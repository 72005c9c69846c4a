// The gateway's side of the authenticated registration (version 2): its static key pair, the
// server's public key, the Noise IK initiation with the gateway's id inside, the transport
// sessions that a response opens, and the sealing and opening of every datagram after it.
//
// Made by the gateway's ServerSession when --key-file and --server-public-key are given; the
// session sends what it writes, hands it every datagram of types 32 to 35 from the server and
// asks initiationDue() when the next handshake is due on its own. Keys are renewed as
// WireGuard does: a new initiation once the session is REKEY_AFTER_TIME old or near its
// message limit, repeated every REKEY_TIMEOUT until a response comes, the previous session
// kept for datagrams still on their way. A cookie reply brings the initiation again soon,
// with mac2, a few times with growing pauses. No I/O here; monotonic time is handed in, and
// only the initiation's timestamp reads the wall clock.
#pragma once

#include <time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "protocol/GatewayDatagramV2.h"
#include "protocol/NoiseCrypto.h"
#include "protocol/NoiseTransport.h"
#include "server/GatewayHandshake.h"

using gateway_v2::Instant;

class SealedLink {
  public:
    // The registration's fields as version 1 would send them; id is the MAC text or custom id.
    struct Identity {
        std::string id;
        uint32_t localIP = 0;  // as sent, network order
        uint16_t portStart = 0;
        uint16_t portEnd = 0;  // exclusive
        uint8_t type = 0;
    };

    SealedLink(const noise::KeyPair& keys, const noise::PublicKey& serverPublic,
               Identity identity);

    // A new initiation into out (kInitiationMaxSize bytes): its size, 0 when none can be made.
    // Its timestamp is the wall clock's, and later than the previous initiation's even when
    // the clock is not.
    size_t writeInitiation(uint8_t* out, Instant now);

    enum class Received {
        Established,  // a response opened a new session: send a datagram on it to confirm it
        CookieTaken,  // a cookie reply: the next initiation carries mac2
        Inner,        // a transport datagram opened: *inner, *innerLength
        Dropped,      // nothing of ours (counted by the caller)
    };
    // A datagram of types 32 to 35 from the server; transport datagrams are opened in place.
    Received receive(uint8_t* data, size_t length, Instant now, uint8_t** inner,
                     size_t* innerLength);

    // Seals an inner datagram into out (length + kTransportOverhead bytes): the transport
    // datagram's size, or 0 when no session may send.
    size_t seal(const uint8_t* inner, size_t length, uint8_t* out, Instant now);
    // When the next initiation is due without a registration asking for it: a repeat after a
    // cookie reply, the renewal of the current keys, or a repeat of a renewal that got no
    // response. Instant::max() when none is.
    Instant initiationDue() const;
    bool established() const { return current_.has_value(); }
    // Drops the sessions and whatever was planned for them: the association is lost or moves
    // to another server, which will need a handshake of its own.
    void forget();

    // A cookie reply brings the initiation again after 250 ms, then 500 ms and 1 s; further
    // ones wait for the registration's own back-off.
    static constexpr int kCookieRepeats = 3;
    static constexpr std::chrono::milliseconds kFirstCookiePause{250};

  private:
    gateway_v2::GatewayInitiator initiator_;
    Identity identity_;
    std::optional<gateway_v2::TransportSession> current_;
    std::optional<gateway_v2::TransportSession> previous_;
    uint32_t nextIndex_;
    timespec lastWall_{};  // the clock behind the latest initiation's timestamp
    gateway_datagram_v2::Tai64n lastTimestamp_;
    bool rekeyAsked_ = false;
    bool awaitingResponse_ = false;
    Instant lastInitiationAt_{};
    int cookieRepeats_ = 0;
    std::optional<Instant> cookieRepeatAt_;
};

// --server-public-key's value: the base64 of the key, or a file whose first line that is not
// blank or a comment is. Empty with *error set otherwise.
std::optional<noise::PublicKey> loadServerPublicKey(const std::string& value, std::string* error);
