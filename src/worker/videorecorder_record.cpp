// The recording worker's entry: an RTSP recording hosted on the worker's loop, or an MJPEG
// recording through the media framework. Kept apart from the proxy worker's entries
// (videorecorder.cpp) so that an image with only those links none of the media libraries.
#include <sys/signalfd.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <cstdio>

#include "common/FileDescriptor.h"
#include "common/Logging.h"
#include "recording/videorecorder_recording.h"
#include "worker/MediaEndpoint.h"
#include "worker/RTSPRecorder.h"
#include "worker/videorecorder.h"
#include "worker/videorecorder_output.h"
#include "worker/videorecorder_state.h"

using worker::State;

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kVideoRecorder);

void bufferingWatcher_cb(struct ev_loop*, ev_timer*, int) {
    LOG4CPLUS_TRACE(logger, "bufferingWatcher_cb");
    worker::state().recording.bufferingTimePassed = true;
}

void terminationCb(struct ev_loop*, ev_io* watcher, int) {
    signalfd_siginfo info;
    while (::read(watcher->fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    LOG4CPLUS_DEBUG(logger, "videoRecorder: termination signal, ending the recording");
    worker::endNow();
}

// The RTSP path: the recorder drives the camera's RTSP session through the tunnel and the
// media framework inside it writes the file; the worker hosts it and routes events to it.
void recordRtsp(const RecordingRequest& request) {
    State& s = worker::state();
    openClosedStandardStreams();
    // Before any thread exists, so that the media threads never take the signal either: a
    // termination ends the loop and the file is still completed.
    UniqueFd termination(recording::terminationDescriptor());
    EvIo terminationWatcher;
    worker::startWatchers();
    s.mailbox.open(s.localLoop);
    if (termination.valid()) {
        ev_io_init(terminationWatcher.get(), terminationCb, termination.get(), EV_READ);
        terminationWatcher.start(s.localLoop);
    }
    ev_timer_init(s.recording.bufferingWatcher.get(), bufferingWatcher_cb,
                  worker::kBufferingSeconds, 0.);
    const RTSPRecorderPtr recorder = boost::make_shared<RTSPRecorder>();
    s.recording.rec = recorder;
    media::OutputFile output{request.outputFd, request.outputName, request.fragments};
    if (!recorder->start(request.cameraIp, request.videoUri, output, request.codec,
                         request.firstChannel, request.useRtcpOverRtsp)) {
        LOG4CPLUS_WARN(logger, "videoRecorder: the RTSP recorder did not start for camera "
                                   << request.cameraIp);
    } else if (recording::confineWorker(request, recorder->serverPort())) {
        s.recording.bufferingWatcher.start(s.localLoop);
        ev_run(s.localLoop, 0);
    }
    terminationWatcher.stop();
    worker::destroyLoop();
    LOG4CPLUS_DEBUG(logger, "videoRecorder is stopping");
    recorder->stop();
    sendCloseTofdUDPOutput();
}

}  // namespace

int videoRecorder(const RecordingRequest& request, int fdOutput, int fdInput) {
    State& s = worker::state();
    s.isProxy = false;
    s.transport.gcIP = request.localIP;
    s.transport.gcPort = request.localPort;
    std::snprintf(s.transport.cameraIPAddress, sizeof s.transport.cameraIPAddress, "%s",
                  request.cameraIp.c_str());
    s.transport.cameraPortNumber = request.cameraPort;
    s.transport.tcpWnd = request.windowSize;
    worker::initialiseProcessState(fdOutput, fdInput);
    if (recording::isRtspCodec(request.codec)) {
        recordRtsp(request);
        return 0;
    }
    worker::MediaEndpoint endpoint;
    recording::MjpegRecording media(request, endpoint);
    worker::startWatchers();
    // Client reading starts on the framework's connection once the camera is reachable.
    ev_io_init(s.relay.vlcOutputWatcher.get(), worker::vlcOutputWatcher_cb, -1, EV_READ);
    ev_timer_init(s.recording.bufferingWatcher.get(), bufferingWatcher_cb,
                  worker::kBufferingSeconds, 0.);
    if (media.start()) {
        s.recording.bufferingWatcher.start(s.localLoop);
        ev_run(s.localLoop, 0);
    }
    media.stopWatching();
    worker::destroyLoop();
    LOG4CPLUS_DEBUG(logger, "videoRecorder is stopping");
    media.stopPlayer();
    worker::releaseClientQueue();
    worker::closeIfOpen(s.relay.fdConnected);
    worker::closeIfOpen(s.recording.fdListen);
    media.release();
    // Only now is the file complete: the parent reports the recording as stopped on this.
    sendCloseTofdUDPOutput();
    return 0;
}
