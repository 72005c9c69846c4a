// Reading the server's command line into its settings.
#include "CommandLine.h"

#include <cstdlib>

#include "Logging.h"

const char* const restPortArg = "--rest-port=";
const char* const gcPortArg = "--gc-port=";
const char* const ctrlPortArg = "--ctrl-port=";
const char* const proxyPortArg = "--proxy-port=";

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kServer);
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
        } else {
            settings.interfaceName = argument;
            LOG4CPLUS_INFO(logger, "Trying to bind to interface: " << argument);
        }
    }
    return settings;
}
