// The RTSP decoder bound to the recording worker: each of the decoder's operations is one of
// the worker's videorecorder_ services (tunnel, loop watchers, channels, pipe to the parent).
//
// The recording worker (videorecorder.cpp) creates one for an RTSP recording, holds it for the
// life of the process and routes tunnel and parent events to it; the decoder's callbacks hold
// further shared pointers to it. All operations run on the worker's loop thread, except
// scheduleOnMainThread, which the close-media thread calls too.
#pragma once

#include "recording/RTSPDecoder.h"
#include "worker/videorecorder_state.h"

class RTSPRecorder : public RTSPDecoder, public worker::RecorderEvents {
  public:
    RTSPRecorder() = default;
    ~RTSPRecorder() override;

    // The worker's events, passed to the decoder.
    void connected() override { RTSPDecoder::connected(); }
    void receivedData(const uint8_t* bytes, size_t length) override {
        RTSPDecoder::receivedData(bytes, length);
    }
    void receivedRtpData(const uint8_t* bytes, size_t length) override {
        RTSPDecoder::receivedRtpData(bytes, length);
    }
    void tunnelAcknowledged() override { RTSPDecoder::tunnelAcknowledged(); }
    void cameraClosed() override { RTSPDecoder::cameraClosed(); }
    void closeMedia() override { RTSPDecoder::closeMedia(); }
    size_t bytesWaitingForMedia() const override { return RTSPDecoder::bytesWaitingForMedia(); }

  protected:
    bool createSDPSocket(const std::string& addr, const std::string& port,
                         bool postSocket) override;
    void deregisterWatcher(int fd) override;
    void error(const std::string& message) override;
    bool registerWatcher(int fd, Callback cb) override;
    void scheduleOnMainThread(Callback cb) override;
    uint32_t sdpSocketSend(const uint8_t* bytes, uint32_t length) override;
    void sdpPostSocketSend(const uint8_t* bytes, uint32_t length) override;
    void stopImpl() override;
    void tunnelDeregisterClient(uint8_t id) override;
    void tunnelRegisterClient(uint8_t id) override;
    void tunnelSend(const uint8_t* bytes, uint16_t length) override;
    void videoCleanupImpl() override;
    bool registerWriteWatcher(int fd, Callback cb) override;
    void deregisterWriteWatcher(int fd) override;
    void dataConsumed(uint32_t count) override;
};

using RTSPRecorderPtr = boost::shared_ptr<RTSPRecorder>;
