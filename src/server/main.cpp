// Entry point of TambloServer: logging, command line, the server object and its loop.
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/EventLoop.h"
#include "common/Logging.h"
#include "server/AuthenticatedGateways.h"
#include "server/CommandLine.h"
#include "server/Metrics.h"
#include "server/ServiceManager.h"
#include "server/TambloServer.h"
#include "worker/WorkerZygote.h"
#include "worker/videorecorder.h"

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
    if (const std::optional<int> status = runWorkerZygoteIfAsked(argc, argv, &videoRecorder)) {
        return *status;
    }
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const EarlyArguments early = scanEarlyArguments(arguments);
    if (early.help) {
        std::fputs(usageText("TambloServer").c_str(), stdout);
        return 0;
    }
    if (early.version) {
        std::printf("TambloServer %s\n", serverVersion());
        return 0;
    }

    const std::string configuration = tamblo::logging::configureLogging(argv[0], early.logConfig);
    LOG4CPLUS_INFO(logger, "*** TambloServer starting");
    if (configuration.empty()) {
        LOG4CPLUS_WARN(
            logger,
            (early.logConfig.empty() ? std::string("TambloServer_log.conf") : early.logConfig)
                << " not found, logging at INFO to stderr");
    }
    ServerSettings settings;
    std::optional<sockaddr_in> metricsAddress;
    GatewayAuthSetup gatewayAuth;
    try {
        settings = parseCommandLine(arguments);
        if (!settings.metricsAddress.empty()) {
            metricsAddress = metrics::parseAddress(settings.metricsAddress);
            if (!metricsAddress) {
                throw CommandLineError("--metrics-address=" + settings.metricsAddress +
                                       ": expected an IPv4 address and a port, as 127.0.0.1:9466");
            }
        }
        gatewayAuth = loadGatewayAuth(settings);
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "TambloServer: %s\n", error.what());
        return 2;
    }

    // A peer that goes away must never kill the server or a worker through a write.
    signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    loop = ev_default_loop(0);

    try {
        TambloServer server(settings);
        server.configureGateways(std::move(gatewayAuth));
        std::unique_ptr<MetricsEndpoint> endpoint;
        if (metricsAddress) {
            endpoint = std::make_unique<MetricsEndpoint>(
                *metricsAddress, [&server] { return metrics::renderMetrics(server); }, loop);
        }
        // The zygote and the spare workers forked before a SIGHUP would log with the old
        // settings (into a rotated file): they are replaced. The pinned keys are read again.
        ServiceManager service(loop, early.logConfig, [&server] {
            server.renewWorkers();
            server.reloadGatewayKeys();
        });
        service.ready();
        ev_run(loop, 0);
        service.stopping();
        LOG4CPLUS_INFO(logger, "*** TambloServer exiting");
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "TambloServer: %s\n", error.what());
        return 1;
    }
    return 0;
}
