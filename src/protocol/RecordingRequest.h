// What a recording worker is started with: one record from the control command's START to
// the worker's entry (videoRecorder).
//
// The control interface fills the camera and output parts (the parent has already opened the
// output file; the worker never opens it by name), the tunnel adds what the gateway client
// holds (local address and port, window, channel pair) and hands the record over when it
// forks the worker. The worker takes ownership of outputFd.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// How long a recording worker may take, once its loop has ended, to complete its file (the
// framework stopped and released, the trailer written). The worker bounds itself by it; the
// parent grants it before any kill.
inline constexpr unsigned kRecordingTeardownSeconds = 10;

struct RecordingRequest {
    std::string cameraIp;  // dotted IPv4 text
    uint16_t cameraPort = 0;
    std::string user;
    std::string pass;
    std::string videoUri;    // path of the stream on the camera
    std::string outputName;  // the name the operator gave, for log lines only
    int outputFd = -1;       // the recording file, open for writing
    std::string codec;       // "MPEG4" or "H264": the RTSP path; anything else: MJPEG
    bool useRtcpOverRtsp = true;
    bool fragments = true;  // RTSP path: fragmented mp4/3gp (playable when cut short)

    // Filled by the tunnel.
    uint32_t localIP = 0;  // the gateway client's local address for tunnelled connections
    uint16_t localPort = 0;
    uint32_t windowSize = 0;
    uint8_t firstChannel = 0;  // the recording's channel pair: firstChannel and the next

    // Called by the worker once its media framework has loaded what it needs from files and
    // before the framework starts its threads, with the port of the worker's local endpoint
    // (the one TCP port the framework connects to); false ends the worker. Empty: nothing.
    std::function<bool(uint16_t localPort)> confine;
};
