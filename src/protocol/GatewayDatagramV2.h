// The authenticated gateway datagrams (registration and transport of version 2) on the wire:
// their type bytes, layouts, and the one place where they are decoded and encoded, bounded
// by the bytes actually received. Multi-byte fields are big-endian, as in every datagram of
// this system; inside the AEAD, Noise's nonce is little-endian by its own definition, which
// never shows on the wire. Used by GatewayHandshake, HandshakeCookie and NoiseTransport, and
// by tamblo-gateway and the tests that play gateways.
//
// Type bytes 32 to 35. They cannot collide: channel ids are handed out only from 128 to 193,
// today's types are 16 to 21, 252 and 255, and 32..35 are neither. A server that does not
// know them takes them for channel datagrams from an unregistered address and drops them.
// The three reserved bytes after the type are zero; a datagram with anything else there is
// refused, so that a later version can put a meaning there without being misread.
//
// Handshake initiation (32), gateway -> server; P = 22 + N (the payload below):
//
//    0      1          4        8           40              88              88+P+16
//   +------+----------+--------+-----------+---------------+---------------+------+------+
//   | 32   | reserved | sender | ephemeral | static key,   | payload,      | mac1 | mac2 |
//   |      | 0 0 0    | index  | key (32)  | sealed (48)   | sealed (P+16) | (16) | (16) |
//   +------+----------+--------+-----------+---------------+---------------+------+------+
//   bytes 8 .. 88+P+16 are Noise IK's first message "-> e, es, s, ss" with the payload.
//
//   payload (sealed inside):
//    0        12         16          18         20       21    22
//   +--------+----------+-----------+----------+--------+-----+---------+
//   | TAI64N | local IP | port from | port end | gw     | N   | id (N)  |
//   | (12)   | (4, kept | (2)       | (2, excl)| type   | (1) | 1..255  |
//   |        |  as sent)|           |          | (1)    |     |         |
//   +--------+----------+-----------+----------+--------+-----+---------+
//   the id is the gateway's key as the server names it (its MAC text or its custom id); the
//   TAI64N timestamp grows with every initiation of one gateway key.
//
// Handshake response (33), server -> gateway; P = 0 from this server:
//
//    0      1          4        8          12          44              44+P+16
//   +------+----------+--------+----------+-----------+---------------+------+------+
//   | 33   | reserved | sender | receiver | ephemeral | payload,      | mac1 | mac2 |
//   |      | 0 0 0    | index  | index    | key (32)  | sealed (P+16) | (16) | (16) |
//   +------+----------+--------+----------+-----------+---------------+------+------+
//   bytes 12 .. 44+P+16 are Noise IK's second message "<- e, ee, se".
//
// Cookie reply (34), server -> gateway, 52 bytes:
//
//    0      1          4          8            20
//   +------+----------+----------+------------+------------------------+
//   | 34   | reserved | receiver | nonce (12, | cookie, sealed (16+16) |
//   |      | 0 0 0    | index    | random)    |                        |
//   +------+----------+----------+------------+------------------------+
//
// Transport data (35), both ways:
//
//    0      1          4          8                 16
//   +------+----------+----------+-----------------+-------------------------------+
//   | 35   | reserved | receiver | counter (8, the | inner datagram, sealed (n+16) |
//   |      | 0 0 0    | index    | AEAD nonce)     |                               |
//   +------+----------+----------+-----------------+-------------------------------+
//   the inner datagram is one of the version 1 datagrams: a tunnel segment (255), a channel
//   datagram, a keepalive (18) or its answer (19).
//
// mac1 covers every byte before it, mac2 every byte before it (mac1 included).
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/GatewayDatagram.h"
#include "protocol/NoiseCrypto.h"
#include "protocol/NoiseHandshake.h"

enum TambloV2MessageType : uint8_t {
    TAMBLO_MT_HANDSHAKE_INITIATION = 32,
    TAMBLO_MT_HANDSHAKE_RESPONSE = 33,
    TAMBLO_MT_COOKIE_REPLY = 34,
    TAMBLO_MT_TRANSPORT = 35,
};

