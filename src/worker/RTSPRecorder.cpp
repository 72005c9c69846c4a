// The RTSP decoder's operations mapped onto the recording worker's services.
#include "worker/RTSPRecorder.h"

#include <cstdlib>

#include "common/Logging.h"
#include "worker/videorecorder_services.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kRtspRecorder);
}

RTSPRecorder::~RTSPRecorder() = default;

bool RTSPRecorder::createSDPSocket(const std::string& addr, const std::string& port,
                                   bool postSocket) {
    if (postSocket) {
        return false;
    }
    const uint16_t number = static_cast<uint16_t>(std::atoi(port.c_str()));
    LOG4CPLUS_DEBUG(logger, "createSDPSocket: connecting to " << addr << ":" << number);
    videorecorder_connect(addr.c_str(), number);
    return true;
}

void RTSPRecorder::deregisterWatcher(int fd) {
    videorecorder_deregister_watcher(static_cast<uint16_t>(fd));
}

void RTSPRecorder::error(const std::string& message) {
    videorecorder_error(message.c_str());
}

bool RTSPRecorder::registerWatcher(int fd, Callback cb) {
    return videorecorder_register_watcher(static_cast<uint16_t>(fd), std::move(cb));
}

void RTSPRecorder::scheduleOnMainThread(Callback cb) {
    videorecorder_post_to_loop(std::move(cb));
}

uint32_t RTSPRecorder::sdpSocketSend(const uint8_t* bytes, uint32_t length) {
    return videorecorder_send_to_device(bytes, length);
}

void RTSPRecorder::sdpPostSocketSend(const uint8_t*, uint32_t) {
    // A second local connection never reaches the camera.
}

void RTSPRecorder::stopImpl() {}

void RTSPRecorder::tunnelDeregisterClient(uint8_t id) {
    videorecorder_channel_deregister(id);
}

void RTSPRecorder::tunnelRegisterClient(uint8_t id) {
    videorecorder_channel_register(id);
}

void RTSPRecorder::tunnelSend(const uint8_t* bytes, uint16_t length) {
    videorecorder_channel_send(bytes, length);
}

void RTSPRecorder::videoCleanupImpl() {
    videorecorder_cleanup();
}

bool RTSPRecorder::registerWriteWatcher(int fd, Callback cb) {
    return videorecorder_register_write_watcher(static_cast<uint16_t>(fd), std::move(cb));
}

void RTSPRecorder::deregisterWriteWatcher(int fd) {
    videorecorder_deregister_write_watcher(static_cast<uint16_t>(fd));
}

void RTSPRecorder::dataConsumed(uint32_t count) {
    videorecorder_data_consumed(count);
}
