// The camera's answers on their way to the media framework: redirects stop there.
#include "recording/CameraAnswerCheck.h"

#include <optional>
#include <string>

#include "common/Logging.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kVideoRecorder);
}  // namespace

namespace recording {

class CameraAnswerCheck::Inspector : public rtsp::Framer::Handler {
  public:
    void headBytes(const uint8_t*, size_t) override {}
    bool headEnd(const rtsp::Head& head) override {
        if (head.redirect()) {
            redirect = head.location;
            return false;
        }
        // An interim answer has no body; one without a length is the stream itself.
        if (!(head.statusCode >= 100 && head.statusCode <= 199) && !head.hasContentLength) {
            bodyToTheEnd = true;
            return false;
        }
        return true;
    }
    void bodyBytes(const uint8_t*, size_t) override {}
    void interleavedBytes(const uint8_t*, size_t, bool) override {}

    std::optional<std::string> redirect;
    bool bodyToTheEnd = false;
};

bool CameraAnswerCheck::pass(const uint8_t* bytes, size_t length) {
    if (streaming) {
        return true;
    }
    Inspector inspector;
    framer.feed(bytes, length, inspector);
    if (inspector.redirect) {
        LOG4CPLUS_WARN(logger, "camera redirects the recording to "
                                   << rtsp::printableLocation(*inspector.redirect)
                                   << "; redirects are not followed, ending it");
        return false;
    }
    streaming = inspector.bodyToTheEnd;
    return true;
}

}  // namespace recording
