// The baseline of bench/recording_cpu: one MJPEG camera recorded by libvlc straight from its
// address, with the recording worker's own instance arguments and output chain, for a fixed
// time. No tunnel, no worker loop: what the media framework alone costs.
//
//   direct-recording URL OUTPUT SECONDS
//
// Ends with status 0 after SECONDS (or at SIGTERM), the file completed.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <vlc/vlc.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/FileDescriptor.h"
#include "recording/videorecorder_recording.h"

namespace {
volatile sig_atomic_t stopRequested = 0;
void onTerminate(int) {
    stopRequested = 1;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s URL OUTPUT SECONDS\n", argv[0]);
        return 2;
    }
    const std::string chain = recording::outputChain();
    const double seconds = std::atof(argv[3]);
    signal(SIGTERM, onTerminate);
    openClosedStandardStreams();
    // As in the worker: the framework writes the recording to its standard output.
    const int output = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (output < 0 || ::dup2(output, STDOUT_FILENO) < 0) {
        std::fprintf(stderr, "cannot open %s\n", argv[2]);
        return 1;
    }
    ::close(output);
    const std::vector<std::string> arguments = recording::instanceArguments(chain);
    std::vector<const char*> argvVlc;
    for (const std::string& argument : arguments) {
        argvVlc.push_back(argument.c_str());
    }
    libvlc_instance_t* vlc = libvlc_new(static_cast<int>(argvVlc.size()), argvVlc.data());
    if (vlc == nullptr) {
        std::fprintf(stderr, "libvlc_new failed\n");
        return 1;
    }
    libvlc_media_t* media = libvlc_media_new_location(vlc, argv[1]);
    libvlc_media_add_option(media, (":sout=" + chain).c_str());
    libvlc_media_player_t* player = libvlc_media_player_new_from_media(media);
    libvlc_media_player_play(player);
    // The benchmark measures CPU over a window of this run; the process only waits here.
    for (double waited = 0; waited < seconds && !stopRequested; waited += 0.1) {
        ::usleep(100000);
    }
    libvlc_media_player_stop(player);
    libvlc_media_player_release(player);
    libvlc_media_release(media);
    libvlc_release(vlc);
    return 0;
}
