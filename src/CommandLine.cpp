// Reading the server's command line into its settings.
#include "CommandLine.h"

#include <cstdlib>
#include <limits>

#include "Logging.h"

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

bool parseText(const std::string& argument, ServerSettings* settings) {
    for (const TextOption& option : textOptions()) {
        if (argumentMatches(argument, option.prefix)) {
            if (!option.apply(getArgumentValue(argument, option.prefix), settings)) {
                throw CommandLineError(argument + ": expected " + option.prefix + option.valueForm);
            }
            return true;
        }
    }
    return false;
}

bool applyClientTargets(std::string_view value, ServerSettings* settings) {
    if (value != "on" && value != "off") {
        return false;
    }
    settings->clientTargets = value == "on";
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

const std::vector<LimitOption>& limitOptions() {
    constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
    static const std::vector<LimitOption> options = {
        {"--max-gateways=", &ServerSettings::maxGateways, 1, kMax,
         "registered gateway clients in all"},
        {"--max-gateways-per-address=", &ServerSettings::maxGatewaysPerAddress, 1, kMax,
         "registered gateway clients behind one public IPv4 address"},
        {"--key-agreements-per-second=", &ServerSettings::keyAgreementsPerSecond, 1, kMax,
         "keyed registrations per second from one source address (bursts of twice that)"},
        {"--max-workers=", &ServerSettings::maxWorkers, 1, kMax,
         "live worker processes in all (proxy and recording)"},
        {"--max-workers-per-address=", &ServerSettings::maxWorkersPerAddress, 1, kMax,
         "live proxy workers for one client IPv4 address"},
        {"--request-head-timeout=", &ServerSettings::requestHeadTimeout, 1, 3600,
         "seconds a proxy worker waits for the request's relay options"},
        {"--worker-memory=", &ServerSettings::workerMemoryMiB, 16, 65536,
         "MiB of address space a worker may map beyond what it inherits from the server"},
        {"--worker-open-files=", &ServerSettings::workerOpenFiles, 16, 65536,
         "descriptors a worker may have open"},
    };
    return options;
}

const std::vector<TextOption>& textOptions() {
    static const std::vector<TextOption> options = {
        {"--client-targets=", "on|off",
         "on: a client's DST_PORT and SERVICE options may choose a relay service and its "
         "fixed device port (and 127.0.0.1 behind the gateway); off: they are ignored",
         applyClientTargets},
        {"--worker-user=", "NAME",
         "user that proxy workers of a server started as root switch to (default nobody)",
         applyWorkerUser},
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

ServerSettings parseCommandLine(const std::vector<std::string>& arguments) {
    ServerSettings settings;
    for (const std::string& argument : arguments) {
        if (argument == kEnableStreamsArg) {
            settings.disableStreams = false;
            LOG4CPLUS_INFO(
                logger, "Enabling output to stdout. TambloServer won't work if started from ssh.");
        } else if (argumentMatches(argument, restPortArg)) {
            settings.restPort = portValue(getArgumentValue(argument, restPortArg));
        } else if (argumentMatches(argument, gcPortArg)) {
            settings.gcPort = portValue(getArgumentValue(argument, gcPortArg));
        } else if (argumentMatches(argument, ctrlPortArg)) {
            settings.ctrlPort = portValue(getArgumentValue(argument, ctrlPortArg));
        } else if (argumentMatches(argument, proxyPortArg)) {
            settings.proxyPort = portValue(getArgumentValue(argument, proxyPortArg));
        } else if (parseLimit(argument, &settings) || parseText(argument, &settings)) {
            continue;
        } else {
            settings.interfaceName = argument;
            LOG4CPLUS_INFO(logger, "Trying to bind to interface: " << argument);
        }
    }
    return settings;
}
