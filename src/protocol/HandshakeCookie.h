// Return routability for the version 2 handshake, as WireGuard builds it: mac1 and mac2 on
// every handshake message, and the cookie reply that a responder under load sends instead of
// doing a key agreement.
//
//   mac1 = MAC(HASH("mac1----" || Spub), message up to mac1)
//   mac2 = MAC(cookie, message up to mac2), or 16 zero bytes when the sender has no cookie
//   cookie = MAC(secret, source IPv4 (4) || source port (2, big-endian)),
//            the secret random and replaced every COOKIE_REFRESH_TIME
//   cookie reply = AEAD(HASH("cookie--" || Spub), random nonce, cookie, ad = the mac1 of the
//                  message it answers)
// with MAC the keyed BLAKE2s-128, HASH BLAKE2s-256 and Spub the receiving side's static public
// key (the server's for an initiation, the gateway's for a response). Only a party that knows
// Spub can make a valid mac1, so the server checks it before anything costly; mac2 proves that
// the sender receives datagrams at its source address.
//
// The cookie reply's AEAD: WireGuard uses XChaCha20-Poly1305 with a random 192-bit nonce;
// OpenSSL has no XChaCha, so this is ChaCha20-Poly1305 with a random 96-bit nonce and the same
// key derivation and associated data. That is sound here: the key, derived from a public key
// that every gateway knows, hides the cookie only from those who do not know Spub, and what
// the AEAD must guarantee is that a reply is bound to the initiation it answers (the mac1 as
// associated data). A repeated nonce needs about 2^48 replies under the one key of a server
// (2^-33 after 2^32 replies), and even then only lets a party who saw both replies forge a
// reply to one of those initiations, which an on-path party can disturb anyway by dropping it.
//
// Pure classes: the server decides when it is under load and calls CookieChecker; the
// gateway's side of the handshake uses CookieGenerator. Time is handed in.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "protocol/GatewayProtocolV2.h"
#include "protocol/NoiseCrypto.h"

namespace gateway_v2 {

// The receiving side: checks the macs of messages sent to it, and answers with cookies.
class CookieChecker {
  public:
    explicit CookieChecker(const noise::PublicKey& ownStaticPublic);

    // message: the whole handshake datagram, macs included (at least 32 bytes + header).
    bool checkMac1(const uint8_t* message, size_t length) const;
    // True when mac2 is the MAC of the cookie that this source holds now.
    bool checkMac2(const uint8_t* message, size_t length, const sockaddr_in& source, Instant now);
    // The cookie reply for a message whose mac1 was valid, to its sender index; 52 bytes in
    // out. False when randomness fails.
    bool makeReply(const uint8_t* message, size_t length, uint32_t senderIndex,
                   const sockaddr_in& source, Instant now, uint8_t* out);

  private:
    bool cookieFor(const sockaddr_in& source, Instant now, uint8_t cookie[noise::kMacLen]);

    noise::Secret<noise::kHashLen> mac1Key_;
    noise::Aead cookieAead_;
    noise::Secret<noise::kHashLen> secret_;
    Instant secretBorn_{};
    bool haveSecret_ = false;
};

// The sending side: writes the macs of messages to one peer, and takes the cookies it sends.
class CookieGenerator {
  public:
    explicit CookieGenerator(const noise::PublicKey& peerStaticPublic);

    // Fills the last 32 bytes of message with mac1 and mac2; mac2 is zero without a cookie
    // younger than COOKIE_REFRESH_TIME. Remembers mac1 for the reply that may answer it.
    void addMacs(uint8_t* message, size_t length, Instant now);
    // Takes the cookie of a reply to the last message sent; false when it does not open.
    bool consumeReply(const uint8_t* reply, size_t length, Instant now);
    bool hasCookie(Instant now) const;

  private:
    noise::Secret<noise::kHashLen> mac1Key_;
    noise::Aead cookieAead_;
    noise::Secret<noise::kMacLen> cookie_;
    Instant cookieBorn_{};
    bool haveCookie_ = false;
    uint8_t lastMac1_[noise::kMacLen] = {};
    bool haveLastMac1_ = false;
};

}  // namespace gateway_v2
