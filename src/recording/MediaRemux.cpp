// The RTSP path's media framework: an RTSP location remuxed into an mp4 or 3gp file by
// libavformat on a recording thread.
#include "recording/MediaRemux.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "common/Logging.h"

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance(tamblo::logging::kRtspDecoder);

// Once the read loop has ended, closing the input sends the camera its teardown; this long at
// most, so that a session that no longer answers cannot hold the file's completion up.
constexpr auto kTeardownTime = std::chrono::seconds(2);

int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// libavformat's own messages (from the recording thread; log4cplus is thread-safe): its
// warnings and errors at DEBUG, the rest at TRACE. Nothing goes to the standard streams.
void libavLogCb(void*, int level, const char* format, va_list arguments) {
    const log4cplus::LogLevel ours =
        level <= AV_LOG_WARNING ? log4cplus::DEBUG_LOG_LEVEL : log4cplus::TRACE_LOG_LEVEL;
    if (level > AV_LOG_VERBOSE || !logger.isEnabledFor(ours)) {
        return;
    }
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    if (!line.empty()) {
        logger.forcedLog(ours, "libav: " + line);
    }
}

// The protocols libavformat may open: the RTSP session with the local endpoint, over TCP.
constexpr const char* kProtocolWhitelist = "rtsp,tcp";
constexpr int kWriteBufferSize = 64 * 1024;

// The output file's descriptor as libavformat's I/O: writes and seeks, nothing opened.
int writeToFile(void* opaque, uint8_t* bytes, int size) {
    const int fd = *static_cast<int*>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, static_cast<size_t>(size - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? AVERROR(errno) : AVERROR(EIO);
        }
        done += static_cast<int>(n);
    }
    return size;
}

int64_t seekInFile(void* opaque, int64_t offset, int whence) {
    const int fd = *static_cast<int*>(opaque);
    if (whence == AVSEEK_SIZE) {
        struct stat info;
        return ::fstat(fd, &info) == 0 ? static_cast<int64_t>(info.st_size) : AVERROR(errno);
    }
    const off_t position = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : static_cast<int64_t>(position);
}

struct InputCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct OutputCloser {
    void operator()(AVFormatContext* context) const {
        if (context->pb != nullptr) {
            avio_flush(context->pb);
            av_freep(&context->pb->buffer);
            avio_context_free(&context->pb);
        }
        avformat_free_context(context);
    }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using Input = std::unique_ptr<AVFormatContext, InputCloser>;
using Output = std::unique_ptr<AVFormatContext, OutputCloser>;

// Where the packets of one input stream go, and the timestamps they had there so far.
struct StreamRoute {
    int output = -1;  // -1: not recorded
    bool video = false;
    bool waitingForKey = true;
    int64_t offset = AV_NOPTS_VALUE;  // subtracted from the camera's times
    int64_t lastDts = AV_NOPTS_VALUE;
    int64_t frameDuration = 1;  // in the output's time base
};

// One frame's time in the output stream's time base (1 tick when the rate is unknown).
int64_t frameDuration(const AVStream* source, const AVStream* target) {
    AVRational rate = source->avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) {
        rate = source->r_frame_rate;
    }
    if (rate.num <= 0 || rate.den <= 0) {
        return 1;
    }
    return std::max<int64_t>(1, av_rescale_q(1, av_inv_q(rate), target->time_base));
}

// Video always; audio only where the container takes its codec (G.711 has no place in mp4).
bool recordable(const AVStream* stream, const AVOutputFormat* format) {
    const AVCodecParameters* parameters = stream->codecpar;
    if (parameters->codec_type == AVMEDIA_TYPE_VIDEO) {
        return true;
    }
    return parameters->codec_type == AVMEDIA_TYPE_AUDIO &&
           avformat_query_codec(format, parameters->codec_id, FF_COMPLIANCE_NORMAL) == 1;
}

