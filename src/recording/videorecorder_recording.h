// The recording worker's MJPEG path: the media framework (libvlc) plays an HTTP location on a
// small local server inside the worker, the worker relays that one HTTP connection through
// the tunnel to the camera (the relay data path, never rewritten), and the framework
// transcodes the stream into an FLV file.
//
// Used by videoRecorder (videorecorder.cpp), which owns one MjpegRecording for the life of a
// recording worker and is its RecordingHost: the worker keeps the local server and the
// tunnel, the recording reaches them only through that interface. The pure helpers are
// exposed for the unit tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/EventLoop.h"
#include "common/FileDescriptor.h"
#include "protocol/RecordingRequest.h"
#include "recording/RtspFraming.h"

struct libvlc_instance_t;
struct libvlc_media_t;
struct libvlc_media_player_t;

namespace recording {

// "MPEG4" and "H264", exactly, select the RTSP path; any other codec name the MJPEG path.
bool isRtspCodec(std::string_view codec);
// The RTSP path always reaches the camera on this port, whatever port START named.
inline constexpr uint16_t kRtspCameraPort = 554;

// '@', '/', '?', '#' end the userinfo part of a URL and the framework decodes "%xx" in it,
// so these five characters are percent-encoded; every other character stays as given.
std::string encodeUserInfo(std::string_view text);
// "http://<user>:<pass>@127.0.0.1:<port>/<videoUri>" with the credentials encoded as above.
// The address, not "localhost": a fresh root has no /etc/hosts to resolve that name.
std::string mediaLocation(std::string_view user, std::string_view pass, uint16_t port,
                          std::string_view videoUri);
// The output chain: FLV1 at 1024 kbit/s into the FLV muxer and the framework's standard
// output, which the worker points at the file the parent opened.
std::string outputChain();
// The media framework's instance arguments for an output chain.
std::vector<std::string> instanceArguments(const std::string& chain);

// Confines the worker once its media framework is loaded and the local endpoint listens on
// localPort (request.confine); false: the worker must end.
bool confineWorker(const RecordingRequest& request, uint16_t localPort);
// Blocks SIGTERM in this thread (and so in every thread started later) and returns a
// descriptor that reads it, or -1.
int terminationDescriptor();
// What an MJPEG recording needs of its worker.
class RecordingHost {
  public:
    virtual struct ev_loop* loop() = 0;
    // Opens the local server for the framework on 127.0.0.1, a port the system picks; the
    // port, or 0.
    virtual uint16_t openLocalServer() = 0;
    // From now on the framework's connection to the local server opens the tunnel to the
    // camera.
    virtual void watchLocalServer() = 0;
    // Ends the worker at once (a termination signal; the file is still completed).
    virtual void endNow() = 0;

  protected:
    ~RecordingHost() = default;
};

// One MJPEG recording: the framework's instance, media and player, and the worker's end on a
// termination signal (the file is then closed properly).
class MjpegRecording {
  public:
    // Takes over request.outputFd as the framework's standard output.
    MjpegRecording(const RecordingRequest& request, RecordingHost& host);
    ~MjpegRecording();
    MjpegRecording(const MjpegRecording&) = delete;
    MjpegRecording& operator=(const MjpegRecording&) = delete;

    // Confines the worker, starts watching the local server and playing; false when the
    // set-up failed (logged).
    bool start();
    // Before the worker's loop is destroyed.
    void stopWatching();
    // After the loop: stops the player (the file is completed), then releases everything.
    void stopPlayer();
    void release();

  private:
    static void terminationCb(struct ev_loop*, ev_io* watcher, int);

    const RecordingRequest& request;
    RecordingHost& host;
    std::string chain;
    uint16_t localPort = 0;
    libvlc_instance_t* vlc = nullptr;
    libvlc_media_t* media = nullptr;
    libvlc_media_player_t* player = nullptr;
    UniqueFd terminationSignal;
    EvIo terminationWatcher;
};

}  // namespace recording
