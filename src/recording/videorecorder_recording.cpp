// The recording worker's MJPEG path: local server, media framework and the accept that joins
// the framework's connection to the tunnel.
#include "recording/videorecorder_recording.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vlc/vlc.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>

#include "common/FileDescriptor.h"
#include "common/Logging.h"
#include "worker/tcpoverudp.h"
#include "worker/videorecorder.h"
#include "worker/videorecorder_state.h"

using worker::State;

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kVideoRecorder);

constexpr int kListenBacklog = 10;

// The framework's own messages, at TRACE; its errors at DEBUG (a refused password shows as
// "HTTP 401 error"). Called on the framework's threads; log4cplus is thread-safe.
void frameworkLogCb(void*, int level, const libvlc_log_t*, const char* format, va_list arguments) {
    const log4cplus::LogLevel ours =
        level >= LIBVLC_ERROR ? log4cplus::DEBUG_LOG_LEVEL : log4cplus::TRACE_LOG_LEVEL;
    if (!logger.isEnabledFor(ours)) {
        return;
    }
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    if (ours == log4cplus::DEBUG_LOG_LEVEL) {
        LOG4CPLUS_DEBUG(logger, "libvlc: " << text);
    } else {
        LOG4CPLUS_TRACE(logger, "libvlc: " << text);
    }
}

void vlcListenWatcher_cb(struct ev_loop*, ev_io*, int) {
    State& s = worker::state();
    LOG4CPLUS_TRACE(logger, "vlcListenWatcher_cb: before tunnelConnect");
    tunnelConnect(s.gcIP, s.gcPort, inet_addr(s.cameraIPAddress), getPortNumber(), s.tcpWnd);
    LOG4CPLUS_TRACE(logger, "vlcListenWatcher_cb: after tunnelConnect");
    s.vlcListenWatcher.stop();
}

}  // namespace

