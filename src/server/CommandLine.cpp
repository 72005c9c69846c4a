// Reading the server's command line into its settings.
#include "server/CommandLine.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdlib>
#include <limits>
#include <sstream>

#include "common/CidrList.h"
#include "common/Logging.h"
#include "server/AddressKey.h"

const char* const restPortArg = "--rest-port=";
const char* const gcPortArg = "--gc-port=";
const char* const ctrlPortArg = "--ctrl-port=";
const char* const proxyPortArg = "--proxy-port=";

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kServer);

// Strict: decimal digits only, within the option's range.
uint32_t limitValue(const LimitOption& option, std::string_view text) {
    uint64_t value = 0;
    bool valid = !text.empty() && text.size() <= 10;
    for (const char c : text) {
        valid = valid && c >= '0' && c <= '9';
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (!valid || value < option.minimum || value > option.maximum) {
        throw CommandLineError(std::string(option.prefix) + std::string(text) +
                               ": expected a whole number from " + std::to_string(option.minimum) +
                               " to " + std::to_string(option.maximum));
    }
    return static_cast<uint32_t>(value);
}

bool parseSwitch(const std::string& argument, ServerSettings* settings, bool logChoices) {
    for (const SwitchOption& option : switchOptions()) {
        if (argument == option.name) {
            settings->*option.field = option.value;
            if (logChoices && option.logLine != nullptr) {
                LOG4CPLUS_INFO(logger, option.logLine);
            }
            return true;
        }
    }
    return false;
}

bool parsePort(const std::string& argument, ServerSettings* settings) {
    for (const PortOption& option : portOptions()) {
        if (argumentMatches(argument, option.prefix)) {
            settings->*option.field = portValue(getArgumentValue(argument, option.prefix));
            return true;
        }
    }
    return false;
}

bool parseText(const std::string& argument, ServerSettings* settings) {
    for (const TextOption& option : textOptions()) {
        if (argumentMatches(argument, option.prefix)) {
            if (!option.apply(getArgumentValue(argument, option.prefix), settings)) {
                throw CommandLineError(argument + ": expected " + option.prefix + option.valueName);
            }
            return true;
        }
    }
    return false;
}

bool applyMetricsAddress(std::string_view value, ServerSettings* settings) {
    settings->metricsAddress = value;  // checked where the endpoint is opened
    return true;
}

bool applyLogConfig(std::string_view value, ServerSettings* settings) {
    settings->logConfig = value;
    return true;
}

// The recording options: checked here so that a typo stops the start.
bool applyControlAddress(std::string_view text, ServerSettings* settings) {
    const std::string address(text);
    in_addr parsed;
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        throw CommandLineError("--ctrl-address=" + address +
                               ": expected a dotted IPv4 address such as 127.0.0.1");
    }
    settings->ctrlAddress = address;
    return true;
}

bool applyRecordingsDir(std::string_view text, ServerSettings* settings) {
    const std::string path(text);
    char* resolved = ::realpath(path.c_str(), nullptr);
    struct stat info;
    const bool isDirectory =
        resolved != nullptr && ::stat(resolved, &info) == 0 && S_ISDIR(info.st_mode);
    const std::string canonical = resolved != nullptr ? resolved : "";
    std::free(resolved);
    if (!isDirectory) {
        throw CommandLineError("--recordings-dir=" + path + ": expected an existing directory");
    }
    settings->recordingsDir = canonical;
    return true;
}

bool applyClientTargets(std::string_view value, ServerSettings* settings) {
    if (value != "on" && value != "off") {
        return false;
    }
    settings->clientTargets = value == "on";
    return true;
}

bool applyRecordingFragments(std::string_view value, ServerSettings* settings) {
    if (value != "on" && value != "off") {
        return false;
    }
    settings->recordingFragments = value == "on";
    return true;
}

// The key files are read (and checked) where the server starts and on SIGHUP.
bool applyServerKey(std::string_view value, ServerSettings* settings) {
    settings->serverKeyFile = value;
    return true;
}

bool applyGatewayKeys(std::string_view value, ServerSettings* settings) {
    settings->gatewayKeysFile = value;
    return true;
}