Output openOutput(AVFormatContext* input, media::OutputFile* file, const std::string& container,
                  std::vector<StreamRoute>* routes) {
    const std::string& filename = file->name;
    AVFormatContext* made = nullptr;
    int result = avformat_alloc_output_context2(&made, nullptr, container.c_str(), nullptr);
    if (result < 0 || made == nullptr) {
        LOG4CPLUS_WARN(logger, "media: no " << container << " muxer: " << avError(result));
        return nullptr;
    }
    Output output(made);
    routes->assign(input->nb_streams, StreamRoute{});
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* source = input->streams[i];
        if (!recordable(source, output->oformat)) {
            continue;
        }
        AVStream* target = avformat_new_stream(output.get(), nullptr);
        if (target == nullptr || avcodec_parameters_copy(target->codecpar, source->codecpar) < 0) {
            return nullptr;
        }
        target->codecpar->codec_tag = 0;  // the container chooses its own tag
        (*routes)[i].output = target->index;
        (*routes)[i].video = source->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    }
    if (output->nb_streams == 0) {
        LOG4CPLUS_WARN(logger,
                       "media: the camera offers no stream that " << container << " can hold");
        return nullptr;
    }
    // The descriptor the parent opened, written without an interrupt callback: the trailer
    // is never cut short. Nothing is opened by name.
    auto* buffer = static_cast<unsigned char*>(av_malloc(kWriteBufferSize));
    output->pb = buffer == nullptr ? nullptr
                                   : avio_alloc_context(buffer, kWriteBufferSize, 1, &file->fd,
                                                        nullptr, writeToFile, seekInFile);
    if (output->pb == nullptr) {
        av_free(buffer);
        LOG4CPLUS_WARN(logger, "media: no memory for writing " << filename);
        return nullptr;
    }
    output->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary* muxOptions = nullptr;
    if (file->fragments) {
        av_dict_set(&muxOptions, "movflags", media::kFragmentFlags, 0);
        av_dict_set_int(&muxOptions, "frag_duration", media::kFragmentMicroseconds, 0);
    }
    result = avformat_write_header(output.get(), &muxOptions);
    av_dict_free(&muxOptions);
    if (result < 0) {
        LOG4CPLUS_WARN(logger,
                       "media: cannot write the " << container << " header: " << avError(result));
        return nullptr;
    }
    for (unsigned i = 0; i < input->nb_streams; ++i) {  // the time bases are known now
        StreamRoute& route = (*routes)[i];
        if (route.output >= 0) {
            route.frameDuration = frameDuration(input->streams[i], output->streams[route.output]);
        }
    }
    return output;
}

// Gives the packet decoding and presentation times that start at 0 and grow strictly, in the
// output stream's time base. False: a video packet before the first key frame, left out.
bool placePacket(AVPacket* packet, const AVStream* source, const AVStream* target,
                 StreamRoute* route) {
    if (route->video && route->waitingForKey) {
        if ((packet->flags & AV_PKT_FLAG_KEY) == 0) {
            return false;
        }
        route->waitingForKey = false;
    }
    if (packet->pts == AV_NOPTS_VALUE && packet->dts == AV_NOPTS_VALUE) {
        // RTP times are known only once the camera's first sender report has come (the first
        // key frame often arrives before it): one frame after the previous packet.
        packet->dts = route->lastDts == AV_NOPTS_VALUE ? 0 : route->lastDts + route->frameDuration;
        packet->pts = packet->dts;
    } else {
        // RTP carries presentation times only: without B-frames (cameras) they are the
        // decoding times too.
        if (packet->dts == AV_NOPTS_VALUE) {
            packet->dts = packet->pts;
        }
        if (packet->pts == AV_NOPTS_VALUE) {
            packet->pts = packet->dts;
        }
        av_packet_rescale_ts(packet, source->time_base, target->time_base);
        if (route->offset == AV_NOPTS_VALUE) {
            // The first timed packet follows the untimed ones, if any, by one frame.
            const int64_t start =
                route->lastDts == AV_NOPTS_VALUE ? 0 : route->lastDts + route->frameDuration;
            route->offset = packet->dts - start;
        }
        packet->dts -= route->offset;
        packet->pts -= route->offset;
    }
    if (route->lastDts != AV_NOPTS_VALUE && packet->dts <= route->lastDts) {
        packet->dts = route->lastDts + 1;
    }
    if (packet->pts < packet->dts) {
        packet->pts = packet->dts;
    }
    route->lastDts = packet->dts;
    packet->stream_index = route->output;
    packet->pos = -1;
    return true;
}
}  // namespace