namespace recording {

int terminationDescriptor() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

bool isRtspCodec(std::string_view codec) {
    return codec == "MPEG4" || codec == "H264";
}

std::string encodeUserInfo(std::string_view text) {
    std::string encoded;
    encoded.reserve(text.size());
    for (const char c : text) {
        if (c == '@' || c == '/' || c == '?' || c == '#' || c == '%') {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", static_cast<unsigned char>(c));
            encoded += escape;
        } else {
            encoded += c;
        }
    }
    return encoded;
}

std::string mediaLocation(std::string_view user, std::string_view pass, uint16_t port,
                          std::string_view videoUri) {
    return "http://" + encodeUserInfo(user) + ":" + encodeUserInfo(pass) +
           "@127.0.0.1:" + std::to_string(port) + "/" + std::string(videoUri);
}

std::string outputChain() {
    return "#transcode{vcodec=FLV1,vb=1024}:standard{access=file,mux=ffmpeg{mux=flv},dst=-}";
}

std::vector<std::string> instanceArguments(const std::string& chain) {
    // No audio output at all (--aout=dummy): it would write under the runtime directory. No
    // Lua scripts: they would run over whatever a camera sends.
    return {"-I",     "dummy",       "--demux",      "mjpeg",    "--ignore-config",
            "-vvvvv", "--no-audio",  "--aout=dummy", "--no-lua", "--sout",
            chain,    "'vlc://quit'"};
}

bool confineWorker(const RecordingRequest& request, uint16_t localPort) {
    return !request.confine || request.confine(localPort);
}

uint16_t prepareLocalServer() {
    State& s = worker::state();
    s.fdListen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    // Only this machine's loopback: a connection from elsewhere would be relayed to the
    // camera with the operator's credentials.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (s.fdListen < 0 ||
        ::bind(s.fdListen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(s.fdListen, kListenBacklog) != 0 ||
        getsockname(s.fdListen, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        LOG4CPLUS_WARN(logger,
                       "videoRecorder: could not open the local server for the media "
                       "framework: "
                           << std::strerror(errno));
        return 0;
    }
    return ntohs(address.sin_port);
}

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

MjpegRecording::MjpegRecording(const RecordingRequest& recordingRequest)
    : request(recordingRequest), chain(outputChain()) {
    openClosedStandardStreams();
    // The framework writes the recording to its standard output: the file the parent opened.
    // Nothing else may write there, so the logging library's console output (std::cout) goes
    // to the standard error stream instead.
    std::fflush(stdout);
    std::cout.flush();
    std::cout.rdbuf(std::cerr.rdbuf());
    if (::dup2(request.outputFd, STDOUT_FILENO) < 0) {
        LOG4CPLUS_WARN(logger,
                       "videoRecorder: cannot hand the recording file to the media "
                       "framework: "
                           << std::strerror(errno));
        return;
    }
    ::close(request.outputFd);
    terminationSignal.reset(terminationDescriptor());
    const std::vector<std::string> arguments = instanceArguments(chain);
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    vlc = libvlc_new(static_cast<int>(argv.size()), argv.data());
    if (vlc == nullptr) {
        LOG4CPLUS_WARN(logger, "videoRecorder: the media framework did not start");
        return;
    }
    libvlc_log_set(vlc, frameworkLogCb, nullptr);
    localPort = prepareLocalServer();
    if (localPort == 0) {
        return;
    }
    const std::string location =
        mediaLocation(request.user, request.pass, localPort, request.videoUri);
    media = libvlc_media_new_location(vlc, location.c_str());
    if (media == nullptr) {
        LOG4CPLUS_WARN(logger, "videoRecorder: the media framework refused the location");
        return;
    }
    // The framework ignores an output chain given to the instance once a player exists: the
    // same chain as a media option is what makes it write the file.
    libvlc_media_add_option(media, (":sout=" + chain).c_str());
    player = libvlc_media_player_new_from_media(media);
    if (player != nullptr) {
        libvlc_media_player_set_media(player, media);
    }
}

MjpegRecording::~MjpegRecording() {
    release();
}

bool MjpegRecording::start() {
    State& s = worker::state();
    if (player == nullptr || !confineWorker(request, localPort)) {
        return false;
    }
    if (terminationSignal.valid()) {
        ev_io_init(terminationWatcher.get(), terminationCb, terminationSignal.get(), EV_READ);
        terminationWatcher.start(s.localLoop);
    }
    ev_io_init(s.vlcListenWatcher.get(), vlcListenWatcher_cb, s.fdListen, EV_READ);
    s.vlcListenWatcher.start(s.localLoop);
    if (libvlc_media_player_play(player) != 0) {
        LOG4CPLUS_WARN(logger, "videoRecorder: the media framework could not start playing");
        return false;
    }
    return true;
}

void MjpegRecording::stopWatching() {
    terminationWatcher.stop();
}

void MjpegRecording::stopPlayer() {
    if (player != nullptr) {
        // The stop waits for the framework's threads. Should one of them never return, the
        // alarm ends the worker, and its tunnel reports the end of the recording all the same.
        ::alarm(kRecordingTeardownSeconds);
        libvlc_media_player_stop(player);
    }
}

void MjpegRecording::release() {
    if (player != nullptr) {
        libvlc_media_player_release(player);
        player = nullptr;
    }
    if (media != nullptr) {
        libvlc_media_release(media);
        media = nullptr;
    }
    if (vlc != nullptr) {
        libvlc_release(vlc);
        vlc = nullptr;
    }
}

void MjpegRecording::terminationCb(struct ev_loop*, ev_io* watcher, int) {
    signalfd_siginfo info;
    while (::read(watcher->fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    LOG4CPLUS_DEBUG(logger, "videoRecorder: termination signal, ending the recording");
    worker::endNow();
}

}  // namespace recording

namespace worker {

void acceptMediaConnection() {
    State& s = worker::state();
    s.fdConnected = ::accept(s.fdListen, nullptr, nullptr);
    if (s.fdConnected < 0) {
        // The framework gave up before the camera answered: nothing is left to relay for.
        LOG4CPLUS_WARN(logger,
                       "vlcListenWatcher_cb: could not accept the media framework's "
                       "connection: "
                           << std::strerror(errno));
        tunnelClose();
        tunnelClosed();
        return;
    }
    LOG4CPLUS_DEBUG(logger, "vlcListenWatcher_cb: accepted connection (fdListen: "
                                << s.fdListen << " ), socket: " << s.fdConnected);
}

}  // namespace worker
