// Key texts of the server's tables, built on the stack for every datagram.
#include "server/AddressKey.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace {
// Decimal digits of value at out; returns the end. Key text is built for every tunnel
// segment, so this stays clear of the formatted-output machinery.
char* appendDecimal(char* out, unsigned value) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) {
        *out++ = digits[--n];
    }
    return out;
}

// a.b.c.d of an address in network order at out; returns the end.
char* appendDotted(char* out, in_addr address) {
    const uint8_t* a = reinterpret_cast<const uint8_t*>(&address.s_addr);
    for (int i = 0; i < 4; ++i) {
        out = appendDecimal(out, a[i]);
        if (i < 3) {
            *out++ = '.';
        }
    }
    return out;
}
}  // namespace

void formatAddressKey(const sockaddr_in& address, std::string_view deviceIp, uint16_t port,
                      AddressKeyBuffer* out) {
    char* p = appendDotted(out->text, address.sin_addr);
    *p++ = ':';
    p = appendDecimal(p, ntohs(address.sin_port));
    if (!deviceIp.empty()) {
        const size_t n = std::min<size_t>(deviceIp.size(), 127);
        *p++ = '/';
        std::memcpy(p, deviceIp.data(), n);
        p += n;
    }
    if (port != 0) {
        *p++ = '/';
        p = appendDecimal(p, port);
    }
    out->length = static_cast<size_t>(p - out->text);
}

void formatSessionKey(const sockaddr_in& address, in_addr device, uint16_t port,
                      AddressKeyBuffer* out) {
    // The key formatAddressKey makes with the device's dotted text, without formatting it
    // through the C library for every tunnel segment.
    char deviceText[INET_ADDRSTRLEN];
    const size_t n = static_cast<size_t>(appendDotted(deviceText, device) - deviceText);
    formatAddressKey(address, std::string_view(deviceText, n), port, out);
}

std::string addressKeyText(const sockaddr_in& address, std::string_view deviceIp, uint16_t port) {
    AddressKeyBuffer key;
    formatAddressKey(address, deviceIp, port, &key);
    return std::string(key.view());
}

sockaddr_in anyAddress(uint16_t port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return address;
}

uint16_t localPortOf(int socket) {
    sockaddr_in address;
    socklen_t length = sizeof address;
    if (socket < 0 || getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

std::optional<sockaddr_in> parseIpv4Endpoint(std::string_view text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == text.size() ||
        text.size() - colon - 1 > 5) {
        return std::nullopt;
    }
    uint32_t port = 0;
    for (const char c : text.substr(colon + 1)) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (port > 65535 ||
        inet_pton(AF_INET, std::string(text.substr(0, colon)).c_str(), &address.sin_addr) != 1) {
        return std::nullopt;
    }
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

bool parseAddressPort(std::string_view text, sockaddr_in* out) {
    const std::optional<sockaddr_in> address = parseIpv4Endpoint(text);
    if (!address || address->sin_port == 0) {
        return false;
    }
    *out = *address;
    return true;
}
