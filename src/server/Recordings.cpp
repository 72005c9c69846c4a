// The server's recording operations: a START's tunnel and output file, a STOP's tunnels, and
// the control connections that recordings report to.
#include "server/Recordings.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "common/FileDescriptor.h"
#include "common/Logging.h"
#include "server/AddressKey.h"
#include "server/CommandLine.h"
#include "server/ControlInterface.h"
#include "server/GatewayClient.h"
#include "server/GatewayRegistry.h"
#include "server/SessionTable.h"
#include "server/Tunnel.h"
#include "server/TunnelHost.h"
#include "server/WorkerPool.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kServer);
}  // namespace

Recordings::Recordings(const ServerSettings& settings, TunnelHost& host, GatewayRegistry& gateways,
                       SessionTable& sessions, WorkerPool& workers)
    : settings(settings), host(host), gateways(gateways), sessions(sessions), workers(workers) {}

std::string Recordings::convertMacForVideoRecording(const std::string& mac) {
    if (mac.size() != 12) {
        return mac;
    }
    std::string colons;
    for (size_t i = 0; i < mac.size(); i += 2) {
        if (i != 0) {
            colons += ':';
        }
        colons.append(mac, i, 2);
    }
    return colons;
}

std::string Recordings::convertMacToVideoRecordingResponse(const std::string& mac) {
    if (mac.size() != 17) {
        return mac;
    }
    std::string plain = mac;
    plain.erase(std::remove(plain.begin(), plain.end(), ':'), plain.end());
    return plain;
}

bool Recordings::start(const std::string& mac, RecordingRequest request, int ctrlSocket) {
    const std::string key = convertMacForVideoRecording(mac);
    GatewayClient* client = gateways.byKey(key);
    if (client == nullptr) {
        LOG4CPLUS_INFO(logger, "startVideoRecording: mac " << key << " not found");
        return false;
    }
    const std::string& cameraIp = request.cameraIp;
    in_addr camera;
    if (inet_pton(AF_INET, cameraIp.c_str(), &camera) != 1) {
        LOG4CPLUS_INFO(logger, "startVideoRecording: camera address "
                                   << cameraIp << " is not a dotted IPv4 address");
        return false;
    }
    const std::optional<uint16_t> localPort = client->getNextLocalPort();
    if (!localPort) {
        LOG4CPLUS_WARN(logger, "No free local port on GC " << key << ", refusing recording");
        return false;
    }
    const std::string sessionKey = addressKeyText(client->getAddress(), cameraIp, *localPort);
    if (sessions.find(sessionKey) != nullptr) {
        LOG4CPLUS_INFO(logger, "Found session " << sessionKey
                                                << ", will not start another tunnel with same "
                                                   "GC and camera.");
        return false;
    }
    // The one place where recording tunnels are made.
    if (!workers.slotFor(nullptr, true, host.nowSeconds())) {
        return false;
    }
    // Opened here, by the parent, only once nothing else refuses the recording: the worker
    // gets the descriptor and never resolves the name.
    const UniqueFd output = control::openOutputFile(settings.recordingsDir, request.outputName);
    if (!output.valid()) {
        LOG4CPLUS_INFO(logger,
                       "startVideoRecording: output file "
                           << request.outputName << " cannot be opened"
                           << (settings.recordingsDir.empty() ? std::string()
                                                              : " inside " + settings.recordingsDir)
                           << ": " << std::strerror(errno) << ", refusing");
        return false;
    }
    request.outputFd = output.get();
    Tunnel* tunnel = new Tunnel(client, &host, sessionKey);
    sessions.addRecording(tunnel, sessionKey);
    LOG4CPLUS_DEBUG(logger, "Registering session with key: " << sessionKey);
    LOG4CPLUS_DEBUG(logger, "startVideoRecording: codec '"
                                << request.codec << "', RTCP over RTSP "
                                << (request.useRtcpOverRtsp ? "on" : "off") << ", output "
                                << request.outputName);
    request.localPort = *localPort;
    if (!tunnel->startVideoRecording(std::move(request), key, ctrlSocket)) {
        // The START is answered with "ERROR"; no "STOPPED" follows for a worker never started.
        tunnel->forgetCtrlConnection();
        tunnel->destroy();
        return false;
    }
    return true;
}

void Recordings::stop(const std::string& mac, const std::string& cameraIp) {
    const std::string key = convertMacForVideoRecording(mac);
    GatewayClient* client = gateways.byKey(key);
    if (client == nullptr) {
        LOG4CPLUS_INFO(logger, "stopVideoRecording: mac " << key << " not found");
        return;
    }
    // Every recording of this camera through this client, whatever its port.
    const std::string recordingKey = addressKeyText(client->getAddress(), cameraIp);
    for (Tunnel* tunnel : sessions.recordingsOf(recordingKey)) {
        tunnel->stopVideoRecording(false);
    }
}

bool Recordings::reportTo(int socket) const {
    return std::any_of(workers.tunnels().begin(), workers.tunnels().end(),
                       [socket](const Tunnel* tunnel) {
                           return tunnel->getCtrlConnectionSocket() == socket &&
                                  !tunnel->isRecordingResponseSent();
                       });
}

void Recordings::forgetControlConnection(int socket) {
    for (Tunnel* tunnel : workers.tunnels()) {
        if (tunnel->getCtrlConnectionSocket() == socket) {
            tunnel->forgetCtrlConnection();
        }
    }
}