bool applyGatewayAuth(std::string_view value, ServerSettings* settings) {
    if (value != "off" && value != "pinned" && value != "required") {
        return false;
    }
    settings->gatewayAuth = value;
    return true;
}

bool applyDirectory(std::string_view value, ServerSettings* settings) {
    settings->directory = value;  // libpq checks it when the server starts
    return true;
}

bool applyServerId(std::string_view value, ServerSettings* settings) {
    if (value.size() > 64) {
        return false;
    }
    for (const char c : value) {
        if (c <= ' ' || c > '~') {
            return false;
        }
    }
    settings->serverId = value;
    return true;
}

bool applyPeerAddress(std::string_view value, ServerSettings* settings) {
    sockaddr_in parsed{};
    if (!parseAddressPort(value, &parsed)) {
        return false;
    }
    settings->peerAddress = value;
    return true;
}

bool applyPeerNetworks(std::string_view value, ServerSettings* settings) {
    if (!CidrList::parse(value)) {
        return false;
    }
    settings->peerNetworks = value;
    return true;
}

// A user name as the system's tools accept one: no separators, no path.
bool applyWorkerUser(std::string_view value, ServerSettings* settings) {
    if (value.size() > 32) {
        return false;
    }
    for (const char c : value) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
        if (!allowed) {
            return false;
        }
    }
    settings->workerUser = value;
    return true;
}

bool parseLimit(const std::string& argument, ServerSettings* settings) {
    for (const LimitOption& option : limitOptions()) {
        if (argumentMatches(argument, option.prefix)) {
            settings->*option.field = limitValue(option, getArgumentValue(argument, option.prefix));
            return true;
        }
    }
    return false;
}
}  // namespace

const std::vector<SwitchOption>& switchOptions() {
    static const std::vector<SwitchOption> options = {
        {"--enable-streams", &ServerSettings::disableStreams, false,
         "Enabling output to stdout. TambloServer won't work if started from ssh.",
         "workers keep their standard streams (by default they point at /dev/null)"},
    };
    return options;
}

const std::vector<PortOption>& portOptions() {
    static const std::vector<PortOption> options = {
        {gcPortArg, &ServerSettings::gcPort, "UDP port of the gateway clients"},
        {ctrlPortArg, &ServerSettings::ctrlPort, "TCP port of the control interface"},
        {proxyPortArg, &ServerSettings::proxyPort, "TCP port of the proxied client connections"},
        {restPortArg, &ServerSettings::restPort,
         "TCP port of the REST configuration service on 127.0.0.1"},
    };
    return options;
}

const std::vector<TextOption>& textOptions() {
    static const std::vector<TextOption> options = {
        {"--metrics-address=", "ADDR:PORT", "off",
         "serve GET /metrics (Prometheus text format) on this IPv4 address and TCP port",
         applyMetricsAddress},
        {"--log-config=", "FILE", "searched, see below",
         "logging configuration file (log4cplus properties)", applyLogConfig},
        {"--ctrl-address=", "A.B.C.D", "all addresses",
         "bind the control listener to this IPv4 address (use 127.0.0.1 in production)",
         applyControlAddress},
        {"--recordings-dir=", "DIR", "any path",
         "existing directory that recording files are kept inside; relative output names are "
         "taken in it, names that leave it are refused",
         applyRecordingsDir},
        {"--recording-fragments=", "on|off", "on",
         "on: RTSP recordings are fragmented mp4/3gp (a fragment at each key frame, at most 2 s), "
         "playable up to the last fragment when cut short; off: the plain layout",
         applyRecordingFragments},
        {"--client-targets=", "on|off", "on",
         "on: a client's DST_PORT and SERVICE options may choose a relay service and its "
         "fixed device port (and 127.0.0.1 behind the gateway); off: they are ignored",
         applyClientTargets},
        {"--server-key=", "FILE", "none: no authenticated gateways",
         "the server's static private key (tamblo-keygen); gateways registering through the "
         "authenticated handshake know its public key",
         applyServerKey},
        {"--gateway-keys=", "FILE", "none",
         "one line per gateway: its id and the base64 public key pinned for it; SIGHUP reads "
         "it again",
         applyGatewayKeys},
        {"--gateway-auth=", "off|pinned|required", "pinned with --gateway-keys, else off",
         "off: version 1 registrations as always; pinned: an id with a pinned key registers "
         "only through the authenticated handshake; required: no version 1 registration",
         applyGatewayAuth},
        {"--directory=", "CONNINFO", "none: this server runs alone",
         "libpq connection string of the gateway directory that several servers share",
         applyDirectory},
        {"--server-id=", "ID", "none", "this server's id in the directory (unique among them)",
         applyServerId},
        {"--peer-address=", "ADDR:PORT", "none",
         "where the other servers of the directory reach this one", applyPeerAddress},
        {"--peer-networks=", "CIDR[,CIDR]", "none",
         "networks of the other servers: their forwarded connections carry a PROXY header",
         applyPeerNetworks},
        {"--worker-user=", "NAME", "nobody",
         "user that workers run as, where the server may switch users (root, or CAP_SETUID "
         "and CAP_SETGID)",
         applyWorkerUser},
    };
    return options;
}

