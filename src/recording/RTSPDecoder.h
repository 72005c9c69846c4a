// The RTSP relay between the media framework and an RTSP camera behind a gateway client.
//
// The decoder offers the media framework (MediaRemux, libavformat) a local RTSP endpoint on
// 127.0.0.1, forwards what the framework sends there to the camera's port 554 over the
// tunnelled TCP connection (with ";components=" added to a Transport header), writes the
// camera's answers and interleaved media back to the framework, and relays RTP and RTCP that
// arrive as gateway-client channel datagrams to local UDP sockets connected to the framework's
// client ports (and the framework's RTCP back as channel data).
//
// The decoder keeps the recording's session: the local endpoint and the framework's
// connections, the camera's answers checked for a redirect, the media framework's start and its
// close. The framework's requests go their way to the camera through the request relay
// (RtspRequestRelay.h); the camera's bytes and the RTP/RTCP datagrams go to the framework
// through the media relay (RtspMediaRelay.h).
//
// Abstract: everything that touches the worker process goes through the worker's operations
// (RtspDecoderHost.h), which RTSPRecorder implements. Always owned through a shared pointer;
// every callback handed to the loop holds one. The recording worker (videorecorder.cpp) drives
// it in this order: start, connected, receivedData / receivedRtpData / tunnelAcknowledged,
// closeMedia, stop. Everything runs on the worker's loop thread except the close-media thread,
// which touches only the media object that closeMedia hands it.
#pragma once

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "protocol/RecordingRequest.h"
#include "recording/MediaRemux.h"
#include "recording/RtspDecoderHost.h"
#include "recording/RtspFraming.h"
#include "recording/RtspMediaRelay.h"
#include "recording/RtspRequestRelay.h"

class RTSPDecoder : public boost::enable_shared_from_this<RTSPDecoder>, protected RtspDecoderHost {
  public:
    using Callback = RtspDecoderHost::Callback;

    // How long stop waits for the media framework to complete the file.
    static constexpr unsigned kMediaCloseSeconds = kRecordingTeardownSeconds;
    // Bytes that may wait for the media framework's socket, and for the tunnel.
    static constexpr size_t kPendingLimit = RtspRequestRelay::kPendingLimit;
    // A request head of the framework larger than this is no RTSP.
    static constexpr size_t kMaxRequestHead = RtspRequestRelay::kMaxRequestHead;
    static constexpr size_t kReadSize = RtspMediaRelay::kReadSize;

    RTSPDecoder();
    virtual ~RTSPDecoder();
    RTSPDecoder(const RTSPDecoder&) = delete;
    RTSPDecoder& operator=(const RTSPDecoder&) = delete;

    // Opens the local endpoint, connects the tunnel to ipAddress:554 and registers the two
    // channels; false when the local endpoint cannot be opened. The decoder owns output.fd.
    bool start(const std::string& ipAddress, const std::string& path, media::OutputFile output,
               const std::string& codec, uint8_t firstComponentId, bool useRtcpOverRtsp);
    // The tunnelled connection is up: the media framework starts on the local endpoint.
    void connected();
    // Bytes from the camera for the media framework. An answer that redirects (any 3xx) is
    // never passed on: it ends the recording (WARN "camera ... redirects to ...").
    void receivedData(const uint8_t* bytes, size_t length);
    // The camera closed its connection: what it sent still reaches the framework, which then
    // sees the end of its stream and completes the file.
    void cameraClosed();
    // One channel datagram without its channel byte.
    void receivedRtpData(const uint8_t* bytes, size_t length) {
        media_.receivedRtpData(bytes, length);
    }
    // The tunnel acknowledged data: requests it refused before go on.
    void tunnelAcknowledged() { requests_.tunnelAcknowledged(); }
    // The parent asked the recording to stop.
    void closeMedia();
    // The worker leaves its loop: closes everything and waits (bounded) for the file.
    void stop();

    // Camera bytes not yet written to the media framework (the worker refuses more above
    // kPendingLimit; the tunnel then holds them).
    size_t bytesWaitingForMedia() const { return media_.bytesWaiting(); }
    const std::string& url() const { return m_url; }
    uint16_t serverPort() const { return localServerPort; }
    uint16_t rtpPort() const { return media_.rtpPort(); }
    uint16_t rtcpPort() const { return media_.rtcpPort(); }

    static std::optional<std::pair<uint16_t, uint16_t>> extractPorts(std::string_view data) {
        return RtspRequestRelay::extractPorts(data);
    }
    static std::string appendIceComponents(std::string data, uint8_t firstComponentId) {
        return RtspRequestRelay::appendIceComponents(std::move(data), firstComponentId);
    }

  private:
    // The camera's answers, passed on unchanged; only a redirect stops them.
    class AnswerInspector : public rtsp::Framer::Handler {
      public:
        void headBytes(const uint8_t*, size_t) override {}
        bool headEnd(const rtsp::Head& head) override;
        void bodyBytes(const uint8_t*, size_t) override {}
        void interleavedBytes(const uint8_t*, size_t, bool) override {}
        std::optional<std::string> redirect;  // the Location of a 3xx answer
    };

    uint16_t prepareSDPSocket();
    void sdpSocketIncomingConnection();
    void processSdpClientData(int fd);
    // One read of a local connection; false when there was nothing more to read.
    bool readSdpClient(int fd);
    void closeClient(int fd);
    void cameraRedirected(const std::string& location);
    void closeSocket(int& fd);
    void finishRecording();
    void mediaClosed();
    static void closeMediaThreadMainMethod(boost::shared_ptr<RTSPDecoder> self,
                                           boost::shared_ptr<media::MediaRemux> remux);

    int fdSdpClient = -1;      // the media framework's RTSP connection (the GET socket)
    int fdSdpClientPost = -1;  // a second local connection (the POST socket)
    int fdSdp = -1;            // the local endpoint's listener
    uint16_t localServerPort = 0;
    std::string m_url;
    bool started = false;
    bool closing = false;    // closeMedia has run
    bool cleanedUp = false;  // videoCleanupImpl has run
    media::OutputFile output;
    std::string codec;
    uint8_t firstComponentId = 0;
    boost::shared_ptr<media::MediaRemux> mediaRemux;  // given up to the close-media thread
    boost::thread closeMediaThread;
    rtsp::Framer answerFramer;  // the camera's connection
    RtspMediaRelay media_{*this};
    RtspRequestRelay requests_{*this, media_};
};

using RTSPDecoderPtr = boost::shared_ptr<RTSPDecoder>;
