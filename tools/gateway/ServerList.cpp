// The server list: parsed once at the start, walked when the association is lost.
#include "ServerList.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {
// Socket buffers that hold a few hundred full-size datagrams each way; bulk transfers through
// the tunnel otherwise lose datagrams whenever the loop is busy with the other direction.
constexpr int kSocketBufferBytes = 8 * 1024 * 1024;

void setBuffer(int fd, int forceOption, int option, int bytes) {
    // The forcing variant ignores net.core.[rw]mem_max but needs CAP_NET_ADMIN.
    if (setsockopt(fd, SOL_SOCKET, forceOption, &bytes, sizeof bytes) != 0) {
        setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes);
    }
}

bool parsePort(const char* text, unsigned long* out) {
    if (*text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 1 || value > 65535) {
        return false;
    }
    *out = value;
    return true;
}
}  // namespace

UniqueFd ServerList::openSocket(uint16_t sourcePort, std::string* error) const {
    UniqueFd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!udp.valid()) {
        *error = std::string("cannot create the UDP socket: ") + std::strerror(errno);
        return udp;
    }
    setBuffer(udp.get(), SO_RCVBUFFORCE, SO_RCVBUF, kSocketBufferBytes);
    setBuffer(udp.get(), SO_SNDBUFFORCE, SO_SNDBUF, kSocketBufferBytes);
    if (sourcePort != 0) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(sourcePort);
        if (::bind(udp.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            *error = std::string("cannot bind UDP port ") + std::to_string(sourcePort) + ": " +
                     std::strerror(errno);
            return UniqueFd();
        }
    }
    if (::connect(udp.get(), reinterpret_cast<const sockaddr*>(&current()), sizeof current()) !=
        0) {
        *error = std::string("cannot address the server: ") + std::strerror(errno);
        return UniqueFd();
    }
    return udp;
}

bool ServerList::moveOn(int socket, std::string* error) {
    if (servers_.size() < 2) {
        return false;
    }
    const size_t next = (index_ + 1) % servers_.size();
    // A connected UDP socket may be connected again: from then on it hears only the new server.
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&servers_[next]),
                  sizeof servers_[next]) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    index_ = next;
    return true;
}

std::vector<sockaddr_in> parseServerList(const std::string& text, uint16_t defaultPort,
                                         std::string* error) {
    std::vector<sockaddr_in> servers;
    const auto add = [&servers](sockaddr_in address) {
        for (const sockaddr_in& known : servers) {
            if (known.sin_addr.s_addr == address.sin_addr.s_addr &&
                known.sin_port == address.sin_port) {
                return;
            }
        }
        servers.push_back(address);
    };
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string entry = text.substr(start, comma - start);
        start = comma + 1;
        std::string host = entry;
        unsigned long port = defaultPort;
        const size_t colon = entry.rfind(':');
        if (colon != std::string::npos) {
            host = entry.substr(0, colon);
            if (!parsePort(entry.c_str() + colon + 1, &port)) {
                *error = "not a port (1-65535) in \"" + entry + "\"";
                return {};
            }
        }
        if (host.empty()) {
            *error = "an empty server in \"" + text + "\"";
            return {};
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1) {
            add(address);
            continue;
        }
        if (host.find_first_not_of("0123456789.") == std::string::npos) {
            // The resolver would take "10.0.0" for 10.0.0.0: numbers must be a whole address.
            *error = "not an IPv4 address: " + host;
            return {};
        }
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* found = nullptr;
        const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (status != 0) {
            *error = "cannot resolve \"" + host + "\": " + gai_strerror(status);
            return {};
        }
        for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
            address.sin_addr = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr;
            add(address);
        }
        ::freeaddrinfo(found);
    }
    return servers;
}
