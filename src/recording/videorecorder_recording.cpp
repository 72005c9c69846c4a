// The recording worker's MJPEG path: the media framework, its location on the worker's local
// server, and the camera's answers on their way to it.
#include "recording/videorecorder_recording.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vlc/vlc.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "common/FileDescriptor.h"
#include "common/Logging.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kVideoRecorder);

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

MjpegRecording::MjpegRecording(const RecordingRequest& recordingRequest, RecordingHost& host)
    : request(recordingRequest), host(host), chain(outputChain()) {
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
    localPort = host.openLocalServer();
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
    if (player == nullptr || !confineWorker(request, localPort)) {
        return false;
    }
    if (terminationSignal.valid()) {
        ev_io_init(terminationWatcher.get(), terminationCb, terminationSignal.get(), EV_READ);
        terminationWatcher.get()->data = this;
        terminationWatcher.start(host.loop());
    }
    host.watchLocalServer();
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
    static_cast<MjpegRecording*>(watcher->data)->host.endNow();
}

}  // namespace recording
