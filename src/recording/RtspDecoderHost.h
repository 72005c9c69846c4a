// What the RTSP decoder (RTSPDecoder.h) and its two relays need of the recording worker: the
// tunnelled connection to the camera and its channels, the loop's watchers, the error report
// and the end of the recording. RTSPRecorder implements it for the worker, each operation one
// of the worker's videorecorder_ services; the decoder's tests fake it.
//
// The decoder inherits it outside its public face and hands it to its relays: the request
// relay (RtspRequestRelay.h) sends through the tunnel, the media relay (RtspMediaRelay.h)
// watches its sockets and sends channel datagrams. Everything runs on the worker's loop thread
// except scheduleOnMainThread, which the close-media thread calls too.
#pragma once

#include <boost/function.hpp>
#include <cstdint>
#include <string>

class RtspDecoderHost {
  public:
    using Callback = boost::function<void()>;

    virtual ~RtspDecoderHost() = default;

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
};
