// The pipe between server and worker as the reader sees it: frames of any type and length
// arriving in one stream, with the cached-session queries and connect parameters decoded.
#include <fcntl.h>
#include <unistd.h>

#include "FuzzTarget.h"
#include "protocol/LanDeviceAuthData.h"
#include "protocol/PipeMessage.h"

namespace {
// A pipe holds 64 KiB by default; the whole input is written before it is read.
constexpr size_t kMaxInput = 60000;

bool sink(uint8_t type, const uint8_t* payload, uint16_t length) {
    if (type == pipe_message::kConnect) {
        pipe_message::decodeConnectParameters(payload, length);
    } else if (type == pipe_message::kCachedSessionQuery) {
        QueryFault fault;
        decodeCachedSessionQuery(payload, length, &fault);
    }
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) {
        return 0;
    }
    int ends[2];
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) {
        return 0;
    }
    if (size > 0 && ::write(ends[1], data, size) != static_cast<ssize_t>(size)) {
        ::close(ends[0]);
        ::close(ends[1]);
        return 0;
    }
    ::close(ends[1]);
    pipe_message::Reader reader;
    for (;;) {
        const auto status = reader.readAndDispatch(ends[0], sink);
        if (status != pipe_message::Reader::Status::Ok) {
            break;
        }
    }
    ::close(ends[0]);
    return 0;
}