const std::vector<LimitOption>& limitOptions() {
    constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
    static const std::vector<LimitOption> options = {
        {"--max-gateways=", &ServerSettings::maxGateways, 1, kMax,
         "registered gateway clients in all"},
        {"--max-gateways-per-address=", &ServerSettings::maxGatewaysPerAddress, 1, kMax,
         "registered gateway clients behind one public IPv4 address"},
        {"--key-agreements-per-second=", &ServerSettings::keyAgreementsPerSecond, 1, kMax,
         "keyed registrations per second from one source address (bursts of twice that)"},
        {"--key-agreements-total=", &ServerSettings::keyAgreementsTotal, 1, kMax,
         "keyed registrations per second from all source addresses together (bursts of twice "
         "that)"},
        {"--v1-gateway-share=", &ServerSettings::v1GatewayShare, 1, 100,
         "percent of --max-gateways that version 1 registrations may take while the server has "
         "a --server-key"},
        {"--handshakes-per-second=", &ServerSettings::handshakesPerSecond, 1, kMax,
         "authenticated handshakes a second above which sources must first answer a cookie "
         "reply"},
        {"--directory-refresh=", &ServerSettings::directoryRefresh, 1, 3600,
         "seconds between the directory refreshes of this server's gateways (a gateway whose "
         "server stops refreshing it expires after three)"},
        {"--max-workers=", &ServerSettings::maxWorkers, 1, kMax,
         "live worker processes in all (proxy and recording)"},
        {"--max-workers-per-address=", &ServerSettings::maxWorkersPerAddress, 1, kMax,
         "live proxy workers for one client IPv4 address"},
        {"--request-head-timeout=", &ServerSettings::requestHeadTimeout, 1, 3600,
         "seconds a proxy connection may take for its first bytes, and its worker then for the "
         "request's relay options"},
        {"--max-waiting-connections=", &ServerSettings::maxWaitingConnections, 1, 1000000,
         "proxy connections held without a worker until they send their first bytes (the "
         "oldest is closed to make room)"},
        {"--max-control-connections=", &ServerSettings::maxControlConnections, 1, 65536,
         "open control connections (more are closed at once)"},
        {"--control-idle-timeout=", &ServerSettings::controlIdleTimeout, 1, 86400,
         "seconds after which a silent control connection without a running recording is "
         "closed"},
        {"--spare-workers=", &ServerSettings::spareWorkers, 0, 64,
         "proxy workers forked ahead of need, each taking the next client's connection "
         "(0: fork when the client connects)"},
        {"--worker-memory=", &ServerSettings::workerMemoryMiB, 16, 65536,
         "MiB of address space a worker may map beyond what it inherits from the server"},
        {"--worker-open-files=", &ServerSettings::workerOpenFiles, 16, 65536,
         "descriptors a worker may have open"},
    };
    return options;
}

bool argumentMatches(std::string_view argument, std::string_view prefix) {
    return argument.size() > prefix.size() && argument.compare(0, prefix.size(), prefix) == 0;
}

