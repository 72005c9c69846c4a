// The server's recording operations: a START's recording tunnel (the gateway client by its
// MAC, a free local port, the worker limit, the output file opened beneath the recordings
// directory), a STOP's tunnels of one camera, and which control connection a running
// recording reports its end to.
//
// The server object owns one and keeps startVideoRecording and stopVideoRecording as its
// face; the control interface reaches them through the server.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/RecordingRequest.h"

class GatewayRegistry;
class SessionTable;
class TunnelHost;
class WorkerPool;
struct ServerSettings;

class Recordings {
  public:
    Recordings(const ServerSettings& settings, TunnelHost& host, GatewayRegistry& gateways,
               SessionTable& sessions, WorkerPool& workers);
    Recordings(const Recordings&) = delete;
    Recordings& operator=(const Recordings&) = delete;

    // A START's MAC ("001122AABBCC") as the gateway's key ("00:11:22:AA:BB:CC"); other ids
    // as given.
    static std::string convertMacForVideoRecording(const std::string& mac);
    // A key with colons as the status lines name it.
    static std::string convertMacToVideoRecordingResponse(const std::string& mac);

    // The request names its output file (outputName); it is opened here, once nothing else
    // refuses the recording. False (logged) when the recording did not start.
    bool start(const std::string& mac, RecordingRequest request, int ctrlSocket);
    // Every recording of this camera through this gateway, whatever its port.
    void stop(const std::string& mac, const std::string& cameraIp);
    // Whether a running recording will report its end on this control connection.
    bool reportTo(int socket) const;
    // A control connection was closed: the recordings it started report to nobody.
    void forgetControlConnection(int socket);

  private:
    const ServerSettings& settings;
    TunnelHost& host;
    GatewayRegistry& gateways;
    SessionTable& sessions;
    WorkerPool& workers;
};
