// The media framework's requests on their way to the camera in an RTSP recording: the bytes of
// its RTSP connection framed unit by unit across reads (RtspFraming.h); each request head
// rewritten on the way (the client ports of the first request that names them open the media
// relay's UDP pair, and ";components=" with the recording's two channels goes into the
// Transport header), bodies passed as they are, and interleaved frames (the framework's RTCP)
// passed on or dropped as useRtcpOverRtsp says. All of it goes through the tunnel in order;
// what the tunnel does not take at once waits until it acknowledges data.
//
// Owner: RTSPDecoder, which reads the framework's connection and feeds what it reads here, and
// passes the tunnel's acknowledgements on. Runs on the worker's loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "recording/RtspDecoderHost.h"
#include "recording/RtspFraming.h"

class RtspMediaRelay;

class RtspRequestRelay : private rtsp::Framer::Handler {
  public:
    // Bytes that may wait for the tunnel.
    static constexpr size_t kPendingLimit = 4 * 1024 * 1024;
    // A request head of the framework larger than this is no RTSP.
    static constexpr size_t kMaxRequestHead = 64 * 1024;

    RtspRequestRelay(RtspDecoderHost& host, RtspMediaRelay& media) : host_(host), media_(media) {}

    void configure(uint8_t firstComponentId, bool useRtcpOverRtsp) {
        firstComponentId_ = firstComponentId;
        useRtcpOverRtsp_ = useRtcpOverRtsp;
    }
    // What the framework sent on its RTSP connection.
    void feed(const uint8_t* bytes, size_t length);
    // The tunnel acknowledged data: requests it refused before go on.
    void tunnelAcknowledged();

    // The two client ports of a "client_port=A-B" in the data, when there is one.
    static std::optional<std::pair<uint16_t, uint16_t>> extractPorts(std::string_view data);
    // ";components=<first>,<first + 1>" inserted right before the CR LF that ends the first
    // "Transport: " header; data without one, or without a CR LF after it, stays unchanged.
    static std::string appendIceComponents(std::string data, uint8_t firstComponentId);

  private:
    void headBytes(const uint8_t* bytes, size_t length) override;
    bool headEnd(const rtsp::Head& head) override;
    void bodyBytes(const uint8_t* bytes, size_t length) override;
    void interleavedBytes(const uint8_t* bytes, size_t length, bool start) override;

    // A complete request head of the framework: client ports, components, to the camera.
    bool forwardRequestHead(std::string head);
    void sendToCamera(const uint8_t* bytes, size_t length);

    RtspDecoderHost& host_;
    RtspMediaRelay& media_;
    uint8_t firstComponentId_ = 0;
    bool useRtcpOverRtsp_ = false;
    rtsp::Framer framer_;
    std::string head_;               // the request head being read
    std::vector<uint8_t> toCamera_;  // requests the tunnel has not taken yet
};