std::string_view getArgumentValue(std::string_view argument, std::string_view prefix) {
    return argument.substr(prefix.size());
}

uint16_t portValue(std::string_view text) {
    // atoi semantics: leading blanks and a sign, digits up to the first non-digit.
    std::string copy(text);
    return static_cast<uint16_t>(std::atoi(copy.c_str()));
}

ServerSettings parseCommandLine(const std::vector<std::string>& arguments, bool logChoices) {
    ServerSettings settings;
    settings.commandLine = arguments;
    for (const std::string& argument : arguments) {
        if (parseSwitch(argument, &settings, logChoices) || parsePort(argument, &settings) ||
            parseLimit(argument, &settings) || parseText(argument, &settings)) {
            continue;
        }
        settings.interfaceName = argument;
        if (logChoices) {
            LOG4CPLUS_INFO(logger, "Trying to bind to interface: " << argument);
        }
    }
    if (!settings.directory.empty() &&
        (settings.serverId.empty() || settings.peerAddress.empty())) {
        throw CommandLineError("--directory needs --server-id and --peer-address");
    }
    if (settings.directory.empty() &&
        (!settings.serverId.empty() || !settings.peerAddress.empty() ||
         !settings.peerNetworks.empty())) {
        throw CommandLineError("--server-id, --peer-address and --peer-networks need --directory");
    }
    return settings;
}

EarlyArguments scanEarlyArguments(const std::vector<std::string>& arguments) {
    EarlyArguments early;
    for (const std::string& argument : arguments) {
        early.help = early.help || argument == kHelpArg;
        early.version = early.version || argument == kVersionArg;
        if (argumentMatches(argument, kLogConfigArg)) {
            early.logConfig = std::string(getArgumentValue(argument, kLogConfigArg));
        }
    }
    return early;
}

namespace {
// One option per line: the option and its value name in a column, then what it does and
// its default.
void usageLine(std::ostringstream& out, const std::string& option, const std::string& text) {
    constexpr size_t kColumn = 36;
    out << "  " << option;
    out << std::string(option.size() + 2 < kColumn ? kColumn - option.size() - 2 : 1, ' ');
    out << text << "\n";
}
}  // namespace

std::string usageText(const char* program) {
    const ServerSettings defaults;
    std::ostringstream out;
    out << "Usage: " << program << " [OPTION]... [INTERFACE]\n"
        << "Relays TCP connections of clients to devices behind registered gateway clients.\n"
        << "INTERFACE: bind the gateway socket to this interface's IPv4 address (default: all\n"
        << "addresses). An argument that is no option is taken as the interface name.\n\n"
        << "Ports:\n";
    for (const PortOption& option : portOptions()) {
        usageLine(out, std::string(option.prefix) + "PORT",
                  std::string(option.description) + " (default " +
                      std::to_string(defaults.*option.field) + ")");
    }
    out << "\nSwitches:\n";
    for (const SwitchOption& option : switchOptions()) {
        usageLine(out, option.name, option.description);
    }
    usageLine(out, std::string(kHelpArg), "print this text and exit");
    usageLine(out, std::string(kVersionArg), "print the version and exit");
    out << "\nLimits (whole numbers):\n";
    for (const LimitOption& option : limitOptions()) {
        usageLine(out, std::string(option.prefix) + "N",
                  std::string(option.description) + " (default " +
                      std::to_string(defaults.*option.field) + ", " +
                      std::to_string(option.minimum) + " to " + std::to_string(option.maximum) +
                      ")");
    }
    out << "\nOther settings:\n";
    for (const TextOption& option : textOptions()) {
        usageLine(out, std::string(option.prefix) + option.valueName,
                  std::string(option.description) + " (default: " + option.whenEmpty + ")");
    }
    out << "\nLog file: the log4cplus properties file given with --log-config=, else\n"
        << "TambloServer_log.conf in the working directory, beside the program, or one level\n"
        << "above it; with none, the server logs at INFO to standard error. SIGHUP reads the\n"
        << "file again (for logrotate). SIGTERM stops the server.\n";
    return out.str();
}

const char* serverVersion() {
    return TAMBLO_VERSION;
}
