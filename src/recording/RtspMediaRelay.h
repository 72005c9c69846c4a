// The media's way to the media framework in an RTSP recording, in two parts:
//   - the camera's answers and interleaved media, written to the framework's RTSP connection;
//     what its socket does not take at once waits, in order, until it is writable (the
//     tunnel's receive window reopening as the bytes go), and once the camera is gone and
//     nothing waits the connection is shut for writing: the framework's end of stream;
//   - RTP and RTCP that arrive as gateway-client channel datagrams, relayed to two local UDP
//     sockets (a consecutive port pair) connected to the framework's client ports, and the
//     framework's RTCP back as channel data.
//
// Owner: RTSPDecoder, which accepts the framework's connection and lends it here (attach,
// detach), checks the camera's answers before they are passed on, and routes the channel
// datagrams here; the request relay (RtspRequestRelay.h) opens the UDP pair when a request
// names the client ports. Runs on the worker's loop; every callback it hands to the loop holds
// the decoder.
#pragma once

#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "recording/RtspDecoderHost.h"

class RtspMediaRelay {
  public:
    // One read of a local socket.
    static constexpr size_t kReadSize = 8192;

    explicit RtspMediaRelay(RtspDecoderHost& host) : host_(host) {}
    ~RtspMediaRelay();
    RtspMediaRelay(const RtspMediaRelay&) = delete;
    RtspMediaRelay& operator=(const RtspMediaRelay&) = delete;

    // The decoder that owns the relay: held by each callback handed to the loop.
    void setOwner(const boost::shared_ptr<void>& owner);

    // The framework's RTSP connection, the decoder's; detach comes before the decoder closes it.
    void attach(int fd) { mediaFd_ = fd; }
    void detach();
    // Camera bytes for the framework: written now, or kept in order for its socket.
    void toMedia(const uint8_t* bytes, size_t length);
    size_t bytesWaiting() const { return toMedia_.size() - toMediaHead_; }
    // Nothing more of the camera's reaches the framework.
    bool cameraGone() const { return cameraGone_; }
    // The camera closed: what waits still goes, then the framework's stream ends.
    void cameraClosed();
    // The camera redirected: what waits is dropped.
    void cameraRedirected();

    // The framework's client ports, once a request named them (the UDP pair may have failed).
    bool clientPortsKnown() const { return clientPortRtp_ != 0 && clientPortRtcp_ != 0; }
    // The UDP pair connected to the client ports; false (logged) when it cannot be opened.
    bool openRtp(uint16_t clientPortRtp, uint16_t clientPortRtcp);
    void closeRtp();
    // One channel datagram without its channel byte.
    void receivedRtpData(const uint8_t* bytes, size_t length);
    uint16_t rtpPort() const { return localRtpPort_; }
    uint16_t rtcpPort() const { return localRtcpPort_; }

  private:
    void writeToMedia();
    // Once nothing waits for the framework after the camera closed: the framework's end of
    // stream.
    void endMediaStreamIfDrained();
    void rtcpInput();
    void closeSocket(int& fd);

    RtspDecoderHost& host_;
    boost::weak_ptr<RtspMediaRelay> self_;  // shares the owner's count
    int mediaFd_ = -1;
    std::vector<uint8_t> toMedia_;  // camera bytes the media framework's socket did not take
    size_t toMediaHead_ = 0;
    bool watchingMediaWrites_ = false;
    bool cameraGone_ = false;        // the camera closed, or redirected: nothing more from it
    bool mediaStreamEnded_ = false;  // the framework's connection was shut for writing
    int fdLocalRtp_ = -1;
    int fdLocalRtcp_ = -1;
    uint16_t clientPortRtp_ = 0;
    uint16_t clientPortRtcp_ = 0;
    uint16_t localRtpPort_ = 0;
    uint16_t localRtcpPort_ = 0;
};
