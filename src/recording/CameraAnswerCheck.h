// The MJPEG recording's check of the camera's answers, which the recording worker's data path
// (videorecorder_relay.cpp) applies to every camera byte before the media framework sees it.
// Apart from the recording itself so that the worker's data path needs no media library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "recording/RtspFraming.h"

namespace recording {

// The MJPEG camera's answers on their way to the framework: a redirect (any 3xx) is never
// passed on, since the framework would follow it anywhere (another address, a local file).
// Answers are followed while their lengths are known (a 401 before the stream, say); the
// stream itself runs to the connection's end and is not looked into.
class CameraAnswerCheck {
  public:
    // False: the bytes complete a redirect's head (logged at WARN); they must not be passed on.
    bool pass(const uint8_t* bytes, size_t length);

  private:
    class Inspector;
    rtsp::Framer framer{false};
    bool streaming = false;  // the stream's body has begun: nothing more to look at
};

}  // namespace recording
