// The named loggers of the server and its workers; one per source module.
#pragma once

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <cstdint>
#include <sstream>
#include <string>

#include "common/RateLimit.h"

namespace tamblo::logging {

// Each module keeps the logger it uses in a file-scope static initialised from one of these.
inline constexpr const char* kServer = "TambloServer.TambloServer";
inline constexpr const char* kGatewayClient = "TambloServer.GatewayClient";
inline constexpr const char* kTunnel = "TambloServer.Tunnel";
inline constexpr const char* kVideoRecorder = "TambloServer.videorecorder";
inline constexpr const char* kTcpOverUdp = "TambloServer.tcpoverudp";
inline constexpr const char* kRtspDecoder = "TambloServer.RTSPDecoder";
inline constexpr const char* kRtspRecorder = "TambloServer.RTSPRecorder";
inline constexpr const char* kConfigurationLookup = "TambloServer.ConfigurationLookup";
inline constexpr const char* kDatabase = "TambloServer.Database";    // the PostgreSQL client
inline constexpr const char* kDirectory = "TambloServer.Directory";  // the gateway directory

// One line through a rate limiter, for what a flood can trigger: compose(stream) writes the
// line; one that passes after others were left out says how many.
template <typename Compose>
void logLimited(const log4cplus::Logger& logger, log4cplus::LogLevel level, LogRateLimiter& limiter,
                double now, Compose compose) {
    if (!logger.isEnabledFor(level)) {
        return;
    }
    uint64_t suppressed = 0;
    if (!limiter.allow(now, &suppressed)) {
        return;
    }
    std::ostringstream line;
    compose(line);
    if (suppressed != 0) {
        line << " (" << suppressed << " similar lines left out)";
    }
    logger.forcedLog(level, line.str());
}

// A refusal under a limit that a flood can reach: always counted, and logged at a bounded
// rate as what describe(stream) writes followed by ": over the limit of <option> (<value>)".
template <typename Describe>
void refuseOverLimit(uint64_t* refusals, const log4cplus::Logger& logger, log4cplus::LogLevel level,
                     LogRateLimiter& limiter, double now, const char* option, uint64_t value,
                     Describe describe) {
    ++*refusals;
    logLimited(logger, level, limiter, now, [&](auto& line) {
        describe(line);
        line << ": over the limit of " << option << " (" << value << ")";
    });
}

// Reads the property file (the given one, else the first candidate found); returns the path
// that was used, or an empty text when there is none (logging then goes to standard error at
// INFO). File appenders always append: the server and its worker zygote open the same files.
std::string configureLogging(const char* argv0, const std::string& explicitPath = {});

// Drops every appender and level and reads the file again, as configureLogging did; used on
// SIGHUP so that a rotated log file is reopened. Returns the path that was read.
std::string reconfigureLogging(const std::string& explicitPath);

// Ends the thread pool that log4cplus starts before main (it serves asynchronous appending,
// which our configurations do not use): logging then runs on the calling thread alone. The
// worker zygote calls it to be a process of one thread, from which workers can be cloned.
void stopLibraryThreads();

}  // namespace tamblo::logging
