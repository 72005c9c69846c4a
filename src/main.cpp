// Entry point of TambloServer: logging, command line, the server object and its loop.
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "EventLoop.h"
#include "Logging.h"
#include "TambloServer.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kServer);

// Every worker costs the parent two pipe ends; take all the descriptors we are allowed.
void raiseDescriptorLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            LOG4CPLUS_WARN(logger, "Could not raise the descriptor limit");
        }
    }
}
}  // namespace

int main(int argc, char** argv) {
    const std::string configuration = tamblo::logging::configureLogging(argv[0]);
    LOG4CPLUS_INFO(logger, "*** TambloServer starting");
    if (configuration.empty()) {
        LOG4CPLUS_WARN(logger, "TambloServer_log.conf not found, logging at INFO to stderr");
    }
    ServerSettings settings;
    try {
        settings = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const CommandLineError& error) {
        std::fprintf(stderr, "TambloServer: %s\n", error.what());
        return 2;
    }

    // A peer that goes away must never kill the server or a worker through a write.
    signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    loop = ev_default_loop(0);

    try {
        TambloServer server(settings);
        ev_run(loop, 0);
        LOG4CPLUS_INFO(logger, "*** TambloServer exiting");
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "TambloServer: %s\n", error.what());
        return 1;
    }
    return 0;
}
