// The named loggers of the server and its workers; one per source module.
#pragma once

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <string>

namespace tamblo::logging {

// Each module keeps the logger it uses in a file-scope static initialised from one of these.
inline constexpr const char* kServer = "TambloServer.TambloServer";
inline constexpr const char* kGatewayClient = "TambloServer.GatewayClient";
inline constexpr const char* kTunnel = "TambloServer.Tunnel";
inline constexpr const char* kVideoRecorder = "TambloServer.videorecorder";
inline constexpr const char* kTcpOverUdp = "TambloServer.tcpoverudp";

// Reads the property file; returns the path that was used, or an empty text when none
// of the candidates exists (logging then goes to standard error at INFO).
std::string configureLogging(const char* argv0);

}  // namespace tamblo::logging
