// The RTSP relay between the media framework and an RTSP camera behind a gateway client.
//
// The decoder offers the media framework (MediaRemux, libavformat) a local RTSP endpoint on
// 127.0.0.1, forwards what the framework sends there to the camera's port 554 over the
// tunnelled TCP connection (with ";components=" added to a Transport header), writes the
// camera's answers and interleaved media back to the framework, and relays RTP and RTCP that
// arrive as gateway-client channel datagrams to local UDP sockets connected to the framework's
// client ports (and the framework's RTCP back as channel data).
//
// Abstract: everything that touches the worker process goes through the virtual operations,
// which RTSPRecorder implements. Always owned through a shared pointer; every callback handed
// to the loop holds one. The recording worker (videorecorder.cpp) drives it in this order:
// start, connected, receivedData / receivedRtpData / tunnelAcknowledged, closeMedia, stop.
// Everything runs on the worker's loop thread except the close-media thread, which touches
// only the media object that closeMedia hands it.
#pragma once

#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/RecordingRequest.h"
#include "recording/MediaRemux.h"
#include "recording/RtspFraming.h"

class RTSPDecoder : public boost::enable_shared_from_this<RTSPDecoder> {
  public:
    using Callback = boost::function<void()>;

    // How long stop waits for the media framework to complete the file.
    static constexpr unsigned kMediaCloseSeconds = kRecordingTeardownSeconds;
    // Bytes that may wait for the media framework's socket, and for the tunnel.
    static constexpr size_t kPendingLimit = 4 * 1024 * 1024;
    // A request head of the framework larger than this is no RTSP.
    static constexpr size_t kMaxRequestHead = 64 * 1024;
    static constexpr size_t kReadSize = 8192;

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
    void receivedRtpData(const uint8_t* bytes, size_t length);
    // The tunnel acknowledged data: requests it refused before go on.
    void tunnelAcknowledged();
    // The parent asked the recording to stop.
    void closeMedia();
    // The worker leaves its loop: closes everything and waits (bounded) for the file.
    void stop();

    // Camera bytes not yet written to the media framework (the worker refuses more above
    // kPendingLimit; the tunnel then holds them).
    size_t bytesWaitingForMedia() const { return toMedia.size() - toMediaHead; }
    const std::string& url() const { return m_url; }
    uint16_t serverPort() const { return localServerPort; }
    uint16_t rtpPort() const { return localRtpPort; }
    uint16_t rtcpPort() const { return localRtcpPort; }

    // The two client ports of a "client_port=A-B" in the data, when there is one.
    static std::optional<std::pair<uint16_t, uint16_t>> extractPorts(std::string_view data);
    // ";components=<first>,<first + 1>" inserted right before the CR LF that ends the first
    // "Transport: " header; data without one, or without a CR LF after it, stays unchanged.
    static std::string appendIceComponents(std::string data, uint8_t firstComponentId);

  protected:
    virtual bool createSDPSocket(const std::string& addr, const std::string& port,
                                 bool postSocket) = 0;
    virtual void deregisterWatcher(int fd) = 0;
    virtual void error(const std::string& message) = 0;
    virtual bool registerWatcher(int fd, Callback cb) = 0;
    // Runs cb on the loop thread; callable from any thread, does nothing once the loop is gone.
    virtual void scheduleOnMainThread(Callback cb) = 0;
    virtual uint32_t sdpSocketSend(const uint8_t* bytes, uint32_t length) = 0;
    virtual void sdpPostSocketSend(const uint8_t* bytes, uint32_t length) = 0;
    virtual void stopImpl() = 0;
    virtual void tunnelDeregisterClient(uint8_t id) = 0;
    virtual void tunnelRegisterClient(uint8_t id) = 0;
    virtual void tunnelSend(const uint8_t* bytes, uint16_t length) = 0;
    virtual void videoCleanupImpl() = 0;
    // Calls cb whenever fd is writable, until deregistered.
    virtual bool registerWriteWatcher(int fd, Callback cb) = 0;
    virtual void deregisterWriteWatcher(int fd) = 0;
    // count more camera bytes reached the media framework (the receive window reopens).
    virtual void dataConsumed(uint32_t count) = 0;

  private:
    // The framework's requests, unit by unit: heads rewritten, frames per useRtcpOverRtsp.
    class RequestHandler : public rtsp::Framer::Handler {
      public:
        explicit RequestHandler(RTSPDecoder& owner) : decoder(owner) {}
        void headBytes(const uint8_t* bytes, size_t length) override;
        bool headEnd(const rtsp::Head& head) override;
        void bodyBytes(const uint8_t* bytes, size_t length) override;
        void interleavedBytes(const uint8_t* bytes, size_t length, bool start) override;

      private:
        RTSPDecoder& decoder;
        std::string head;
    };
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
    // A complete request head of the framework: client ports, components, to the camera.
    bool forwardRequestHead(std::string head);
    void closeClient(int fd);
    bool prepareRtpSockets();
    void libavRtcpInput();
    void sendToCamera(const uint8_t* bytes, size_t length);
    void writeToMedia();
    // Once nothing waits for the framework after the camera closed: the framework's end of
    // stream.
    void endMediaStreamIfDrained();
    void cameraRedirected(const std::string& location);
    void closeSocket(int& fd);
    void finishRecording();
    void mediaClosed();
    static void closeMediaThreadMainMethod(boost::shared_ptr<RTSPDecoder> self,
                                           boost::shared_ptr<media::MediaRemux> remux);

    int fdLocalRtp = -1;
    int fdLocalRtcp = -1;
    int fdSdpClient = -1;      // the media framework's RTSP connection (the GET socket)
    int fdSdpClientPost = -1;  // a second local connection (the POST socket)
    int fdSdp = -1;            // the local endpoint's listener
    uint16_t originalClientPortRtp = 0;
    uint16_t originalClientPortRtcp = 0;
    uint16_t localRtpPort = 0;
    uint16_t localRtcpPort = 0;
    uint16_t localServerPort = 0;
    std::string m_url;
    bool started = false;
    bool closing = false;           // closeMedia has run
    bool cleanedUp = false;         // videoCleanupImpl has run
    bool cameraGone = false;        // the camera closed, or redirected: nothing more from it
    bool mediaStreamEnded = false;  // the framework's connection was shut for writing
    media::OutputFile output;
    std::string codec;
    uint8_t firstComponentId = 0;
    bool useRtcpOverRtsp = false;
    boost::shared_ptr<media::MediaRemux> mediaRemux;  // given up to the close-media thread
    boost::thread closeMediaThread;
    std::vector<uint8_t> toCamera;  // requests the tunnel has not taken yet
    std::vector<uint8_t> toMedia;   // camera bytes the media framework's socket did not take
    size_t toMediaHead = 0;
    bool watchingMediaWrites = false;
    rtsp::Framer requestFramer;  // the framework's connection
    rtsp::Framer answerFramer;   // the camera's connection
    RequestHandler requestHandler{*this};
};

using RTSPDecoderPtr = boost::shared_ptr<RTSPDecoder>;
