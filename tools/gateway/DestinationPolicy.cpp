// The destinations tamblo-gateway refuses, and the operator's allowed prefixes.
#include "DestinationPolicy.h"

#include <arpa/inet.h>
#include <ifaddrs.h>

#include <algorithm>
#include <cstdlib>

namespace gateway_ip {

namespace {
// Never a device: loopback, "this network", multicast and the reserved block above it.
constexpr Prefix kRefused[] = {
    {0x7F000000, 0xFF000000},  // 127.0.0.0/8
    {0x00000000, 0xFF000000},  // 0.0.0.0/8
    {0xE0000000, 0xE0000000},  // 224.0.0.0/3: multicast, reserved, 255.255.255.255
};
}  // namespace

bool parsePrefix(const std::string& text, Prefix* out) {
    const size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    unsigned long length = 32;
    if (slash != std::string::npos) {
        const std::string digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 2 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        length = std::strtoul(digits.c_str(), nullptr, 10);
        if (length > 32) {
            return false;
        }
    }
    in_addr parsed;
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        return false;
    }
    const uint32_t mask = length == 0 ? 0 : ~uint32_t{0} << (32 - length);
    const uint32_t network = ntohl(parsed.s_addr);
    if ((network & ~mask) != 0) {
        return false;  // host bits set: most likely not what the operator meant
    }
    *out = Prefix{network, mask};
    return true;
}

DestinationPolicy::DestinationPolicy(std::vector<Prefix> allowed) : allowed_(std::move(allowed)) {}

void DestinationPolicy::refuse(uint32_t address) {
    own_.push_back(address);
}

void DestinationPolicy::refuseInterfaceBroadcasts() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            entry->ifa_netmask == nullptr) {
            continue;
        }
        // Computed from address and mask: the kernel's own field is absent or means the
        // peer on some links. Networks of /31 and /32 have no broadcast address.
        const uint32_t address =
            ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
        const uint32_t mask =
            ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
        if (~mask > 1) {
            refuse(htonl(address | ~mask));
        }
    }
    freeifaddrs(list);
}

bool DestinationPolicy::allows(uint32_t destination) const {
    const uint32_t host = ntohl(destination);
    for (const Prefix& refused : kRefused) {
        if (refused.contains(host)) {
            return false;
        }
    }
    if (std::find(own_.begin(), own_.end(), destination) != own_.end()) {
        return false;
    }
    if (allowed_.empty()) {
        return true;
    }
    return std::any_of(allowed_.begin(), allowed_.end(),
                       [host](const Prefix& prefix) { return prefix.contains(host); });
}

}  // namespace gateway_ip