namespace gateway_datagram_v2 {

constexpr uint8_t kFirstChannelId = 128;
constexpr uint8_t kLastChannelId = 193;
constexpr bool isV2Type(uint8_t type) {
    return type >= TAMBLO_MT_HANDSHAKE_INITIATION && type <= TAMBLO_MT_TRANSPORT;
}
static_assert(TAMBLO_MT_TRANSPORT < kFirstChannelId, "v2 types must never be channel ids");
static_assert(!isV2Type(TAMBLO_MT_CONNECT) && !isV2Type(TAMBLO_MT_ACCEPT) &&
                  !isV2Type(TAMBLO_MT_KEEPALIVE) && !isV2Type(TAMBLO_MT_KEEPALIVERESP) &&
                  !isV2Type(TAMBLO_MT_CONNECTTLS) && !isV2Type(TAMBLO_MT_ACCEPTTLS) &&
                  !isV2Type(TAMBLO_MT_ENCRYPTED) && !isV2Type(TAMBLO_MT_TCPOVERUDP),
              "v2 types must differ from the version 1 types");

constexpr size_t kIndexSize = 4;
constexpr size_t kCounterSize = 8;
constexpr size_t kMacSize = noise::kMacLen;
constexpr size_t kMacsSize = 2 * kMacSize;
constexpr size_t kTai64nSize = 12;

// Every message: type, reserved.
constexpr size_t kReservedOffset = 1;
constexpr size_t kReservedSize = 3;

// Initiation payload.
constexpr size_t kPayloadTimestampOffset = 0;
constexpr size_t kPayloadLocalIpOffset = 12;
constexpr size_t kPayloadPortStartOffset = 16;
constexpr size_t kPayloadPortEndOffset = 18;
constexpr size_t kPayloadTypeOffset = 20;
constexpr size_t kPayloadIdLengthOffset = 21;
constexpr size_t kPayloadIdOffset = 22;
constexpr size_t kMaxIdLength = 255;
constexpr size_t kInitiationPayloadMinSize = kPayloadIdOffset + 1;
constexpr size_t kInitiationPayloadMaxSize = kPayloadIdOffset + kMaxIdLength;

// Initiation.
constexpr size_t kInitiationSenderOffset = 4;
constexpr size_t kInitiationNoiseOffset = 8;
constexpr size_t kInitiationMinSize =
    kInitiationNoiseOffset + noise::kIkMessage1Overhead + kInitiationPayloadMinSize + kMacsSize;
constexpr size_t kInitiationMaxSize =
    kInitiationNoiseOffset + noise::kIkMessage1Overhead + kInitiationPayloadMaxSize + kMacsSize;
static_assert(kInitiationMinSize == 159 && kInitiationMaxSize == 413);

// Response.
constexpr size_t kResponseSenderOffset = 4;
constexpr size_t kResponseReceiverOffset = 8;
constexpr size_t kResponseNoiseOffset = 12;
constexpr size_t kMaxResponsePayload = 64;
constexpr size_t kResponseMinSize = kResponseNoiseOffset + noise::kIkMessage2Overhead + kMacsSize;
constexpr size_t kResponseMaxSize = kResponseMinSize + kMaxResponsePayload;
static_assert(kResponseMinSize == 92);

// Cookie reply.
constexpr size_t kCookieReceiverOffset = 4;
constexpr size_t kCookieNonceOffset = 8;
constexpr size_t kCookieNonceSize = noise::kAeadNonceLen;
constexpr size_t kCookieSealedOffset = 20;
constexpr size_t kCookieSize = noise::kMacLen;
constexpr size_t kCookieReplySize = kCookieSealedOffset + kCookieSize + noise::kTagLen;
static_assert(kCookieReplySize == 52);

// Transport data.
constexpr size_t kTransportReceiverOffset = 4;
constexpr size_t kTransportCounterOffset = 8;
constexpr size_t kTransportSealedOffset = 16;
constexpr size_t kTransportOverhead = kTransportSealedOffset + noise::kTagLen;
constexpr size_t kTransportMaxSize = gateway_datagram::kMaxDatagramSize;
constexpr size_t kMaxInnerSize = kTransportMaxSize - kTransportOverhead;

enum class DecodeStatus {
    Ok,
    WrongType,
    ReservedNotZero,
    TooShort,
    TooLong,
};

// Handshake messages: the Noise message between the header and the macs.
struct HandshakeView {
    uint32_t senderIndex = 0;
    uint32_t receiverIndex = 0;  // response only
    noise::ByteView noiseMessage;
    const uint8_t* mac1 = nullptr;
    const uint8_t* mac2 = nullptr;
};
DecodeStatus decodeInitiation(const uint8_t* data, size_t length, HandshakeView* out);
DecodeStatus decodeResponse(const uint8_t* data, size_t length, HandshakeView* out);

struct CookieReplyView {
    uint32_t receiverIndex = 0;
    const uint8_t* nonce = nullptr;  // 12 bytes
    noise::ByteView sealedCookie;    // 32 bytes
};
DecodeStatus decodeCookieReply(const uint8_t* data, size_t length, CookieReplyView* out);

struct TransportView {
    uint32_t receiverIndex = 0;
    uint64_t counter = 0;
    noise::ByteView sealed;  // the inner datagram and its tag
};
DecodeStatus decodeTransport(const uint8_t* data, size_t length, TransportView* out);

// The header of each kind; the caller writes the Noise message (or the sealed bytes) at the
// kind's offset and, for handshakes, the macs behind it (HandshakeCookie).
void writeInitiationHeader(uint32_t senderIndex, uint8_t* out);
void writeResponseHeader(uint32_t senderIndex, uint32_t receiverIndex, uint8_t* out);
void writeTransportHeader(uint32_t receiverIndex, uint64_t counter, uint8_t* out);
void writeCookieReplyHeader(uint32_t receiverIndex, const uint8_t* nonce, uint8_t* out);

// TAI64N: 8 bytes of 2^62 + 10 + seconds of the Unix time, 4 bytes of nanoseconds, both
// big-endian, so that a bytewise comparison orders them. The nanoseconds are rounded down to
// a multiple of 2^24 (about 16.8 ms), as WireGuard does, so that the timestamp does not
// tell the gateway's clock to the nanosecond.
struct Tai64n {
    uint8_t bytes[kTai64nSize] = {};
};
Tai64n tai64nFromTime(const timespec& time);
// True when a is later than b.
bool tai64nAfter(const Tai64n& a, const Tai64n& b);

struct InitiationPayload {
    Tai64n timestamp;
    uint32_t localIP = 0;  // the 4 bytes as sent, byte order untouched
    uint16_t localPortStart = 0;
    uint16_t localPortEnd = 0;  // exclusive
    uint8_t gatewayType = 0;
    std::string_view id;  // 1 to 255 bytes
};
enum class PayloadStatus { Ok, TooShort, IdEmpty, IdOverrun, TrailingBytes };
PayloadStatus decodeInitiationPayload(const uint8_t* data, size_t length, InitiationPayload* out);
// Returns the bytes written (out holds kInitiationPayloadMaxSize), 0 when the id is empty or
// longer than 255 bytes.
size_t encodeInitiationPayload(const InitiationPayload& payload, uint8_t* out);

}  // namespace gateway_datagram_v2
