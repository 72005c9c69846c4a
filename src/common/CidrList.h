// The IPv4 networks that a setting names, as "CIDR[,CIDR...]" (for example the networks of
// the other servers, --peer-networks=10.20.0.0/16,192.0.2.7): parsed once at start with an
// error text that says which item is wrong and why, then asked for each connection whether its
// address belongs to one of them.
//
// Callers: the command line (the option's value) and the proxy listener, which takes a PROXY
// header only from a peer inside the list (both later); the unit tests.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class CidrList {
  public:
    struct Network {
        uint32_t address = 0;  // host order, host bits zero
        uint8_t prefixLength = 0;
    };

    // Items are separated by commas; each is a dotted IPv4 address, optionally followed by
    // "/" and a prefix length from 0 to 32 (a bare address is /32). Host bits beyond the
    // prefix are refused, so a mistyped network is not silently widened or narrowed. On
    // failure, *error (when given) names the item and the reason.
    static std::optional<CidrList> parse(std::string_view text, std::string* error = nullptr);

    // address in network order, as in a sockaddr_in.
    bool contains(in_addr address) const;
    bool empty() const { return networks_.empty(); }
    const std::vector<Network>& networks() const { return networks_; }
    // The list in its canonical text form ("10.0.0.0/8,192.0.2.7/32").
    std::string toString() const;

  private:
    std::vector<Network> networks_;
};
