// The server's command line: port options, the streams switch, the limits that keep the
// server's state bounded, text options and an interface name. Read once by the entry point.
// Every option is a row of one of the option tables below; the usage text (--help) is made
// from the same tables, so an option appears there as soon as its row exists.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Option prefixes; a value must follow the "=".
extern const char* const restPortArg;   // "--rest-port="
extern const char* const gcPortArg;     // "--gc-port="
extern const char* const ctrlPortArg;   // "--ctrl-port="
extern const char* const proxyPortArg;  // "--proxy-port="
inline constexpr std::string_view kEnableStreamsArg = "--enable-streams";
inline constexpr std::string_view kHelpArg = "--help";
inline constexpr std::string_view kVersionArg = "--version";
inline constexpr std::string_view kLogConfigArg = "--log-config=";

// Settings of the process, written while the command line is read and read-only afterwards.
// The worker zygote reads the same command line for its workers.
struct ServerSettings {
    bool disableStreams = true;  // workers close stdin, stdout and stderr after the fork
    uint16_t restPort = 8080;    // REST configuration server on 127.0.0.1
    uint16_t gcPort = 8300;      // UDP port of the gateway clients
    uint16_t ctrlPort = 8500;    // control interface
    uint16_t proxyPort = 1443;   // proxied client connections
    std::string interfaceName;   // gateway socket bound to this interface's IPv4 address

    // Limits against floods. A registration over a gateway limit, and a connection over a
    // worker limit, is dropped before it costs memory or a fork.
    uint32_t maxGateways = 100000;          // registered gateway clients in all
    uint32_t maxGatewaysPerAddress = 1024;  // registered from one public IPv4 address
    uint32_t keyAgreementsPerSecond = 50;   // keyed registrations per source address
    uint32_t keyAgreementsTotal = 2000;     // keyed registrations a second from all sources
    uint32_t maxWorkers = 4096;             // live worker processes in all
    uint32_t maxWorkersPerAddress = 64;     // live proxy workers for one client address
    uint32_t requestHeadTimeout = 10;       // seconds a proxy worker waits for relay options
    // Proxy connections the parent holds until they send their first bytes; the oldest is
    // closed to make room. Each also waits at most requestHeadTimeout seconds.
    uint32_t maxWaitingConnections = 1024;
    uint32_t maxControlConnections = 256;  // open control connections; more are refused
    uint32_t controlIdleTimeout = 60;      // seconds a control connection without a running
                                           // recording may stay silent
    // Proxy workers forked ahead of need, each waiting for the next client's socket: a
    // connection then costs no fork before its first byte (one process per connection all
    // the same).
    uint32_t spareWorkers = 1;

    // Text options; empty means the default behaviour described in their table row.
    std::string metricsAddress;  // ADDR:PORT of the metrics endpoint; empty: no endpoint
    std::string logConfig;       // logging configuration file; empty: searched for

    // Recording security. Both empty by default: the control listener takes connections on
    // every address, and a START may name any file the server can write.
    std::string ctrlAddress;    // IPv4 address the control listener is bound to
    std::string recordingsDir;  // absolute and canonical: output files are kept inside it
    // RTSP recordings as fragmented mp4/3gp, which play up to their last fragment when the
    // worker is cut short. Off: the plain layout, whose index is written only at the end.
    bool recordingFragments = true;

    // Confinement of workers (see WorkerSandbox.h).
    uint32_t workerMemoryMiB = 64;  // address space a worker may add to what it inherits
    uint32_t workerOpenFiles = 64;  // descriptors a worker may have open
    // Workers run as this user wherever the server may switch users (root, or CAP_SETUID and
    // CAP_SETGID): the worker zygote takes it at its start.
    std::string workerUser = "nobody";
    // A client's DST_PORT and SERVICE options may choose a relay service, which imposes its
    // own device port (and address 127.0.0.1 on the gateway's side). Off: both are ignored.
    bool clientTargets = true;

    // Authenticated gateways. Without a server key no handshake is answered. The policy:
    // "off", "pinned" or "required"; empty: "pinned" when a keys file is given, else "off".
    std::string serverKeyFile;
    std::string gatewayKeysFile;
    std::string gatewayAuth;
    // With a server key, version 1 registrations may take only this percentage of
    // --max-gateways, so that forged version 1 sources cannot lock authenticated gateways out.
    uint32_t v1GatewayShare = 90;
    // Handshake initiations a second above which a source gets a cookie reply first.
    uint32_t handshakesPerSecond = 1000;

    // The shared gateway directory (PostgreSQL); empty: this server runs alone.
    std::string directory;     // a libpq connection string
    std::string serverId;      // unique among the servers sharing the directory
    std::string peerAddress;   // ADDR:PORT where the other servers reach this one
    std::string peerNetworks;  // CIDR[,CIDR...] whose connections may carry a PROXY header
    // Seconds between the refreshes of this server's gateways; a claim expires after three.
    uint32_t directoryRefresh = 60;

    // The arguments as given: the worker zygote reads them again (WorkerZygote.h).
    std::vector<std::string> commandLine;
};

// An option that takes no value: its whole-argument name, the flag it sets and the value it
// sets it to, an INFO line logged when it is met (or null), and its description.
struct SwitchOption {
    const char* name;
    bool ServerSettings::*field;
    bool value;
    const char* logLine;
    const char* description;
};
const std::vector<SwitchOption>& switchOptions();

// A port option: atoi-like value kept to its low 16 bits, never an error.
struct PortOption {
    const char* prefix;
    uint16_t ServerSettings::*field;
    const char* description;
};
const std::vector<PortOption>& portOptions();

// An option whose value is text: its prefix, the form of its value in the usage text, what
// the server does without it, its description, and how the value is stored (false: a value
// the option does not take; apply may also throw CommandLineError with a clearer text).
struct TextOption {
    const char* prefix;
    const char* valueName;
    const char* whenEmpty;
    const char* description;
    bool (*apply)(std::string_view value, ServerSettings* settings);
};
const std::vector<TextOption>& textOptions();

// A numeric option of the limits: its prefix, where it goes, its allowed range, and the
// line that describes it.
struct LimitOption {
    const char* prefix;
    uint32_t ServerSettings::*field;
    uint32_t minimum;
    uint32_t maximum;
    const char* description;
};
const std::vector<LimitOption>& limitOptions();

// Thrown for a limit or text option whose value it does not take; the entry
// point prints the text and exits with status 2.
class CommandLineError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// True when the argument is strictly longer than the prefix and starts with it.
bool argumentMatches(std::string_view argument, std::string_view prefix);
// The text after the prefix.
std::string_view getArgumentValue(std::string_view argument, std::string_view prefix);
// atoi-like conversion kept to its low 16 bits ("70000" gives 4464, letters give 0).
uint16_t portValue(std::string_view text);

// Classifies every argument in order; later ones overwrite earlier ones. Logs the
// streams switch and every interface name as they are met. Throws CommandLineError for
// a limit or text option with a bad value. logChoices false: nothing is logged (the worker
// zygote reads the same command line again).
ServerSettings parseCommandLine(const std::vector<std::string>& arguments, bool logChoices = true);

// What the entry point does before logging is configured: print the usage or the version
// and exit, or run with an explicit logging configuration file. The last --log-config= wins.
struct EarlyArguments {
    bool help = false;
    bool version = false;
    std::string logConfig;
};
EarlyArguments scanEarlyArguments(const std::vector<std::string>& arguments);

// The usage text of --help, made from the option tables and the defaults of ServerSettings.
std::string usageText(const char* program);
// The version of this build (one line, no newline).
const char* serverVersion();
