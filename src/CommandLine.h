// The server's command line: four port options, the streams switch and an interface name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Option prefixes; a value must follow the "=".
extern const char* const restPortArg;   // "--rest-port="
extern const char* const gcPortArg;     // "--gc-port="
extern const char* const ctrlPortArg;   // "--ctrl-port="
extern const char* const proxyPortArg;  // "--proxy-port="
inline constexpr std::string_view kEnableStreamsArg = "--enable-streams";

// Settings of the process, written while the command line is read and read-only afterwards.
// Workers inherit them through the fork.
struct ServerSettings {
    bool disableStreams = true;  // workers close stdin, stdout and stderr after the fork
    uint16_t restPort = 8080;    // REST configuration server on 127.0.0.1
    uint16_t gcPort = 8300;      // UDP port of the gateway clients
    uint16_t ctrlPort = 8500;    // control interface
    uint16_t proxyPort = 1443;   // proxied client connections
    std::string interfaceName;   // gateway socket bound to this interface's IPv4 address
};

// True when the argument is strictly longer than the prefix and starts with it.
bool argumentMatches(std::string_view argument, std::string_view prefix);
// The text after the prefix.
std::string_view getArgumentValue(std::string_view argument, std::string_view prefix);
// atoi-like conversion kept to its low 16 bits ("70000" gives 4464, letters give 0).
uint16_t portValue(std::string_view text);

// Classifies every argument in order; later ones overwrite earlier ones. Logs the
// streams switch and every interface name as they are met.
ServerSettings parseCommandLine(const std::vector<std::string>& arguments);
