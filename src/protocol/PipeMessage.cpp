// Writing and reassembling pipe frames, and the connect parameters of message 251.
#include "protocol/PipeMessage.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pipe_message {

void putHeader(uint8_t* header, uint8_t type, uint16_t length) {
    header[0] = type;
    std::memcpy(header + 1, &length, sizeof length);
}

uint16_t headerLength(const uint8_t* header) {
    uint16_t length;
    std::memcpy(&length, header + 1, sizeof length);
    return length;
}

ssize_t writeFrame(int fd, uint8_t type, const void* payload, uint16_t length) {
    uint8_t header[kHeaderSize];
    putHeader(header, type, length);
    iovec pieces[2] = {{header, kHeaderSize}, {const_cast<void*>(payload), length}};
    ssize_t result;
    do {
        result = ::writev(fd, pieces, length != 0 ? 2 : 1);
    } while (result < 0 && errno == EINTR);
    return result;
}

ssize_t writeFrame2(int fd, uint8_t type, const void* first, size_t firstLength, const void* second,
                    size_t secondLength) {
    uint8_t header[kHeaderSize];
    putHeader(header, type, static_cast<uint16_t>(firstLength + secondLength));
    iovec pieces[3] = {{header, kHeaderSize},
                       {const_cast<void*>(first), firstLength},
                       {const_cast<void*>(second), secondLength}};
    ssize_t result;
    do {
        result = ::writev(fd, pieces, 3);
    } while (result < 0 && errno == EINTR);
    return result;
}

Reader::Reader(size_t capacity)
    : buffer_(new uint8_t[std::max(capacity, 2 * kMaxFrame)]),
      capacity_(std::max(capacity, 2 * kMaxFrame)) {}

uint16_t Reader::payloadLength(const uint8_t* frame) {
    return headerLength(frame);
}

Reader::Status Reader::fill(int fd) {
    if (begin_ != 0) {
        // Keep the partial frame at the front so a whole frame always fits.
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    const Status status = readInto(fd, buffer_.get() + end_, capacity_ - end_);
    if (status == Status::Ok) {
        end_ += lastRead_;
    }
    return status;
}

Reader::Status Reader::readInto(int fd, uint8_t* into, size_t room) {
    ssize_t n;
    do {
        n = ::read(fd, into, room);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        lastRead_ = static_cast<size_t>(n);
        return Status::Ok;
    }
    lastRead_ = 0;
    if (n == 0) {
        return Status::EndOfFile;
    }
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? Status::WouldBlock : Status::Error;
}

size_t encodeConnectParameters(const ConnectParameters& parameters, uint8_t* out) {
    std::memcpy(out, &parameters.localIP, 4);
    std::memcpy(out + 4, &parameters.localPort, 2);
    std::memcpy(out + 6, &parameters.windowSize, 4);
    std::memcpy(out + 10, &parameters.devicePort, 2);
    const size_t textLength = std::min(parameters.deviceAddress.size(), kMaxDeviceAddressText);
    std::memcpy(out + kConnectFixedSize, parameters.deviceAddress.data(), textLength);
    return kConnectFixedSize + textLength;
}

std::optional<ConnectParameters> decodeConnectParameters(const uint8_t* payload, size_t length) {
    if (length < kConnectFixedSize) {
        return std::nullopt;
    }
    ConnectParameters parameters;
    std::memcpy(&parameters.localIP, payload, 4);
    std::memcpy(&parameters.localPort, payload + 4, 2);
    std::memcpy(&parameters.windowSize, payload + 6, 4);
    std::memcpy(&parameters.devicePort, payload + 10, 2);
    const size_t textLength = std::min(length - kConnectFixedSize, kMaxDeviceAddressText);
    parameters.deviceAddress =
        std::string_view(reinterpret_cast<const char*>(payload + kConnectFixedSize), textLength);
    return parameters;
}

}  // namespace pipe_message
