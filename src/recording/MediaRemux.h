// The media framework of the RTSP path: libavformat plays an RTSP location with the media
// interleaved in the RTSP connection (rtsp_transport=tcp) and copies the stream, without
// transcoding, into an mp4 or 3gp file.
//
// Owned by the RTSP decoder (RTSPDecoder.cpp), which starts it once the camera is reachable
// and plays it from its local endpoint. The read loop blocks, so it runs on a thread of its
// own; requestStop ends it from any thread through libavformat's interrupt callback. Only the
// recording thread touches the libavformat objects; everything else here is thread-safe.
#pragma once

#include <atomic>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace media {

// "3gp" for the codec name "MPEG4", "mp4" for any other.
const char* containerFor(std::string_view codec);

// Where a recording goes: a descriptor open for writing (the remux owns it), the name the
// operator gave it (for log lines), and whether the file is fragmented.
struct OutputFile {
    int fd = -1;
    std::string name;
    bool fragments = true;
};

// The muxer options of a container: a fragmented file gets a fragment at each key frame and
// at most every kFragmentMicroseconds, its first index written with the first fragment (the
// codec parameters may come with the first packets), and the fragment index (mfra) at the
// end, which players seek with.
inline constexpr int64_t kFragmentMicroseconds = 2000000;
inline constexpr const char* kFragmentFlags =
    "+frag_keyframe+empty_moov+delay_moov+default_base_moof";

// Sets the libraries up (logging, the network layer) while the worker may still open files.
void prepareLibav();

class MediaRemux {
  public:
    // Plays `url` with libavformat allowed only the protocols of the local relay (rtsp over
    // tcp), and writes the copy into output.
    MediaRemux(std::string url, OutputFile output, std::string container);
    // Stops the recording and waits for its thread (unbounded: callers bound the wait first).
    ~MediaRemux();
    MediaRemux(const MediaRemux&) = delete;
    MediaRemux& operator=(const MediaRemux&) = delete;

    // Starts the recording thread; once per object.
    void start();
    // Any thread: the read loop ends at its next check (within 0.1 s); the file is completed.
    void requestStop();
    // Waits up to `limit` for the recording thread; true when it has ended (or never ran).
    bool waitFinished(std::chrono::milliseconds limit);
    // Packets written to the file so far (any thread).
    uint64_t packetsWritten() const { return packets_.load(); }

  private:
    void run();
    static int interruptCb(void* self);

    const std::string url_;
    OutputFile output_;
    const std::string container_;
    std::atomic<bool> stopRequested_{false};
    // While the session is closed (the teardown is sent), only a deadline interrupts.
    std::atomic<int64_t> closeDeadline_{0};
    std::atomic<uint64_t> packets_{0};
    boost::thread thread_;
};

}  // namespace media
