// Reading the server's command line into its settings.
#include "CommandLine.h"

#include <arpa/inet.h>
#include <sys/stat.h>

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

bool parseLimit(const std::string& argument, ServerSettings* settings) {
    for (const LimitOption& option : limitOptions()) {
        if (argumentMatches(argument, option.prefix)) {
            settings->*option.field = limitValue(option, getArgumentValue(argument, option.prefix));
            return true;
        }
    }
    return false;
}

// The recording options: text values, checked here so that a typo stops the start.
std::string controlAddressValue(std::string_view text) {
    const std::string address(text);
    in_addr parsed;
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        throw CommandLineError(std::string(kCtrlAddressArg) + address +
                               ": expected a dotted IPv4 address such as 127.0.0.1");
    }
    return address;
}

std::string recordingsDirValue(std::string_view text) {
    const std::string path(text);
    char* resolved = ::realpath(path.c_str(), nullptr);
    struct stat info;
    const bool isDirectory =
        resolved != nullptr && ::stat(resolved, &info) == 0 && S_ISDIR(info.st_mode);
    const std::string canonical = resolved != nullptr ? resolved : "";
    std::free(resolved);
    if (!isDirectory) {
        throw CommandLineError(std::string(kRecordingsDirArg) + path +
                               ": expected an existing directory");
    }
    return canonical;
}

bool parseRecordingOption(const std::string& argument, ServerSettings* settings) {
    if (argumentMatches(argument, kCtrlAddressArg)) {
        settings->ctrlAddress = controlAddressValue(getArgumentValue(argument, kCtrlAddressArg));
        return true;
    }
    if (argumentMatches(argument, kRecordingsDirArg)) {
        settings->recordingsDir = recordingsDirValue(getArgumentValue(argument, kRecordingsDirArg));
        return true;
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
        } else if (parseLimit(argument, &settings)) {
            continue;
        } else if (parseRecordingOption(argument, &settings)) {
            continue;
        } else {
            settings.interfaceName = argument;
            LOG4CPLUS_INFO(logger, "Trying to bind to interface: " << argument);
        }
    }
    return settings;
}
