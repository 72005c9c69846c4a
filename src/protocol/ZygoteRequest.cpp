// The worker zygote's request layout (see ZygoteRequest.h), bounds checked against the bytes
// received.
#include "protocol/ZygoteRequest.h"

#include <cstring>
#include <string>

namespace zygote_message {
namespace {

constexpr uint8_t kRtcpOverRtsp = 1;
constexpr uint8_t kFragments = 2;

template <typename T>
void put(std::vector<uint8_t>& out, T value) {
    const size_t at = out.size();
    out.resize(at + sizeof value);
    std::memcpy(out.data() + at, &value, sizeof value);
}

bool putString(std::vector<uint8_t>& out, const std::string& text) {
    if (text.size() > UINT16_MAX) {
        return false;
    }
    put(out, static_cast<uint16_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
    return true;
}

class Reader {
  public:
    Reader(const uint8_t* bytes, size_t length) : bytes_(bytes), left_(length) {}

    template <typename T>
    bool get(T* value) {
        if (left_ < sizeof *value) {
            return false;
        }
        std::memcpy(value, bytes_, sizeof *value);
        bytes_ += sizeof *value;
        left_ -= sizeof *value;
        return true;
    }

    bool getString(std::string* text) {
        uint16_t size = 0;
        if (!get(&size) || left_ < size) {
            return false;
        }
        text->assign(reinterpret_cast<const char*>(bytes_), size);
        bytes_ += size;
        left_ -= size;
        return true;
    }

    bool done() const { return left_ == 0; }

  private:
    const uint8_t* bytes_;
    size_t left_;
};

}  // namespace

std::optional<std::vector<uint8_t>> encodeRequest(const ZygoteRequest& request) {
    const RecordingRequest& r = request.recording;
    const bool recording = request.kind == WorkerKind::Recording;
    std::vector<uint8_t> out;
    out.reserve(kFixedSize + 64);
    put(out, static_cast<uint8_t>(request.kind));
    put(out, static_cast<uint8_t>(recording ? (r.useRtcpOverRtsp ? kRtcpOverRtsp : 0) |
                                                  (r.fragments ? kFragments : 0)
                                            : 0));
    put(out, recording ? r.cameraPort : uint16_t{0});
    put(out, recording ? r.localPort : uint16_t{0});
    put(out, recording ? r.firstChannel : uint8_t{0});
    put(out, uint8_t{0});
    put(out, recording ? r.localIP : uint32_t{0});
    put(out, recording ? r.windowSize : uint32_t{0});
    static const std::string none;
    for (const std::string* text :
         {&r.cameraIp, &r.user, &r.pass, &r.videoUri, &r.outputName, &r.codec}) {
        if (!putString(out, recording ? *text : none)) {
            return std::nullopt;
        }
    }
    if (out.size() > kMaxRequest) {
        return std::nullopt;
    }
    return out;
}

std::optional<ZygoteRequest> decodeRequest(const uint8_t* bytes, size_t length) {
    if (bytes == nullptr || length < kFixedSize || length > kMaxRequest) {
        return std::nullopt;
    }
    Reader in(bytes, length);
    ZygoteRequest request;
    RecordingRequest& r = request.recording;
    uint8_t kind = 0, flags = 0, reserved = 0;
    in.get(&kind);
    in.get(&flags);
    in.get(&r.cameraPort);
    in.get(&r.localPort);
    in.get(&r.firstChannel);
    in.get(&reserved);
    in.get(&r.localIP);
    in.get(&r.windowSize);
    if (kind < static_cast<uint8_t>(WorkerKind::Proxy) ||
        kind > static_cast<uint8_t>(WorkerKind::Recording) || reserved != 0 ||
        (flags & ~(kRtcpOverRtsp | kFragments)) != 0) {
        return std::nullopt;
    }
    request.kind = static_cast<WorkerKind>(kind);
    r.useRtcpOverRtsp = (flags & kRtcpOverRtsp) != 0;
    r.fragments = (flags & kFragments) != 0;
    for (std::string* text :
         {&r.cameraIp, &r.user, &r.pass, &r.videoUri, &r.outputName, &r.codec}) {
        if (!in.getString(text)) {
            return std::nullopt;
        }
    }
    if (!in.done()) {
        return std::nullopt;
    }
    return request;
}

}  // namespace zygote_message
