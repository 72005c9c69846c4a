// The RTSP connection's framer: message heads, bodies and interleaved frames.
#include "recording/RtspFraming.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>

namespace rtsp {

namespace {
// The value after "Name:" when the line is that header (case-insensitive), else null.
const char* headerValue(const std::string& line, const char* name, size_t nameLength) {
    if (line.size() < nameLength || strncasecmp(line.c_str(), name, nameLength) != 0) {
        return nullptr;
    }
    const char* value = line.c_str() + nameLength;
    while (*value == ' ' || *value == '\t') {
        ++value;
    }
    return value;
}

// The second blank-separated word, as atoi reads it.
int statusCode(const std::string& line) {
    size_t at = line.find_first_of(" \t");
    if (at == std::string::npos) {
        return 0;
    }
    at = line.find_first_not_of(" \t", at);
    return at == std::string::npos ? 0 : std::atoi(line.c_str() + at);
}
}  // namespace

std::string printableLocation(const std::string& location) {
    std::string printable = "'";
    for (const char c : location) {
        const auto byte = static_cast<unsigned char>(c);
        printable += byte >= 0x20 && byte < 0x7f ? c : '?';
    }
    return printable + "'";
}

void Framer::endLine() {
    if (lineCount_ == 0) {
        head_.statusCode = statusCode(line_);
    } else if (const char* value = headerValue(line_, "Content-Length:", 15)) {
        head_.contentLength = std::strtol(value, nullptr, 10);
        head_.hasContentLength = true;
    } else if (const char* location = headerValue(line_, "Location:", 9)) {
        head_.location.assign(location,
                              std::min(line_.size() - (location - line_.c_str()), kMaxLocation));
    }
    ++lineCount_;
    line_.clear();
}

size_t Framer::feed(const uint8_t* bytes, size_t length, Handler& handler) {
    size_t at = 0;
    while (at < length) {
        switch (state_) {
            case State::Boundary:
            case State::Line:
                if (interleaved_ && state_ == State::Boundary && bytes[at] == kInterleavedMagic) {
                    state_ = State::FrameHeader;
                    remaining_ = kInterleavedHeaderSize;
                    continue;
                }
                if (!inHead_) {
                    inHead_ = true;
                    lineCount_ = 0;
                    head_ = Head{};
                }
                state_ = State::Line;
                {
                    // Up to the end of this line, or of the bytes.
                    size_t end = at;
                    bool lineDone = false;
                    while (end < length) {
                        const uint8_t c = bytes[end++];
                        if (c == '\n') {
                            lineDone = true;
                            break;
                        }
                        if (c != '\r' && line_.size() < kMaxLine) {
                            line_.push_back(static_cast<char>(c));
                        }
                    }
                    handler.headBytes(bytes + at, end - at);
                    at = end;
                    if (!lineDone) {
                        break;
                    }
                    if (!line_.empty() || lineCount_ == 0) {
                        // An empty first line ends the head as well (it is an empty answer).
                        const bool empty = line_.empty();
                        endLine();
                        if (!empty) {
                            state_ = State::Boundary;  // a '$' may begin the next line
                            break;
                        }
                    }
                    inHead_ = false;
                    const Head done = head_;
                    remaining_ =
                        done.contentLength > 0 ? static_cast<size_t>(done.contentLength) : 0;
                    state_ = remaining_ > 0 ? State::Body : State::Boundary;
                    if (!handler.headEnd(done)) {
                        return at;
                    }
                }
                break;
            case State::FrameHeader:
            case State::FramePayload: {
                const bool start =
                    state_ == State::FrameHeader && remaining_ == kInterleavedHeaderSize;
                size_t take = std::min(remaining_, length - at);
                if (state_ == State::FrameHeader) {
                    // The length is read as its two bytes arrive.
                    for (size_t i = 0; i < take; ++i) {
                        const size_t offset = kInterleavedHeaderSize - remaining_ + i;
                        if (offset == 2) {
                            frameLength_ = static_cast<size_t>(bytes[at + i]) << 8;
                        } else if (offset == 3) {
                            frameLength_ |= bytes[at + i];
                        }
                    }
                }
                handler.interleavedBytes(bytes + at, take, start);
                at += take;
                remaining_ -= take;
                if (remaining_ == 0) {
                    if (state_ == State::FrameHeader && frameLength_ > 0) {
                        state_ = State::FramePayload;
                        remaining_ = frameLength_;
                    } else {
                        state_ = State::Boundary;
                    }
                }
                break;
            }
            case State::Body: {
                const size_t take = std::min(remaining_, length - at);
                handler.bodyBytes(bytes + at, take);
                at += take;
                remaining_ -= take;
                if (remaining_ == 0) {
                    state_ = State::Boundary;
                }
                break;
            }
        }
    }
    return at;
}

}  // namespace rtsp
