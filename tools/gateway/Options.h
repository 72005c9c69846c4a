// Command line of tamblo-gateway: what the operator configures and how it is checked.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "DestinationPolicy.h"
#include "ServerList.h"
#include "protocol/GatewayDatagram.h"

struct GatewayOptions {
    // The servers in the order of --server: the gateway registers at the first and moves to
    // the next (wrapping round) when its keepalives go unanswered. server and serverPort are
    // the one it uses now.
    std::vector<sockaddr_in> servers;
    in_addr server{};
    uint16_t serverPort = 8300;
    uint16_t sourcePort = 0;  // 0: any free port
    uint8_t mac[gateway_datagram::kMacSize] = {};
    std::string customId;  // empty: the server knows us by our MAC
    in_addr localIp{};     // source of the packets we write towards devices
    uint16_t portStart = 40000;
    uint16_t portEnd = 41000;  // exclusive
    uint8_t type = 0;
    bool encrypt = false;
    // Version 2 (authenticated) registration: our private key file and the server's public
    // key (base64, or a file holding it). Both or neither.
    std::string keyFile;
    std::string serverPublicKey;
    std::string tunName = "tamblo0";
    bool configure = true;
    bool offload = true;              // TUN and UDP offloads where the kernel offers them
    unsigned keepaliveInterval = 60;  // seconds
    std::vector<gateway_ip::Prefix> allowedDestinations;  // --allow-dest; empty: any device
    int verbosity = 0;
};

enum class OptionsOutcome {
    Run,
    Help,   // --help: print usage, exit 0
    Error,  // message says what is wrong: print it, exit 2
};

struct ParsedOptions {
    OptionsOutcome outcome = OptionsOutcome::Error;
    GatewayOptions options;
    std::string message;
};

// Parses argv-style arguments (arguments[0] is the program name).
ParsedOptions parseOptions(const std::vector<std::string>& arguments);

std::string usageText(const char* program);
