// The server's IPv4 socket addresses and the keys of its tables: addresses ordered by their
// bytes, text keys searched with a string_view, and the key texts of gateway addresses and
// tunnel sessions ("a.b.c.d:port", then "/device" and "/port" where given), formatted on the
// stack because they are built for every datagram.
//
// The server object, its gateway port, the gateway registry, the session table and the
// dispatch use them.
#pragma once

#include <netinet/in.h>

#include <boost/functional/hash.hpp>
#include <boost/unordered_map.hpp>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

// "ADDR:PORT": a dotted IPv4 address and a port of at most five digits, 0 to 65535 (the
// metrics endpoint's address); empty for anything else.
std::optional<sockaddr_in> parseIpv4Endpoint(std::string_view text);
// The same with a port from 1 to 65535, as --peer-address and the directory give a server's
// peer address; false for anything else.
bool parseAddressPort(std::string_view text, sockaddr_in* out);

// Orders IPv4 socket addresses by their bytes (family, port, address, zero padding).
struct less_sockaddr_in {
    bool operator()(const sockaddr_in& a, const sockaddr_in& b) const {
        return std::memcmp(&a, &b, sizeof a) < 0;
    }
};

// Hash and equality that let the text-keyed tables be searched with a string_view, so
// the per-datagram lookups build their keys on the stack.
struct TextKeyHash {
    size_t operator()(std::string_view text) const {
        return boost::hash_range(text.begin(), text.end());
    }
};
struct TextKeyEqual {
    bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

template <typename Value>
using TextTable = boost::unordered_map<std::string, Value, boost::hash<std::string>>;
template <typename Value>
using TextMultiTable = boost::unordered_multimap<std::string, Value, boost::hash<std::string>>;

// Address, session and recording session keys are written into one of these on the hot
// paths: "255.255.255.255:65535/" + device text (<= 127) + "/65535".
struct AddressKeyBuffer {
    char text[192];
    size_t length = 0;
    std::string_view view() const { return {text, length}; }
};

// The key of a gateway address (device empty, port 0) or of a session: the address, then
// "/" and the device text (at most 127 bytes) when given, then "/" and port when not 0.
void formatAddressKey(const sockaddr_in& address, std::string_view deviceIp, uint16_t port,
                      AddressKeyBuffer* out);
// The session key of a device address (network order) behind the gateway at address.
void formatSessionKey(const sockaddr_in& address, in_addr device, uint16_t port,
                      AddressKeyBuffer* out);
// The key formatAddressKey makes, as a string.
std::string addressKeyText(const sockaddr_in& address, std::string_view deviceIp = {},
                           uint16_t port = 0);

// INADDR_ANY with the port (host order), the rest zero.
sockaddr_in anyAddress(uint16_t port);
// The local port a socket is bound to, or 0.
uint16_t localPortOf(int socket);
