// Framing of the two pipes between the parent and a worker, used by both ends.
//
//    0      1                3
//   +------+----------------+---------------------+
//   | type | length n (u16, | payload (n <= 4096) |
//   |      | host order)    |                     |
//   +------+----------------+---------------------+
//
// Parent -> worker: 0 stop, 243 ring doorbell (the shared ring has frames: WorkerRing.h),
// 245 forward (the next server's connection waits on the hand-off
// socket), 249 not cached, 251 connect parameters, 255 tunnel packet, any other type: a
// channel datagram whose first byte is the type (channel ids are 128 to 193).
// Worker -> parent: 246 recording clean-up, 247/248 channel deregister/register,
// 250 cached-session query, 252 configuration found, 254 finished, 255 datagram for the
// gateway client.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

namespace pipe_message {

constexpr size_t kHeaderSize = 3;
constexpr size_t kMaxPayload = 4096;
constexpr size_t kMaxFrame = kHeaderSize + kMaxPayload;

enum Type : uint8_t {
    kStop = 0,
    kRingDoorbell = 243,
    kForward = 245,
    kRecordingCleanup = 246,
    kChannelDeregister = 247,
    kChannelRegister = 248,
    kNotCached = 249,
    kCachedSessionQuery = 250,
    kConnect = 251,
    kConfigurationFound = 252,
    kFinished = 254,
    kDatagram = 255,
};

// The one writer and reader of a frame's header: the type, then the payload's length.
void putHeader(uint8_t* header, uint8_t type, uint16_t length);
uint16_t headerLength(const uint8_t* header);

// Writes one frame with one gathered write: header and payload (payload only when not
// empty). Returns the write's result (bytes written, or -1 with errno). Never raises SIGPIPE
// (the processes ignore it).
ssize_t writeFrame(int fd, uint8_t type, const void* payload, uint16_t length);
// The same with the payload given in two pieces (a prefix and the rest), e.g. the
// TAMBLO_MT_TCPOVERUDP byte and a tunnel packet.
ssize_t writeFrame2(int fd, uint8_t type, const void* first, size_t firstLength, const void* second,
                    size_t secondLength);

// Reassembles frames from a stream read in large chunks. One read per readiness event
// works for blocking and non-blocking descriptors alike; complete frames are handed to
// the sink in order, a partial frame waits for the next read.
class Reader {
  public:
    enum class Status {
        Ok,          // read and dispatched what was there (possibly nothing complete)
        WouldBlock,  // nothing to read
        EndOfFile,   // the writer is gone
        Error,       // read failed
        Overlong,    // a frame announced more than kMaxPayload bytes: no resynchronisation
        Stopped,     // the sink asked to stop (the owner is going away)
    };

    // capacity is at least two frames; larger buffers take more frames per read.
    explicit Reader(size_t capacity = 4 * kMaxFrame);

    // Sink: bool(uint8_t type, const uint8_t* payload, uint16_t length); false stops.
    template <typename Sink>
    Status readAndDispatch(int fd, Sink&& sink) {
        const Status status = fill(fd);
        if (status != Status::Ok) {
            return status;
        }
        return dispatch(buffer_.get(), &begin_, end_, sink);
    }

    // The same, read into scratch (size bytes, at least kMaxFrame more than a read may take):
    // a buffer that many readers share, as only a partial frame is kept between reads (in the
    // reader's own buffer, which then needs no more than two frames).
    template <typename Sink>
    Status readAndDispatch(int fd, uint8_t* scratch, size_t size, Sink&& sink) {
        const size_t kept = end_ - begin_;
        const Status status = readInto(fd, scratch + kept, size - kept);
        if (status != Status::Ok) {
            return status;
        }
        std::memcpy(scratch, buffer_.get() + begin_, kept);
        size_t begin = 0;
        const Status result = dispatch(scratch, &begin, kept + lastRead_, sink);
        // What is left is a partial frame (or, when stopped or refused, what nobody reads).
        const size_t left = std::min(kept + lastRead_ - begin, capacity_);
        std::memcpy(buffer_.get(), scratch + begin, left);
        begin_ = 0;
        end_ = left;
        return result;
    }

    size_t buffered() const { return end_ - begin_; }

  private:
    Status fill(int fd);
    Status readInto(int fd, uint8_t* into, size_t room);
    template <typename Sink>
    static Status dispatch(const uint8_t* data, size_t* begin, size_t end, Sink& sink) {
        while (end - *begin >= kHeaderSize) {
            const uint8_t* frame = data + *begin;
            const uint16_t length = payloadLength(frame);
            if (length > kMaxPayload) {
                return Status::Overlong;
            }
            if (end - *begin < kHeaderSize + length) {
                break;
            }
            *begin += kHeaderSize + length;
            if (!sink(frame[0], frame + kHeaderSize, length)) {
                return Status::Stopped;
            }
        }
        return Status::Ok;
    }
    static uint16_t payloadLength(const uint8_t* frame);

    std::unique_ptr<uint8_t[]> buffer_;
    size_t capacity_;
    size_t begin_ = 0;
    size_t end_ = 0;
    size_t lastRead_ = 0;
};

// Connect parameters (type 251), host byte order:
//
//    0            4            6              10            12
//   +------------+------------+--------------+-------------+---------------------------+
//   | local IP   | local port | TCP window   | device port | device address text       |
//   | (as kept)  | u16        | u32          | u16         | (no terminator, <= 127)   |
//   +------------+------------+--------------+-------------+---------------------------+
struct ConnectParameters {
    uint32_t localIP = 0;
    uint16_t localPort = 0;
    uint32_t windowSize = 0;
    uint16_t devicePort = 0;
    std::string_view deviceAddress;  // points into the decoded payload
};
constexpr size_t kConnectFixedSize = 12;
constexpr size_t kMaxDeviceAddressText = 127;
// Returns the payload length; out must hold kConnectFixedSize + kMaxDeviceAddressText.
// Longer address texts are cut.
size_t encodeConnectParameters(const ConnectParameters& parameters, uint8_t* out);
std::optional<ConnectParameters> decodeConnectParameters(const uint8_t* payload, size_t length);

}  // namespace pipe_message
