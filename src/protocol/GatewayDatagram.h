// The gateway datagram protocol on the wire: message types, layouts, and the one place
// where datagrams are decoded and encoded. All multi-byte fields are big-endian.
//
// TAMBLO_MT_CONNECT (16) / TAMBLO_MT_CONNECTTLS (20), client -> server:
//
//    0      1             7           11          13         15     16            48   49
//   +------+-------------+-----------+-----------+----------+------+-------------+----+------+
//   | type | MAC (6)     | local IP  | port from | port end | gw   | public key  | N  | id   |
//   |      |             | (4, kept  | (2)       | (2, excl)| type | (32, TLS    |    | (N)  |
//   |      |             |  as sent) |           |          | (1)  |  only)      |    |      |
//   +------+-------------+-----------+-----------+----------+------+-------------+----+------+
//   minimum 16 bytes (CONNECT) / 48 bytes (CONNECTTLS); N and the id are present when the
//   datagram is longer than 48 bytes.
//
// TAMBLO_MT_KEEPALIVE (18), client -> server:   type | MAC (6) | [N | id (N)]
// TAMBLO_MT_ACCEPT (17) and TAMBLO_MT_KEEPALIVERESP (19), server -> client: the type byte.
// TAMBLO_MT_ACCEPTTLS (21), server -> client: type | server public key (32).
// TAMBLO_MT_ENCRYPTED (252), both: type | envelope of a whole datagram (encryption.h).
// TAMBLO_MT_TCPOVERUDP (255), both: type | device IPv4 (4) | TCP segment (no IP header);
//   offsets 5 and 7 hold the segment's source and destination ports.
// Any other first byte: a channel datagram, first byte = channel id, then its payload.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

enum TambloMessageType : uint8_t {
    TAMBLO_MT_CONNECT = 16,
    TAMBLO_MT_ACCEPT = 17,
    TAMBLO_MT_KEEPALIVE = 18,
    TAMBLO_MT_KEEPALIVERESP = 19,
    TAMBLO_MT_CONNECTTLS = 20,
    TAMBLO_MT_ACCEPTTLS = 21,
    TAMBLO_MT_ENCRYPTED = 252,
    TAMBLO_MT_TCPOVERUDP = 255,
};

namespace gateway_datagram {

constexpr size_t kMaxDatagramSize = 4096;  // longer datagrams arrive cut to this size
constexpr size_t kMacSize = 6;
constexpr size_t kPublicKeySize = 32;

// Registration.
constexpr size_t kMacOffset = 1;
constexpr size_t kLocalIpOffset = 7;
constexpr size_t kPortStartOffset = 11;
constexpr size_t kPortEndOffset = 13;
constexpr size_t kTypeOffset = 15;
constexpr size_t kPublicKeyOffset = 16;
constexpr size_t kCustomIdLengthOffset = 48;
constexpr size_t kCustomIdOffset = 49;
constexpr size_t kConnectMinSize = 16;
constexpr size_t kConnectTlsMinSize = 48;

// Keepalive.
constexpr size_t kKeepaliveMinSize = 7;
constexpr size_t kKeepaliveIdLengthOffset = 7;
constexpr size_t kKeepaliveIdOffset = 8;

// Tunnel segment.
constexpr size_t kDeviceAddressOffset = 1;
constexpr size_t kSegmentOffset = 5;
constexpr size_t kDestinationPortOffset = 7;
constexpr size_t kTunnelSegmentMinSize = 9;  // up to and including the destination port

constexpr size_t kAcceptTlsSize = 1 + kPublicKeySize;

// Six MAC bytes as "0A:1B:2C:3D:4E:5F", the default key of a gateway client.
struct MacKey {
    char text[17];
    std::string_view view() const { return {text, sizeof text}; }
};
MacKey formatMacKey(const uint8_t* mac);

enum class ParseStatus {
    Ok,
    TooShort,         // shorter than the fixed part of its type
    CustomIdOverrun,  // the custom id length runs past the end of the datagram
};

struct Registration {
    bool withKey = false;
    const uint8_t* mac = nullptr;  // 6 bytes inside the datagram
    uint32_t localIP = 0;          // the 4 bytes as sent, byte order untouched
    uint16_t localPortStart = 0;   // host order
    uint16_t localPortEnd = 0;     // host order, exclusive
    uint8_t type = 0;
    const uint8_t* publicKey = nullptr;  // 32 bytes inside the datagram, CONNECTTLS only
    bool hasCustomIdLength = false;      // the datagram is longer than 48 bytes
    uint8_t customIdLength = 0;
    std::string_view customId;  // empty when N is 0 or absent
};
ParseStatus parseRegistration(const uint8_t* data, size_t length, bool withKey, Registration* out);

struct Keepalive {
    const uint8_t* mac = nullptr;
    uint8_t customIdLength = 0;
    std::string_view customId;
};
ParseStatus parseKeepalive(const uint8_t* data, size_t length, Keepalive* out);

struct TunnelSegmentRoute {
    in_addr device{};           // network order, as sent
    uint16_t localPort = 0;     // the segment's destination port, host order
    uint16_t rawPortField = 0;  // the two port bytes read in host order (for tracing)
};
// False for datagrams too short to name a session.
bool parseTunnelSegmentRoute(const uint8_t* data, size_t length, TunnelSegmentRoute* out);

// Encoders used by the server's answers and by the clients that the tools and tests play.
// Each returns the number of bytes written; out must hold the maximum of its kind.
size_t encodeAcceptTls(const uint8_t* serverPublicKey, uint8_t* out);

struct RegistrationFields {
    uint8_t mac[kMacSize] = {};
    uint32_t localIP = 0;  // written as is
    uint16_t localPortStart = 0;
    uint16_t localPortEnd = 0;
    uint8_t type = 0;
    const uint8_t* publicKey = nullptr;  // set: CONNECTTLS
    std::string_view customId;           // set: the id length and id are appended
};
constexpr size_t kRegistrationMaxSize = kCustomIdOffset + 255;
size_t encodeRegistration(const RegistrationFields& fields, uint8_t* out);

constexpr size_t kKeepaliveMaxSize = kKeepaliveIdOffset + 255;
size_t encodeKeepalive(const uint8_t* mac, std::string_view customId, uint8_t* out);

}  // namespace gateway_datagram
