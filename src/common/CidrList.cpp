// Parsing and matching of IPv4 network lists.
#include "common/CidrList.h"

#include <arpa/inet.h>

namespace {

uint32_t maskOf(uint8_t prefixLength) {
    return prefixLength == 0 ? 0 : ~uint32_t{0} << (32 - prefixLength);
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string dotted(uint32_t hostOrder) {
    in_addr address{htonl(hostOrder)};
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

bool fail(std::string* error, std::string_view item, const std::string& reason) {
    if (error != nullptr) {
        *error = "\"" + std::string(item) + "\": " + reason;
    }
    return false;
}

bool parseItem(std::string_view item, CidrList::Network* out, std::string* error) {
    if (item.empty()) {
        return fail(error, item, "empty item (two commas, or a comma at an end)");
    }
    const size_t slash = item.find('/');
    const std::string addressText(item.substr(0, slash));
    in_addr address{};
    if (inet_pton(AF_INET, addressText.c_str(), &address) != 1) {
        return fail(error, item, "\"" + addressText + "\" is not a dotted IPv4 address");
    }
    unsigned prefixLength = 32;
    if (slash != std::string_view::npos) {
        const std::string_view digits = item.substr(slash + 1);
        prefixLength = 0;
        bool valid = !digits.empty() && digits.size() <= 2;
        for (const char c : digits) {
            valid = valid && c >= '0' && c <= '9';
            prefixLength = prefixLength * 10 + static_cast<unsigned>(c - '0');
        }
        if (!valid || prefixLength > 32) {
            return fail(error, item, "the prefix length must be a number from 0 to 32");
        }
    }
    const uint32_t host = ntohl(address.s_addr);
    const uint32_t mask = maskOf(static_cast<uint8_t>(prefixLength));
    if ((host & ~mask) != 0) {
        return fail(error, item,
                    "host bits are set beyond the prefix (the network is " + dotted(host & mask) +
                        "/" + std::to_string(prefixLength) + ")");
    }
    out->address = host;
    out->prefixLength = static_cast<uint8_t>(prefixLength);
    return true;
}

}  // namespace

std::optional<CidrList> CidrList::parse(std::string_view text, std::string* error) {
    CidrList list;
    if (trimmed(text).empty()) {
        fail(error, text, "no network given");
        return std::nullopt;
    }
    while (true) {
        const size_t comma = text.find(',');
        Network network;
        if (!parseItem(trimmed(text.substr(0, comma)), &network, error)) {
            return std::nullopt;
        }
        list.networks_.push_back(network);
        if (comma == std::string_view::npos) {
            return list;
        }
        text.remove_prefix(comma + 1);
    }
}

bool CidrList::contains(in_addr address) const {
    const uint32_t host = ntohl(address.s_addr);
    for (const Network& network : networks_) {
        if ((host & maskOf(network.prefixLength)) == network.address) {
            return true;
        }
    }
    return false;
}

std::string CidrList::toString() const {
    std::string out;
    for (const Network& network : networks_) {
        if (!out.empty()) {
            out += ',';
        }
        out += dotted(network.address) + "/" + std::to_string(network.prefixLength);
    }
    return out;
}
