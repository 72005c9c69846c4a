// The PROXY protocol version 2 header (HAProxy's binary form) that one server puts before the
// bytes of a client connection it forwards to the server holding the client's gateway: the one
// place where that header is encoded and decoded.
//
//    0                                 12        13        14        16
//   +---------------------------------+---------+---------+---------+-------------------------+
//   | signature (12)                  | version | family  | length  | addresses, then TLVs    |
//   | 0D 0A 0D 0A 00 0D 0A 51 55 49   | 0x2 <<4 | <<4 |   | (2, big | (length bytes)          |
//   | 54 0A                           | command | protocol| endian) |                         |
//   +---------------------------------+---------+---------+---------+-------------------------+
//   command: 0 LOCAL (the sender's own connection: addresses ignored), 1 PROXY.
//   family: 0 unspecified, 1 IPv4, 2 IPv6, 3 unix; protocol: 0 unspecified, 1 stream, 2 dgram.
//
//   IPv4 addresses (12 bytes), network order:
//   +-----------------+-----------------+-------------+-------------+
//   | source addr (4) | dest. addr (4)  | src port (2)| dst port (2)|
//   +-----------------+-----------------+-------------+-------------+
//   IPv6 addresses take 36 bytes and unix addresses 216; TLVs follow the addresses, each a type
//   (1), a length (2, big endian) and that many value bytes, and are skipped.
//
// The server forwards TCP connections of IPv4 clients only, so a PROXY command is taken for use
// only with IPv4 and stream; the other families are recognised and reported as unsupported. A
// header is at most kMaxHeaderSize bytes: our own peers send 28, and a reader never has to
// hold more than that before it can decide.
//
// Callers: the proxy listener's reader of forwarded connections and the worker that forwards a
// client (both later); the fuzz target and the unit tests.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

namespace proxy_header {

constexpr uint8_t kSignature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                    0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr size_t kSignatureSize = sizeof kSignature;
constexpr size_t kVersionCommandOffset = 12;
constexpr size_t kFamilyOffset = 13;
constexpr size_t kLengthOffset = 14;
constexpr size_t kFixedSize = 16;  // everything before the addresses

constexpr uint8_t kVersion = 0x2;
constexpr uint8_t kCommandLocal = 0x0;
constexpr uint8_t kCommandProxy = 0x1;
constexpr uint8_t kFamilyUnspecified = 0x0;
constexpr uint8_t kFamilyInet = 0x1;
constexpr uint8_t kFamilyInet6 = 0x2;
constexpr uint8_t kFamilyUnix = 0x3;
constexpr uint8_t kProtocolStream = 0x1;
constexpr uint8_t kProtocolDgram = 0x2;

// Address blocks by family.
constexpr size_t kInetAddressSize = 12;
constexpr size_t kInet6AddressSize = 36;
constexpr size_t kUnixAddressSize = 216;
constexpr size_t kInetSourceOffset = 0;
constexpr size_t kInetDestinationOffset = 4;
constexpr size_t kInetSourcePortOffset = 8;
constexpr size_t kInetDestinationPortOffset = 10;

constexpr size_t kTlvHeaderSize = 3;  // type (1), length (2)

// What a reader holds at most: the fixed part, unix addresses and some TLVs.
constexpr size_t kMaxHeaderSize = 536;
constexpr size_t kInetHeaderSize = kFixedSize + kInetAddressSize;  // what encode writes
constexpr size_t kLocalHeaderSize = kFixedSize;

enum class Status {
    Ok,           // a whole header: *out and *consumed are set
    NeedMore,     // a prefix of a header that may still become valid: read more bytes
    NotProxy,     // the bytes do not start with the signature
    Malformed,    // a bad version or command, an address block or TLV cut by the length
    TooLong,      // the length announces more than kMaxHeaderSize bytes in all
    Unsupported,  // a well-formed PROXY command for another family or protocol than IPv4 TCP
};

struct Header {
    bool local = false;         // LOCAL: the sender's own connection, no client addresses
    sockaddr_in source{};       // the client (PROXY only)
    sockaddr_in destination{};  // where the client connected (PROXY only)
};

// Decodes the header at the start of the `length` bytes received so far. On Ok, *consumed is
// the header's size (the client's bytes follow it). Reads nothing past data + length.
Status decode(const uint8_t* data, size_t length, Header* out, size_t* consumed);

// Writes a PROXY header for an IPv4 TCP connection (kInetHeaderSize bytes), or a LOCAL one
// (kLocalHeaderSize bytes) when header.local is set; returns the number of bytes written. out
// must hold kInetHeaderSize bytes.
size_t encode(const Header& header, uint8_t* out);

const char* statusText(Status status);

}  // namespace proxy_header
