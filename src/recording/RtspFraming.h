// Framing of an RTSP connection that carries media interleaved with the messages: tells
// message heads, message bodies and interleaved frames apart across reads, as the media
// framework reading the stream (libavformat) takes them.
//
//   interleaved frame:
//   +-----+---------+---------------------+-------------------+
//   | '$' | channel | length (16-bit, BE) | `length` bytes    |
//   +-----+---------+---------------------+-------------------+
//      0       1          2 .. 3             4 ..
//
//   message: a head of lines, each ending in LF (a CR before it is dropped), closed by an
//   empty line; then "Content-Length:" bytes of body. A '$' at the start of any head line
//   begins an interleaved frame, after which the head goes on.
//
// Used by the RTSP decoder (RTSPDecoder.cpp) in both directions: requests of the framework
// for the camera (whose heads it rewrites) and the camera's answers for the framework
// (whose status it checks); and, without interleaved frames, by the MJPEG path for an HTTP
// camera's answers (videorecorder_recording.cpp). The framer keeps only the state of the unit it is
// in and the head line being read (at most kMaxLine characters of it, as the framework keeps),
// never reads past the bytes it is given, and passes every byte on exactly once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace rtsp {

inline constexpr size_t kInterleavedHeaderSize = 4;
inline constexpr uint8_t kInterleavedMagic = '$';
inline constexpr size_t kMaxLine = 4095;     // characters of a head line that count
inline constexpr size_t kMaxLocation = 256;  // characters of a Location kept for the log

// What a message head said.
struct Head {
    int statusCode = 0;      // second word of the first line, as atoi reads it (answers)
    long contentLength = 0;  // Content-Length, as strtol reads it
    bool hasContentLength = false;
    std::string location;  // Location, at most kMaxLocation characters
    bool redirect() const { return statusCode >= 300 && statusCode <= 399; }
};

// "'<location>'" with every byte outside printable ASCII as '?', for a log line.
std::string printableLocation(const std::string& location);

class Framer {
  public:
    class Handler {
      public:
        virtual ~Handler() = default;
        // Bytes of a message head, as received (CR and LF included).
        virtual void headBytes(const uint8_t* bytes, size_t length) = 0;
        // The head is complete (its bytes were all passed); false stops the feed here.
        virtual bool headEnd(const Head& head) = 0;
        virtual void bodyBytes(const uint8_t* bytes, size_t length) = 0;
        // Bytes of an interleaved frame, its header included; start on its first byte.
        virtual void interleavedBytes(const uint8_t* bytes, size_t length, bool start) = 0;
    };

    // interleaved: a '$' at a line's start begins a frame (RTSP); false for HTTP.
    explicit Framer(bool interleaved = true) : interleaved_(interleaved) {}

    // Passes the bytes on, piece by piece; the count used, less than length only when a
    // headEnd said stop (the bytes after that head are left).
    size_t feed(const uint8_t* bytes, size_t length, Handler& handler);
    // Between two units: nothing of a head, body or frame is pending.
    bool atBoundary() const { return state_ == State::Boundary; }

  private:
    enum class State { Boundary, Line, FrameHeader, FramePayload, Body };
    void endLine();

    bool interleaved_;
    State state_ = State::Boundary;
    bool inHead_ = false;   // a head's first line was begun (a frame may interrupt it)
    size_t lineCount_ = 0;  // complete lines of the current head
    std::string line_;      // the current line, without CR
    Head head_;
    size_t remaining_ = 0;    // of the frame header, frame payload or body
    size_t frameLength_ = 0;  // the current frame's payload length
};

}  // namespace rtsp
