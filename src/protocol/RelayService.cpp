// The relay service table and the connect target it imposes.
#include "protocol/RelayService.h"

namespace {
constexpr ServiceRule kServices[] = {
    {RelayService::RelayServiceHttpTunnel, "RTSPOVERHTTP", {4646, 8088}, 4646, "127.0.0.1"},
    {RelayService::RelayServiceVerify, "VERIFY", {4848, 4848}, 4848, nullptr},
    {RelayService::RelayServiceRemoteNas, "RNAS", {4080, 4080}, 4080, "127.0.0.1"},
    {RelayService::RelayServiceWebdis, "WEBDIS", {7379, 7379}, 7379, "127.0.0.1"},
};
}  // namespace

const ServiceRule* serviceRule(RelayService service) {
    for (const ServiceRule& rule : kServices) {
        if (rule.service == service) {
            return &rule;
        }
    }
    return nullptr;
}

std::optional<RelayService> serviceByName(std::string_view name) {
    for (const ServiceRule& rule : kServices) {
        if (name == rule.name) {
            return rule.service;
        }
    }
    return std::nullopt;
}

std::optional<RelayService> serviceByPort(uint16_t port) {
    for (const ServiceRule& rule : kServices) {
        if (port == rule.ports[0] || port == rule.ports[1]) {
            return rule.service;
        }
    }
    return std::nullopt;
}

std::optional<RelayService> serviceFromByte(uint8_t value) {
    if (value == static_cast<uint8_t>(RelayService::None)) {
        return RelayService::None;
    }
    for (const ServiceRule& rule : kServices) {
        if (value == static_cast<uint8_t>(rule.service)) {
            return rule.service;
        }
    }
    return std::nullopt;
}

ConnectTarget connectTarget(RelayService service, bool clientTargets, std::string_view address,
                            uint16_t port) {
    ConnectTarget target{std::string(address), port};
    const ServiceRule* rule = clientTargets ? serviceRule(service) : nullptr;
    if (rule != nullptr) {
        target.port = rule->imposedPort;
        if (rule->imposedAddress != nullptr) {
            target.address = rule->imposedAddress;
        }
    }
    return target;
}
