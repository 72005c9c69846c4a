// The recording worker's end of the MJPEG path: the local server on 127.0.0.1 that the media
// framework plays from, whose first connection opens the tunnel to the camera, and the
// accept that joins that connection to the relay once the camera is reachable.
//
// videoRecorder (videorecorder.cpp) makes one per MJPEG recording and hands it to the
// recording as its RecordingHost; the data path's tunnelConnected calls
// worker::acceptMediaConnection (declared with the worker's state).
#pragma once

#include <cstdint>

#include "recording/videorecorder_recording.h"

namespace worker {

class MediaEndpoint final : public recording::RecordingHost {
  public:
    struct ev_loop* loop() override;
    // Listens on 127.0.0.1 (the worker's fdListen); the port, or 0.
    uint16_t openLocalServer() override;
    void watchLocalServer() override;
    void endNow() override;
};

}  // namespace worker