namespace media {

const char* containerFor(std::string_view codec) {
    return codec == "MPEG4" ? "3gp" : "mp4";
}

void prepareLibav() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_callback(libavLogCb);
        avformat_network_init();
    });
}

MediaRemux::MediaRemux(std::string url, OutputFile output, std::string container)
    : url_(std::move(url)), output_(std::move(output)), container_(std::move(container)) {}

MediaRemux::~MediaRemux() {
    requestStop();
    closeDeadline_ = nowNanoseconds();
    if (thread_.joinable()) {
        thread_.join();
    }
    if (output_.fd >= 0) {
        ::close(output_.fd);
    }
}

void MediaRemux::start() {
    prepareLibav();
    thread_ = boost::thread(&MediaRemux::run, this);
}

void MediaRemux::requestStop() {
    stopRequested_ = true;
}

bool MediaRemux::waitFinished(std::chrono::milliseconds limit) {
    if (!thread_.joinable()) {
        return true;
    }
    return thread_.try_join_for(boost::chrono::milliseconds(limit.count()));
}

int MediaRemux::interruptCb(void* opaque) {
    const MediaRemux* self = static_cast<const MediaRemux*>(opaque);
    const int64_t deadline = self->closeDeadline_.load();
    if (deadline != 0) {
        return nowNanoseconds() > deadline ? 1 : 0;
    }
    return self->stopRequested_.load() ? 1 : 0;
}

void MediaRemux::run() {
    LOG4CPLUS_INFO(logger, "media: recording " << url_ << " into " << output_.name << " ("
                                               << container_ << ")");
    AVFormatContext* opened = avformat_alloc_context();
    if (opened == nullptr) {
        return;
    }
    opened->interrupt_callback = {interruptCb, this};
    AVDictionary* options = nullptr;
    av_dict_set(&options, "rtsp_transport", "tcp", 0);
    // Only the local relay: no other protocol, whatever the camera's answers name.
    av_dict_set(&options, "protocol_whitelist", kProtocolWhitelist, 0);
    int result = avformat_open_input(&opened, url_.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (result < 0) {  // libavformat has freed the context
        LOG4CPLUS_WARN(logger, "media: cannot open " << url_ << ": " << avError(result));
        return;
    }
    Input input(opened);
    result = avformat_find_stream_info(input.get(), nullptr);
    if (result < 0) {
        LOG4CPLUS_WARN(logger,
                       "media: no stream information from " << url_ << ": " << avError(result));
    }
    std::vector<StreamRoute> routes;
    Output output = result < 0 ? nullptr : openOutput(input.get(), &output_, container_, &routes);
    if (output) {
        std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
        while (packet) {
            result = av_read_frame(input.get(), packet.get());
            if (result == AVERROR(EAGAIN)) {
                continue;
            }
            if (result < 0) {
                break;
            }
            const unsigned index = static_cast<unsigned>(packet->stream_index);
            StreamRoute* route = index < routes.size() ? &routes[index] : nullptr;
            if (route != nullptr && route->output >= 0 &&
                placePacket(packet.get(), input->streams[index], output->streams[route->output],
                            route)) {
                const int written = av_interleaved_write_frame(output.get(), packet.get());
                if (written < 0) {
                    LOG4CPLUS_WARN(logger, "media: writing " << output_.name
                                                             << " failed: " << avError(written));
                    break;
                }
                ++packets_;
            }
            av_packet_unref(packet.get());
        }
        if (result < 0 && result != AVERROR_EXIT) {
            LOG4CPLUS_DEBUG(logger, "media: the stream ended: " << avError(result));
        }
        result = av_write_trailer(output.get());
        if (result < 0) {
            LOG4CPLUS_WARN(logger,
                           "media: cannot complete " << output_.name << ": " << avError(result));
        }
        output.reset();
    }
    // Closing the input sends the teardown to the camera and closes the RTSP connection.
    closeDeadline_ = nowNanoseconds() +
                     std::chrono::duration_cast<std::chrono::nanoseconds>(kTeardownTime).count();
    input.reset();
    LOG4CPLUS_DEBUG(
        logger, "media: recording of " << url_ << " ended after " << packets_.load() << " packets");
}

}  // namespace media
