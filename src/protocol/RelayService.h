// The relay services a client may choose (SERVICE, DST_PORT) and what each imposes on the
// connection: one table, read by the worker's intake to recognise a choice and by the parent,
// which alone decides where a connection goes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum class RelayService : uint8_t {
    None = 0,
    RelayServiceHttpTunnel = 1,
    RelayServiceVerify = 2,
    RelayServiceRemoteNas = 3,
    RelayServiceWebdis = 4,
};

struct ServiceRule {
    RelayService service;
    const char* name;   // the SERVICE value, exact and case-sensitive
    uint16_t ports[2];  // DST_PORT values that choose it
    uint16_t imposedPort;
    const char* imposedAddress;  // nullptr: the looked-up device address stays
};

// The rule of a service; nullptr for None.
const ServiceRule* serviceRule(RelayService service);
// The service a SERVICE name or a DST_PORT value chooses, if any.
std::optional<RelayService> serviceByName(std::string_view name);
std::optional<RelayService> serviceByPort(uint16_t port);
// A service value received from a worker: nothing for values that name no service.
std::optional<RelayService> serviceFromByte(uint8_t value);

// Where a connection to a looked-up device goes under the client's service choice. With
// client-chosen services turned off (clientTargets false) the device is the target.
struct ConnectTarget {
    std::string address;
    uint16_t port = 0;
};
ConnectTarget connectTarget(RelayService service, bool clientTargets, std::string_view address,
                            uint16_t port);
