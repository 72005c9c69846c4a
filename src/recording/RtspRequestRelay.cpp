// The RTSP recording's requests from the media framework to the camera (see
// RtspRequestRelay.h).
#include "recording/RtspRequestRelay.h"

#include <algorithm>

#include "common/Logging.h"
#include "recording/RtspMediaRelay.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kRtspDecoder);

// Reads a decimal port at text[*at]; moves *at past it.
std::optional<uint16_t> readPort(std::string_view text, size_t* at) {
    uint32_t value = 0;
    size_t digits = 0;
    while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9' && digits < 6) {
        value = value * 10 + static_cast<uint32_t>(text[*at] - '0');
        ++*at;
        ++digits;
    }
    if (digits == 0 || value == 0 || value > 0xffff) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}
}  // namespace

std::optional<std::pair<uint16_t, uint16_t>> RtspRequestRelay::extractPorts(std::string_view data) {
    static constexpr std::string_view kKey = "client_port";
    const size_t found = data.find(kKey);
    if (found == std::string_view::npos) {
        return std::nullopt;
    }
    size_t at = found + kKey.size();
    if (at < data.size() && data[at] == '=') {
        ++at;
    }
    const std::optional<uint16_t> rtp = readPort(data, &at);
    if (!rtp || at >= data.size()) {
        return std::nullopt;
    }
    ++at;  // the one separating character, as in 5000-5001
    const std::optional<uint16_t> rtcp = readPort(data, &at);
    if (!rtcp) {
        return std::nullopt;
    }
    return std::make_pair(*rtp, *rtcp);
}

std::string RtspRequestRelay::appendIceComponents(std::string data, uint8_t firstComponentId) {
    const size_t transport = data.find("Transport: ");
    if (transport == std::string::npos) {
        return data;
    }
    const size_t end = data.find("\r\n", transport);
    if (end == std::string::npos) {
        return data;
    }
    const uint8_t second = static_cast<uint8_t>(firstComponentId + 1);
    data.insert(end,
                ";components=" + std::to_string(firstComponentId) + "," + std::to_string(second));
    return data;
}

void RtspRequestRelay::feed(const uint8_t* bytes, size_t length) {
    // Unit by unit, across reads: a request joined to a frame, or a frame cut by a read,
    // each goes its own way.
    framer_.feed(bytes, length, *this);
}

void RtspRequestRelay::headBytes(const uint8_t* bytes, size_t length) {
    if (head_.size() + length > kMaxRequestHead) {
        head_.clear();
        host_.error("request head too long");
        return;
    }
    head_.append(reinterpret_cast<const char*>(bytes), length);
}

bool RtspRequestRelay::headEnd(const rtsp::Head&) {
    std::string complete;
    complete.swap(head_);
    return forwardRequestHead(std::move(complete));
}

void RtspRequestRelay::bodyBytes(const uint8_t* bytes, size_t length) {
    sendToCamera(bytes, length);
}

void RtspRequestRelay::interleavedBytes(const uint8_t* bytes, size_t length, bool start) {
    if (useRtcpOverRtsp_) {
        sendToCamera(bytes, length);
    } else if (start) {
        LOG4CPLUS_TRACE(logger, "dropping RTCP data from vlc");
    }
}

bool RtspRequestRelay::forwardRequestHead(std::string data) {
    if (!media_.clientPortsKnown()) {
        if (const auto ports = extractPorts(data)) {
            if (!media_.openRtp(ports->first, ports->second)) {
                host_.error("RTP socket setup failed");
                return false;
            }
        }
    }
    data = appendIceComponents(std::move(data), firstComponentId_);
    if (logger.isEnabledFor(log4cplus::TRACE_LOG_LEVEL)) {
        size_t begin = 0;
        while (begin < data.size()) {
            const size_t end = std::min(data.find("\r\n", begin), data.size());
            LOG4CPLUS_TRACE(logger, "libav: " << data.substr(begin, end - begin));
            begin = end + 2;
        }
    }
    LOG4CPLUS_TRACE(logger, "writing to GET socket?!");
    sendToCamera(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    return true;
}

void RtspRequestRelay::sendToCamera(const uint8_t* bytes, size_t length) {
    if (toCamera_.empty()) {
        const uint32_t accepted = host_.sdpSocketSend(bytes, static_cast<uint32_t>(length));
        bytes += accepted;
        length -= accepted;
    }
    if (length == 0) {
        return;
    }
    if (toCamera_.size() + length > kPendingLimit) {
        LOG4CPLUS_WARN(logger,
                       "sendToCamera: more than " << kPendingLimit << " bytes wait for the tunnel");
        host_.error("writing to camera failed");
        return;
    }
    // Kept whole and in order until the tunnel acknowledges data and takes more.
    toCamera_.insert(toCamera_.end(), bytes, bytes + length);
}

void RtspRequestRelay::tunnelAcknowledged() {
    if (toCamera_.empty()) {
        return;
    }
    const uint32_t accepted =
        host_.sdpSocketSend(toCamera_.data(), static_cast<uint32_t>(toCamera_.size()));
    toCamera_.erase(toCamera_.begin(), toCamera_.begin() + accepted);
}
